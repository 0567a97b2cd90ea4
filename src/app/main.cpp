// The desktop program: single-instance guard, main window, message loop, orderly shutdown.
#include "app/screenshot_tour.h"
#include "app/tool_table.h"
#include "base/random.h"
#include "base/version.h"
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
#include <cstring>
#include <memory>

namespace {

void PrintUsage() {
    std::printf(
        "Usage: quiva-tessaline [--help] [--version]\n"
        "\n"
        "Starts the Quiva Tessaline desktop tool kit: one window with a tree of tools\n"
        "(Backup, Compare, Date Control, DirTrack, EquiSize, Fill, HexEdit, Name Control,\n"
        "Splice, Split, Checksummer, Pwd Maker) and a panel that shows the tool picked.\n"
        "Every tool remembers its inputs in $XDG_DATA_HOME/quiva-tessaline/ (by default\n"
        "~/.local/share/quiva-tessaline/). A second start brings the running program to\n"
        "the front. The command line quiva(1) runs the same engines for scripting.\n"
        "\n"
        "Options:\n"
        "  --help       show this text\n"
        "  --version    show the program version\n"
        "\n"
        "Environment:\n"
        "  XDG_DATA_HOME            where the program's folder is made\n"
        "  QUIVA_SCREENSHOT         save a picture of the main window to this PNG file,\n"
        "                           then end\n"
        "  QUIVA_SCREENSHOT_FOLDER  save a picture of every window into this folder,\n"
        "                           then end\n");
}

// The refusal of an argument the program does not know; returns the usage error's code.
int RefuseArgument(const char* argument) {
    const bool option = argument[0] == '-';
    std::fprintf(stderr,
                 "quiva-tessaline: %s '%s'\n"
                 "Try 'quiva-tessaline --help' for more information.\n",
                 option ? "unknown option" : "unexpected argument", argument);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    // Answered before anything else, so that they need no display.
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        PrintUsage();
        return 0;
    }
    if (argc == 2 && (std::strcmp(argv[1], "--version") == 0 || std::strcmp(argv[1], "-V") == 0)) {
        std::printf("quiva-tessaline %s\n", kQuivaVersion);
        return 0;
    }
    // The program takes no file or other argument; Qt's own options ("-platform NAME",
    // "-style NAME", ...) are taken by the application object, and whatever it leaves is
    // refused before any window is built.
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] != '-' && (i == 1 || argv[i - 1][0] != '-')) {
            return RefuseArgument(argv[i]);
        }
    }
    TApplication app(argc, argv);
    if (argc > 1) {
        return RefuseArgument(argv[1]);
    }
    QApplication::setApplicationName(QStringLiteral("quiva-tessaline"));
    QApplication::setApplicationDisplayName(QStringLiteral("Quiva Tessaline"));
    // The launcher entry the desktop matches the window with.
    QGuiApplication::setDesktopFileName(QStringLiteral(QUIVA_DESKTOP_ID));
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
        // A second start that asks this one to end is answered as Exit is: unsaved work in
        // the shown tool is asked about first.
        QObject::connect(&guard, &TInstanceGuard::quitRequested, master.get(),
                         [window = master.get()] {
                             window->RestoreAndRaise();
                             window->DoQuit();
                         });
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
        // The pictures of the README: every window, shown in turn.
        const QString tourFolder = qEnvironmentVariable("QUIVA_SCREENSHOT_FOLDER");
        if (!tourFolder.isEmpty()) {
            QTimer::singleShot(1500, master.get(), [window = master.get(), tourFolder]() {
                QCoreApplication::exit(TakeScreenshotTour(*window, tourFolder) == 0 ? 0 : 1);
            });
        }
        result = quitAsked ? 0 : app.exec();
    }
    TScriptEngine::Instance().Shutdown();
    return result;
}
