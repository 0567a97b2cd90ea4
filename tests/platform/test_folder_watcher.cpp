// The folder watcher on real folders with real inotify: writer-done reporting, recursion
// into folders that appear, renames, links, stop requests, a vanishing folder, the
// system's limits and lost events.
#include "platform/folder_watcher.h"
#include "support/test_dir.h"

#include <QDir>
#include <QFile>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
constexpr auto kTimeout = 10s;

// Runs Wait on its own thread, as a change reader does, and records what comes out.
class TReader {
public:
    explicit TReader(TFolderWatcher& watcher) : m_watcher(watcher) {
        m_thread = std::thread([this] {
            for (;;) {
                QList<TFolderChange> batch;
                const auto result = m_watcher.Wait(batch);
                std::lock_guard guard(m_lock);
                m_changes += batch;
                if (result == TFolderWatcher::kWaitLost) {
                    ++m_lost;
                }
                if (result == TFolderWatcher::kWaitStopped ||
                    result == TFolderWatcher::kWaitFailed) {
                    m_end = result;
                    m_changed.notify_all();
                    return;
                }
                m_changed.notify_all();
            }
        });
    }
    ~TReader() { Stop(); }

    void Stop() {
        m_watcher.RequestStop();
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }
    // Waits (bounded) until a record with this action and name has come.
    bool WaitFor(int action, const QString& name) {
        std::unique_lock guard(m_lock);
        return m_changed.wait_for(guard, kTimeout, [&] { return HasLocked(action, name); });
    }
    bool WaitForEnd() {
        std::unique_lock guard(m_lock);
        return m_changed.wait_for(guard, kTimeout, [&] { return m_end >= 0; });
    }
    bool WaitForLoss() {
        std::unique_lock guard(m_lock);
        return m_changed.wait_for(guard, kTimeout, [&] { return m_lost > 0; });
    }
    bool Has(int action, const QString& name) {
        std::lock_guard guard(m_lock);
        return HasLocked(action, name);
    }
    bool Mentions(const QString& name) {
        std::lock_guard guard(m_lock);
        return std::any_of(m_changes.cbegin(), m_changes.cend(),
                           [&](const TFolderChange& c) { return c.name == name; });
    }
    int End() {
        std::lock_guard guard(m_lock);
        return m_end;
    }
    QList<TFolderChange> Changes() {
        std::lock_guard guard(m_lock);
        return m_changes;
    }

private:
    bool HasLocked(int action, const QString& name) const {
        return std::any_of(m_changes.cbegin(), m_changes.cend(), [&](const TFolderChange& c) {
            return c.action == action && c.name == name;
        });
    }

    TFolderWatcher& m_watcher;
    std::thread m_thread;
    std::mutex m_lock;
    std::condition_variable m_changed;
    QList<TFolderChange> m_changes;
    int m_lost = 0;
    int m_end = -1;
};

TFolderWatcher::TOptions BackupOptions(bool recursive = true) {
    TFolderWatcher::TOptions options;
    options.recursive = recursive;
    options.filter = kNotifyFileName | kNotifyLastWrite;
    options.whenWriterDone = true;
    return options;
}

void Touch(const QString& path, const QByteArray& content = "x") {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Append)) << qPrintable(path);
    file.write(content);
}

class FolderWatcher : public ::testing::Test {
protected:
    QString Root() const { return m_dir.Sub("watched"); }
    QString At(const QString& name) const { return Root() + "/" + name; }
    void SetUp() override { m_dir.MakeDir("watched"); }
    TestDir m_dir;
};

TEST_F(FolderWatcher, AFileIsReportedWhenItsWriterIsDone) {
    TFolderWatcher watcher;
    ASSERT_TRUE(watcher.Open(Root(), BackupOptions()));
    TReader reader(watcher);

    QFile half(At("half.txt"));
    ASSERT_TRUE(half.open(QIODevice::WriteOnly));
    half.write("first part");
    half.flush();
    Touch(At("marker1"));
    ASSERT_TRUE(reader.WaitFor(kChangeAdded, "marker1"));
    // Everything about half.txt before the marker would have come first.
    EXPECT_FALSE(reader.Mentions("half.txt"));
    half.write(" and the rest");
    half.close();
    ASSERT_TRUE(reader.WaitFor(kChangeAdded, "half.txt"));

    Touch(At("half.txt"), "more");  // an existing file written again
    ASSERT_TRUE(reader.WaitFor(kChangeModified, "half.txt"));
    ASSERT_EQ(rename(qPrintable(At("half.txt")), qPrintable(At("whole.txt"))), 0);
    ASSERT_TRUE(reader.WaitFor(kChangeRenamedTo, "whole.txt"));
    EXPECT_TRUE(reader.Has(kChangeRenamedFrom, "half.txt"));
    ASSERT_TRUE(QFile::remove(At("whole.txt")));
    ASSERT_TRUE(reader.WaitFor(kChangeRemoved, "whole.txt"));
}

TEST_F(FolderWatcher, TwoWritesBeforeTheReaderReadsAreTwoRecords) {
    TFolderWatcher watcher;
    ASSERT_TRUE(watcher.Open(Root(), BackupOptions()));
    Touch(At("twice.txt"), "one");
    Touch(At("twice.txt"), "two");
    Touch(At("marker"));
    TReader reader(watcher);
    ASSERT_TRUE(reader.WaitFor(kChangeAdded, "marker"));
    const QList<TFolderChange> changes = reader.Changes();
    EXPECT_EQ(std::count_if(changes.cbegin(), changes.cend(),
                            [](const TFolderChange& c) { return c.name == "twice.txt"; }),
              2);
}

TEST_F(FolderWatcher, EveryWriteIsReportedWithoutWriterDone) {
    TFolderWatcher::TOptions options;
    options.filter = kNotifyFileName | kNotifyLastWrite;
    TFolderWatcher watcher;
    ASSERT_TRUE(watcher.Open(Root(), options));
    TReader reader(watcher);
    QFile file(At("live.log"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    ASSERT_TRUE(reader.WaitFor(kChangeAdded, "live.log"));
    file.write("line");
    ASSERT_TRUE(reader.WaitFor(kChangeModified, "live.log"));
}

TEST_F(FolderWatcher, FoldersThatAppearAreWatchedAndTheirFilesReported) {
    TFolderWatcher watcher;
    ASSERT_TRUE(watcher.Open(Root(), BackupOptions()));
    TReader reader(watcher);

    ASSERT_TRUE(QDir().mkdir(At("sub")));
    Touch(At("marker1"));
    ASSERT_TRUE(reader.WaitFor(kChangeAdded, "marker1"));
    Touch(At("sub/new.txt"));
    ASSERT_TRUE(reader.WaitFor(kChangeAdded, "sub/new.txt"));

    // A tree made elsewhere and moved in: its files are there before any watch.
    m_dir.Write("outside/tree/f1.txt", "1");
    m_dir.Write("outside/tree/deep/f2.txt", "2");
    ASSERT_EQ(rename(qPrintable(m_dir.Sub("outside/tree")), qPrintable(At("tree"))), 0);
    ASSERT_TRUE(reader.WaitFor(kChangeAdded, "tree/f1.txt"));
    ASSERT_TRUE(reader.WaitFor(kChangeAdded, "tree/deep/f2.txt"));
    Touch(At("tree/deep/f3.txt"));
    ASSERT_TRUE(reader.WaitFor(kChangeAdded, "tree/deep/f3.txt"));

    // Renamed inside: later changes carry the new name.
    ASSERT_EQ(rename(qPrintable(At("tree")), qPrintable(At("renamed"))), 0);
    Touch(At("renamed/deep/f4.txt"));
    ASSERT_TRUE(reader.WaitFor(kChangeAdded, "renamed/deep/f4.txt"));

    // Moved out: its changes are no longer ours.
    ASSERT_EQ(rename(qPrintable(At("renamed")), qPrintable(m_dir.Sub("away"))), 0);
    Touch(m_dir.Sub("away/deep/f5.txt"));
    Touch(At("marker2"));
    ASSERT_TRUE(reader.WaitFor(kChangeAdded, "marker2"));
    EXPECT_FALSE(reader.Mentions("renamed/deep/f5.txt"));
    EXPECT_FALSE(reader.Mentions("tree/deep/f5.txt"));
}

TEST_F(FolderWatcher, WithoutRecursionAndThroughLinksNothingBelowIsReported) {
    m_dir.MakeDir("watched/sub");
    m_dir.MakeDir("elsewhere");
    ASSERT_EQ(symlink(qPrintable(m_dir.Sub("elsewhere")), qPrintable(At("link"))), 0);
    {
        TFolderWatcher watcher;
        ASSERT_TRUE(watcher.Open(Root(), BackupOptions(false)));
        EXPECT_EQ(watcher.WatchCount(), 1);
        TReader reader(watcher);
        Touch(At("sub/inner.txt"));
        Touch(At("top.txt"));
        ASSERT_TRUE(reader.WaitFor(kChangeAdded, "top.txt"));
        EXPECT_FALSE(reader.Mentions("sub/inner.txt"));
    }
    TFolderWatcher watcher;
    ASSERT_TRUE(watcher.Open(Root(), BackupOptions(true)));
    EXPECT_EQ(watcher.WatchCount(), 2);  // the root and sub, not the link's folder
    TReader reader(watcher);
    Touch(m_dir.Sub("elsewhere/through-link.txt"));
    Touch(At("marker"));
    ASSERT_TRUE(reader.WaitFor(kChangeAdded, "marker"));
    EXPECT_FALSE(reader.Mentions("link/through-link.txt"));
}

TEST_F(FolderWatcher, StopEndsABlockedWaitPromptly) {
    TFolderWatcher watcher;
    ASSERT_TRUE(watcher.Open(Root(), BackupOptions()));
    TReader reader(watcher);
    std::thread stopper([&watcher] { watcher.RequestStop(); });
    stopper.join();
    ASSERT_TRUE(reader.WaitForEnd());
    EXPECT_EQ(reader.End(), TFolderWatcher::kWaitStopped);
    // Sticky: a later Wait returns at once too.
    QList<TFolderChange> batch;
    EXPECT_EQ(watcher.Wait(batch), TFolderWatcher::kWaitStopped);
}

TEST_F(FolderWatcher, AVanishedFolderEndsTheWatchWithAReason) {
    TFolderWatcher watcher;
    ASSERT_TRUE(watcher.Open(Root(), BackupOptions()));
    TReader reader(watcher);
    ASSERT_TRUE(QDir(Root()).removeRecursively());
    ASSERT_TRUE(reader.WaitForEnd());
    EXPECT_EQ(reader.End(), TFolderWatcher::kWaitFailed);
    EXPECT_EQ(watcher.ErrorText(),
              QStringLiteral("The folder %1/ is no longer available").arg(Root()));

    TFolderWatcher missing;
    EXPECT_FALSE(missing.Open(m_dir.Sub("never"), BackupOptions()));
    EXPECT_TRUE(missing.ErrorText().contains("No such file or directory"));
}

TEST_F(FolderWatcher, ATreeBeyondTheWatchLimitIsRefusedAsAWhole) {
    for (const char* folder : {"a", "b", "c", "d"}) {
        m_dir.MakeDir(QStringLiteral("watched/") + folder);
    }
    TFolderWatcher::TOptions options = BackupOptions();
    options.watchLimit = 3;
    TFolderWatcher tooMany;
    EXPECT_FALSE(tooMany.Open(Root(), options));
    EXPECT_EQ(tooMany.WatchCount(), 0);
    // The whole tree is counted, and the text names the limit and how to raise it.
    EXPECT_EQ(tooMany.ErrorText(), TFolderWatcher::TooManyFoldersText(Root() + "/", 5, 3, 0));
    for (const char* part :
         {"holds 5 folders", "fs.inotify.max_user_watches", "/etc/sysctl.d/", "sysctl --system"}) {
        EXPECT_TRUE(tooMany.ErrorText().contains(part)) << part;
    }

    // Room for the tree at the start, none for a folder made later: the watch ends.
    options.watchLimit = 5;
    TFolderWatcher watcher;
    ASSERT_TRUE(watcher.Open(Root(), options));
    TReader reader(watcher);
    ASSERT_TRUE(QDir().mkdir(At("e")));  // the sixth folder
    ASSERT_TRUE(reader.WaitForEnd());
    EXPECT_EQ(reader.End(), TFolderWatcher::kWaitFailed);
    EXPECT_EQ(watcher.ErrorText(), TFolderWatcher::WatchLimitText());
    EXPECT_TRUE(TFolderWatcher::WatchLimitText().contains("fs.inotify.max_user_watches"));
}

// The masks of this process's inotify watches, as the system lists them.
QList<quint32> WatchMasks() {
    QList<quint32> masks;
    const QDir fds(QStringLiteral("/proc/self/fdinfo"));
    for (const QString& fd : fds.entryList(QDir::Files)) {
        QFile info(fds.filePath(fd));
        if (!info.open(QIODevice::ReadOnly)) {
            continue;
        }
        for (const QByteArray& line : info.readAll().split('\n')) {
            const qsizetype at = line.indexOf(" mask:");
            if (line.startsWith("inotify wd:") && at >= 0) {
                masks << line.mid(at + 6).split(' ').first().toUInt(nullptr, 16);
            }
        }
    }
    return masks;
}

int ProcessCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<int>(now.tv_sec * 1000 + now.tv_nsec / 1000000);
}

TEST_F(FolderWatcher, ItsOwnListingsAndReadsAreNeverChanges) {
    for (int i = 0; i < 20; ++i) {
        m_dir.Write(QStringLiteral("watched/d%1/e/f.txt").arg(i), "content");
    }
    TFolderWatcher::TOptions tracking;
    tracking.filter = kNotifyFileName | kNotifyDirName | kNotifyAttributes | kNotifySize |
                      kNotifyLastWrite | kNotifySecurity;
    tracking.pairRenames = true;
    for (const TFolderWatcher::TOptions& options : {BackupOptions(), tracking}) {
        TFolderWatcher watcher;
        ASSERT_TRUE(watcher.Open(Root(), options));
        EXPECT_EQ(watcher.WatchCount(), 41);
        // Opening or reading a folder or a file makes no event: a walk of the tree (the
        // watcher's own after lost events) and the worker reading files cannot flood the
        // queue.
        for (const quint32 mask : WatchMasks()) {
            EXPECT_EQ(mask & (IN_OPEN | IN_ACCESS | IN_CLOSE_NOWRITE), 0u) << std::hex << mask;
        }
        TReader reader(watcher);
        for (int i = 0; i < 20; ++i) {
            const QString folder = At(QStringLiteral("d%1/e").arg(i));
            EXPECT_EQ(QDir(folder).entryList(QDir::Files).size(), 1);
            QFile file(folder + "/f.txt");
            ASSERT_TRUE(file.open(QIODevice::ReadOnly));
            EXPECT_EQ(file.readAll(), "content");
        }
        Touch(At("marker"));
        ASSERT_TRUE(reader.WaitFor(kChangeAdded, "marker"));
        for (const TFolderChange& change : reader.Changes()) {
            EXPECT_EQ(change.name, "marker");
        }
        ASSERT_TRUE(QFile::remove(At("marker")));
    }
}

// How often each name was reported with an action that makes a backup take it.
QHash<QString, int> Taken(const QList<TFolderChange>& changes) {
    QHash<QString, int> taken;
    for (const TFolderChange& change : changes) {
        if ((change.action & 1) != 0) {
            ++taken[change.name];
        }
    }
    return taken;
}

TEST_F(FolderWatcher, AnOverflowFindsEveryChangeOnceAndGoesIdle) {
    for (int i = 0; i < 10; ++i) {
        m_dir.Write(QStringLiteral("watched/old%1/kept.txt").arg(i), "kept");
        m_dir.Write(QStringLiteral("watched/old%1/grown.txt").arg(i), "grown");
    }
    // The start knows files by inode and the moment of its walk: a file changed within the
    // same tick of the system's clock would count as changed.
    std::this_thread::sleep_for(30ms);
    TFolderWatcher watcher;
    ASSERT_TRUE(watcher.Open(Root(), BackupOptions()));
    // More events before the reader runs than the system queues: a create and a close for
    // each new file in the old folders, and a few files in folders made meanwhile.
    QFile queueSize(QStringLiteral("/proc/sys/fs/inotify/max_queued_events"));
    ASSERT_TRUE(queueSize.open(QIODevice::ReadOnly));
    const int files = queueSize.readAll().trimmed().toInt() / 2 + 1000;
    QStringList made;
    for (int i = 0; i < files + 70; ++i) {
        const QString folder =
            i < files ? QStringLiteral("old%1/").arg(i % 10) : QStringLiteral("new%1/").arg(i % 7);
        if (i >= files && i < files + 7) {
            ASSERT_TRUE(QDir().mkpath(At(folder)));
        }
        made << folder + QStringLiteral("f%1").arg(i);
        const int fd = open(QFile::encodeName(At(made.last())).constData(),
                            O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        close(fd);
    }
    for (int i = 0; i < 10; ++i) {
        Touch(At(QStringLiteral("old%1/grown.txt").arg(i)), "more");
    }
    TReader reader(watcher);
    ASSERT_TRUE(reader.WaitForLoss());

    // Every new and every grown file once, whether its event came or the walk after the
    // loss found it; the untouched files never.
    const auto all = [&] {
        const QHash<QString, int> taken = Taken(reader.Changes());
        return std::all_of(made.cbegin(), made.cend(),
                           [&](const QString& name) { return taken.contains(name); });
    };
    for (int tries = 0; tries < 100 && !all(); ++tries) {
        std::this_thread::sleep_for(50ms);
    }
    const QHash<QString, int> taken = Taken(reader.Changes());
    for (const QString& name : std::as_const(made)) {
        ASSERT_EQ(taken.value(name), 1) << qPrintable(name);
    }
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(taken.value(QStringLiteral("old%1/grown.txt").arg(i)), 1);
        EXPECT_FALSE(reader.Mentions(QStringLiteral("old%1/kept.txt").arg(i)));
    }
    EXPECT_EQ(watcher.LastRescan().folders, 18);
    EXPECT_GT(watcher.LastRescan().files, 0);
    EXPECT_LT(watcher.LastRescan().files, files);
    EXPECT_EQ(watcher.WatchCount(), 18);

    // Idle afterwards: nothing more comes, and no CPU is spent.
    const qsizetype reported = reader.Changes().size();
    const int cpuBefore = ProcessCpuMs();
    std::this_thread::sleep_for(500ms);
    EXPECT_LT(ProcessCpuMs() - cpuBefore, 50);
    EXPECT_EQ(reader.Changes().size(), reported);
    // And what happens next is reported as usual, also in a folder the walk found.
    Touch(At("new3/later.txt"));
    ASSERT_TRUE(reader.WaitFor(kChangeAdded, "new3/later.txt"));
}

TEST_F(FolderWatcher, TheWalkAfterALossReportsOnlyWhatTheEventsDidNot) {
    m_dir.Write("watched/kept.txt", "kept");
    m_dir.Write("watched/written.txt", "one");
    m_dir.Write("watched/gone.txt", "gone");
    m_dir.Write("watched/before.txt", "renamed");
    m_dir.Write("watched/sub/deep.txt", "deep");
    m_dir.Write("watched/moved/inside.txt", "inside");
    std::this_thread::sleep_for(30ms);  // past the clock tick of these files' last change
    TFolderWatcher::TOptions options;
    options.filter = kNotifyFileName | kNotifyDirName | kNotifyLastWrite | kNotifyAttributes;
    options.whenWriterDone = true;
    options.pairRenames = true;
    options.overflowAt = 1;  // the first event is lost, as in a full queue
    TFolderWatcher watcher;
    ASSERT_TRUE(watcher.Open(Root(), options));
    ASSERT_TRUE(QDir().mkdir(At("made")));  // the lost event
    m_dir.Write("watched/made/new.txt", "new");
    Touch(At("written.txt"), "two");
    ASSERT_TRUE(QFile::remove(At("gone.txt")));
    ASSERT_EQ(rename(qPrintable(At("before.txt")), qPrintable(At("after.txt"))), 0);
    ASSERT_EQ(chmod(qPrintable(At("sub/deep.txt")), 0600), 0);
    TReader reader(watcher);
    ASSERT_TRUE(reader.WaitForLoss());
    ASSERT_TRUE(reader.WaitFor(kChangeAdded, "made/new.txt"));
    Touch(At("marker"));
    ASSERT_TRUE(reader.WaitFor(kChangeAdded, "marker"));

    QHash<QString, QList<int>> actions;
    for (const TFolderChange& change : reader.Changes()) {
        actions[change.name] << change.action;
    }
    // The folder whose announcement was lost comes from the walk, everything else from
    // its own events, once.
    EXPECT_EQ(actions.value("made"), QList<int>{kChangeAdded});
    EXPECT_EQ(actions.value("made/new.txt"), QList<int>{kChangeAdded});
    EXPECT_EQ(actions.value("written.txt"), QList<int>{kChangeModified});
    EXPECT_EQ(actions.value("gone.txt"), QList<int>{kChangeRemoved});
    EXPECT_EQ(actions.value("before.txt"), QList<int>{kChangeRenamedFrom});
    EXPECT_EQ(actions.value("after.txt"), QList<int>{kChangeRenamedTo});
    EXPECT_EQ(actions.value("sub/deep.txt"), QList<int>{kChangeModified});
    EXPECT_FALSE(actions.contains("kept.txt"));
    EXPECT_FALSE(actions.contains("moved/inside.txt"));
    EXPECT_EQ(watcher.WatchCount(), 4);
}

TEST_F(FolderWatcher, PairedRenamesTellInsideFromOutside) {
    m_dir.MakeDir("outside");
    TFolderWatcher::TOptions options;
    options.filter = kNotifyFileName | kNotifyDirName;
    options.pairRenames = true;
    TFolderWatcher watcher;
    ASSERT_TRUE(watcher.Open(Root(), options));
    TReader reader(watcher);

    Touch(At("a.txt"));
    ASSERT_TRUE(reader.WaitFor(kChangeAdded, "a.txt"));
    // Inside the tree: both halves, in order.
    ASSERT_EQ(rename(qPrintable(At("a.txt")), qPrintable(At("b.txt"))), 0);
    ASSERT_TRUE(reader.WaitFor(kChangeRenamedTo, "b.txt"));
    EXPECT_TRUE(reader.Has(kChangeRenamedFrom, "a.txt"));
    // Out of the tree and back in: a removal and an addition.
    ASSERT_EQ(rename(qPrintable(At("b.txt")), qPrintable(m_dir.Sub("outside/b.txt"))), 0);
    ASSERT_TRUE(reader.WaitFor(kChangeRemoved, "b.txt"));
    EXPECT_FALSE(reader.Has(kChangeRenamedFrom, "b.txt"));
    ASSERT_EQ(rename(qPrintable(m_dir.Sub("outside/b.txt")), qPrintable(At("c.txt"))), 0);
    ASSERT_TRUE(reader.WaitFor(kChangeAdded, "c.txt"));
    EXPECT_FALSE(reader.Has(kChangeRenamedTo, "c.txt"));

    // A folder moved in from outside is an addition, and so is each file it brings.
    m_dir.Write("outside/tree/f1.txt", "1");
    ASSERT_EQ(rename(qPrintable(m_dir.Sub("outside/tree")), qPrintable(At("tree"))), 0);
    ASSERT_TRUE(reader.WaitFor(kChangeAdded, "tree/f1.txt"));
    EXPECT_TRUE(reader.Has(kChangeAdded, "tree"));
    const QList<TFolderChange> changes = reader.Changes();
    EXPECT_EQ(std::count_if(changes.cbegin(), changes.cend(),
                            [](const TFolderChange& c) { return c.name == "tree/f1.txt"; }),
              1);
}

}  // namespace
