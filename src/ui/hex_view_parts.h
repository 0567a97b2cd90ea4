// The parts of the hexadecimal view that HexEdit's and Compare's windows share: the scroll
// panel and the paging it drives, the keyboard's moves over the grids, the edit boxes over
// the byte and text grids with their key filters, the colours and cell drawing, the file
// dialogs and the unsaved-changes question.
#pragma once

#include "ui/byte_grid.h"

#include <QObject>
#include <QString>

#include <array>
#include <functional>
#include <optional>

class QFrame;
class QLineEdit;
class QPainter;
class TQuickButton;

// ---- colours (0x00BBGGRR) -----------------------------------------------------------------
inline constexpr QColor kSilver = ColorFromBgr(0xC0C0C0);
inline constexpr QColor kGreyPen = ColorFromBgr(0x808080);
inline constexpr QColor kNavy = ColorFromBgr(0x800000);
inline constexpr QColor kOffsetColour = ColorFromBgr(0xE8E8E8);
inline constexpr QColor kDataColour = ColorFromBgr(0xF0F0F0);
inline constexpr QColor kTextColour = ColorFromBgr(0xDDFFFF);
inline constexpr QColor kDifferenceColour = ColorFromBgr(0xA4ABF2);
inline constexpr QColor kBlueText = ColorFromBgr(0xFF0000);
inline constexpr QColor kRedText = ColorFromBgr(0x0000FF);

// ---- the scroll panel ---------------------------------------------------------------------
// sbnHome, sbnPgUp, sbnLineUp, sbnLineDn, sbnPgDn, sbnEnd with their tags (-1, -16, -1, 1,
// 16, 1) and hints, disabled, in a panel of the given width.
struct TScrollButtons {
    QFrame* panel = nullptr;
    std::array<TQuickButton*, 6> buttons{};
    TQuickButton* Home() const { return buttons[0]; }
    TQuickButton* PgUp() const { return buttons[1]; }
    TQuickButton* LineUp() const { return buttons[2]; }
    TQuickButton* LineDn() const { return buttons[3]; }
    TQuickButton* PgDn() const { return buttons[4]; }
    TQuickButton* End() const { return buttons[5]; }
    // The rules: Home and Line up while the view can go up, Page up while it can page up,
    // Line down and End while it can go down, Page down while it can page down.
    void Apply(bool up, bool pageUp, bool down, bool pageDown) const;
};
TScrollButtons MakeScrollButtons(QWidget* parent, int width, int height);

// The paging both views share. The scroll buttons' rules for a top row and the last top
// row: Home and Line up above row 0, Page up above row 15, Line down and End below the
// last top row, Page down below the last top row - 16.
void ApplyScrollRules(const TScrollButtons& scroll, qint64 topRow, qint64 lastTopRow);
// Connects the buttons: `show` gets the top row a button asks for (Home row 0, End the last
// top row, the others the top row plus their tag), from the rows `topRow` and `lastTopRow`
// tell at the time of the click.
void ConnectScrollButtons(const TScrollButtons& scroll, QObject* context,
                          std::function<qint64()> topRow, std::function<qint64()> lastTopRow,
                          std::function<void(qint64)> show);

// ---- the keyboard over the grids -----------------------------------------------------------
// Where a key moves the selected byte, as hex editors do: Left and Right by a byte, Up and
// Down by a row, PageUp and PageDown by a page, Ctrl+Home and Ctrl+End to the first and the
// last byte; held within the content of `size` bytes. The page follows: the top row moves
// by a page with PageUp and PageDown, and otherwise only as far as needed to show the byte.
struct TCursorMove {
    qint64 offset = 0;  // the byte now selected
    qint64 topRow = 0;  // the page that shows it
};
// None for a key that moves nothing. `offset` is the byte selected now (or the first of
// the page when none is).
std::optional<TCursorMove> CursorAfterKey(int key, Qt::KeyboardModifiers modifiers, qint64 offset,
                                          qint64 size, qint64 topRow, qint64 lastTopRow);
// True for the keys CursorAfterKey moves by.
bool IsCursorKey(int key, Qt::KeyboardModifiers modifiers);

// ---- edit boxes ---------------------------------------------------------------------------
// An edit box for a byte grid: at most `maxChars` characters, red text (bold when asked),
// upper case when asked, no context menu, hidden.
QLineEdit* MakeCellEditor(QWidget* parent, const char* name, int maxChars, bool upperCase,
                          bool bold);

// The key filter of an edit box over a grid. The byte editors' filter lets the digits 0-9,
// the letters A-F (typed in either case) and backspace through and swallows every other
// typed character; the text editors' filter lets every key through. A key that passes,
// other than backspace in a byte editor, asks for the commit once the edit box has taken
// it (a queued call), so that the commit sees the new text.
// With `navigate`, the cursor keys (IsCursorKey) go to it instead of the edit box.
class TCellKeyFilter : public QObject {
    Q_OBJECT
public:
    TCellKeyFilter(QLineEdit* editor, bool hexOnly, std::function<void()> commit,
                   std::function<void(int key, Qt::KeyboardModifiers)> navigate = {});

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool m_hexOnly;
    std::function<void()> m_commit;
    std::function<void(int, Qt::KeyboardModifiers)> m_navigate;
};

// ---- drawing ------------------------------------------------------------------------------
// A heading cell: silver brush, bold text.
void DrawHeadCell(QPainter& painter, const QRect& cell, const QString& text);
// An offset cell: brush 0xE8E8E8, navy text.
void DrawOffsetCell(QPainter& painter, const QRect& cell, const QString& text, int pointSize);
// A label cell of an information or report grid: silver brush, grey frame, bold navy text.
void DrawLabelCell(QPainter& painter, const QRect& cell, const QString& text);
// A byte cell: brush 0xF0F0F0, blue text in even columns and black in odd ones.
void DrawByteCell(QPainter& painter, const QRect& cell, int column, const QString& text);
// A text cell: its brush, red text when the byte is not printable, else black.
void DrawTextCell(QPainter& painter, const QRect& cell, const QColor& brush, bool printable,
                  const QString& text);

// The heading labels "0" to "F".
QString ColumnLabel(int column);

// ---- dialogs ------------------------------------------------------------------------------
// The open dialog for one existing file, hidden files shown. Empty when cancelled.
QString AskExistingFile(QWidget* parent, const QString& title, const QString& folder);
// The save dialog, proposing `proposed` and asking before it replaces a file. Empty when
// cancelled.
QString AskDestinationFile(QWidget* parent, const QString& title, const QString& folder,
                           const QString& proposed);

// The answer to "Save changes to NAME?".
enum class TUnsavedAnswer { kSave, kDiscard, kCancel };
// Asks "Save changes to NAME?" with Save, Discard and Cancel (Escape cancels), as the
// desktop asks before unsaved work would be lost.
TUnsavedAnswer AskSaveChanges(QWidget* parent, const QString& name);
