// The desktop program.
#include "platform/folders.h"
#include "shell/master_window.h"
#include "shell/random.h"
#include "shell/script_engine.h"

#include <QApplication>
#include <QScreen>
#include <QTimer>

#include <cstdio>

int main(int argc, char** argv) {
    SeedRandomFromSystem();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quiva Tessaline"));
    QApplication::setApplicationDisplayName(QStringLiteral("Quiva Tessaline"));

    int result = 0;
    {
        TMaster master(DefaultProgramFolder());
        master.show();

        // Without a display the start script asks for a picture of the main window.
        const QString screenshot = qEnvironmentVariable("QUIVA_SCREENSHOT");
        if (!screenshot.isEmpty()) {
            QTimer::singleShot(1000, &master, [&master, screenshot]() {
                const bool saved = master.grab().save(screenshot, "PNG");
                std::fprintf(stderr, "%s %s\n", saved ? "Screenshot saved to" : "Could not save",
                             qPrintable(screenshot));
                QApplication::exit(saved ? 0 : 1);
            });
        }
        result = app.exec();
    }
    TScriptEngine::Instance().Shutdown();
    return result;
}
