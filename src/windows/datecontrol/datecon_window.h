// The Date Control window: picks a folder and a mask, a date and time for each of the three
// file times (or "Don't Change"), and sets the times of the matching files, listing the
// failures. The creation time cannot be set on Linux: its group stays visible but locked.
#pragma once

#include "ui/form_base.h"

#include <array>
#include <functional>
#include <optional>

class QCalendarWidget;
class QCheckBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTimeEdit;
class QToolButton;
class TEllPath;

// Thread safety: main thread only.
class TfrmDateCon : public TFormBase {
    Q_OBJECT
public:
    // The three times, as the groups and the stored keep flags number them.
    enum TTimeGroup : int { kCreation = 0, kAccess = 1, kModification = 2 };

    TfrmDateCon(QWidget* panel, const TToolContext& context);

    void LoadSettings() override;
    void SaveSettings() override;

    // ---- handlers ----------------------------------------------------------------------
    void DoDestBrowse();
    // A "Don't Change" box was released: its group's controls follow it.
    void DontMU(int tag);
    void DoReSet();
    // Checks the inputs, runs the mask check script and sets the times.
    void DoChange();

    // The calendars allow the range of the source folder's file system (only the dates it
    // can hold), which the status bar names.
    void SetDateRange();

    // The moment a group shows (its calendar's date and its picker's time).
    QDateTime Moment(int group) const;
    void SetMoment(int group, const QDateTime& moment);

    // Replaceable so that tests answer them: the folder dialog (none when cancelled) and the
    // question whether a folder lies on a FAT volume.
    std::function<std::optional<QString>()> AskFolder;
    std::function<bool(const QString&)> IsFatFolder;

    QFrame* pnlDir = nullptr;
    QLabel* lblSource = nullptr;
    TEllPath* stSource = nullptr;
    QToolButton* sbnBrowse = nullptr;
    QFrame* bvlOne = nullptr;
    QLabel* lblMask = nullptr;
    QLineEdit* edtMask = nullptr;
    QGroupBox* gbCD = nullptr;
    QCalendarWidget* mcCD = nullptr;
    QTimeEdit* dtpCD = nullptr;
    QCheckBox* cbxNoCD = nullptr;
    QGroupBox* gbLAD = nullptr;
    QCalendarWidget* mcLAD = nullptr;
    QTimeEdit* dtpLAD = nullptr;
    QCheckBox* cbxNoLAD = nullptr;
    QGroupBox* gbLMD = nullptr;
    QCalendarWidget* mcLMD = nullptr;
    QTimeEdit* dtpLMD = nullptr;
    QCheckBox* cbxNoLMD = nullptr;
    QPlainTextEdit* memoResults = nullptr;
    QFrame* pnlBtns = nullptr;
    QPushButton* btnReset = nullptr;
    QPushButton* btnChange = nullptr;

private:
    void SetAllToNow();
    // A calendar moved to another month (its arrows, or a year typed into its header): the
    // selected day moves with it, so that the date Change uses is the one on screen.
    void FollowPage(int group, int year, int month);
    void LockCreation();

    std::array<QGroupBox*, 3> m_groups{};
    std::array<QCalendarWidget*, 3> m_calendars{};
    std::array<QTimeEdit*, 3> m_pickers{};
    std::array<QCheckBox*, 3> m_keepBoxes{};
};
