// The parts of the hexadecimal view that HexEdit's and Compare's windows share: the scroll
// panel, the edit boxes over the byte and text grids with their key filters, the colours
// and cell drawing, and the file dialogs.
#pragma once

#include "ui/byte_grid.h"

#include <QObject>
#include <QString>

#include <array>
#include <functional>

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
class TCellKeyFilter : public QObject {
    Q_OBJECT
public:
    TCellKeyFilter(QLineEdit* editor, bool hexOnly, std::function<void()> commit);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool m_hexOnly;
    std::function<void()> m_commit;
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
