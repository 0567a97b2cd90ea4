// The Compare window: two files of any size compared byte by byte (TFileComparer, the
// streaming engine of `quiva compare` on a worker, with progress and Esc to stop), with the
// similarity index, the first 64 differences on the Report page, and both files side by
// side on the Data page, where either can be edited and saved and the next or previous
// difference anywhere in the files is a button (or F3 / Shift+F3) away. Clicking a letter
// of the index shows that segment on the Data page.
#pragma once

#include "tools/compare/file_comparer.h"
#include "ui/form_base.h"
#include "ui/hex_view_parts.h"

#include <array>
#include <functional>
#include <memory>
#include <thread>

class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;
class QTimer;
class TByteGrid;
class TDrawGrid;
class TEllPath;
class TQuickButton;

// Thread safety: main thread only.
class TfrmComp : public TFormBase {
    Q_OBJECT
public:
    TfrmComp(QWidget* panel, const TToolContext& context);
    ~TfrmComp() override;

    void LoadSettings() override;
    void SaveSettings() override;
    void PeriodicCheck() override;
    void WheelStep(bool forward, const QPoint& position) override;
    // With unsaved edits on either side, asks "Save changes to NAME?" for each: Save saves
    // (false when that is cancelled or fails), Discard lets go, Cancel keeps everything.
    bool CanLeave() override;

    // ---- handlers ----------------------------------------------------------------------
    void DoBrowse(int side);
    void DoCompare();
    void DoReSet();
    // True when the side was saved.
    bool DoSave(int side);
    // Asks a running comparison to stop (Esc).
    void DoStop();
    // True while a comparison runs on the worker.
    bool Comparing() const { return m_worker.joinable(); }
    // Shows the next (or previous) byte at which the files differ, anywhere in them, on the
    // Data page, selected; from the selected byte, or from the page shown.
    void GoToDifference(bool forward);
    // A cursor key over a side's byte grid (or text grid): moves the selection and the page.
    void Navigate(int key, Qt::KeyboardModifiers modifiers, int side, bool text);
    void WhenScroll(int tag);
    void WhenHomeEnd(int tag);
    // Commits a byte editor's (0) or a text editor's (1) text of a side.
    void Commit(int which, int side);
    // Shows the first row of segment `letter` (0-based) on the Data page.
    void ShowSegment(int letter);

    const TFileComparer& Comparer() const { return m_doc; }

    // The file dialogs, replaceable so that tests answer them; empty when cancelled.
    std::function<QString(int side)> AskSourceFile;
    std::function<QString(int side)> AskSaveFile;
    // "Save changes to NAME?", and whether to overwrite a file another program replaced;
    // replaceable so that tests answer them.
    std::function<TUnsavedAnswer(const QString& name)> AskUnsaved;
    std::function<bool(const QString& name)> AskReplaceChanged;

    QFrame* pnlFiles = nullptr;
    QLabel* lblSrcA = nullptr;
    QLabel* lblSrcB = nullptr;
    QLabel* lblSizeA = nullptr;
    QLabel* lblSizeB = nullptr;
    TEllPath* stSrcA = nullptr;
    TEllPath* stSrcB = nullptr;
    TQuickButton* sbnSrcA = nullptr;
    TQuickButton* sbnSrcB = nullptr;
    TQuickButton* sbnSaveA = nullptr;
    TQuickButton* sbnSaveB = nullptr;
    QTabWidget* pgcComp = nullptr;
    QWidget* tsReport = nullptr;
    TDrawGrid* dgReport = nullptr;
    QWidget* tsView = nullptr;
    TScrollButtons scroll;
    QFrame* pnlHex = nullptr;
    TDrawGrid* dgHead = nullptr;
    TDrawGrid* dgOff = nullptr;
    TByteGrid* dgDatA = nullptr;
    TByteGrid* dgDatB = nullptr;
    QLineEdit* edtDatA = nullptr;
    QLineEdit* edtDatB = nullptr;
    TByteGrid* dgTextA = nullptr;
    TByteGrid* dgTextB = nullptr;
    QLineEdit* edtTextA = nullptr;
    QLineEdit* edtTextB = nullptr;
    QFrame* pnlBtns = nullptr;
    QLabel* lblIndex = nullptr;
    QLineEdit* edtIndex = nullptr;
    QLabel* lblSeg = nullptr;
    QLineEdit* edtSeg = nullptr;
    QPushButton* btnReSet = nullptr;
    QPushButton* btnCompare = nullptr;
    TQuickButton* sbnPrevDiff = nullptr;
    TQuickButton* sbnNextDiff = nullptr;

    // The grids and edit boxes of a side.
    TByteGrid* DataGrid(int side) const { return side == 0 ? dgDatA : dgDatB; }
    TByteGrid* TextGrid(int side) const { return side == 0 ? dgTextA : dgTextB; }
    QLineEdit* DataEditor(int side) const { return side == 0 ? edtDatA : edtDatB; }
    QLineEdit* TextEditor(int side) const { return side == 0 ? edtTextA : edtTextB; }
    TEllPath* PathPanel(int side) const { return side == 0 ? stSrcA : stSrcB; }
    QLabel* SizeLabel(int side) const { return side == 0 ? lblSizeA : lblSizeB; }
    TQuickButton* SaveButton(int side) const { return side == 0 ? sbnSaveA : sbnSaveB; }

private:
    bool DataSelect(int side, int column, int row);
    bool TextSelect(int side, int column, int row);
    bool ReportSelect(int column, int row);
    void HeadDraw(QPainter& painter, const QRect& cell, int column);
    void OffDraw(QPainter& painter, const QRect& cell, int row);
    void DataDraw(int side, QPainter& painter, const QRect& cell, int column, int row);
    void TextDraw(int side, QPainter& painter, const QRect& cell, int column, int row);
    void ReportDraw(QPainter& painter, const QRect& cell, int column, int row);

    void ClearView();
    void ShowPage(qint64 topRow);
    void HideEditors();
    void UpdateScrollButtons();
    void UpdateSaveButtons();
    void RepaintGrids();
    void ShowPath(int side, const QString& path);
    void Busy(const char* text, int mode);
    void Unbusy();
    bool ResolveUnsaved();
    void WhenCompared(const TFileComparer::TOutcome& outcome, const QString& failure);
    void ShowSizes();
    // The byte selected on the Data page, or none.
    std::optional<qint64> SelectedOffset() const;

    TFileComparer m_doc;
    bool m_followUp = false;
    // Set while a comparison that follows a question already asked runs.
    bool m_asked = false;
    // The running comparison: its worker, what the worker and this thread share, and the
    // timer that shows its progress.
    std::thread m_worker;
    std::unique_ptr<TCompareControl> m_control;
    QTimer* m_progressTimer = nullptr;
};
