// Starts the desktop program's main window as the program does (splash, main window with
// its stores and services) and prints, in milliseconds, the time from the moment in
// QUIVA_BENCH_T0 (CLOCK_MONOTONIC nanoseconds, taken by the caller just before it started
// this process) to the main window's first paint, then for each tool of the tree the time
// from picking it to its window's first paint, and the resident memory.
#include "app/tool_table.h"
#include "base/random.h"
#include "platform/folders.h"
#include "script/script_engine.h"
#include "shell/application.h"
#include "shell/master_window.h"
#include "shell/splash_window.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QFile>
#include <QKeyEvent>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>

#include <cstdio>
#include <ctime>
#include <memory>

namespace {

qint64 NowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Notes the first paint of any widget inside the watched window.
class TPaintWatch : public QObject {
public:
    QWidget* watched = nullptr;
    qint64 paintedAt = 0;

protected:
    bool eventFilter(QObject* object, QEvent* event) override {
        if (event->type() == QEvent::Paint && paintedAt == 0 && watched != nullptr &&
            object->isWidgetType()) {
            auto* widget = static_cast<QWidget*>(object);
            if (widget == watched || watched->isAncestorOf(widget)) {
                paintedAt = NowNs();
            }
        }
        return false;
    }
};

// Runs the event loop until the watched window has painted (at most 20 s).
void WaitForPaint(TPaintWatch& watch) {
    QElapsedTimer limit;
    limit.start();
    while (watch.paintedAt == 0 && limit.elapsed() < 20000) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    }
}

// "VmRSS" or "VmHWM" of this process in KiB.
long MemoryKib(const char* field) {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) {
        return -1;
    }
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(field)) {
            return line.mid(qstrlen(field) + 1).trimmed().split(' ').first().toLong();
        }
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    const qint64 t0 = qEnvironmentVariable("QUIVA_BENCH_T0").toLongLong();
    const qint64 start = t0 > 0 ? t0 : NowNs();
    TApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("quiva-tessaline"));
    QApplication::setApplicationDisplayName(QStringLiteral("Quiva Tessaline"));
    SeedRandomFromSystem();
    TPaintWatch watch;
    app.installEventFilter(&watch);
    int result = 0;
    {
        auto* splash = new TfrmSplash;
        splash->ShowNow();
        auto master = std::make_unique<TMaster>(DefaultProgramFolder(), ToolTable());
        splash->CloseAfterShown(master.get());
        watch.watched = master.get();
        master->show();
        WaitForPaint(watch);
        std::printf("main %.1f\n", (watch.paintedAt - start) / 1e6);
        std::printf("rss_main_kib %ld\n", MemoryKib("VmRSS:"));

        QTreeWidget* tree = master->ToolTree();
        tree->expandAll();
        QList<QTreeWidgetItem*> tools;
        for (QTreeWidgetItemIterator it(tree, QTreeWidgetItemIterator::NoChildren); *it; ++it) {
            if ((*it)->parent() != nullptr) {
                tools.append(*it);
            }
        }
        for (QTreeWidgetItem* node : tools) {
            watch.paintedAt = 0;
            watch.watched = nullptr;
            tree->setFocus();
            tree->setCurrentItem(node);
            const qint64 picked = NowNs();
            // Picked as a user picks it: Enter on the current node.
            QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
            QCoreApplication::sendEvent(tree, &press);
            QKeyEvent release(QEvent::KeyRelease, Qt::Key_Return, Qt::NoModifier);
            QCoreApplication::sendEvent(tree, &release);
            watch.watched = master->CurrentWindow();
            if (watch.watched == nullptr) {
                std::printf("tool %s -1\n", qPrintable(node->text(0)));
                result = 1;
                continue;
            }
            WaitForPaint(watch);
            std::printf("tool %s %.1f\n", qPrintable(node->text(0)),
                        (watch.paintedAt - picked) / 1e6);
        }
        std::printf("rss_end_kib %ld\n", MemoryKib("VmRSS:"));
        std::printf("rss_peak_kib %ld\n", MemoryKib("VmHWM:"));
        std::fflush(stdout);
    }
    TScriptEngine::Instance().Shutdown();
    return result;
}
