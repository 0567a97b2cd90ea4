// The base of every window shown in the main window's panel: the contract between a tool
// and the main window (creation in the panel, sizing, settings load and save, periodic and
// wheel notifications) and the window helpers the tools share.
#pragma once

#include "base/bar_list.h"
#include "ui/tool_context.h"
#include "ui/tool_panel.h"

#include <QByteArray>
#include <QList>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <array>
#include <functional>
#include <optional>

// Thread safety: main thread only, like every widget.
class TFormBase : public QWidget {
    Q_OBJECT
public:
    // Creates the window for the panel with what it may use; it is placed in the panel by
    // PlaceInPanel (the main window calls it once the derived window has built its
    // controls and size). Path slots 0 and 1 start at the home folder.
    TFormBase(QWidget* panel, const TToolContext& context);
    ~TFormBase() override;

    // ---- the contract with the main window ------------------------------------------
    // Reads the stored state and applies it to the controls. Called once after creation,
    // only while the script engine flag is set.
    virtual void LoadSettings() {}
    // Stores the controls' state. Called once before destruction, only while the flag is set.
    virtual void SaveSettings() {}
    // Periodic work of the shown window, on every tick of the main window's check timer.
    virtual void PeriodicCheck() {}
    // Asked before the window goes (another tool is picked, the program closes, a second
    // start takes over): a window holding unsaved work asks the user and may save it.
    // False keeps the window and everything in it as it was.
    virtual bool CanLeave() { return true; }
    // One mouse-wheel step: forward is true when the wheel turned forward.
    virtual void WheelStep(bool forward, const QPoint& position);

    // Parents the window to the panel at (0, 0), shows it and fits the main window to it.
    void PlaceInPanel(QWidget* panel);
    // Sizes the main window around the window (height too when adjustHeight) and centres it.
    void FitMainWindow(bool adjustHeight);
    // LoadSettings when flag 18 is set.
    void AfterConstruction();
    // SaveSettings when flag 18 is set.
    void BeforeDestruction();

    // ---- busy state ----------------------------------------------------------------------
    // Disables every control below the window, remembering each one's state (parents first).
    void DisableAndRemember();
    // Puts back exactly the remembered states and forgets them.
    void RestoreEnabled();

    // ---- path slots ----------------------------------------------------------------------
    // [0] source folder, [1] destination folder, [2] source file, [3] destination file.
    std::array<QString, 4> PathSlots;
    QByteArray GetPathUtf8(int index) const { return PathSlots[index].toUtf8(); }
    void SetPath(int index, const QString& path) { PathSlots[index] = path; }
    // Takes the decoded folder into the slot only when it names an existing folder.
    void SetFolderFromUtf8(int index, const QByteArray& utf8);

    // ---- errors ----------------------------------------------------------------------
    // Deletes the partial file (when named; failure ignored), then ends the busy state with
    // the message as an error that stays.
    void EndWithError(const QString& message, const QString& partialFile = QString());
    // Shows the message as an error that does not fade.
    void ShowStickyError(const QString& message);

    // Runs a long action in the busy state: BeginBusy with busyText (held), the action,
    // then EndBusy with doneText (fading, completion). An error of the action ends the busy
    // state through EndWithError with its message; nothing is deleted, as the engines leave
    // no partial file. Never raises.
    void RunBusy(const QString& busyText, const QString& doneText,
                 const std::function<void()>& action);
    // Shows a progress text of a long action (it fades).
    void ShowProgress(const QString& text);

    // ---- what the window was given ---------------------------------------------------
    const TToolContext& Context() const { return m_context; }
    THost& Host() const { return *m_context.host; }
    TAppStores& Stores() const { return *m_context.stores; }
    TToolPanel* Panel() const { return m_context.panel; }

    // ---- settings envelope ---------------------------------------------------------------
    // Builds "field|field|...|", scrambles it and stores it under the key. Never raises.
    void SaveFields(const QByteArray& key, const QList<QByteArray>& fields);
    // The stored fields of a key when there are exactly `count` of them; none when nothing
    // is stored, the text is damaged or the count differs.
    std::optional<TBarList> LoadFields(const QByteArray& key, qsizetype count);

    // ---- small window helpers ------------------------------------------------------------
    // Puts the text on the clipboard.
    static void CopyTextToClipboard(const QString& text);
    // The folder browser; the chosen folder without a trailing "/" (the root keeps its own),
    // or none when cancelled. A preselected folder that does not exist is ignored.
    std::optional<QString> PickFolder(const QString& title, const QString& preselected);
    // A Yes/No question; true on Yes.
    bool ConfirmYesNo(const QString& text, int helpContext);
    // Opens a file or link with the desktop's default action. True when that FAILED.
    static bool ShellOpen(const QString& target);

    // True while the window applies stored settings, so change handlers can ignore it.
    bool Loading() const { return m_loading; }

protected:
    bool m_loading = false;

private:
    TToolContext m_context;
    QList<QPair<bool, QPointer<QWidget>>> m_remembered;
};

// Shared helpers of the window layer.

// Sets the help context number on a widget and every widget below it.
void ApplyHelpContext(QWidget* widget, int helpContext);
int HelpContextOf(const QWidget* widget);

// Every direct child gets the enabled flag; a child with children passes it on, and inside
// such a child each leaf control also gets its hint display switched with the flag.
void SetChildrenEnabled(QWidget* container, bool enabled);

// Sets a two-part hint "tooltip|status text": the part before "|" is the tooltip, the part
// after it the status text (the whole hint when it has no "|").
void SetHint(QWidget* widget, const QString& hint);

// Loads the program's logo into a label; failures are ignored.
void LoadLogo(class QLabel* image);
