// The program's only top-level window and the desktop's host: the tool tree, the panel
// that shows one tool window at a time, the fading status panel, menus, tray icon and
// timers, and every host service the tools call.
#pragma once

#include "shell/form_base.h"
#include "shell/host.h"
#include "shell/tool_registry.h"

#include <QMainWindow>
#include <QPointer>

#include <functional>

class QAction;
class QMenu;
class QSystemTrayIcon;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;
class TStatusPanel;

// Busy modes of BeginBusy/EndBusy.
enum TBusyMode : int {
    kBusyFade = 0,  // show the text and let it fade
    kBusyHold = 1,  // show the text and keep it
    kBusyKeep = 2,  // keep the current text; only the colour changes
};

// Thread safety: main thread only. Workers reach it through queued calls.
class TMaster : public QMainWindow, public THost {
    Q_OBJECT
public:
    // Builds the window, opens the stores in the program folder and starts the script
    // engine. Becomes the program's host.
    explicit TMaster(const QString& programFolder, QWidget* parent = nullptr);
    // Frees the shown window (its settings are saved), saves the shell state, compacts
    // and closes the databases.
    ~TMaster() override;

    // ---- host services ------------------------------------------------------------
    void ShowStatus(const QString& text, bool hold, int kind) override;
    void BeginBusy(const QString& text, int mode, int kind);
    void EndBusy(const QString& text, int mode, int kind);
    // True between BeginBusy and EndBusy.
    bool IsBusy() const;
    // An action ended by a failure its handler did not catch: ends the busy state if one
    // is on and shows the text as an error.
    void ReportFailure(const QString& text);
    int ToolboxWidth() const;
    // Frees the current window and shows a new one made by the factory, with its help
    // context; a non-empty message is then shown with the given kind.
    void ShowPanelWindow(TToolFactory factory, int helpContext, int kind, const QString& message);
    void SetCheckInterval(int ms);
    void RestoreCheckInterval();

    // ---- the tool tree -----------------------------------------------------------------
    // Shows the tool of a registry index as a click on its node does.
    void SelectTool(int index);
    // The window shown in the panel, or nullptr.
    TFormBase* CurrentWindow() const { return m_current; }
    QTreeWidget* ToolTree() const { return tvQV; }
    QWidget* ToolPanel() const { return pnlTool; }
    TStatusPanel* StatusPanel() const { return m_status; }
    QTimer* FadeTimer() const { return tmrQV; }
    QTimer* CheckTimer() const { return tmrCheck; }
    QAction* ShowToolboxAction() const { return mnuShowToolbox; }
    QSystemTrayIcon* TrayIcon() const { return m_tray; }

    // Sizes the main window around a window of the panel and centres it on the screen.
    void FitToWindow(QWidget* window, bool adjustHeight);

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

public slots:
    // Restores the window from the tray or the task bar and brings it to the front.
    void RestoreAndRaise();
    void DoQuit();
    void ShowHideToolBox();
    void WhenHelp();
    // One tick of the fade timer: repaint, then the next step; stops after the last.
    void WhenTime();

protected:
    bool event(QEvent* event) override;
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

private:
    void BuildMenus();
    void BuildTree();
    void BuildTray();
    void ToolSelect(QTreeWidgetItem* item);
    void FreeCurrentWindow();
    void AdoptWindow(TFormBase* window, int helpContext);
    void StatusUpdate(const QString& text, int mode, int kind);
    void Beep();
    void DoEditUP();
    void DoCheckVer();
    void DoShowAbout();

    QTreeWidget* tvQV = nullptr;
    QWidget* pnlTool = nullptr;
    TStatusPanel* m_status = nullptr;
    QTimer* tmrQV = nullptr;
    QTimer* tmrCheck = nullptr;
    QAction* mnuShowToolbox = nullptr;
    QSystemTrayIcon* m_tray = nullptr;
    QMenu* popQV = nullptr;

    QPointer<TFormBase> m_current;
    qint64 m_lastErrorTick = 0;
    int m_savedInterval = 2000;
    bool m_intervalOverride = false;
    bool m_shown = false;
    bool m_closing = false;
    qint64 m_lastSpaceCheck = -1;
    std::vector<std::function<bool()>> m_idleHandlers;
};

// The program's main window, or nullptr when the host is not one (command line, tests).
TMaster* Master();
