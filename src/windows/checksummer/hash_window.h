// The Checksummer window: CRC32, MD5, SHA1, SHA256 and Quivash of a chosen file, computed
// off the window thread and shown row by row; a click on a filled row copies it.
#pragma once

#include "base/digests.h"
#include "tools/checksummer/digest_check.h"
#include "ui/form_base.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <atomic>
#include <functional>
#include <thread>

class QLabel;
class QLineEdit;
class QPainter;
class QPushButton;
class QTableWidget;
class QToolButton;
class TEllPath;

// Thread safety: main thread only. The calculation runs on a worker thread that never
// touches a widget; its results come back as queued calls on the window.
class TfrmHash : public TFormBase {
    Q_OBJECT
public:
    TfrmHash(QWidget* panel, const TToolContext& context);
    // Stops a running calculation, waits for its thread and ends the busy state.
    ~TfrmHash() override;

    void LoadSettings() override;
    void SaveSettings() override;

    // Browse: asks for the source file; on OK shows it, takes it as the source path and
    // its folder as the open folder. The results stay.
    void DoBrowse();
    // Calculate: checks the source path, clears the rows and starts the calculation inside
    // the busy state; the rows fill in order and the busy state ends with "Done!" or with
    // the failure's message. Returns at once; the work goes on in the background, showing
    // "%d%% Done" as it reads, and Calculate turns into Stop until it ends.
    void DoCalc();
    // Stop (the Calculate button while it runs, or Esc): ends the read at its next piece;
    // the busy state then ends with "Calculation stopped". Nothing while not calculating.
    void DoStop();
    // Clear: forgets the source path and the Verify text and empties the rows.
    void DoClear();
    // Verify: compares the rows with the hash in edtVerify, marks the rows and shows the
    // outcome (a match as a completion, a mismatch as an error, a hash that fits no digest
    // as a notice). Calculate runs it when it ends; Enter in the field runs it again.
    // Returns the outcome; an empty text when the field is empty or rows are missing.
    TVerifyOutcome DoVerify();

    // How a result row is marked by the last verification.
    enum TRowMark { kMarkNone, kMarkMatch, kMarkMismatch };
    TRowMark RowMark(int row) const { return m_marks[row]; }

    // The result of a row (kDigestCrc32 .. kDigestQuivash); empty until computed.
    const QByteArray& Result(int row) const { return m_results[row]; }
    // True from Calculate until its busy state ends.
    bool Calculating() const { return m_worker.joinable(); }

    // The open-file dialog (title, filter, start folder) → the chosen file, or empty when
    // cancelled. Tests replace it so that no modal dialog opens.
    std::function<QString(const QString& title, const QString& filter, const QString& folder)>
        AskSourceFile;

    // Draws one cell of dgHash: labels on the button face, results on white.
    void WhenDraw(QPainter& painter, const QRect& rect, int row, int column, bool current);

    QWidget* pnlSource = nullptr;
    QWidget* pnlFile = nullptr;
    QLabel* lblSource = nullptr;
    TEllPath* stSource = nullptr;
    QToolButton* sbnSBrowse = nullptr;
    QTableWidget* dgHash = nullptr;
    QWidget* pnlBtns = nullptr;
    QPushButton* btnClear = nullptr;
    QPushButton* btnCalc = nullptr;
    // "Verify": a pasted hash (taken from the clipboard at Calculate when the field is
    // empty and the clipboard holds one) that the rows are compared with.
    QLabel* lblVerify = nullptr;
    QLineEdit* edtVerify = nullptr;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // A selected cell: a filled result row is copied to the clipboard.
    void WhenSelect(int row, int column);
    // The share read so far (queued from the worker).
    void WhenProgress(int percent);
    // One digest arrived from the worker (queued, in row order).
    void WhenDigest(int kind, const QByteArray& hex);
    // The worker finished; `error` is empty on success.
    void WhenCalcDone(bool completed, const QString& error);
    void TakeSourceFile(const QString& path);
    void ClearResults();
    void ClearMarks();
    void RepaintGrid();
    // Puts a hash found on the clipboard into the empty Verify field; a text that this
    // window copied from a row is not taken.
    void TakeVerifyFromClipboard();

    std::array<QByteArray, kDigestCount> m_results;
    std::array<TRowMark, kDigestCount> m_marks{};
    QString m_copiedText;  // what this window last put on the clipboard
    std::thread m_worker;
    std::atomic<bool> m_stop{false};
    // Set when the current cell changed during the mouse press that is under way, so the
    // click that follows does not select the same cell twice.
    bool m_selectedByPress = false;
};

// Default of AskSourceFile: the open-file dialog, existing files only, hidden files shown.
QString AskSourceFileDialog(QWidget* parent, const QString& title, const QString& filter,
                            const QString& folder);
