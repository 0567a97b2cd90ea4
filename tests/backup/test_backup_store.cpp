// The backup store on real SQLite files: creation and journaling, storing as one
// transaction, search, load, discard passes with an injected clock, and bound names.
#include "backup/backup_log.h"
#include "backup/backup_store.h"
#include "backup/version_blob.h"
#include "backup/version_restore.h"
#include "base/day_number.h"
#include "base/errors.h"
#include "platform/native_name.h"
#include "storage/sqlite_layer.h"
#include "support/test_dir.h"
#include "support/test_host.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <sqlite3.h>

#include <sys/wait.h>
#include <unistd.h>
#include <csignal>

#include <gtest/gtest.h>

namespace {

const TBlobKeys kKeys = TBlobKeys::FromPassword("vompa7");

// Hands out ids in order, or the listed version ids first.
class TTestIds : public TBackupIdSource {
public:
    int TakeVersionId() override {
        return versionIds.isEmpty() ? nextVersion++ : versionIds.takeFirst();
    }
    int TakePathIds(int& versionId) override {
        versionId = TakeVersionId();
        return nextPath++;
    }
    int nextPath = 1;
    int nextVersion = 1;
    QList<int> versionIds;
};

class BackupStore : public ::testing::Test {
protected:
    void SetUp() override {
        m_host = std::make_unique<TTestHost>();
        m_host->OpenStores(m_dir.Sub("prog"));
        ASSERT_NE(Store(), nullptr);
    }
    TBackupStore* Store() { return m_host->BackupStore(); }
    QString DbPath() { return m_host->DataFolder() + "backups.db"; }
    std::unique_ptr<TSQLTables> Raw() {
        return std::make_unique<TSQLTables>(DbPath(), 100, 1, false);
    }
    int Count(const QString& sql) {
        const auto result = Raw()->Query(sql, 64, 100000);
        return result->RowCount();
    }
    // Stores `content` as a version of `fullName`; returns the path id (0 on failure).
    int Put(const QString& fullName, const QByteArray& content, int profile = 1) {
        const QByteArray blob = EncodeVersion(content, true, kKeys);
        int pathId = 0;
        return Store()->StoreVersion(m_ids, profile, content.size(), blob, fullName, pathId)
                   ? pathId
                   : 0;
    }
    void SetNow(const QDateTime& now) {
        Store()->SetClock([now] { return now; });
    }

    TestDir m_dir;
    std::unique_ptr<TTestHost> m_host;
    TTestIds m_ids;
};

TEST_F(BackupStore, CreatesTheSchemaInWalModeAndSetsFlag17) {
    EXPECT_TRUE(m_host->IsFlagSet(kFlagBackupsDatabase));
    EXPECT_TRUE(QFile::exists(DbPath()));
    EXPECT_FALSE(QFile::exists(DbPath() + ".new"));
    // The two tables of every store, then those of chunked versions.
    const auto tables = Raw()->Query(
        "SELECT sql FROM sqlite_master WHERE type = 'table' AND name IN ('Data', 'Paths') ORDER "
        "BY name",
        16, 10);
    ASSERT_EQ(tables->RowCount(), 2);
    EXPECT_EQ(tables->GetText(0),
              "CREATE TABLE [Data] ([bID] INTEGER PRIMARY KEY NOT NULL, [bPath] INTEGER NULL, "
              "[bPro] INTEGER NULL, [bSize] INTEGER NULL, [bDate] FLOAT NULL, [bData] BLOB NULL, "
              "[bMode] INTEGER NULL, [bMtime] INTEGER NULL, [bCtime] INTEGER NULL, [bInode] "
              "INTEGER NULL)");
    tables->Next();
    EXPECT_EQ(tables->GetText(0),
              "CREATE TABLE [Paths] ([pID] INTEGER NOT NULL PRIMARY KEY, [pPath] TEXT NULL, "
              "[pFile] TEXT NULL)");
    EXPECT_EQ(Raw()
                  ->Query("SELECT name FROM sqlite_master WHERE type = 'table' AND name IN "
                          "('Chunks', 'Refs', 'Pending', 'Keys')",
                          1, 10)
                  ->RowCount(),
              4);
    auto raw = Raw();
    sqlite3_stmt* statement = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(raw->Handle(), "PRAGMA journal_mode", -1, &statement, nullptr),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)), "wal");
    sqlite3_finalize(statement);
}

TEST_F(BackupStore, VacuumAndReopeningInAnotherDataFolderWork) {
    ASSERT_GT(Put("/data/one.txt", QByteArray(5000, 'a')), 0);
    Store()->Close(true);
    EXPECT_FALSE(m_host->IsFlagSet(kFlagBackupsDatabase));
    EXPECT_FALSE(QFile::exists(DbPath() + "-wal"));  // checkpointed on close
    EXPECT_EQ(Count("SELECT bID FROM Data"), 1);

    const QString other = m_dir.Sub("elsewhere");
    m_host->SetDataFolder(other);
    EXPECT_TRUE(m_host->IsFlagSet(kFlagBackupsDatabase));
    EXPECT_TRUE(QFile::exists(other + "/backups.db"));
    EXPECT_EQ(Store()->Path(), other + "/backups.db");
    ASSERT_GT(Put("/data/two.txt", "second"), 0);
    QList<TVersionRow> rows;
    EXPECT_FALSE(Store()->SearchVersions(1, 0, "one.txt", 100000, rows));
    EXPECT_TRUE(Store()->SearchVersions(1, 0, "two.txt", 100000, rows));
}

TEST_F(BackupStore, AFolderNamedLikeTheStoreLeavesItClosed) {
    const QString data = m_dir.MakeDir("data2/backups.db");
    m_host->SetDataFolder(m_dir.Sub("data2"));
    EXPECT_FALSE(m_host->IsFlagSet(kFlagBackupsDatabase));
    EXPECT_FALSE(Store()->IsOpen());
    int pathId = 0;
    EXPECT_FALSE(Store()->StoreVersion(m_ids, 1, 1, QByteArray("x"), "/a/b", pathId));
    QList<TVersionRow> rows;
    EXPECT_THROW((void)Store()->SearchVersions(1, 0, "%", 1, rows), EQuiva);
    EXPECT_TRUE(QFileInfo(data).isDir());
}

TEST_F(BackupStore, ADamagedFileIsLeftUnchanged) {
    const QString folder = m_dir.MakeDir("damaged");
    const QByteArray garbage(8192, 'z');
    QFile file(folder + "/backups.db");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(garbage);
    file.close();
    m_host->SetDataFolder(folder);
    // SQLite refuses the file at once: the store stays closed, and is not replaced.
    EXPECT_FALSE(m_host->IsFlagSet(kFlagBackupsDatabase));
    QList<TVersionRow> rows;
    try {
        (void)Store()->SearchVersions(1, 0, "%", 1, rows);
        ADD_FAILURE();
    } catch (const EQuiva& error) {
        EXPECT_EQ(error.Message(), "Can't open backups.db");
    }
    int pathId = 0;
    EXPECT_FALSE(Store()->StoreVersion(m_ids, 1, 1, QByteArray("x"), "/a/b", pathId));
    Store()->Close(true);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), garbage);
}

TEST_F(BackupStore, StoreErrorMessages) {
    struct Case {
        int code;
        const char* message;
    };
    const Case cases[] = {
        {1, "Invalid SQL or missing database"},
        {3, "Permission denied"},
        {5, "backups.db is busy"},
        {6, "Table in backups.db is locked"},
        {14, "Can't open backups.db"},
        {16, "backups.db is empty!"},
        {17, "backups.db schema has changed"},
        {24, "Could not bind blob data"},
        {25, "Error while preparing statement"},
        {26, "Data too large to retrieve"},
        {19, "SQLite Error:19"},
    };
    for (const Case& c : cases) {
        try {
            TBackupStore::RaiseStoreError(c.code);
            ADD_FAILURE() << c.code;
        } catch (const EQuiva& error) {
            EXPECT_EQ(error.Message(), c.message);
        }
    }
    EXPECT_NO_THROW(TBackupStore::RaiseStoreError(0));
    EXPECT_NO_THROW(TBackupStore::RaiseStoreError(101));
}

TEST_F(BackupStore, StoresFindsAndLoadsVersionsSharingPathRows) {
    SetNow(QDateTime(QDate(2024, 3, 5), QTime(12, 0)));
    const QByteArray content = QByteArray(3000, 'q');
    const int path = Put("/home/u/docs/report.txt", content, 1);
    ASSERT_GT(path, 0);
    EXPECT_EQ(Put("/home/u/docs/report.txt", "second", 1), path);
    EXPECT_EQ(Put("/home/u/docs/report.txt", "third", 2), path);  // shared across profiles
    EXPECT_EQ(Count("SELECT pID FROM Paths"), 1);

    QList<TVersionRow> rows;
    const int day = static_cast<int>(DayNumberFromDate(QDate(2024, 3, 5)));
    ASSERT_TRUE(Store()->SearchVersions(1, day, "report%", day + 1, rows));
    ASSERT_EQ(rows.size(), 2);
    EXPECT_EQ(rows[0].file, "report.txt");
    EXPECT_EQ(rows[0].folder, "/home/u/docs/");
    EXPECT_EQ(rows[0].size, 3000);
    EXPECT_EQ(rows[0].Extension(), ".txt");
    EXPECT_EQ(rows[0].DateText(), "2024/03/05 12:00:00");
    EXPECT_DOUBLE_EQ(rows[0].date, day + 0.5);
    EXPECT_LT(rows[0].versionId, rows[1].versionId);

    const std::optional<QByteArray> blob = Store()->LoadVersionData(rows[0].versionId);
    ASSERT_TRUE(blob);
    EXPECT_EQ(DecodeVersion(*blob, kKeys, rows[0].size), content);
    EXPECT_FALSE(Store()->LoadVersionData(9999));
    const std::optional<TVersionRow> found = Store()->FindVersion(rows[1].versionId);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->file, "report.txt");
    EXPECT_EQ(found->profileNumber, 1);

    Store()->DeleteVersion(rows[0].versionId);
    ASSERT_TRUE(Store()->SearchVersions(1, day, "%", day + 1, rows));
    EXPECT_EQ(rows.size(), 1);
    ASSERT_TRUE(Store()->SearchVersions(2, day, "%", day + 1, rows));
    EXPECT_EQ(rows.size(), 1);
}

TEST_F(BackupStore, AFilesVersionsOfOneProfileComeNewestFirst) {
    SetNow(QDateTime(QDate(2024, 3, 5), QTime(9, 0)));
    const int plan = Put("/home/u/plan.txt", "one", 1);
    ASSERT_GT(plan, 0);
    ASSERT_GT(Put("/home/u/other.txt", "other", 1), 0);
    ASSERT_EQ(Put("/home/u/plan.txt", "two", 2), plan);  // another profile
    ASSERT_EQ(Put("/home/u/plan.txt", "three", 1), plan);
    ASSERT_GT(Put("/home/u/sub/plan.txt", "elsewhere", 1), 0);  // same name, other folder

    const QList<TVersionRow> rows = Store()->FileVersions(1, plan);
    ASSERT_EQ(rows.size(), 2);
    EXPECT_GT(rows[0].versionId, rows[1].versionId);
    for (const TVersionRow& row : rows) {
        EXPECT_EQ(row.file, "plan.txt");
        EXPECT_EQ(row.folder, "/home/u/");
        EXPECT_EQ(row.pathId, plan);
        EXPECT_EQ(row.profileNumber, 1);
        EXPECT_EQ(row.DateText(), "2024/03/05 09:00:00");
    }
    EXPECT_EQ(rows[0].size, 5);
    EXPECT_EQ(rows[1].size, 3);
    EXPECT_EQ(Store()->FileVersions(2, plan).size(), 1);
    EXPECT_TRUE(Store()->FileVersions(3, plan).isEmpty());
    EXPECT_TRUE(Store()->FileVersions(1, 9999).isEmpty());
}

TEST_F(BackupStore, NamesWithQuotesAndWildcardsAreBoundNotPasted) {
    const QStringList names = {"a\"b'c.txt", "x%_y.txt", "semi;colon) OR 1=1 --.txt", "x_y.txt"};
    for (const QString& name : names) {
        ASSERT_GT(Put("/it's \"here\"/" + name, name.toUtf8()), 0) << qPrintable(name);
    }
    for (const QString& name : names) {
        QList<TVersionRow> rows;
        ASSERT_TRUE(Store()->SearchVersions(1, 0, name, 1000000, rows)) << qPrintable(name);
        ASSERT_FALSE(rows.isEmpty());
        const auto exact = std::find_if(rows.cbegin(), rows.cend(),
                                        [&](const TVersionRow& r) { return r.file == name; });
        ASSERT_NE(exact, rows.cend());
        EXPECT_EQ(exact->folder, "/it's \"here\"/");
        EXPECT_EQ(DecodeVersion(*Store()->LoadVersionData(exact->versionId), kKeys), name.toUtf8());
    }
    EXPECT_EQ(Count("SELECT pID FROM Paths"), names.size());
}

TEST_F(BackupStore, NamesThatAreNotUtf8AreKeptByteForByte) {
    const QString rawFolder = DecodeNativeName(QByteArray("/data/caf\xE9/"));
    const QString rawFile = DecodeNativeName(QByteArray("r\xE9sum\xE9\n.txt"));
    const QString utf8Folder = QStringLiteral("/data/café/");
    const QString utf8File = QStringLiteral("résumé\n.txt");
    ASSERT_TRUE(HasRawBytes(rawFolder) && HasRawBytes(rawFile));
    struct Case {
        QString folder;
        QString file;
        const char* folderType;
        const char* fileType;
    };
    const Case cases[] = {
        {rawFolder, rawFile, "blob", "blob"},
        {utf8Folder, rawFile, "text", "blob"},
        {rawFolder, utf8File, "blob", "text"},
        {utf8Folder, utf8File, "text", "text"},
    };
    QList<int> pathIds;
    for (const Case& c : cases) {
        const int pathId = Put(c.folder + c.file, EncodeNativeName(c.folder + c.file));
        ASSERT_GT(pathId, 0);
        EXPECT_FALSE(pathIds.contains(pathId));  // a blob never equals a text
        pathIds << pathId;
        EXPECT_EQ(Put(c.folder + c.file, "again"), pathId);  // found again by its bytes
        const auto types = Raw()->Query(
            "SELECT typeof(pPath) = 'blob', typeof(pFile) = 'blob' FROM Paths WHERE pID = ?", 1, 1,
            {qint64(pathId)});
        // The expression columns have no declared type: read through the stored kind.
        ASSERT_EQ(types->RowCount(), 1);
        EXPECT_EQ(types->StoredType(0), kStoredInteger);
    }
    EXPECT_EQ(Count("SELECT pID FROM Paths WHERE typeof(pPath) = 'blob'"), 2);
    EXPECT_EQ(Count("SELECT pID FROM Paths WHERE typeof(pFile) = 'blob'"), 2);
    // The stored bytes are the name's bytes.
    EXPECT_EQ(Count("SELECT pID FROM Paths WHERE pPath = CAST(X'2F646174612F636166E92F' AS BLOB)"),
              2);

    // A mask finds both kinds, and every name comes back exactly.
    QList<TVersionRow> rows;
    ASSERT_TRUE(Store()->SearchVersions(1, 0, "r_sum_%", 1000000, rows));
    ASSERT_EQ(rows.size(), 8);
    for (const TVersionRow& row : rows) {
        const int index = static_cast<int>(pathIds.indexOf(row.pathId));
        ASSERT_GE(index, 0);
        EXPECT_EQ(row.folder, cases[index].folder);
        EXPECT_EQ(row.file, cases[index].file);
        const std::optional<TVersionRow> found = Store()->FindVersion(row.versionId);
        ASSERT_TRUE(found);
        EXPECT_EQ(EncodeNativeName(found->folder + found->file),
                  EncodeNativeName(cases[index].folder + cases[index].file));
    }
    QStringList offered;
    (void)Store()->BuildDiscardList(1, [&](const QString& name) {
        offered << name;
        return true;
    });
    EXPECT_EQ(offered.count(rawFile), 2);
    EXPECT_EQ(offered.count(utf8File), 2);
}

TEST_F(BackupStore, ANameTheStoreCouldNotGiveBackIsRefusedAndLogged) {
    TBackupLog log(m_host->LogsFolder());
    log.OpenNewLog();
    Store()->SetLog(&log);
    // A lone surrogate that no file name decodes to: its bytes would not come back.
    const QString name = QStringLiteral("/odd/a") + QChar(0xD800) + QStringLiteral(".txt");
    int pathId = 0;
    EXPECT_FALSE(
        Store()->StoreVersion(m_ids, 1, 1, EncodeVersion("x", false, kKeys), name, pathId));
    EXPECT_EQ(Count("SELECT pID FROM Paths"), 0);
    EXPECT_EQ(Count("SELECT bID FROM Data"), 0);
    const QList<TLogEntry> entries = TBackupLog::ParseLog(log.ReadLog());
    ASSERT_EQ(entries.size(), 1);
    EXPECT_EQ(entries[0].event, PrintableName(name));
    EXPECT_EQ(entries[0].reason, "Name");
    Store()->SetLog(nullptr);
}

TEST_F(BackupStore, ModesAreKeptBesideTheVersions) {
    struct Case {
        int stored;
        int read;
    };
    const Case cases[] = {{0640, 0640}, {04755, 0755}, {0, 0}, {-1, -1}};
    for (const Case& c : cases) {
        int pathId = 0;
        ASSERT_TRUE(Store()->StoreVersion(m_ids, 1, 1,
                                          TVersionBlob(EncodeVersion("m", false, kKeys), c.stored),
                                          QStringLiteral("/modes/%1.txt").arg(c.stored), pathId));
    }
    QList<TVersionRow> rows;
    ASSERT_TRUE(Store()->SearchVersions(1, 0, "%", 1000000, rows));
    ASSERT_EQ(rows.size(), 4);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(rows[i].mode, cases[i].read) << cases[i].stored;
        EXPECT_EQ(Store()->FindVersion(rows[i].versionId)->mode, cases[i].read);
    }
}

// A store as it was made before the bMode column, with one version in it.
QString MakeOldStore(TestDir& dir, const QString& folder) {
    const QString path = dir.MakeDir(folder) + "/backups.db";
    TSQLTables db(path, 100, 1, true);
    db.ExecScript(
        "CREATE TABLE [Paths] ([pID] INTEGER NOT NULL PRIMARY KEY, [pPath] TEXT NULL, "
        "[pFile] TEXT NULL);"
        "CREATE TABLE [Data] ([bID] INTEGER PRIMARY KEY NOT NULL, [bPath] INTEGER NULL, "
        "[bPro] INTEGER NULL, [bSize] INTEGER NULL, [bDate] FLOAT NULL, [bData] BLOB NULL);"
        "INSERT INTO Paths VALUES (1, '/old/', 'kept.txt');");
    db.Exec("INSERT INTO Data VALUES (1, 1, 1, 3, 45000.5, ?)",
            {TSQLBlob{EncodeVersion("old", false, kKeys)}});
    return path;
}

TEST_F(BackupStore, AnOlderStoreGainsTheModeColumnAndReadsItsVersionsAsBefore) {
    const QString path = MakeOldStore(m_dir, "old");
    m_host->SetDataFolder(m_dir.Sub("old"));
    ASSERT_TRUE(m_host->IsFlagSet(kFlagBackupsDatabase));
    EXPECT_TRUE(Raw()->HasColumn("Data", "bMode"));
    m_ids.nextPath = m_ids.nextVersion = 2;
    int pathId = 0;
    ASSERT_TRUE(Store()->StoreVersion(m_ids, 1, 3,
                                      TVersionBlob(EncodeVersion("new", false, kKeys), 0604),
                                      "/old/kept.txt", pathId));
    EXPECT_EQ(pathId, 1);  // the old text name is found
    QList<TVersionRow> rows;
    ASSERT_TRUE(Store()->SearchVersions(1, 0, "kept.txt", 1000000, rows));
    ASSERT_EQ(rows.size(), 2);
    EXPECT_EQ(rows[0].mode, -1);
    EXPECT_EQ(rows[0].folder, "/old/");
    EXPECT_EQ(DecodeVersion(*Store()->LoadVersionData(rows[0].versionId), kKeys), "old");
    EXPECT_EQ(rows[1].mode, 0604);
    // It gains the tables and columns of chunked versions too, and its versions restore
    // as before beside a chunked one.
    EXPECT_TRUE(Raw()->HasColumn("Data", "bInode"));
    Store()->SetKeyCosts(1, 1024 * 1024);
    const std::optional<TStoreKeys> keys = Store()->KeysFor("vompa7");
    ASSERT_TRUE(keys);
    TChunkedFile file;
    file.facts.size = 3;
    file.pieces.append({ChunkIdentity(*keys, "new", 3), 3, {}});
    file.pieces[0].sealed = SealChunk(*keys, file.pieces[0].identity, "new", 3, true);
    ASSERT_TRUE(Store()->StoreChunkedVersion(m_ids, *keys, 1, "/old/kept.txt", file, pathId));
    ASSERT_TRUE(Store()->SearchVersions(1, 0, "kept.txt", 1000000, rows));
    ASSERT_EQ(rows.size(), 3);
    EXPECT_EQ(LoadVersionContent(*Store(), rows[0], "vompa7"), "old");
    EXPECT_EQ(LoadVersionContent(*Store(), rows[2], "vompa7"), "new");
}

TEST_F(BackupStore, AStoreThatCannotTakeTheColumnReadsEveryModeAsUnknown) {
    const QString path = MakeOldStore(m_dir, "locked");
    {
        // Another connection holds the file while it is opened: the column cannot be added.
        TSQLTables other(path, 100, 1, false);
        other.ExecScript("BEGIN IMMEDIATE");
        m_host->SetDataFolder(m_dir.Sub("locked"));
        other.ExecScript("COMMIT");
    }
    ASSERT_TRUE(m_host->IsFlagSet(kFlagBackupsDatabase));
    EXPECT_FALSE(Raw()->HasColumn("Data", "bMode"));
    m_ids.nextPath = m_ids.nextVersion = 2;
    int pathId = 0;
    ASSERT_TRUE(Store()->StoreVersion(m_ids, 1, 3,
                                      TVersionBlob(EncodeVersion("new", false, kKeys), 0604),
                                      "/old/kept.txt", pathId));
    QList<TVersionRow> rows;
    ASSERT_TRUE(Store()->SearchVersions(1, 0, "%", 1000000, rows));
    ASSERT_EQ(rows.size(), 2);
    EXPECT_EQ(rows[0].mode, -1);
    EXPECT_EQ(rows[1].mode, -1);
    EXPECT_EQ(Store()->FindVersion(rows[1].versionId)->mode, -1);
}

TEST_F(BackupStore, SearchLimitsAndDateBounds) {
    QList<TVersionRow> rows;
    EXPECT_FALSE(Store()->SearchVersions(1, 0, "nothing%", 1000000, rows));
    EXPECT_TRUE(rows.isEmpty());

    SetNow(QDateTime(QDate(2024, 1, 10), QTime(9, 0)));
    for (int i = 0; i < 130; ++i) {
        ASSERT_GT(Put(QStringLiteral("/many/f%1.log").arg(i, 3, 10, QChar('0')), "x"), 0);
    }
    ASSERT_TRUE(Store()->SearchVersions(1, 0, "f%.log", 1000000, rows));
    EXPECT_EQ(rows.size(), 128);

    const int day = static_cast<int>(DayNumberFromDate(QDate(2024, 2, 1)));
    SetNow(QDateTime(QDate(2024, 2, 1), QTime(0, 0)));  // exactly midnight
    ASSERT_GT(Put("/dates/midnight.txt", "m"), 0);
    SetNow(QDateTime(QDate(2024, 1, 31), QTime(23, 59, 59)));
    ASSERT_GT(Put("/dates/late.txt", "l"), 0);
    // T1 = F: only a version made exactly at midnight at the start of F.
    ASSERT_TRUE(Store()->SearchVersions(1, day, "%.txt", day, rows));
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(rows[0].file, "midnight.txt");
    // The last day is included whole because T1 is the day after it.
    ASSERT_TRUE(Store()->SearchVersions(1, day - 1, "%.txt", day, rows));
    EXPECT_EQ(rows.size(), 2);
}

TEST_F(BackupStore, StoringIsOneTransactionAndAFailedStoreLeavesNothing) {
    ASSERT_GT(Put("/t/first.txt", "one"), 0);  // version 1
    m_ids.versionIds = {1};                    // a reused id: the version insert fails
    int pathId = 0;
    const QByteArray blob = EncodeVersion("two", false, kKeys);
    EXPECT_FALSE(Store()->StoreVersion(m_ids, 1, 3, blob, "/t/second.txt", pathId));
    EXPECT_EQ(Count("SELECT pID FROM Paths"), 1);  // the new path row went with it
    EXPECT_EQ(Count("SELECT bID FROM Data"), 1);
    // The next store works: ids move on.
    EXPECT_GT(Put("/t/second.txt", "two"), 0);
    EXPECT_EQ(Count("SELECT pID FROM Paths"), 2);
}

TEST_F(BackupStore, AKilledWriterNeverLeavesAVersionWithoutData) {
    const QString path = DbPath();
    Store()->Close(false);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Store versions as fast as possible until killed.
        TTestHost host;
        host.OpenStores(m_dir.Sub("prog"));
        TTestIds ids;
        const QByteArray blob = EncodeVersion(QByteArray(20000, 'k'), false, kKeys);
        for (int i = 0;; ++i) {
            int pathId = 0;
            (void)host.BackupStore()->StoreVersion(ids, 1, 20000, blob,
                                                   QStringLiteral("/k/file%1.bin").arg(i), pathId);
        }
    }
    // Bounded wait until the child has stored a few hundred versions.
    bool enough = false;
    for (int i = 0; i < 2000 && !enough; ++i) {
        usleep(5000);
        try {
            enough = Count("SELECT bID FROM Data") > 300;
        } catch (const ESQLite&) {
        }
    }
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(enough);
    auto raw = std::make_unique<TSQLTables>(path, 100, 1, false);
    const auto check = raw->Query("PRAGMA integrity_check", 4, 10);
    ASSERT_EQ(check->RowCount(), 1);
    EXPECT_EQ(Count("SELECT bID FROM Data WHERE bData IS NULL OR length(bData) <> 20005"), 0);
    EXPECT_EQ(Count("SELECT bID FROM Data WHERE bPath NOT IN (SELECT pID FROM Paths)"), 0);
    EXPECT_EQ(Count("SELECT bID FROM Data"), Count("SELECT pID FROM Paths"));
}

TEST_F(BackupStore, LargestStorableVersionCanBeReadBack) {
    // A file of 4096 KiB + 1023 bytes passes the largest size limit (4096 whole KiB); stored
    // as it is, its blob is larger than 4096 KiB.
    QByteArray content(4096 * 1024 + 1023, Qt::Uninitialized);
    QRandomGenerator random(3);
    for (char& byte : content) {
        byte = static_cast<char>(random.bounded(256));
    }
    const int path = Put("/big/random.bin", content);
    ASSERT_GT(path, 0);
    QList<TVersionRow> rows;
    ASSERT_TRUE(Store()->SearchVersions(1, 0, "random.bin", 1000000, rows));
    const std::optional<QByteArray> blob = Store()->LoadVersionData(rows[0].versionId);
    ASSERT_TRUE(blob);
    EXPECT_EQ(DecodeVersion(*blob, kKeys, rows[0].size), content);
}

TEST_F(BackupStore, KeepNewestKeepsTheCountNewestOfEachPath) {
    m_ids.versionIds = {5, 9, 12, 20, 31};
    m_ids.nextVersion = 32;
    int path = 0;
    for (int i = 0; i < 5; ++i) {
        path = Put("/k/kept.txt", QByteArray::number(i));
    }
    const int other = Put("/k/other.txt", "o");
    ASSERT_GT(path, 0);
    EXPECT_EQ(Store()->KeepNewest({path, path, other}, 1, 2), 3);
    const auto left = Raw()->Query("SELECT bID FROM Data ORDER BY bID", 1, 100);
    QList<int> ids;
    for (; !left->AtEnd(); left->Next()) {
        ids << left->GetInt(0);
    }
    EXPECT_EQ(ids, QList<int>({20, 31, 32}));
    // Another profile's versions of the same path are not touched.
    Put("/k/kept.txt", "p2", 2);
    Put("/k/kept.txt", "p2", 2);
    Put("/k/kept.txt", "p2", 2);
    EXPECT_EQ(Store()->KeepNewest({path}, 1, 2), 0);
    EXPECT_EQ(Count("SELECT bID FROM Data WHERE bPro = 2"), 3);
}

TEST_F(BackupStore, DiscardAfterOneDayDependsOnTheHourOfThePass) {
    const QDate today(2024, 6, 12);
    SetNow(QDateTime(today.addDays(-1), QTime(10, 0)));
    const int path = Put("/d/daily.txt", "yesterday");
    SetNow(QDateTime(today, QTime(8, 0)));
    ASSERT_EQ(Put("/d/daily.txt", "today"), path);

    SetNow(QDateTime(today, QTime(11, 0)));
    EXPECT_EQ(Store()->DiscardOlderThan({path}, 1, 1), 0);  // yesterday's version stays
    EXPECT_EQ(Count("SELECT bID FROM Data"), 2);
    SetNow(QDateTime(today, QTime(13, 0)));
    EXPECT_EQ(Store()->DiscardOlderThan({path}, 1, 1), 1);  // after noon it goes
    const auto left = Raw()->Query("SELECT bSize FROM Data", 1, 10);
    ASSERT_EQ(left->RowCount(), 1);
    EXPECT_EQ(left->GetInt(0), 5);  // "today"
}

TEST_F(BackupStore, DiscardListsHonourTheNameFilter) {
    const int a = Put("/n/a.txt", "a");
    const int keep = Put("/n/keep.doc", "k");
    Put("/n/a.txt", "a2");
    Put("/n/other.txt", "x", 2);
    const QList<int> list =
        Store()->BuildDiscardList(1, [](const QString& name) { return !name.endsWith(".doc"); });
    EXPECT_EQ(list, QList<int>({a}));
    Q_UNUSED(keep);
}

TEST_F(BackupStore, DeletingAProfilesVersionsKeepsItsPaths) {
    Put("/p/a.txt", "a", 3);
    Put("/p/b.txt", "b", 3);
    Put("/p/b.txt", "b", 4);
    EXPECT_TRUE(Store()->DeleteProfileVersions(3));
    EXPECT_EQ(Count("SELECT bID FROM Data"), 1);
    EXPECT_EQ(Count("SELECT pID FROM Paths"), 2);
    Store()->DeleteAllVersions(4);
    EXPECT_EQ(Count("SELECT bID FROM Data"), 0);
    EXPECT_EQ(Count("SELECT pID FROM Paths"), 2);
}

TEST_F(BackupStore, LargestIdsAndAFailedPathInsertIsLogged) {
    TBackupLog log(m_host->LogsFolder());
    log.OpenNewLog();
    Store()->SetLog(&log);
    Put("/i/a.txt", "a", 7);
    Put("/i/b.txt", "b", 2);
    const TStoreIds largest = Store()->LargestIds();
    EXPECT_EQ(largest.pathId, 2);
    EXPECT_EQ(largest.versionId, 2);
    EXPECT_EQ(largest.profileNumber, 7);

    m_ids.nextPath = 1;  // a path id handed out again
    int pathId = 0;
    EXPECT_FALSE(
        Store()->StoreVersion(m_ids, 1, 1, EncodeVersion("c", false, kKeys), "/i/c.txt", pathId));
    const QList<TLogEntry> entries = TBackupLog::ParseLog(log.ReadLog());
    ASSERT_EQ(entries.size(), 1);
    EXPECT_EQ(entries[0].event, "/i/c.txt");
    EXPECT_EQ(entries[0].reason, "PathID");
    Store()->SetLog(nullptr);
}

}  // namespace
