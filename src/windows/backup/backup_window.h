// The Backup window: backup profiles (their folder, extensions, options and override rules,
// monitoring, full backups and pruning), the stored versions of a profile (search,
// discard, restore, extract, and one file's whole history) and the backup log.
#pragma once

#include "backup/backup_store.h"
#include "ui/form_base.h"

#include <QColor>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class QCalendarWidget;
class QCheckBox;
class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QPushButton;
class QTabWidget;
class QToolButton;
class QTreeWidget;
class QTreeWidgetItem;
class QWidget;
class TBackupStore;
class TEllPath;
class TProfile;
class TProfiles;

// The four states a profile is drawn in, read from its bits. A profile that is active
// without being ready (its folder went away) is drawn by what it does.
enum TProfileState : int {
    kStateNotReady = 0,    // regular black
    kStateReady = 1,       // bold black
    kStateMonitoring = 2,  // red
    kStateOneShot = 3,     // purple: a full backup or pruning run
};
TProfileState ProfileState(const TProfile& profile);
QColor ProfileStateColour(TProfileState state);

// Thread safety: main thread only. The end of a profile's run reaches it through the
// profile list's RunConcluded signal, on the main thread.
class TfrmBackup : public TFormBase {
    Q_OBJECT
public:
    // Builds the three pages, fills both profile lists, reloads the log view and sets the
    // main window's check interval to 30 s (the old one comes back when it closes).
    TfrmBackup(QWidget* panel, const TToolContext& context);
    // Stores every profile without stopping any, and puts the check interval back.
    ~TfrmBackup() override;

    // The tool state "Backup": the extension catalogue, the search mask, the shown
    // profile, both calendar days and "Assign Date".
    void LoadSettings() override;
    void SaveSettings() override;
    // Reloads the log view.
    void PeriodicCheck() override;

    // ---- the Profiles page -------------------------------------------------------------
    // Stores the profile shown before, then shows `profile` (or none) and enables the
    // page for its state.
    void ShowProfile(TProfile* profile);
    // Enables the page for an idle or an active shown profile, repaints both profile
    // lists and empties the results.
    void SetIdleState(bool idle);
    // Hands the extensions (lines) to the shown profile and shows whether it is ready.
    void ApplyExtensions(const QStringList& lines);
    // Lists the target's subfolders, checked when the profile ignores them.
    void FillIgnoreList();
    // A profile's run ended by itself: the page returns to idle when it is the shown
    // profile; both lists are repainted in any case.
    void RefreshProfile(int profileNumber);

    void DoSelProf();
    void DoAdd();
    void DoDelete();
    void DoRename();
    void DoStartMon();
    void DoStop();
    void DoFullBackup();
    void DoPrune();
    void DoDiscall();
    void DoBrowse();
    void DoAddExt();
    void DoRemExt();
    void DoAddCustom();
    // One of the six option boxes was clicked (tag: its bit).
    void FlagsMU(int tag);
    void DoSetSkip();
    void DoSetRule();
    void DoSetPrior();
    // Always Backup (tag 0), Always Skip (1) or Never Discard (2).
    void DoAddBSN(int tag);
    void DoRemBSN(int tag);
    void IgFoldMU();

    // ---- the Backups Manager page --------------------------------------------------------
    void DoSelBrowseProf();
    void DoSearch();
    void WhenResSelect();
    void DoCheckUnCheck();
    void DoDiscard();
    void DoRestore();
    void DoExtract();
    // Lists every stored version of the current result's file (same folder and name)
    // under its profile, newest first, in place of the results.
    void DoHistory();

    // ---- both lists and the log ------------------------------------------------------
    // A column heading was clicked: the same column inverts the order, another keeps it.
    // Sizes sort as numbers and dates as dates; the other columns as texts.
    void WhenCClick(QTreeWidget* list, int column);
    void DoClearLog();
    void DoRefresh();

    // The sort state shared by the results and the log for the program's run.
    struct TSortState {
        int column = 0;
        bool descending = false;
    };
    static TSortState& SortState();

    // ---- what the window works with ----------------------------------------------------
    TProfile* ShownProfile() const;
    TProfiles* ProfileList() const;
    TBackupStore* Store() const;
    const QString& ExtractFolder() const { return m_extractFolder; }
    // The version a result item stands for.
    std::optional<TVersionRow> ResultVersion(const QTreeWidgetItem* item) const;

    // The dialogs, replaceable so that tests answer them: the target folder (none when
    // cancelled), a Yes/No question, and an extraction's destination file (empty when
    // cancelled) asked with the folder it opens in, the extension without its dot and
    // the name proposed.
    std::function<std::optional<QString>()> AskTargetFolder;
    std::function<bool(const QString& text, int helpContext)> AskYesNo;
    std::function<QString(const QString& folder, const QString& extension, const QString& name)>
        AskDestination;

    // ---- controls ----------------------------------------------------------------------
    QTabWidget* pgcBackup = nullptr;
    QWidget* tsBackup = nullptr;
    QWidget* tsRestore = nullptr;
    QWidget* tsLog = nullptr;

    QFrame* pnlProfiles = nullptr;
    QListWidget* lbProfiles = nullptr;
    QLineEdit* edtMoni = nullptr;
    QPushButton* btnRename = nullptr;
    QPushButton* btnDelete = nullptr;
    QPushButton* btnAdd = nullptr;
    QPushButton* btnStop = nullptr;
    QPushButton* btnStart = nullptr;
    QFrame* pnlData = nullptr;
    QLabel* lblSource = nullptr;
    TEllPath* edtTarget = nullptr;
    QToolButton* sbnBrowse = nullptr;
    QTabWidget* pgcProfile = nullptr;
    QWidget* tsDefaults = nullptr;
    QWidget* tsOverrides = nullptr;
    QListWidget* lbMasks = nullptr;
    QPushButton* btnUse = nullptr;
    QPushButton* btnRemove = nullptr;
    QLineEdit* edtCustom = nullptr;
    QPushButton* btnCustom = nullptr;
    QListWidget* lbExts = nullptr;
    QFrame* pnlProOpts = nullptr;
    QCheckBox* cbxAutoStart = nullptr;
    QCheckBox* cbxDetLog = nullptr;
    QCheckBox* cbxPriority = nullptr;
    QCheckBox* cbxNoZero = nullptr;
    QCheckBox* cbxRecurse = nullptr;
    QCheckBox* cbxTetu = nullptr;
    QCheckBox* cbxClassic = nullptr;
    QLabel* lblSkipSize = nullptr;
    QComboBox* cbSkip = nullptr;
    QLabel* lblDiscRule = nullptr;
    QComboBox* cbDiscard = nullptr;
    QGroupBox* gbAlB = nullptr;
    QListWidget* lbABack = nullptr;
    QLineEdit* edtABack = nullptr;
    QToolButton* bbnAbA = nullptr;
    QToolButton* sbnABackR = nullptr;
    QGroupBox* gbAlS = nullptr;
    QListWidget* lbASkip = nullptr;
    QLineEdit* edtASkip = nullptr;
    QToolButton* sbnASA = nullptr;
    QToolButton* sbnASkipR = nullptr;
    QGroupBox* gbND = nullptr;
    QListWidget* lbNevDis = nullptr;
    QLineEdit* edtNevDis = nullptr;
    QToolButton* sbnNDAdd = nullptr;
    QToolButton* sbnNevDisR = nullptr;
    QGroupBox* gbIgFold = nullptr;
    QListWidget* clbIgFold = nullptr;
    QLabel* lblPrior = nullptr;
    QComboBox* cbPrior = nullptr;
    QPushButton* btnFullBack = nullptr;
    QPushButton* btnDiscAll = nullptr;
    QPushButton* btnPrune = nullptr;

    QTreeWidget* lvResults = nullptr;
    QLabel* lblPros = nullptr;
    QListWidget* lbPros = nullptr;
    QLabel* lblBet = nullptr;
    QCalendarWidget* mcFrom = nullptr;
    QLabel* lblAnd = nullptr;
    QCalendarWidget* mcTo = nullptr;
    QLabel* lblMask = nullptr;
    QLineEdit* edtMask = nullptr;
    QPushButton* btnBrowse = nullptr;
    QPushButton* btnRestore = nullptr;
    QPushButton* btnExtract = nullptr;
    QCheckBox* cbxChDate = nullptr;
    QPushButton* btnChkAll = nullptr;
    QPushButton* btnDiscard = nullptr;
    QLabel* lblPwd = nullptr;
    QLineEdit* edtPwd = nullptr;
    QCheckBox* cbxMask = nullptr;  // edtPwd shows "*" while it is checked

    QTreeWidget* lvLog = nullptr;
    QPushButton* btnClear = nullptr;
    QPushButton* btnRefresh = nullptr;

private:
    void BuildProfilesPage();
    void BuildDefaultsPage();
    void BuildOverridesPage();
    void BuildRestorePage();
    void BuildLogPage();
    void ConnectHandlers();

    void ShowError(const QString& message);
    void FillProfileLists();
    void RepaintProfileLists();
    // The item of a profile in a profile list, or null.
    QListWidgetItem* ProfileItem(QListWidget* list, int profileNumber) const;
    void AddProfileItems(TProfile* profile);
    void EnableRunButtons(bool idle);
    void FillMasks();
    QListWidget* OverrideList(int tag) const;
    QLineEdit* OverrideEdit(int tag) const;
    void FillOverrideList(int tag);
    void EmptyResults();
    void AddResult(const TVersionRow& row);
    // The result items that are selected or checked, in list order.
    QList<QTreeWidgetItem*> CollectItems() const;
    // Restores (extract false) or extracts the collected items.
    void WriteCollected(bool extract);
    void AddCatalogueEntry(const QString& extension);

    TProfile* m_shown = nullptr;
    int m_profileIndex = -1;
    int m_browseIndex = 0;
    int m_selectedVersion = 0;
    int m_profileToShow = 0;
    int m_lastDay = 0;
    QString m_extractFolder;
    QList<int> m_collected;
    QHash<int, TVersionRow> m_versions;
};
