// The program's only top-level window and the desktop's host: the tool tree, the panel
// that shows one tool window at a time (its tool panel), the fading status panel, menus,
// tray icon and timers. It holds the desktop program's services and hands them to the
// tool windows it shows.
#pragma once

#include "backup/backup_service.h"
#include "base/host.h"
#include "script/script_runner.h"
#include "storage/app_stores.h"
#include "tools/dirtrack/track_help.h"
#include "ui/form_base.h"
#include "ui/tool_entry.h"
#include "ui/tool_panel.h"

#include <QMainWindow>
#include <QPointer>

#include <functional>
#include <memory>

class QAction;
class QMenu;
class QSystemTrayIcon;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;
class TStatusPanel;
class TWinWrap;

// What makes a window for the panel: a tool's factory, or one that hands a shell window
// more than the context.
using TPanelFactory = std::function<TFormBase*(QWidget* panel, const TToolContext& context)>;

// The property of the menu entries that stay usable while the main window is busy (Exit,
// Help, Show Toolbox); every other entry replaces the shown window or starts an action.
inline constexpr const char* kStaysWhileBusyProperty = "quivaStaysWhileBusy";

// Thread safety: main thread only. Workers reach it through queued calls.
class TMaster : public QMainWindow, public THost, public TToolPanel {
    Q_OBJECT
public:
    // Builds the window with the tree of `tools`, opens the stores in the program folder,
    // starts the script engine and, last, the backup profiles. Becomes the program's host.
    TMaster(const QString& programFolder, TToolTable tools, QWidget* parent = nullptr);
    // Frees the shown window (its settings are saved), stops the profiles, saves the shell
    // state, compacts and closes the databases.
    ~TMaster() override;

    // ---- host and tool panel ---------------------------------------------------------
    void ShowStatus(const QString& text, bool hold, int kind) override;
    void BeginBusy(const QString& text, int mode, int kind) override;
    void EndBusy(const QString& text, int mode, int kind) override;
    bool IsBusy() const override;
    // An action ended by a failure its handler did not catch: ends the busy state if one
    // is on and shows the text as an error.
    void ReportFailure(const QString& text);
    int ToolboxWidth() const;
    // Frees the current window and shows a new one made by the factory, with its help
    // context; a non-empty message is then shown with the given kind.
    void ShowPanelWindow(const TPanelFactory& factory, int helpContext, int kind,
                         const QString& message);
    int CheckInterval() const override;
    void SetCheckInterval(int ms) override;
    void RestoreCheckInterval() override;

    // ---- the desktop program's services ---------------------------------------------
    TAppStores& Stores() { return m_stores; }
    TScriptRunner& Scripts() { return m_scripts; }
    TBackupService& Backups() { return m_backups; }
    // What a window shown in the panel is given.
    TToolContext ToolContext();

    // ---- the tool tree -----------------------------------------------------------------
    // Shows the tool of a registry index as a click on its node does.
    void SelectTool(int index);
    // The table the tree was built from; the entry of an index, or nullptr.
    const TToolTable& Tools() const { return m_tools; }
    const TToolEntry* FindTool(int index) const;
    // Replaces the window class of an index (tests show their own windows through it).
    void SetToolFactory(int index, TToolFactory factory);
    // The window shown in the panel, or nullptr.
    TFormBase* CurrentWindow() const { return m_current; }
    QTreeWidget* ToolTree() const { return tvQV; }
    QWidget* ToolPanel() const { return pnlTool; }
    TStatusPanel* StatusPanel() const { return m_status; }
    QTimer* FadeTimer() const { return tmrQV; }
    QTimer* CheckTimer() const { return tmrCheck; }
    QAction* ShowToolboxAction() const { return mnuShowToolbox; }
    QSystemTrayIcon* TrayIcon() const { return m_tray; }

    // Sizes the main window around a window of the panel and centres it on the screen. The
    // window's own size is its smallest: the user may enlarge the main window, and the
    // window then fills the panel.
    void FitToWindow(QWidget* window, bool adjustHeight) override;

    // Work the application's idle time drives: the handler returns true while it has more
    // to do (it is then called again soon).
    void AddIdleHandler(std::function<bool()> handler);
    // The idle work, also callable directly (tests).
    void WhenIdle();

    // The hint of the widget under the mouse changed (its status part).
    void WhenHint(const QString& hint);

    // Milliseconds clock used for the error hold against hints (tests may replace it).
    std::function<qint64()> Tick;

    // The window that greets the user at start.
    static TToolFactory WelcomeFactory;

    // ---- the shell's own windows -------------------------------------------------------
    // The menu entries: Options > User Preferences, Help > Check Current Version and
    // Help > About.
    void DoEditUP();
    void DoCheckVer();
    void DoShowAbout();
    // The HTTP client of the version check, made on first use; the byte counts it reports
    // are shown in the status panel.
    TWinWrap& HttpClient();
    // True while DirTrack tracks (its tracking object answers here); the preferences then
    // refuse to move the data folder.
    bool IsDirTrackRunning() const;

public slots:
    // Restores the window from the tray or the task bar and brings it to the front.
    void RestoreAndRaise();
    // Exit: quits once the shown window lets go (CanLeave).
    void DoQuit();
    void ShowHideToolBox();
    void WhenHelp();
    // One tick of the fade timer: repaint, then the next step; stops after the last.
    void WhenTime();

protected:
    bool event(QEvent* event) override;
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

private:
    void BuildMenus();
    void BuildTree();
    void BuildTray();
    // While busy, every menu entry that would replace the shown window or start an action
    // is disabled (each one's own state remembered); Exit, Help and Show Toolbox stay.
    void LockMenus(bool locked);
    void ToolSelect(QTreeWidgetItem* item);
    void FreeCurrentWindow();
    // True when there is no shown window or it lets go (CanLeave).
    bool CurrentMayLeave();
    void AdoptWindow(TFormBase* window, int helpContext);
    void StatusUpdate(const QString& text, int mode, int kind);
    void Beep();

    TToolTable m_tools;
    // The services, made before the window's parts and freed after the shown window.
    TAppStores m_stores;
    TScriptRunner m_scripts;
    TBackupService m_backups;
    TTrackHelp m_tracking;  // DirTrack's tracking: it outlives every window

    QTreeWidget* tvQV = nullptr;
    QWidget* pnlTool = nullptr;
    TStatusPanel* m_status = nullptr;
    QTimer* tmrQV = nullptr;
    QTimer* tmrCheck = nullptr;
    QAction* mnuShowToolbox = nullptr;
    QSystemTrayIcon* m_tray = nullptr;
    QMenu* popQV = nullptr;
    QList<QPointer<QAction>> m_lockedActions;
    bool m_menusLocked = false;

    QPointer<TFormBase> m_current;
    qint64 m_lastErrorTick = 0;
    int m_savedInterval = 2000;
    bool m_intervalOverride = false;
    bool m_shown = false;
    bool m_closing = false;
    qint64 m_lastSpaceCheck = -1;
    std::vector<std::function<bool()>> m_idleHandlers;

    std::unique_ptr<TWinWrap> m_http;
};

// The program's main window, or nullptr when the host is not one (command line, tests).
TMaster* Master();
