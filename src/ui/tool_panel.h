// What a tool window may ask of the window whose panel shows it: the busy state, fitting
// the main window around the tool, and the interval of the periodic check. The main window
// provides it; tool windows never need the main window itself.
#pragma once

#include <QString>

class QWidget;

// Busy modes of BeginBusy/EndBusy.
enum TBusyMode : int {
    kBusyFade = 0,  // show the text and let it fade
    kBusyHold = 1,  // show the text and keep it
    kBusyKeep = 2,  // keep the current text; only the colour changes
};

// Thread safety: main thread only.
class TToolPanel {
public:
    virtual ~TToolPanel() = default;

    // Disables the tool tree and every control of the shown tool (each control's own state
    // remembered) and shows the text as the mode and kind say.
    virtual void BeginBusy(const QString& text, int mode, int kind) = 0;
    // Puts back exactly the remembered states and shows the text.
    virtual void EndBusy(const QString& text, int mode, int kind) = 0;
    // True between BeginBusy and EndBusy.
    virtual bool IsBusy() const = 0;

    // Sizes the main window around a window of the panel (its height too when
    // adjustHeight) and centres it.
    virtual void FitToWindow(QWidget* window, bool adjustHeight) = 0;

    // The interval of the periodic check (PeriodicCheck) in milliseconds; an override, and
    // the interval before it back again.
    virtual int CheckInterval() const = 0;
    virtual void SetCheckInterval(int ms) = 0;
    virtual void RestoreCheckInterval() = 0;
};
