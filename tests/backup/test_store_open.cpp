// Opening the backup store on real files: damaged stores are reported and left exactly as
// they are, stores on read-only media are opened read-only and never written, the store
// check reads every version, and the files are private whatever the umask.
#include "backup/backup_log.h"
#include "backup/backup_store.h"
#include "backup/profile.h"
#include "backup/profiles.h"
#include "backup/version_blob.h"
#include "backup/version_restore.h"
#include "base/errors.h"
#include "platform/native_name.h"
#include "storage/sqlite_layer.h"
#include "support/test_dir.h"
#include "support/test_host.h"

#include <QCryptographicHash>
#include <QDir>
#include <QMap>
#include <QProcess>
#include <QRandomGenerator>
#include <QThread>

#include <chrono>

#include <sqlite3.h>

#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

const TBlobKeys kKeys = TBlobKeys::FromPassword("vompa7");

class TIds : public TBackupIdSource {
public:
    int TakeVersionId() override { return nextVersion++; }
    int TakePathIds(int& versionId) override {
        versionId = TakeVersionId();
        return nextPath++;
    }
    int nextPath = 1;
    int nextVersion = 1;
};

QByteArray Native(const QString& path) {
    return EncodeNativeName(path);
}

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void WriteAll(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(file.write(bytes), bytes.size());
}

mode_t ModeOf(const QString& path) {
    struct stat facts {};
    return ::lstat(Native(path).constData(), &facts) == 0 ? (facts.st_mode & 07777) : 0;
}

// Everything about a folder's entries that a write would change: names, kinds, modes,
// sizes, modification times and the bytes of each file.
std::string Snapshot(const QString& folder) {
    QStringList entries;
    DIR* dir = ::opendir(Native(folder).constData());
    if (dir == nullptr) {
        return "(unreadable)";
    }
    while (const dirent* entry = ::readdir(dir)) {
        const QByteArray name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        struct stat facts {};
        const QByteArray path = Native(folder) + '/' + name;
        ::lstat(path.constData(), &facts);
        entries << QStringLiteral("%1 mode %2 size %3 mtime %4.%5 bytes %6")
                       .arg(QString::fromUtf8(name))
                       .arg(facts.st_mode, 0, 8)
                       .arg(facts.st_size)
                       .arg(facts.st_mtim.tv_sec)
                       .arg(facts.st_mtim.tv_nsec)
                       .arg(QString::fromLatin1(
                           QCryptographicHash::hash(ReadAll(QString::fromUtf8(path)),
                                                    QCryptographicHash::Sha256)
                               .toHex()));
    }
    ::closedir(dir);
    entries.sort();
    return entries.join('\n').toStdString();
}

void SetOldTime(const QString& path) {
    const timespec times[2] = {{1577880000, 0}, {1577880000, 0}};  // 2020-01-01
    ASSERT_EQ(::utimensat(AT_FDCWD, Native(path).constData(), times, AT_SYMLINK_NOFOLLOW), 0);
}

// Runs a command; true when it exits 0.
bool RunCommand(const QString& program, const QStringList& args) {
    QProcess process;
    process.start(program, args);
    return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}

// The first column of each row of a statement, read through SQLite itself (the layer
// reads columns by declared type, and sqlite_master's rootpage is declared "int").
QList<qint64> Integers(const QString& dbPath, const char* sql) {
    sqlite3* db = nullptr;
    QList<qint64> values;
    if (sqlite3_open_v2(Native(dbPath).constData(), &db, SQLITE_OPEN_READONLY, nullptr) ==
        SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
        while (statement != nullptr && sqlite3_step(statement) == SQLITE_ROW) {
            values << sqlite3_column_int64(statement, 0);
        }
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return values;
}

// The text rows of "PRAGMA quick_check" on a file, through an immutable connection.
QString QuickCheck(const QString& dbPath) {
    sqlite3* db = nullptr;
    QString result;
    const QByteArray uri = "file:" + Native(dbPath) + "?immutable=1";
    if (sqlite3_open_v2(uri.constData(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) ==
        SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, "PRAGMA quick_check", -1, &statement, nullptr) != SQLITE_OK) {
            result = QString::fromUtf8(sqlite3_errmsg(db));
        }
        while (statement != nullptr && sqlite3_step(statement) == SQLITE_ROW) {
            result +=
                QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)));
        }
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return result;
}

// A store with versions of several sizes in `folder` (with a trailing "/"), compacted and
// closed. Returns the contents by file name.
QMap<QString, QByteArray> MakeStore(const QString& folder, int versions = 40) {
    TTestHost host;
    TBackupStore store(host);
    EXPECT_TRUE(store.Open(folder));
    TIds ids;
    QMap<QString, QByteArray> contents;
    QRandomGenerator random(7);
    for (int i = 0; i < versions; ++i) {
        QByteArray content = QByteArray("line of text ").repeated(50 + 40 * i);
        for (int j = 0; j < 200; ++j) {
            content[random.bounded(content.size())] = static_cast<char>(random.bounded(256));
        }
        const QString name = QStringLiteral("/src/file%1.txt").arg(i);
        int pathId = 0;
        EXPECT_TRUE(store.StoreVersion(ids, 1, content.size(), EncodeVersion(content, true, kKeys),
                                       name, pathId));
        contents.insert(name, content);
    }
    store.Close(true);
    return contents;
}

QString LogText(const QString& logsFolder) {
    QString text;
    for (const QString& name : QDir(logsFolder).entryList({"Backups*.log"}, QDir::Files)) {
        const QByteArray bytes = ReadAll(logsFolder + name);
        text += QString::fromUtf16(reinterpret_cast<const char16_t*>(bytes.constData()),
                                   bytes.size() / 2);
    }
    return text;
}

// ---- damaged stores ----------------------------------------------------------------

TEST(StoreOpen, DamagedStoresAreReportedAndLeftExactlyAsTheyAre) {
    TestDir dir;
    const QString goodFolder = dir.MakeDir("good") + "/";
    MakeStore(goodFolder);
    const QByteArray good = ReadAll(goodFolder + "backups.db");
    constexpr int kPage = 8192;
    ASSERT_EQ(good.size() % kPage, 0);
    ASSERT_GT(good.size(), 8 * kPage);

    // A table page of the real file with its cell pointers overwritten.
    const QList<qint64> roots = Integers(goodFolder + "backups.db",
                                         "SELECT rootpage FROM sqlite_master WHERE name = 'Data'");
    ASSERT_EQ(roots.size(), 1);
    QByteArray overwritten = good;
    for (qint64 i = (roots[0] - 1) * kPage + 8; i < (roots[0] - 1) * kPage + 72; ++i) {
        overwritten[i] = static_cast<char>(overwritten[i] ^ 0x5A);
    }
    QByteArray random(20000, Qt::Uninitialized);
    QRandomGenerator generator(11);
    for (char& byte : random) {
        byte = static_cast<char>(generator.bounded(256));
    }

    struct Case {
        const char* name;
        QByteArray content;
        QString reason;  // the text in the parentheses; a prefix for quick_check
    };
    const Case cases[] = {
        {"empty", QByteArray(), "it is empty: 0 bytes"},
        {"random", random, "it is not an SQLite database"},
        {"text", QByteArray("CREATE TABLE Data (x);\n").repeated(400),
         "it is not an SQLite database"},
        {"cut-in-a-page", good.left(good.size() - 3000),
         QStringLiteral("it is cut short: %1 bytes are not a whole number of 8192-byte pages")
             .arg(good.size() - 3000)},
        {"cut-at-a-page", good.left(good.size() - 3 * kPage),
         QStringLiteral("it is cut short: %1 of %2 bytes")
             .arg(good.size() - 3 * kPage)
             .arg(good.size())},
        {"overwritten-page", overwritten, "PRAGMA quick_check: "},
    };
    ASSERT_NE(QuickCheck(goodFolder + "backups.db"), QString());
    ASSERT_EQ(QuickCheck(goodFolder + "backups.db"), "ok");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QString folder = dir.MakeDir(QStringLiteral("data-%1").arg(c.name)) + "/";
        const QString path = folder + "backups.db";
        WriteAll(path, c.content);
        ASSERT_EQ(::chmod(Native(path).constData(), 0600), 0);
        SetOldTime(path);
        if (QLatin1String(c.name) == QLatin1String("overwritten-page")) {
            ASSERT_NE(QuickCheck(path), "ok");  // the fixture really is damaged
        }
        const std::string before = Snapshot(folder);

        TTestHost host;
        host.OpenStores(dir.Sub(QStringLiteral("prog-%1").arg(c.name)));
        host.SetDataFolder(folder);
        host.StartProfiles(false);
        TBackupStore& store = *host.BackupStore();
        EXPECT_FALSE(host.IsFlagSet(kFlagBackupsDatabase));
        EXPECT_FALSE(store.IsOpen());
        const QString problem = store.OpenProblem();
        const QString expected = QStringLiteral("%1 is damaged (%2").arg(path, c.reason);
        EXPECT_TRUE(problem.startsWith(expected)) << qPrintable(problem);
        EXPECT_TRUE(problem.endsWith("); it was kept unchanged and backups are off"))
            << qPrintable(problem);
        EXPECT_EQ(store.OpenProblemKind(), kStatusError);
        EXPECT_TRUE(host.HasError(problem));
        int pathId = 0;
        TIds ids;
        EXPECT_FALSE(
            store.StoreVersion(ids, 1, 1, EncodeVersion("x", false, kKeys), "/a/b", pathId));
        const QString logs = host.LogsFolder();
        host.CloseStores();

        EXPECT_EQ(Snapshot(folder), before);
        EXPECT_TRUE(LogText(logs).contains(problem + ",Store")) << qPrintable(LogText(logs));
    }
}

// The record a clean close writes for the file as it is now: what a disk that damaged
// the file below the file system would leave.
void ForgeCleanClose(const QString& path) {
    struct stat facts {};
    ASSERT_EQ(::lstat(Native(path).constData(), &facts), 0);
    auto ns = [](const timespec& t) { return qint64(t.tv_sec) * 1000000000LL + t.tv_nsec; };
    WriteAll(path + "-state", QStringLiteral("closed %1 %2 %3 %4 %5\n")
                                  .arg(quint64(facts.st_dev))
                                  .arg(quint64(facts.st_ino))
                                  .arg(qint64(facts.st_size))
                                  .arg(ns(facts.st_mtim))
                                  .arg(ns(facts.st_ctim))
                                  .toLatin1());
}

// A copy of `good` with the cell pointers of the Data table's root page overwritten.
QByteArray WithDamagedDataRoot(const QString& path, const QByteArray& good) {
    constexpr int kPage = 8192;
    const QList<qint64> roots =
        Integers(path, "SELECT rootpage FROM sqlite_master WHERE name = 'Data'");
    QByteArray damaged = good;
    if (roots.size() == 1) {
        for (qint64 i = (roots[0] - 1) * kPage + 8; i < (roots[0] - 1) * kPage + 72; ++i) {
            damaged[i] = static_cast<char>(damaged[i] ^ 0x5A);
        }
    }
    return damaged;
}

TEST(StoreOpen, OnlyAStoreClosedCleanlyAndUnchangedSinceSkipsTheFullCheck) {
    TestDir dir;
    const struct {
        const char* name;
        bool forge;     // the record matches the damaged file
        bool leftOpen;  // the last session ended without closing the store
        bool refused;   // the open reads every page and refuses the store
    } cases[] = {
        {"changed-after-a-clean-close", false, false, true},
        {"left-open-by-a-crash", true, true, true},
        {"damaged-below-the-file-system", true, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QString folder = dir.MakeDir(c.name) + "/";
        const QString path = folder + "backups.db";
        MakeStore(folder);
        // A clean close leaves its record beside the store, private.
        ASSERT_TRUE(ReadAll(path + "-state").startsWith("closed "))
            << ReadAll(path + "-state").constData();
        EXPECT_EQ(ModeOf(path + "-state"), 0600u);
        {
            // Opened and closed again: still trusted, and no write on the way.
            TTestHost host;
            TBackupStore store(host);
            ASSERT_TRUE(store.Open(folder));
            store.Close(false);
            ASSERT_TRUE(ReadAll(path + "-state").startsWith("closed "));
        }
        WriteAll(path, WithDamagedDataRoot(path, ReadAll(path)));
        ASSERT_NE(QuickCheck(path), "ok");
        if (c.forge) {
            ForgeCleanClose(path);
        }
        if (c.leftOpen) {
            WriteAll(path + "-state", "open\n");
        }

        TTestHost host;
        host.OpenStores(dir.Sub(QStringLiteral("prog-%1").arg(c.name)));
        host.SetDataFolder(folder);
        host.StartProfiles(false);
        TBackupStore& store = *host.BackupStore();
        EXPECT_EQ(store.IsOpen(), !c.refused);
        if (c.refused) {
            EXPECT_TRUE(store.OpenProblem().startsWith(path + " is damaged (PRAGMA quick_check"))
                << qPrintable(store.OpenProblem());
            host.CloseStores();
            continue;
        }
        // Trusted at open: the damage shows at the first statement that meets it, and from
        // then on nothing is written.
        TIds ids;
        ids.nextPath = ids.nextVersion = 1000;
        int pathId = 0;
        EXPECT_FALSE(
            store.StoreVersion(ids, 1, 1, EncodeVersion("x", false, kKeys), "/a/b", pathId));
        EXPECT_TRUE(store.IsDamaged());
        EXPECT_TRUE(store.OpenProblem().contains("is damaged")) << qPrintable(store.OpenProblem());
        EXPECT_THROW(store.DeleteVersion(1), EQuiva);
        const QByteArray before = ReadAll(path);
        host.CloseStores();
        EXPECT_EQ(ReadAll(path), before);
        // The record stays "open": the next open reads every page and refuses it.
        EXPECT_EQ(ReadAll(path + "-state"), "open\n");
    }
}

TEST(StoreOpen, TheIdleCheckFindsDamageThatAppearsWhileTheStoreIsOpen) {
    TestDir dir;
    const QString folder = dir.MakeDir("data") + "/";
    const QString path = folder + "backups.db";
    MakeStore(folder);
    TTestHost host;
    host.OpenStores(dir.Sub("prog"));
    host.SetDataFolder(folder);
    host.StartProfiles(false);
    TBackupStore& store = *host.BackupStore();
    ASSERT_TRUE(store.IsOpen());
    host.Backups().SetStoreCheckTimes(std::chrono::milliseconds(0), std::chrono::hours(1));

    auto checkUntilDone = [&] {
        host.Backups().CheckStoreWhenDue();  // starts the check
        for (int i = 0; i < 6000 && host.Backups().IsStoreCheckRunning(); ++i) {
            QThread::msleep(5);
        }
        host.Backups().CheckStoreWhenDue();  // takes its result
    };
    checkUntilDone();  // a sound store: nothing found
    EXPECT_FALSE(store.IsDamaged());

    // Damaged on disk behind the open connection's back.
    const QByteArray damaged = WithDamagedDataRoot(path, ReadAll(path));
    const int fd = ::open(Native(path).constData(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, damaged.constData(), damaged.size(), 0), damaged.size());
    ::close(fd);
    host.Backups().SetStoreCheckTimes(std::chrono::milliseconds(0), std::chrono::hours(1));
    checkUntilDone();
    ASSERT_TRUE(store.IsDamaged());
    EXPECT_TRUE(store.OpenProblem().contains("is damaged (PRAGMA quick_check"))
        << qPrintable(store.OpenProblem());
    EXPECT_TRUE(host.HasError(store.OpenProblem()));
    TIds ids;
    int pathId = 0;
    EXPECT_FALSE(store.StoreVersion(ids, 1, 1, EncodeVersion("x", false, kKeys), "/c/d", pathId));
    host.CloseStores();
}

TEST(StoreOpen, WhatIsNoStoreFileIsRefusedAndNamed) {
    TestDir dir;
    const QString target = dir.Write("elsewhere.db", "keep");
    const QString linked = dir.MakeDir("linked") + "/";
    ASSERT_EQ(::symlink(Native(target).constData(), Native(linked + "backups.db").constData()), 0);
    const QString folder = dir.MakeDir("folder") + "/";
    dir.MakeDir("folder/backups.db");

    TTestHost host;
    TBackupStore store(host);
    EXPECT_FALSE(store.Open(linked));
    EXPECT_EQ(store.OpenProblem(), linked +
                                       "backups.db is a symbolic link; it was kept unchanged "
                                       "and backups are off");
    EXPECT_EQ(ReadAll(target), "keep");
    EXPECT_FALSE(store.Open(folder));
    EXPECT_EQ(store.OpenProblem(), folder + "backups.db is not a file; backups are off");
    EXPECT_FALSE(host.IsFlagSet(kFlagBackupsDatabase));
}

// ---- privacy -------------------------------------------------------------------------

TEST(StorePrivacy, TheStoreAndItsWalAndShmAre0600WhateverTheUmask) {
    for (const mode_t mask : {mode_t(022), mode_t(0), mode_t(0277)}) {
        SCOPED_TRACE(mask);
        TestDir dir;
        const QString folder = dir.MakeDir("data") + "/";
        const mode_t old = ::umask(mask);
        TTestHost host;
        TBackupStore store(host);
        const bool opened = store.Open(folder);
        TIds ids;
        int pathId = 0;
        const bool stored = store.StoreVersion(ids, 1, 5, EncodeVersion("hello", false, kKeys),
                                               "/a/hello.txt", pathId);
        ::umask(old);
        ASSERT_TRUE(opened);
        ASSERT_TRUE(stored);
        for (const char* suffix : {"", "-wal", "-shm"}) {
            EXPECT_EQ(ModeOf(folder + "backups.db" + suffix), mode_t(0600)) << suffix;
        }
        EXPECT_FALSE(QFileInfo::exists(folder + "backups.db.new"));
        store.Close(true);
        EXPECT_EQ(ModeOf(folder + "backups.db"), mode_t(0600));
    }
}

TEST(StorePrivacy, AStoreLeftOpenToOthersByAnEarlierVersionIsTightened) {
    TestDir dir;
    const QString folder = dir.MakeDir("data") + "/";
    MakeStore(folder, 2);
    const QString path = folder + "backups.db";
    // An earlier version's connection, still open, with its -wal and -shm files.
    TSQLTables earlier(path, 100, 1, false);
    earlier.ExecScript("PRAGMA journal_mode=WAL; DELETE FROM Data WHERE bID = 1");
    for (const char* suffix : {"", "-wal", "-shm"}) {
        ASSERT_EQ(::chmod(Native(path + suffix).constData(), 0644), 0) << suffix;
    }
    TTestHost host;
    TBackupStore store(host);
    ASSERT_TRUE(store.Open(folder));
    EXPECT_FALSE(store.IsReadOnly());
    for (const char* suffix : {"", "-wal", "-shm"}) {
        EXPECT_EQ(ModeOf(path + suffix), mode_t(0600)) << suffix;
    }
    EXPECT_TRUE(store.OpenProblem().isEmpty());
}

TEST(StorePrivacy, TheNewStoreIsNeverBuiltThroughALinkAtItsBuildingName) {
    TestDir dir;
    const QString folder = dir.MakeDir("data") + "/";
    const QString target = dir.Write("victim.txt", "not a database");
    ASSERT_EQ(::chmod(Native(target).constData(), 0644), 0);
    ASSERT_EQ(::symlink(Native(target).constData(), Native(folder + "backups.db.new").constData()),
              0);
    TTestHost host;
    TBackupStore store(host);
    ASSERT_TRUE(store.Open(folder));
    EXPECT_EQ(ReadAll(target), "not a database");
    EXPECT_EQ(ModeOf(target), mode_t(0644));
    struct stat facts {};
    ASSERT_EQ(::lstat(Native(folder + "backups.db").constData(), &facts), 0);
    EXPECT_TRUE(S_ISREG(facts.st_mode));
    EXPECT_EQ(::lstat(Native(folder + "backups.db.new").constData(), &facts), -1);
    store.Close(false);

    // The building name must be free: an existing file there is never taken over.
    QString reason;
    EXPECT_FALSE(CreateBackupDatabaseFile(target, &reason));
    EXPECT_EQ(reason, QString::fromLocal8Bit(std::strerror(EEXIST)));
    EXPECT_EQ(ReadAll(target), "not a database");
}

// ---- the store check ---------------------------------------------------------------

TEST(StoreCheck, FindsBadVersionsAndOnesOfAnotherPasswordWithoutWriting) {
    TestDir dir;
    const QString folder = dir.MakeDir("data") + "/";
    const QString path = folder + "backups.db";
    TTestHost host;
    TBackupStore store(host);
    ASSERT_TRUE(store.Open(folder));
    TIds ids;
    auto put = [&](const QByteArray& content, const TBlobKeys& keys, qint64 size = -1) {
        int pathId = 0;
        const int id = ids.nextVersion;
        EXPECT_TRUE(store.StoreVersion(ids, 1, size < 0 ? content.size() : size,
                                       EncodeVersion(content, true, keys),
                                       QStringLiteral("/c/f%1.txt").arg(id), pathId));
        return id;
    };
    // More good versions than one batch holds.
    for (int i = 0; i < 300; ++i) {
        put(QByteArray("good ").repeated(20 + i), kKeys);
    }
    put(QByteArray(), kKeys);  // an empty file's version: nothing to decode, yet intact
    const int damaged = put(QByteArray("compressible text ").repeated(400), kKeys);
    const int other = put("made before the password changed", TBlobKeys::FromPassword("older"));
    // Three versions of 3 MiB: more than one batch's budget together.
    QByteArray noise(3 * 1024 * 1024, Qt::Uninitialized);
    QRandomGenerator random(5);
    for (char& byte : noise) {
        byte = static_cast<char>(random.bounded(256));
    }
    QList<int> stored;  // incompressible: kept as they are, without a checksum
    for (int i = 0; i < 3; ++i) {
        noise[0] = static_cast<char>(i);
        stored << put(noise, kKeys);
    }
    const int oversized = put("to be replaced", kKeys);
    const int noData = put("to be emptied", kKeys);
    const int orphan = ids.nextVersion;
    store.Close(false);
    {
        TSQLTables raw(path, 100, 1, false);
        QByteArray blob =
            *raw.Query("SELECT bData FROM Data WHERE bID = ?", 64, 1, {qint64(damaged)})
                 ->GetBlob(0);
        blob[blob.size() / 2] = static_cast<char>(blob[blob.size() / 2] ^ 0xFF);
        raw.Exec("UPDATE Data SET bData = ? WHERE bID = ?", {TSQLBlob{blob}, qint64(damaged)});
        // A flipped byte in a version stored as it is cannot be found: it is unverified,
        // never counted good.
        blob = *raw.Query("SELECT bData FROM Data WHERE bID = ?", 8192, 1, {qint64(stored[1])})
                    ->GetBlob(0);
        ASSERT_EQ(BlobMethod(blob), kMethodStored);
        blob[blob.size() / 2] = static_cast<char>(blob[blob.size() / 2] ^ 0x01);
        raw.Exec("UPDATE Data SET bData = ? WHERE bID = ?", {TSQLBlob{blob}, qint64(stored[1])});
        // Larger than any version can be.
        raw.Exec("UPDATE Data SET bData = zeroblob(?) WHERE bID = ?",
                 {kClassicLargestContent + 2 * 1024 * 1024, qint64(oversized)});
        raw.Exec("UPDATE Data SET bData = NULL WHERE bID = ?", {qint64(noData)});
        raw.Exec("INSERT INTO Data (bID,bPath,bPro,bSize,bDate,bData) VALUES (?,9999,1,4,0,?)",
                 {qint64(orphan), TSQLBlob{EncodeVersion("lost", false, kKeys)}});
    }

    const std::string before = Snapshot(folder);
    ASSERT_TRUE(store.Open(folder, true));
    EXPECT_TRUE(store.IsReadOnly());
    EXPECT_TRUE(store.OpenProblem().isEmpty());  // read-only on purpose: no notice
    EXPECT_TRUE(store.IntegrityProblems().isEmpty());
    QMap<int, QString> reported;
    const qint64 checked = store.CheckVersions(kKeys, [&](const TVersionCheck& version) {
        EXPECT_FALSE(reported.contains(version.versionId));
        reported.insert(version.versionId, version.otherPassword ? QStringLiteral("other")
                                           : version.unverified  ? QStringLiteral("unverified")
                                                                 : version.reason);
    });
    EXPECT_EQ(checked, ids.nextVersion);
    const QMap<int, QString> expected = {
        {damaged, "Invalid backup data"}, {other, "other"},
        {stored[0], "unverified"},        {stored[1], "unverified"},
        {stored[2], "unverified"},        {oversized, "Data too large to retrieve"},
        {noData, "no data stored"},       {orphan, "no file name: its Paths row is missing"},
    };
    EXPECT_EQ(reported, expected);
    store.Close(true);
    EXPECT_EQ(Snapshot(folder), before);

    // An index that no longer matches its table passes the quick check at open, and the
    // integrity check finds it.
    {
        TSQLTables raw(path, 100, 1, false);
        raw.ExecScript(
            "PRAGMA writable_schema=ON; UPDATE sqlite_master SET sql = 'CREATE INDEX "
            "[PathsByName] ON [Paths] ([pFile], [pPath])' WHERE name = 'PathsByName'");
    }
    ASSERT_TRUE(store.Open(folder, true));
    const QStringList problems = store.IntegrityProblems();
    ASSERT_FALSE(problems.isEmpty());
    EXPECT_TRUE(problems.first().contains("PathsByName")) << qPrintable(problems.first());
}

// ---- read-only media -------------------------------------------------------------------

// How a store is made impossible to write, as root (for whom permissions do not count).
enum TMedia {
    kBindMount,        // the folder remounted read-only (EROFS)
    kImmutableFolder,  // chattr +i on the folder: no -wal or -shm can be made
    kImmutableFile,    // chattr +i on the file (EPERM for a writable open)
};

class ReadOnlyMedia : public ::testing::Test {
protected:
    void SetUp() override {
        m_folder = m_dir.MakeDir("media") + "/";
        m_contents = MakeStore(m_folder, 6);
    }
    void TearDown() override { Undo(); }

    // Makes the store read-only as the test asks; false (with the reason) where this
    // machine does not allow it.
    bool MakeReadOnly(TMedia media, QString& reason) {
        const QString folder = m_dir.Sub("media");
        if (media == kBindMount) {
            if (!RunCommand("mount", {"--bind", folder, folder})) {
                reason = "mounting is not permitted here";
                return false;
            }
            m_mounted = folder;
            if (!RunCommand("mount", {"-o", "remount,ro,bind", folder})) {
                reason = "a bind mount cannot be made read-only here";
                return false;
            }
            return true;
        }
        const QString target = media == kImmutableFolder ? folder : m_folder + "backups.db";
        if (!RunCommand("chattr", {"+i", target})) {
            reason = "the file system does not take chattr +i";
            return false;
        }
        m_immutable = target;
        return true;
    }
    void Undo() {
        if (!m_immutable.isEmpty()) {
            RunCommand("chattr", {"-i", m_immutable});
            m_immutable.clear();
        }
        if (!m_mounted.isEmpty()) {
            RunCommand("umount", {m_mounted});
            m_mounted.clear();
        }
    }

    TestDir m_dir;
    QString m_folder;
    QMap<QString, QByteArray> m_contents;
    QString m_mounted;
    QString m_immutable;
};

class ReadOnlyStore : public ReadOnlyMedia, public ::testing::WithParamInterface<TMedia> {};

TEST_P(ReadOnlyStore, IsSearchedAndRestoredFromAndNeverWritten) {
    QString reason;
    if (!MakeReadOnly(GetParam(), reason)) {
        GTEST_SKIP() << qPrintable(reason);
    }
    const QString path = m_folder + "backups.db";
    const std::string before = Snapshot(m_folder);
    {
        TTestHost host;
        host.OpenStores(m_dir.Sub("prog"));
        host.SetDataFolder(m_folder);
        host.StartProfiles(false);
        TBackupStore& store = *host.BackupStore();
        EXPECT_TRUE(host.IsFlagSet(kFlagBackupsDatabase));
        EXPECT_TRUE(store.IsOpen());
        EXPECT_TRUE(store.IsReadOnly());
        const QString notice = store.OpenProblem();
        EXPECT_TRUE(notice.startsWith(path + " cannot be written (")) << qPrintable(notice);
        EXPECT_TRUE(
            notice.endsWith("), so it was opened read-only: versions can be searched and "
                            "restored, but no backups are made"))
            << qPrintable(notice);
        EXPECT_EQ(store.OpenProblemKind(), kStatusNotice);
        ASSERT_FALSE(host.statuses.isEmpty());
        EXPECT_EQ(host.statuses.last().text, notice);
        EXPECT_EQ(host.statuses.last().kind, kStatusNotice);
        EXPECT_TRUE(TBackupLog::ParseLog(host.Profiles()->Log().ReadLog()).size() == 1);

        QList<TVersionRow> rows;
        ASSERT_TRUE(store.SearchVersions(1, 0, "%", 1000000, rows));
        ASSERT_EQ(rows.size(), m_contents.size());
        for (const TVersionRow& row : rows) {
            const QString name = row.folder + row.file;
            EXPECT_EQ(DecodeVersion(*store.LoadVersionData(row.versionId), kKeys, row.size),
                      m_contents.value(name));
        }
        const std::optional<TVersionRow> found = store.FindVersion(rows[0].versionId);
        ASSERT_TRUE(found);
        const QString restored = m_dir.Sub("restored");
        WriteVersionFile(store, *found, restored, found->file, "vompa7", false);
        EXPECT_EQ(ReadAll(restored + "/" + found->file),
                  m_contents.value(found->folder + found->file));
        EXPECT_FALSE(store.BuildDiscardList(1, [](const QString&) { return true; }).isEmpty());

        TIds ids;
        ids.nextPath = ids.nextVersion = 1000;
        int pathId = 0;
        EXPECT_FALSE(store.StoreVersion(ids, 1, 3, EncodeVersion("new", false, kKeys),
                                        "/src/new.txt", pathId));
        const std::vector<std::pair<const char*, std::function<void()>>> deletions = {
            {"DeleteVersion", [&] { store.DeleteVersion(rows[0].versionId); }},
            {"DeleteAllVersions", [&] { store.DeleteAllVersions(1); }},
            {"DiscardOlderThan", [&] { store.DiscardOlderThan({rows[0].pathId}, 1, -10); }},
            {"KeepNewest", [&] { store.KeepNewest({rows[0].pathId}, 1, 0); }},
        };
        for (const auto& [name, deletion] : deletions) {
            try {
                deletion();
                ADD_FAILURE() << name << " did not raise";
            } catch (const EQuiva& error) {
                EXPECT_EQ(error.Message(), "Permission denied") << name;
            }
        }
        EXPECT_FALSE(store.DeleteProfileVersions(1));
        // No profile runs on it: every file would fail to be stored.
        TProfile* profile = host.Profiles()->NewProfile();
        profile->SetExtensions(".txt\r\n");
        profile->SetTarget(m_dir.MakeDir("watched") + "/");
        for (bool (TProfile::*start)() : {&TProfile::StartFullBackup, &TProfile::StartPrune}) {
            try {
                (profile->*start)();
                ADD_FAILURE() << "a run started on a read-only store";
            } catch (const EQuiva& error) {
                EXPECT_EQ(error.Message(), path + " can only be read, so no backup can run");
            }
        }
        EXPECT_EQ(host.Profiles()->ActiveCount(), 0);
        host.ProcessBackupIdle();
        host.CloseStores();  // would compact a writable store
    }
    Undo();
    EXPECT_EQ(Snapshot(m_folder), before);
    EXPECT_EQ(Integers(m_folder + "backups.db", "SELECT count(*) FROM Data"),
              QList<qint64>{m_contents.size()});
}

INSTANTIATE_TEST_SUITE_P(Media, ReadOnlyStore,
                         ::testing::Values(kBindMount, kImmutableFolder, kImmutableFile),
                         [](const ::testing::TestParamInfo<TMedia>& info) {
                             switch (info.param) {
                                 case kBindMount:
                                     return std::string("ReadOnlyBindMount");
                                 case kImmutableFolder:
                                     return std::string("ImmutableFolder");
                                 case kImmutableFile:
                                     return std::string("ImmutableFile");
                             }
                             return std::string();
                         });

// A store copied with its -wal and -shm files while a program still had it open (the
// newest versions live only in the -wal file).
TEST_F(ReadOnlyMedia, AWalStoreShowsItsNewestVersionsWhileItsShmFileIsThere) {
    const QString source = m_dir.MakeDir("source") + "/";
    TTestHost writerHost;
    TBackupStore writer(writerHost);
    ASSERT_TRUE(writer.Open(source));
    TIds ids;
    for (int i = 0; i < 3; ++i) {
        int pathId = 0;
        ASSERT_TRUE(writer.StoreVersion(ids, 1, 4, EncodeVersion("wal!", false, kKeys),
                                        QStringLiteral("/w/%1.txt").arg(i), pathId));
    }
    ASSERT_GT(QFileInfo(source + "backups.db-wal").size(), 0);
    for (const char* suffix : {"", "-wal", "-shm"}) {
        QFile::remove(m_folder + "backups.db" + suffix);
        ASSERT_TRUE(QFile::copy(source + "backups.db" + suffix, m_folder + "backups.db" + suffix));
    }
    writer.Close(false);

    QString reason;
    if (!MakeReadOnly(kImmutableFolder, reason)) {
        GTEST_SKIP() << qPrintable(reason);
    }
    const std::string before = Snapshot(m_folder);
    TTestHost host;
    TBackupStore store(host);
    ASSERT_TRUE(store.Open(m_folder));
    EXPECT_TRUE(store.IsReadOnly());
    EXPECT_FALSE(store.OpenProblem().contains("backups.db-wal"));
    QList<TVersionRow> rows;
    ASSERT_TRUE(store.SearchVersions(1, 0, "%", 1000000, rows));
    EXPECT_EQ(rows.size(), 3);
    store.Close(true);
    EXPECT_EQ(Snapshot(m_folder), before);

    // Without its -shm file SQLite cannot read the -wal file on read-only media: the
    // store opens without the newest changes, and says so.
    Undo();
    ASSERT_TRUE(QFile::remove(m_folder + "backups.db-shm"));
    ASSERT_TRUE(MakeReadOnly(kImmutableFolder, reason));
    ASSERT_TRUE(store.Open(m_folder));
    EXPECT_TRUE(store.IsReadOnly());
    EXPECT_TRUE(store.OpenProblem().endsWith(
        "; the newest changes, kept in backups.db-wal, cannot be read there and are not shown"))
        << qPrintable(store.OpenProblem());
    EXPECT_FALSE(store.SearchVersions(1, 0, "%", 1000000, rows));
}

}  // namespace
