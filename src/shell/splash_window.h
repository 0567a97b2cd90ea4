// The splash window shown while the main window is built: one black picture with an
// elliptic outline, borderless, above other windows and centred on the screen.
#pragma once

#include <QWidget>

class QLabel;

// Thread safety: main thread only.
class TfrmSplash : public QWidget {
    Q_OBJECT
public:
    static constexpr int kWidth = 442;
    static constexpr int kHeight = 253;
    // How long the splash stays after the main window first shows.
    static constexpr int kCloseDelayMs = 1000;

    explicit TfrmSplash(QWidget* parent = nullptr);

    // Shows the splash and paints it at once: the main window is built right after, before
    // the event loop runs.
    void ShowNow();
    // Frees the splash `delayMs` after `mainWindow` first shows, and at once when the main
    // window goes without having shown (a start-up that failed).
    void CloseAfterShown(QWidget* mainWindow, int delayMs = kCloseDelayMs);

    QLabel* imgSplash = nullptr;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void StartClosing();

    QWidget* m_mainWindow = nullptr;
    int m_delayMs = kCloseDelayMs;
    bool m_closing = false;
};
