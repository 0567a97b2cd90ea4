// The DirTrack window: chooses the folder and what to track, starts and stops the program's
// tracker (which goes on when the window closes), lists the recorded changes, shows the
// properties of a changed object, and saves the record as CSV.
#pragma once

#include "ui/form_base.h"

#include <array>
#include <functional>
#include <optional>

class QCheckBox;
class QFrame;
class QGroupBox;
class QLabel;
class QPushButton;
class QSlider;
class QSplitter;
class QTabWidget;
class QTableWidget;
class QToolButton;
class QTreeWidget;
class TEllPath;
class TTrackHelp;

// Thread safety: main thread only.
class TfrmDirTrack : public TFormBase {
    Q_OBJECT
public:
    // Builds the controls; Idle or Tracking as the program's tracker runs or not, with a
    // running tracker's lists shown at once.
    TfrmDirTrack(QWidget* panel, const TToolContext& context);
    // A window closed while tracking hands the check timer back to its normal interval.
    ~TfrmDirTrack() override;

    // The tracking settings into the controls (an own folder of the program is replaced by
    // the home folder), and back into the tracking service and the store.
    void LoadSettings() override;
    void SaveSettings() override;
    // Every check-timer tick: refreshes the lists when new changes were recorded and the
    // window is not paused; goes Idle when tracking ended by itself.
    void PeriodicCheck() override;

    // ---- handlers ----------------------------------------------------------------------
    void DoDestBrowse();
    void WhenMaxChange();
    void DoStart();
    void DoStop();
    void DoPause();
    void DoClear();
    void DoReSet();
    void DoSave();
    // Sorts the list by the column: the column sorted last flips the order.
    void WhenCClick(QTreeWidget* list, int column);
    // A row of the details list was selected: its properties fill the grid.
    void WhenObjSelect();
    // The mouse is over a cell of the grid: a date row shows its long form.
    void WhenMouseOver(int row, int column);

    bool IsTracking() const { return m_tracking; }
    bool IsPaused() const { return m_paused; }
    // The value shown in a row of the grid, and the long form of a date row.
    QString DetailText(int row) const;
    QString LongDate(int row) const;

    // The folder dialog, replaceable so that tests answer it (none when cancelled).
    std::function<std::optional<QString>()> AskFolder;

    QFrame* pnlDir = nullptr;
    QLabel* lblSource = nullptr;
    TEllPath* stSource = nullptr;
    QToolButton* sbnBrowse = nullptr;
    QGroupBox* gbTrack = nullptr;
    QCheckBox* cbxAdds = nullptr;
    QCheckBox* cbxRems = nullptr;
    QCheckBox* cbxNames = nullptr;
    QCheckBox* cbxProps = nullptr;
    QGroupBox* gbOptions = nullptr;
    QLabel* lblMax = nullptr;
    QCheckBox* cbxRecurse = nullptr;
    QCheckBox* cbxAutoStart = nullptr;
    QCheckBox* cbxAutoSave = nullptr;
    QSlider* tbMaxEnt = nullptr;
    QFrame* pnlBtns = nullptr;
    QPushButton* btnReSet = nullptr;
    QPushButton* btnStop = nullptr;
    QPushButton* btnStart = nullptr;
    QPushButton* btnSave = nullptr;
    QPushButton* btnClear = nullptr;
    QPushButton* btnPause = nullptr;
    QTabWidget* pgcTrack = nullptr;
    QWidget* tsTrack = nullptr;
    QTreeWidget* lvChanges = nullptr;
    QWidget* tsDetails = nullptr;
    QTreeWidget* lvDetails = nullptr;
    QSplitter* splitDetails = nullptr;
    QTableWidget* dgProps = nullptr;

protected:
    void showEvent(QShowEvent* event) override;

private:
    std::array<QCheckBox*, 7> OptionBoxes() const;
    // The program's folders, which cannot be tracked.
    QStringList OwnFolders() const;
    void SetTrackingState(bool tracking);
    void EmptyLists();
    void ClearDetails();
    void Refill();
    void FitGridColumns();

    TTrackHelp* m_help = nullptr;
    bool m_tracking = false;
    bool m_paused = false;
    std::array<QString, 14> m_longDates;
};
