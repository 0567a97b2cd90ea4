// The desktop program: single-instance guard, main window, message loop, orderly shutdown.
#include "app/tool_table.h"
#include "base/random.h"
#include "platform/folders.h"
#include "platform/instance_guard.h"
#include "platform/signal_watcher.h"
#include "script/script_engine.h"
#include "shell/application.h"
#include "shell/master_window.h"
#include "shell/splash_window.h"

#include <QApplication>
#include <QPointer>
#include <QScopeGuard>
#include <QTimer>

#include <cstdio>
#include <memory>

int main(int argc, char** argv) {
    TApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("quiva-tessaline"));
    QApplication::setApplicationDisplayName(QStringLiteral("Quiva Tessaline"));
    QApplication::setQuitOnLastWindowClosed(true);

    // SIGTERM, SIGINT and SIGHUP (a desktop logout too) end the program through its normal
    // shutdown, so the shown tool's settings and the shell state are saved. A signal that
    // arrives before the message loop runs waits in the watcher until it does.
    // A request handled before the loop runs (while the main window is built) is kept
    // in quitAsked, since quitting does nothing outside the loop.
    bool quitAsked = false;
    auto quit = [&quitAsked] {
        quitAsked = true;
        QCoreApplication::quit();
    };
    TSignalWatcher signalWatcher;
    QObject::connect(&signalWatcher, &TSignalWatcher::terminationRequested, &app, quit);
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &app,
                     [quit](QSessionManager&) { quit(); });

    // A second start hands over to the running instance and ends before it builds any
    // window or opens any database.
    TInstanceGuard guard;
    if (!guard.Start()) {
        if (guard.HandOverFailed()) {
            std::fprintf(stderr,
                         "Quiva Tessaline: another Quiva process (a quiva command) is using "
                         "the program's data; start the program again when it has ended.\n");
            return 1;
        }
        return 0;
    }
    SeedRandomFromSystem();

    int result = 0;
    {
        // The splash shows while the main window is built and goes one second after the
        // main window shows; whatever ends the start-up early takes it away too.
        QPointer<TfrmSplash> splash = new TfrmSplash;
        const auto freeSplash = qScopeGuard([&splash] { delete splash; });
        splash->ShowNow();
        auto master = std::make_unique<TMaster>(DefaultProgramFolder(), ToolTable());
        QObject::connect(&guard, &TInstanceGuard::raiseRequested, master.get(),
                         &TMaster::RestoreAndRaise);
        QObject::connect(&guard, &TInstanceGuard::quitRequested, &app, quit);
        splash->CloseAfterShown(master.get());
        master->show();

        // Without a display the start script asks for a picture of the main window.
        const QString screenshot = qEnvironmentVariable("QUIVA_SCREENSHOT");
        if (!screenshot.isEmpty()) {
            QTimer::singleShot(1500, master.get(), [window = master.get(), screenshot]() {
                const bool saved = window->grab().save(screenshot, "PNG");
                std::fprintf(stderr, "%s %s\n", saved ? "Screenshot saved to" : "Could not save",
                             qPrintable(screenshot));
                QCoreApplication::exit(saved ? 0 : 1);
            });
        }
        result = quitAsked ? 0 : app.exec();
    }
    TScriptEngine::Instance().Shutdown();
    return result;
}
