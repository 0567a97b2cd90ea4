// The backup threads on real folders, real inotify and a real store: full backups and
// their order, monitoring, discard rules, the free-space block, failures and retries, a
// vanishing folder, the watch limit, autostart and restoring what was stored.
#include "backup/backup_log.h"
#include "backup/backup_store.h"
#include "backup/backup_workers.h"
#include "backup/profile.h"
#include "backup/profiles.h"
#include "backup/version_blob.h"
#include "backup/version_restore.h"
#include "base/day_number.h"
#include "base/errors.h"
#include "platform/folder_watcher.h"
#include "storage/sqlite_layer.h"
#include "support/test_dir.h"
#include "support/test_host.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>

#include <sys/stat.h>

#include <condition_variable>
#include <mutex>

#include <gtest/gtest.h>

namespace {

constexpr int kWaitMs = 20000;

QByteArray RandomBytes(qsizetype size, quint32 seed) {
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator random(seed);
    for (char& byte : bytes) {
        byte = static_cast<char>(random.bounded(256));
    }
    return bytes;
}

// Holds a monitoring worker after it takes each batch of changes until the test opens
// the gate, so that a test orders its writes against what the worker sees.
class TBatchGate {
public:
    explicit TBatchGate(TProfiles& list) : m_list(list) {
        list.SetBatchGate([this] {
            std::unique_lock<std::mutex> locker(m_lock);
            ++m_batches;
            m_changed.notify_all();
            m_changed.wait(locker, [this] { return m_open; });
        });
    }
    ~TBatchGate() {
        Open();
        m_list.SetBatchGate(nullptr);
    }
    // Waits until the worker holds its n-th batch.
    bool WaitForBatch(int n) {
        std::unique_lock<std::mutex> locker(m_lock);
        return m_changed.wait_for(locker, std::chrono::milliseconds(kWaitMs),
                                  [&] { return m_batches >= n; });
    }
    void Open() {
        std::lock_guard<std::mutex> locker(m_lock);
        m_open = true;
        m_changed.notify_all();
    }

private:
    TProfiles& m_list;
    std::mutex m_lock;
    std::condition_variable m_changed;
    int m_batches = 0;
    bool m_open = false;
};

class BackupWorkers : public ::testing::Test {
protected:
    void SetUp() override {
        m_host = std::make_unique<TTestHost>();
        m_host->OpenStores(m_dir.Sub("prog"));
        m_host->StartProfiles(false);
        m_target = m_dir.MakeDir("target") + "/";
        m_profile = List().NewProfile();
        m_profile->SetName("Docs");
        m_profile->SetExtensions(".txt\r\n");
        m_profile->SetTarget(m_target);
        ASSERT_TRUE(m_profile->TestBit(kBitReady));
    }
    void TearDown() override { m_host.reset(); }

    TProfiles& List() { return *m_host->Profiles(); }
    TBackupStore& Store() { return *m_host->BackupStore(); }
    QString Write(const QString& relative, const QByteArray& content) {
        return m_dir.Write("target/" + relative, content);
    }
    // Every version of the profile, oldest first.
    QList<TVersionRow> Versions(TProfile* profile = nullptr) {
        QList<TVersionRow> rows;
        (void)Store().SearchVersions((profile ? profile : m_profile)->Number(), 0, "%", 1000000,
                                     rows);
        return rows;
    }
    QStringList VersionNames(TProfile* profile = nullptr) {
        QStringList names;
        for (const TVersionRow& row : Versions(profile)) {
            names << row.folder.mid(m_target.size()) + row.file;
        }
        return names;
    }
    int VersionsOf(const QString& file) {
        const QList<TVersionRow> rows = Versions();
        return static_cast<int>(std::count_if(
            rows.cbegin(), rows.cend(), [&](const TVersionRow& r) { return r.file == file; }));
    }
    QList<TLogEntry> Log() { return TBackupLog::ParseLog(List().Log().ReadLog()); }
    bool Logged(const QString& event, const QString& reason) {
        const QList<TLogEntry> entries = Log();
        return std::any_of(entries.cbegin(), entries.cend(), [&](const TLogEntry& e) {
            return e.event == event && e.reason == reason;
        });
    }
    // Runs a one-shot run to its end, as the main window sees it.
    void RunToEnd(bool (TProfile::*start)()) {
        QSignalSpy concluded(&List(), &TProfiles::RunConcluded);
        (m_profile->*start)();
        EXPECT_TRUE(m_profile->TestBit(kBitRunning));
        ASSERT_TRUE(concluded.wait(kWaitMs));
        EXPECT_EQ(concluded.first().first().toInt(), m_profile->Number());
        EXPECT_FALSE(m_profile->TestBit(kBitActive));
        EXPECT_FALSE(m_profile->TestBit(kBitRunning));
        EXPECT_EQ(List().ActiveCount(), 0);
    }
    bool WaitUntil(const std::function<bool()>& condition) {
        return QTest::qWaitFor(condition, kWaitMs);
    }
    std::unique_ptr<TSQLTables> Raw() {
        return std::make_unique<TSQLTables>(m_host->DataFolder() + "backups.db", 100, 1, false);
    }

    TestDir m_dir;
    std::unique_ptr<TTestHost> m_host;
    QString m_target;
    TProfile* m_profile = nullptr;
};

TEST_F(BackupWorkers, FullBackupStoresFolderFilesFirstThenSubfoldersDepthFirst) {
    Write("b.txt", "b");
    Write("a.txt", "a");
    Write("sub1/deep/d.txt", "d");
    Write("sub1/c.txt", "c");
    Write("sub2/e.txt", "e");
    Write("skip.doc", "not selected");
    // Never opened: a FIFO with a selected name, and a link back to the target.
    ASSERT_EQ(mkfifo(qPrintable(m_target + "pipe.txt"), 0600), 0);
    ASSERT_EQ(symlink(qPrintable(m_target), qPrintable(m_target + "loop")), 0);

    m_profile->SetBit(kBitNoEmptyFiles, false);
    RunToEnd(&TProfile::StartFullBackup);
    // Stored from the end of the pending list: the reverse of the scan order.
    EXPECT_EQ(VersionNames(),
              QStringList({"sub2/e.txt", "sub1/deep/d.txt", "sub1/c.txt", "b.txt", "a.txt"}));
    EXPECT_EQ(m_profile->RunCounts().stored, 5);
    EXPECT_EQ(m_profile->RunCounts().failed, 0);

    m_profile->SetBit(kBitRecurse, false);
    RunToEnd(&TProfile::StartFullBackup);
    EXPECT_EQ(VersionNames().mid(5), QStringList({"b.txt", "a.txt"}));
}

TEST_F(BackupWorkers, RestoredVersionsAreByteEqual) {
    const QByteArray text = QByteArray("line of text\n").repeated(5000);
    const QByteArray random = RandomBytes(100000, 11);
    Write("text.txt", text);
    Write("random.txt", random);
    Write("name \"with\" quotes'.txt", "quoted");
    m_profile->SetBit(kBitNoEmptyFiles, false);
    Write("empty.txt", "");
    RunToEnd(&TProfile::StartFullBackup);
    ASSERT_EQ(Versions().size(), 4);

    const QString out = m_dir.Sub("restored");
    for (const TVersionRow& row : Versions()) {
        // A chunked version of an empty file has no chunks, and restores as an empty file.
        EXPECT_TRUE(Store().IsChunkedVersion(row.versionId));
        WriteVersionFile(Store(), row, out, row.file, "vompa7", true);
        EXPECT_EQ(m_dir.Read(out + "/" + row.file), m_dir.Read(m_target + row.file));
        const QDateTime written = QFileInfo(out + "/" + row.file).lastModified();
        EXPECT_EQ(written.toString("yyyy/MM/dd hh:mm:ss"), row.DateText());
    }
    // Restoring in place replaces the file only with a complete one.
    Write("text.txt", "changed since");
    const TVersionRow row = Versions().at(0);
    try {
        WriteVersionFile(Store(), row, m_target, row.file, "wrong", false);
        ADD_FAILURE();
    } catch (const EQuiva& error) {
        EXPECT_EQ(error.Message(), "Invalid encryption password");
    }
    EXPECT_EQ(m_dir.Read(m_target + "text.txt"), "changed since");
    try {
        WriteVersionFile(Store(), row, m_target, row.file, "", false);
        ADD_FAILURE();
    } catch (const EQuiva& error) {
        EXPECT_EQ(error.Message(), "The password at the time the backup was created is required!");
    }
    const QList<TVersionRow> rows = Versions();
    const TVersionRow textRow = *std::find_if(
        rows.cbegin(), rows.cend(), [](const TVersionRow& r) { return r.file == "text.txt"; });
    WriteVersionFile(Store(), textRow, m_target, textRow.file, "vompa7", false);
    EXPECT_EQ(m_dir.Read(m_target + "text.txt"), text);
    // A folder in the file's place is not overwritten.
    m_dir.MakeDir("blocked/text.txt");
    try {
        WriteVersionFile(Store(), textRow, m_dir.Sub("blocked"), textRow.file, "vompa7", false);
        ADD_FAILURE();
    } catch (const EQuiva& error) {
        EXPECT_EQ(error.Message(),
                  QStringLiteral("Unable to overwrite \"%1\"").arg(m_dir.Sub("blocked/text.txt")));
    }
}

TEST_F(BackupWorkers, MonitoringStoresCreatedModifiedAndRenamedFiles) {
    Write("existing.txt", "old");
    Write("draft.tmp", "draft");
    Write("doomed.txt", "bye");
    ASSERT_TRUE(m_profile->StartMonitoring());
    EXPECT_TRUE(m_profile->TestBit(kBitActive));
    EXPECT_FALSE(m_profile->TestBit(kBitRunning));

    Write("created.txt", "new file");
    ASSERT_TRUE(WaitUntil([&] { return VersionsOf("created.txt") == 1; }));
    QFile existing(m_target + "existing.txt");
    ASSERT_TRUE(existing.open(QIODevice::Append));
    existing.write(" and new");
    existing.close();
    ASSERT_TRUE(WaitUntil([&] { return VersionsOf("existing.txt") == 1; }));
    ASSERT_EQ(rename(qPrintable(m_target + "draft.tmp"), qPrintable(m_target + "final.txt")), 0);
    ASSERT_TRUE(WaitUntil([&] { return VersionsOf("final.txt") == 1; }));
    ASSERT_TRUE(QFile::remove(m_target + "doomed.txt"));
    Write("sub/inner.txt", "in a new folder");
    // A file in a new folder is found by the folder's scan or its own event (or both).
    ASSERT_TRUE(WaitUntil([&] { return VersionsOf("inner.txt") >= 1; }));
    EXPECT_EQ(VersionsOf("doomed.txt"), 0);
    EXPECT_EQ(VersionsOf("draft.tmp"), 0);
    EXPECT_TRUE(m_profile->Stop());
    EXPECT_FALSE(m_profile->TestBit(kBitActive));
    EXPECT_EQ(List().ActiveCount(), 0);
}

TEST_F(BackupWorkers, AFileWrittenTwiceBeforeItIsStoredGivesTwoVersions) {
    // The store is held, so both writes are pending before either is stored; without
    // skip on failure they wait. The worker looks at its first batch only once both
    // writes are done, so neither is measured half-written.
    m_profile->SetBit(kBitSkipOnFailure, false);
    TBatchGate gate(List());
    ASSERT_TRUE(m_profile->StartMonitoring());
    auto raw = Raw();
    raw->ExecScript("BEGIN EXCLUSIVE");
    Write("twice.txt", "one");
    ASSERT_TRUE(gate.WaitForBatch(1));
    Write("twice.txt", "two");
    gate.Open();
    ASSERT_TRUE(WaitUntil([&] { return m_profile->RunCounts().pending == 2; }));
    raw->ExecScript("COMMIT");
    ASSERT_TRUE(WaitUntil([&] { return VersionsOf("twice.txt") == 2; }));
    m_profile->Stop();
}

TEST_F(BackupWorkers, AFileOpenedForWritingAgainIsTakenAtItsNextClose) {
    // The worker takes the first close of the file only after another writer opened it
    // again and emptied it: it is not measured half-written and logged as empty, but
    // taken when that writer closes it.
    ASSERT_TRUE(m_profile->TestBit(kBitNoEmptyFiles));
    TBatchGate gate(List());
    ASSERT_TRUE(m_profile->StartMonitoring());
    const QString path = Write("grow.txt", "one");
    ASSERT_TRUE(gate.WaitForBatch(1));
    QFile rewriter(path);
    ASSERT_TRUE(rewriter.open(QIODevice::WriteOnly | QIODevice::Truncate));
    gate.Open();
    rewriter.write("two, longer");
    rewriter.close();
    // The worker may look at the first close before or after this writer is done; either
    // way every version it stores is the finished file.
    ASSERT_TRUE(WaitUntil([&] { return VersionsOf("grow.txt") >= 1; }));
    m_profile->Stop();
    for (const TLogEntry& entry : Log()) {
        EXPECT_NE(entry.reason, "-1") << qPrintable(entry.event);
    }
    for (const TVersionRow& version : Versions()) {
        TestDir out;
        WriteVersionFile(Store(), version, out.Path(), "grow.txt", "vompa7", false);
        EXPECT_EQ(out.Read("grow.txt"), "two, longer");
    }

    // A file that is empty when its writer is done is still refused and logged.
    ASSERT_TRUE(m_profile->StartMonitoring());
    Write("empty.txt", "");
    ASSERT_TRUE(WaitUntil([&] { return Logged(m_target + "empty.txt", "-1"); }));
    m_profile->Stop();
}

TEST_F(BackupWorkers, ARunWhoseFilesAllFailKeepsTheFirstReason) {
    Write("a.txt", "a");
    auto raw = Raw();
    raw->ExecScript("BEGIN EXCLUSIVE");  // every store fails
    RunToEnd(&TProfile::StartFullBackup);
    raw->ExecScript("COMMIT");
    const TProfile::TRunCounts counts = m_profile->RunCounts();
    EXPECT_EQ(counts.stored, 0);
    EXPECT_EQ(counts.failed, 1);
    EXPECT_EQ(counts.firstFailure,
              m_target + "a.txt: the version could not be stored in backups.db");
}

TEST_F(BackupWorkers, KeepTwoDuringMonitoringAndNeverDiscard) {
    m_profile->SetDiscardRule(0);  // keep last two
    m_profile->SetOverrideList(kNeverDiscard, "precious");
    ASSERT_TRUE(m_profile->StartMonitoring());
    for (int i = 1; i <= 5; ++i) {
        Write("kept.txt", QByteArray::number(i));
        Write("precious.txt", QByteArray::number(i));
        ASSERT_TRUE(WaitUntil([&] { return m_profile->RunCounts().stored == 2 * i; }));
    }
    ASSERT_TRUE(WaitUntil([&] { return VersionsOf("kept.txt") == 2; }));
    EXPECT_EQ(VersionsOf("precious.txt"), 5);
    EXPECT_GE(m_profile->RunCounts().discarded, 3);
    m_profile->Stop();
}

TEST_F(BackupWorkers, PruneAppliesTheRuleOnceAndStoresNothing) {
    m_profile->SetDiscardRule(kNeverDiscardRule);
    for (int i = 0; i < 5; ++i) {
        Write("many.txt", QByteArray::number(i));
        Write("few.txt", QByteArray::number(i));
        RunToEnd(&TProfile::StartFullBackup);
    }
    ASSERT_EQ(VersionsOf("many.txt"), 5);
    m_profile->SetDiscardRule(0);
    RunToEnd(&TProfile::StartPrune);
    EXPECT_EQ(VersionsOf("many.txt"), 2);
    EXPECT_EQ(VersionsOf("few.txt"), 2);
    EXPECT_EQ(m_profile->RunCounts().stored, 0);
    EXPECT_EQ(m_profile->RunCounts().discarded, 6);
}

TEST_F(BackupWorkers, ShortOfSpaceTheRunIsBlockedAndLogged) {
    Write("a.txt", "a");
    m_host->SetFlag(kFlagLowSpace, true);
    RunToEnd(&TProfile::StartFullBackup);
    EXPECT_TRUE(Versions().isEmpty());
    EXPECT_TRUE(Logged("Docs:Blocked", "3"));
    EXPECT_TRUE(m_profile->RunCounts().blocked);

    // A monitoring run ends after its blocked pass and the profile stops.
    QSignalSpy concluded(&List(), &TProfiles::RunConcluded);
    ASSERT_TRUE(m_profile->StartMonitoring());
    Write("b.txt", "b");
    ASSERT_TRUE(concluded.wait(kWaitMs));
    EXPECT_FALSE(m_profile->TestBit(kBitActive));
    EXPECT_TRUE(Versions().isEmpty());

    // The idle check clears the flag when the data folder has room.
    m_host->ProcessBackupIdle();
    EXPECT_FALSE(m_host->IsFlagSet(kFlagLowSpace));
}

TEST_F(BackupWorkers, AFileRemovedAfterItBecamePendingFailsAndIsDropped) {
    // The database is held by another connection, so every store waits its busy time and
    // fails (reason 2); meanwhile the first file scanned, stored last and read only when
    // the files encoded ahead of it have been taken, is removed.
    constexpr int kFiles = TMeow::kEncodeAhead + 20;
    for (int i = 0; i < kFiles; ++i) {
        Write(QStringLiteral("f%1.txt").arg(i, 2, 10, QChar('0')), QByteArray::number(i));
    }
    const QString first = m_target + "f00.txt";
    auto raw = Raw();
    raw->ExecScript("BEGIN EXCLUSIVE");
    QSignalSpy concluded(&List(), &TProfiles::RunConcluded);
    m_profile->StartFullBackup();
    const QString last = m_target + QStringLiteral("f%1.txt").arg(kFiles - 1);
    ASSERT_TRUE(WaitUntil([&] { return Logged("Failed:" + last, "2"); }));
    ASSERT_TRUE(QFile::remove(first));
    raw->ExecScript("COMMIT");
    ASSERT_TRUE(concluded.wait(kWaitMs));
    EXPECT_TRUE(Logged("Failed:" + first, "1"));
    EXPECT_FALSE(VersionNames().contains("f00.txt"));
    EXPECT_FALSE(VersionNames().isEmpty());
    const TProfile::TRunCounts counts = m_profile->RunCounts();
    EXPECT_EQ(counts.stored + counts.failed, kFiles);
}

TEST_F(BackupWorkers, WithoutSkipOnFailureAFileIsRetriedSilently) {
    m_profile->SetBit(kBitSkipOnFailure, false);
    ASSERT_TRUE(m_profile->StartMonitoring());
    auto raw = Raw();
    raw->ExecScript("BEGIN EXCLUSIVE");
    Write("held.txt", "held");
    ASSERT_TRUE(WaitUntil([&] { return m_profile->RunCounts().pending == 1; }));
    raw->ExecScript("COMMIT");
    ASSERT_TRUE(WaitUntil([&] { return VersionsOf("held.txt") == 1; }));
    EXPECT_EQ(m_profile->RunCounts().failed, 0);
    for (const TLogEntry& entry : Log()) {
        EXPECT_FALSE(entry.event.startsWith("Failed:")) << qPrintable(entry.event);
    }
    m_profile->Stop();
}

TEST_F(BackupWorkers, AVanishingFolderStopsTheProfileWithALogLine) {
    QSignalSpy concluded(&List(), &TProfiles::RunConcluded);
    ASSERT_TRUE(m_profile->StartMonitoring());
    ASSERT_TRUE(QDir(m_target).removeRecursively());
    ASSERT_TRUE(concluded.wait(kWaitMs));
    EXPECT_FALSE(m_profile->TestBit(kBitActive));
    EXPECT_TRUE(Logged("Docs:Stopped",
                       QStringLiteral("The folder %1 is no longer available").arg(m_target)));
    // Starting again fails with the startup line and the message.
    try {
        (void)m_profile->StartMonitoring();
        ADD_FAILURE();
    } catch (const EQuiva& error) {
        EXPECT_EQ(error.Message(),
                  QStringLiteral("Could not open %1 for monitoring").arg(m_target));
    }
    EXPECT_TRUE(Logged("Docs Startup", "No such file or directory"));
    EXPECT_EQ(List().ActiveCount(), 0);
}

TEST_F(BackupWorkers, TheWatchLimitStopsTheProfileWithALogLine) {
    m_dir.MakeDir("target/a");
    m_dir.MakeDir("target/b");
    List().SetWatchLimit(2);
    EXPECT_FALSE(m_profile->StartMonitoring());
    EXPECT_FALSE(m_profile->TestBit(kBitActive));
    EXPECT_EQ(List().ActiveCount(), 0);
    // Refused before anything is watched, with the whole tree counted.
    const QString refusal = TFolderWatcher::TooManyFoldersText(m_profile->Target(), 3, 2, 0);
    EXPECT_EQ(m_profile->RunCounts().firstFailure, refusal);
    EXPECT_TRUE(Logged("", QString(refusal).replace(',', ';')));

    List().SetWatchLimit(3);
    QSignalSpy concluded(&List(), &TProfiles::RunConcluded);
    ASSERT_TRUE(m_profile->StartMonitoring());
    m_dir.MakeDir("target/c");
    ASSERT_TRUE(concluded.wait(kWaitMs));
    EXPECT_FALSE(m_profile->TestBit(kBitActive));
    EXPECT_TRUE(Logged("Docs:Stopped", TFolderWatcher::WatchLimitText()));
}

TEST_F(BackupWorkers, AtMostThreeProfilesAreActive) {
    QList<TProfile*> profiles{m_profile};
    for (int i = 1; i < 4; ++i) {
        TProfile* profile = List().NewProfile();
        profile->SetExtensions(".txt");
        profile->SetTarget(m_dir.MakeDir(QStringLiteral("t%1").arg(i)));
        profiles << profile;
    }
    for (TProfile* profile : profiles) {
        profile->SetBit(kBitAutostart, true);
    }
    m_host->StopProfiles();
    m_host->StartProfiles(true);
    EXPECT_EQ(List().ActiveCount(), 3);
    int active = 0;
    for (TProfile* profile : List().Profiles()) {
        active += profile->TestBit(kBitActive) ? 1 : 0;
    }
    EXPECT_EQ(active, 3);
    TProfile* idle = List().Profiles().last();
    EXPECT_FALSE(idle->TestBit(kBitActive));
    try {
        (void)idle->StartFullBackup();
        ADD_FAILURE();
    } catch (const EQuiva& error) {
        EXPECT_EQ(error.Message(), "Only three active backup profiles allowed");
    }
    try {
        idle->SetTarget(m_host->DataFolder());
        (void)idle->StartFullBackup();
        ADD_FAILURE();
    } catch (const EQuiva& error) {
        EXPECT_EQ(error.Message(), "Only three active backup profiles allowed");
    }
    m_host->StopProfiles();  // stops all three
}

TEST_F(BackupWorkers, OwnFoldersCannotBeMonitored) {
    m_profile->SetTarget(m_host->DataFolder());
    try {
        (void)m_profile->StartFullBackup();
        ADD_FAILURE();
    } catch (const EQuiva& error) {
        EXPECT_EQ(error.Message(), "Quiva application, data & log folders cannot be monitored");
    }
    EXPECT_EQ(List().ActiveCount(), 0);
}

}  // namespace
