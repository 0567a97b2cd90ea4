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

TEST_F(FolderWatcher, TheWatchLimitIsReportedInWords) {
    for (const char* folder : {"a", "b", "c", "d"}) {
        m_dir.MakeDir(QStringLiteral("watched/") + folder);
    }
    TFolderWatcher::TOptions options = BackupOptions();
    options.watchLimit = 3;
    TFolderWatcher tooMany;
    EXPECT_FALSE(tooMany.Open(Root(), options));
    EXPECT_EQ(tooMany.ErrorText(), TFolderWatcher::WatchLimitText());
    EXPECT_TRUE(TFolderWatcher::WatchLimitText().contains("fs.inotify.max_user_watches"));

    options.watchLimit = 5;
    TFolderWatcher watcher;
    ASSERT_TRUE(watcher.Open(Root(), options));
    TReader reader(watcher);
    ASSERT_TRUE(QDir().mkdir(At("e")));  // the sixth folder
    ASSERT_TRUE(reader.WaitForEnd());
    EXPECT_EQ(reader.End(), TFolderWatcher::kWaitFailed);
    EXPECT_EQ(watcher.ErrorText(), TFolderWatcher::WatchLimitText());
}

TEST_F(FolderWatcher, DroppedEventsAreReportedAsLost) {
    TFolderWatcher watcher;
    ASSERT_TRUE(watcher.Open(Root(), BackupOptions()));
    // More events than the kernel queues (16384 by default) before the reader runs: a
    // create and a close for each file.
    const QByteArray root = QFile::encodeName(Root());
    for (int i = 0; i < 9000; ++i) {
        const QByteArray name = root + "/f" + QByteArray::number(i);
        const int fd = open(name.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        close(fd);
    }
    TReader reader(watcher);
    ASSERT_TRUE(reader.WaitForLoss());
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

TEST_F(FolderWatcher, AnOverflowIsReportedAndFoldersMadeMeanwhileAreWatched) {
    TFolderWatcher::TOptions options;
    options.filter = kNotifyFileName | kNotifyDirName;
    options.overflowAt = 1;  // the first event is lost, as in a full queue
    TFolderWatcher watcher;
    ASSERT_TRUE(watcher.Open(Root(), options));
    TReader reader(watcher);
    ASSERT_TRUE(QDir().mkdir(At("made")));  // its announcement is the lost event
    ASSERT_TRUE(reader.WaitForLoss());
    EXPECT_FALSE(reader.Mentions("made"));
    // The tree was walked again after the loss: the folder is watched all the same.
    Touch(At("made/inside.txt"));
    ASSERT_TRUE(reader.WaitFor(kChangeAdded, "made/inside.txt"));
    EXPECT_EQ(watcher.WatchCount(), 2);
}

}  // namespace
