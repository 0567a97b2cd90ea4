// Chunked versions on real SQLite files and real files: the chunker's cuts, sealed chunks
// and lists, chunks shared between versions and freed with the last one by every discard
// path, the unchanged-file shortcut, damage and wrong passwords that write nothing,
// classic versions beside chunked ones, and a writer killed in the middle of a large file.
#include "backup/backup_store.h"
#include "backup/chunk_format.h"
#include "backup/encode_pool.h"
#include "backup/version_blob.h"
#include "backup/version_restore.h"
#include "base/errors.h"
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

const QByteArray kPassword = "vompa7";

QByteArray RandomBytes(qint64 size, quint32 seed) {
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator random(seed);
    auto* words = reinterpret_cast<quint32*>(bytes.data());
    random.fillRange(words, static_cast<qsizetype>(size / 4));
    for (qint64 i = size / 4 * 4; i < size; ++i) {
        bytes[i] = static_cast<char>(random.bounded(256));
    }
    return bytes;
}

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

// The cuts of a byte stream, as the reading loop makes them.
QList<qint64> Cuts(const QByteArray& data) {
    QList<qint64> cuts;
    qint64 offset = 0;
    while (offset < data.size()) {
        const qint64 length = TChunker::Cut(
            reinterpret_cast<const uchar*>(data.constData()) + offset, data.size() - offset);
        offset += length;
        cuts.append(offset);
    }
    return cuts;
}

TEST(Chunker, CutsWithinTheBoundsAndResynchronisesAfterAnInsertion) {
    const QByteArray data = RandomBytes(24 * 1024 * 1024, 11);
    const QList<qint64> cuts = Cuts(data);
    qint64 previous = 0;
    for (int i = 0; i < cuts.size(); ++i) {
        const qint64 length = cuts[i] - previous;
        EXPECT_LE(length, kChunkMax);
        if (i + 1 < cuts.size()) {
            EXPECT_GE(length, kChunkMin);
        }
        previous = cuts[i];
    }
    // Around the average: 24 MiB makes some 12 to 40 chunks.
    EXPECT_GT(cuts.size(), 8);
    EXPECT_LT(cuts.size(), 48);
    // Bytes inserted near the start move only the first cuts: the rest are the same
    // content positions, shifted.
    QByteArray edited = data;
    edited.insert(1000, QByteArray(777, 'e'));
    const QList<qint64> editedCuts = Cuts(edited);
    int shared = 0;
    for (const qint64 cut : editedCuts) {
        shared += cuts.contains(cut - 777) ? 1 : 0;
    }
    EXPECT_GE(shared, cuts.size() - 3);
    // A stream shorter than the minimum is one chunk.
    EXPECT_EQ(Cuts(QByteArray(1000, 'a')), QList<qint64>{1000});
}

class ChunkedStore : public ::testing::Test {
protected:
    void SetUp() override {
        m_host = std::make_unique<TTestHost>();
        m_host->OpenStores(m_dir.Sub("prog"));
        ASSERT_NE(Store(), nullptr);
        // Cheap key derivation for tests; the costs are kept with the salt.
        Store()->SetKeyCosts(1, 1024 * 1024);
        m_keys = Store()->KeysFor(kPassword);
        ASSERT_TRUE(m_keys);
    }
    TBackupStore* Store() { return m_host->BackupStore(); }
    QString DbPath() { return m_host->DataFolder() + "backups.db"; }
    // The first column of a query's first row, as text (the layer reads cells by their
    // declared types, which expressions lack).
    QString Scalar(const QString& sql) {
        sqlite3* db = nullptr;
        EXPECT_EQ(sqlite3_open(DbPath().toUtf8().constData(), &db), SQLITE_OK);
        sqlite3_busy_timeout(db, 1000);
        sqlite3_stmt* statement = nullptr;
        QString value;
        if (sqlite3_prepare_v2(db, sql.toUtf8().constData(), -1, &statement, nullptr) ==
                SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW) {
            value =
                QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)));
        }
        sqlite3_finalize(statement);
        sqlite3_close(db);
        return value;
    }
    qint64 Count(const QString& sql) { return Scalar(sql).toLongLong(); }
    void Sql(const QString& sql) {
        TSQLTables raw(DbPath(), 100, 1, false);
        raw.ExecScript(sql);
    }
    TEncodeSettings Settings(int profile = 1) {
        TEncodeSettings settings;
        settings.maxBytes = std::numeric_limits<qint64>::max();
        settings.store = Store();
        settings.storeKeys = m_keys;
        settings.profileNumber = profile;
        return settings;
    }
    // Reads and stores a file as a chunked version; its version id, or 0.
    int Back(const QString& path, int profile = 1) {
        const TEncodedFile encoded = EncodeChunkedFile(path, Settings(profile));
        if (!encoded.ok) {
            return 0;
        }
        const int before = m_ids.nextVersion;
        int pathId = 0;
        if (!Store()->StoreChunkedVersion(m_ids, *m_keys, profile, path, encoded.file, pathId)) {
            Store()->DropPending(encoded.file.pendingOwner);
            return 0;
        }
        return before;
    }
    TVersionRow Row(int versionId) { return Store()->FindVersion(versionId).value(); }
    // Restores a version into the folder "out" under `name`; the result and its message.
    TVersionWriteResult Restore(int versionId, const QString& name, QString& message,
                                const QByteArray& password = kPassword) {
        return WriteVersionStreamed(*Store(), Row(versionId), m_dir.Sub("out"), name, password,
                                    false, message);
    }
    QByteArray Restored(int versionId) {
        QString message;
        EXPECT_EQ(Restore(versionId, "restored.bin", message), kVersionWritten)
            << message.toStdString();
        return m_dir.Read("out/restored.bin");
    }
    QStringList OutFiles() { return QDir(m_dir.Sub("out")).entryList(QDir::Files | QDir::Hidden); }
    // The store check's findings: version id -> reason ("other" for another password).
    QMap<int, QString> Check(const QByteArray& password = kPassword) {
        QMap<int, QString> found;
        std::optional<TStoreKeys> keys;
        try {
            keys = Store()->KeysFor(password);
        } catch (const EQuiva&) {
        }
        Store()->CheckVersions(
            TBlobKeys::FromPassword(password),
            [&](const TVersionCheck& check) {
                found[check.versionId] = check.otherPassword ? QStringLiteral("other")
                                                             : check.reason + " @" + check.file;
            },
            keys);
        return found;
    }

    TestDir m_dir;
    std::unique_ptr<TTestHost> m_host;
    std::optional<TStoreKeys> m_keys;
    TIds m_ids;
};

TEST_F(ChunkedStore, LargeFilesRestoreByteEqualAndEqualContentIsStoredOnce) {
    const QByteArray content = RandomBytes(9 * 1024 * 1024 + 333, 5);
    const QString a = m_dir.Write("src/a.bin", content);
    const QString b = m_dir.Write("src/copy/b.bin", content);
    const int first = Back(a);
    ASSERT_GT(first, 0);
    const qint64 chunks = Count("SELECT count(*) FROM Chunks");
    EXPECT_GE(chunks, 3);
    // The same bytes under another name and profile add no chunk.
    const int second = Back(b, 2);
    ASSERT_GT(second, 0);
    EXPECT_EQ(Count("SELECT count(*) FROM Chunks"), chunks);
    EXPECT_EQ(Restored(first), content);
    EXPECT_EQ(Restored(second), content);
    EXPECT_EQ(Row(first).size, content.size());
    EXPECT_EQ(Count("SELECT count(*) FROM Pending"), 0);
    // Nothing of the content lies in clear text in the file.
    QFile::remove(DbPath() + "-wal");
    Store()->Close(false);
    QFile db(DbPath());
    ASSERT_TRUE(db.open(QIODevice::ReadOnly));
    EXPECT_FALSE(db.readAll().contains(content.mid(4 * 1024 * 1024, 64)));
}

TEST_F(ChunkedStore, AnEditInTheMiddleAddsOnlyAFewChunks) {
    QByteArray content = RandomBytes(24 * 1024 * 1024, 8);
    ASSERT_GT(Back(m_dir.Write("src/big.bin", content)), 0);
    const qint64 before = Count("SELECT count(*) FROM Chunks");
    content.replace(12 * 1024 * 1024, 1024 * 1024, RandomBytes(1024 * 1024, 9));
    const int edited = Back(m_dir.Write("src/big2.bin", content));
    ASSERT_GT(edited, 0);
    EXPECT_LE(Count("SELECT count(*) FROM Chunks") - before, 4);
    EXPECT_EQ(Restored(edited), content);
}

TEST_F(ChunkedStore, SmallAndEmptyFilesAndCompressibleContent) {
    const QByteArray text = QByteArray("the same line of text again\n").repeated(20000);
    const int textVersion = Back(m_dir.Write("src/t.txt", text));
    const int tiny = Back(m_dir.Write("src/tiny.txt", "x"));
    const int empty = Back(m_dir.Write("src/empty.txt", ""));
    ASSERT_GT(textVersion * tiny * empty, 0);
    EXPECT_LT(Count("SELECT sum(length(cData)) FROM Chunks"), text.size() / 10);
    EXPECT_EQ(Restored(textVersion), text);
    EXPECT_EQ(Restored(tiny), QByteArray("x"));
    EXPECT_EQ(Restored(empty), QByteArray());
    EXPECT_TRUE(Check().isEmpty());
}

TEST_F(ChunkedStore, AnUnchangedFileGetsANewVersionWithoutBeingRead) {
    const QString path = m_dir.Write("src/same.bin", RandomBytes(300000, 1));
    const int first = Back(path);
    ASSERT_GT(first, 0);
    const TEncodedFile again = EncodeChunkedFile(path, Settings());
    ASSERT_TRUE(again.ok);
    EXPECT_EQ(again.file.baseVersion, first);
    int pathId = 0;
    const int second = m_ids.nextVersion;
    ASSERT_TRUE(Store()->StoreChunkedVersion(m_ids, *m_keys, 1, path, again.file, pathId));
    EXPECT_EQ(Count("SELECT count(*) FROM Refs WHERE rVersion = " + QString::number(second)), 1);
    EXPECT_EQ(Restored(second), m_dir.Read("src/same.bin"));
    // Another profile has no version of it: read.
    EXPECT_EQ(EncodeChunkedFile(path, Settings(2)).file.baseVersion, 0);
    // A changed file (same size, new content and times) is read again.
    m_dir.Write("src/same.bin", RandomBytes(300000, 2));
    EXPECT_EQ(EncodeChunkedFile(path, Settings()).file.baseVersion, 0);
}

TEST_F(ChunkedStore, SharedChunksSurviveEachDiscardPathAndGoWithTheLastVersion) {
    // Each path discards the first version (stored under `firstProfile`), then the
    // second; both share every chunk but the last.
    using TDiscard = std::function<void(int versionId, int pathId)>;
    struct TCase {
        const char* name;
        int firstProfile;
        TDiscard first;
        TDiscard second;
    };
    TBackupStore& store = *Store();
    const TCase cases[] = {
        {"Discard", 1, [&](int v, int) { store.DeleteVersion(v); },
         [&](int v, int) { store.DeleteVersion(v); }},
        {"KeepNewest", 1, [&](int, int p) { store.KeepNewest({p}, 1, 1); },
         [&](int, int p) { store.KeepNewest({p}, 1, 0); }},
        {"DiscardOlderThan", 1,
         [&](int v, int p) {
             Sql(QStringLiteral("UPDATE Data SET bDate = 1000 WHERE bID = %1").arg(v));
             store.DiscardOlderThan({p}, 1, 30);
         },
         [&](int, int p) { store.DiscardOlderThan({p}, 1, -100000); }},
        {"ProfileDelete", 2, [&](int, int) { store.DeleteProfileVersions(2); },
         [&](int, int) { store.DeleteProfileVersions(1); }},
        {"DiscardAll", 2, [&](int, int) { store.DeleteAllVersions(2); },
         [&](int, int) { store.DeleteAllVersions(1); }},
    };
    int round = 0;
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        const QByteArray content = RandomBytes(2 * 1024 * 1024, 40 + round);
        const QString relative = QStringLiteral("src%1/f.bin").arg(round++);
        const QString path = m_dir.Write(relative, content);
        const int first = Back(path, c.firstProfile);
        m_dir.Write(relative, content + "tail");
        const int second = Back(path, 1);
        ASSERT_GT(first * second, 0);
        const int pathId = Row(second).pathId;
        const qint64 chunks = Count("SELECT count(*) FROM Chunks");
        c.first(first, pathId);
        EXPECT_FALSE(store.FindVersion(first));
        ASSERT_TRUE(store.FindVersion(second));
        // The chunks the second version shares stay; at most the first's last one went.
        EXPECT_GE(Count("SELECT count(*) FROM Chunks"), chunks - 1);
        EXPECT_EQ(Restored(second), content + "tail");
        c.second(second, pathId);
        EXPECT_FALSE(store.FindVersion(second));
        EXPECT_EQ(Count("SELECT count(*) FROM Chunks"), 0);
        EXPECT_EQ(Count("SELECT count(*) FROM Refs"), 0);
    }
}

TEST_F(ChunkedStore, DamageIsReportedAndNothingIsWritten) {
    const QByteArray content = RandomBytes(700000, 3);
    const int version = Back(m_dir.Write("src/d.bin", content));
    const int other = Back(m_dir.Write("src/e.bin", RandomBytes(1000, 4)));
    ASSERT_GT(version * other, 0);
    m_dir.Write("out/keep.bin", "what the name held");
    // Each case names the table, column, row and offset of the byte it flips.
    struct TCase {
        const char* name;
        const char* table;
        const char* column;
        const char* key;
        int row;
        int offset;  // 1-based, as substr counts
    };
    const TCase cases[] = {
        {"chunk", "Chunks", "cData", "cID", 1, 100},
        {"reference list", "Data", "bData", "bID", version, 61},
        {"check value", "Data", "bData", "bID", version, 6},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        const QString byteQuery =
            QStringLiteral("SELECT hex(substr(%1,%2,1)) FROM %3 WHERE %4 = %5")
                .arg(QLatin1String(c.column))
                .arg(c.offset)
                .arg(QLatin1String(c.table), QLatin1String(c.key))
                .arg(c.row);
        const QString original = Scalar(byteQuery);
        ASSERT_EQ(original.size(), 2);
        const QString flipped =
            QStringLiteral("%1").arg(original.toInt(nullptr, 16) ^ 0x20, 2, 16, QChar('0'));
        auto setByte = [&](const QString& hex) {
            Sql(QStringLiteral("UPDATE %1 SET %2 = CAST(substr(%2,1,%3) || x'%4' || "
                               "substr(%2,%5) AS BLOB) WHERE %6 = %7")
                    .arg(QLatin1String(c.table), QLatin1String(c.column))
                    .arg(c.offset - 1)
                    .arg(hex)
                    .arg(c.offset + 1)
                    .arg(QLatin1String(c.key))
                    .arg(c.row));
        };
        setByte(flipped);
        QString message;
        EXPECT_THROW(
            {
                if (Restore(version, "keep.bin", message) != kVersionWritten) {
                    RaiseError(message);
                }
            },
            EQuiva);
        EXPECT_EQ(m_dir.Read("out/keep.bin"), QByteArray("what the name held"));
        EXPECT_EQ(OutFiles(), QStringList{"keep.bin"});
        const QMap<int, QString> found = Check();
        ASSERT_TRUE(found.contains(version));
        EXPECT_TRUE(found[version].startsWith("Invalid backup data"))
            << found[version].toStdString();
        EXPECT_TRUE(found[version].endsWith("src/d.bin")) << found[version].toStdString();
        EXPECT_FALSE(found.contains(other));
        setByte(original);
        EXPECT_TRUE(Check().isEmpty());
    }
}

TEST_F(ChunkedStore, ADamagedSaltOrAWrongPasswordWritesNothing) {
    const int version = Back(m_dir.Write("src/s.bin", RandomBytes(5000, 6)));
    ASSERT_GT(version, 0);
    QString message;
    EXPECT_THROW(
        {
            try {
                (void)Restore(version, "s.bin", message, "another");
            } catch (const EQuiva& error) {
                EXPECT_EQ(error.Message(), "Invalid encryption password");
                throw;
            }
        },
        EQuiva);
    EXPECT_EQ(Check("another").value(version), "other");
    Sql("UPDATE Keys SET kSalt = x'00' || substr(kSalt,2)");
    EXPECT_TRUE(Store()->SaltDamaged());
    EXPECT_THROW(
        {
            try {
                (void)Restore(version, "s.bin", message);
            } catch (const EQuiva& error) {
                EXPECT_EQ(error.Message(), "Invalid backup data");
                throw;
            }
        },
        EQuiva);
    EXPECT_TRUE(OutFiles().isEmpty());
    EXPECT_TRUE(Check().value(version).startsWith("Invalid backup data"));
}

TEST_F(ChunkedStore, ClassicVersionsKeepRestoringBesideChunkedOnes) {
    const TBlobKeys classicKeys = TBlobKeys::FromPassword(kPassword);
    int pathId = 0;
    const int classic = m_ids.nextVersion;
    ASSERT_TRUE(Store()->StoreVersion(m_ids, 1, 11, EncodeVersion("classic old", true, classicKeys),
                                      m_dir.Sub("src/c.txt"), pathId));
    const int chunked = Back(m_dir.Write("src/c.txt", "chunked new"));
    ASSERT_GT(chunked, 0);
    EXPECT_FALSE(Store()->IsChunkedVersion(classic));
    EXPECT_TRUE(Store()->IsChunkedVersion(chunked));
    EXPECT_EQ(Restored(classic), QByteArray("classic old"));
    EXPECT_EQ(Restored(chunked), QByteArray("chunked new"));
    EXPECT_EQ(LoadVersionContent(*Store(), Row(classic), kPassword), QByteArray("classic old"));
    EXPECT_EQ(LoadVersionContent(*Store(), Row(chunked), kPassword), QByteArray("chunked new"));
    // A classic newest version is never a base for the shortcut.
    Store()->DeleteVersion(chunked);
    EXPECT_EQ(EncodeChunkedFile(m_dir.Sub("src/c.txt"), Settings()).file.baseVersion, 0);
    EXPECT_EQ(Store()->KeepNewest({pathId}, 1, 0), 1);
    EXPECT_TRUE(Check().isEmpty());
}

TEST_F(ChunkedStore, AWriterKilledInTheMiddleOfALargeFileLeavesASoundStore) {
    const QByteArray content = RandomBytes(12 * 1024 * 1024, 12);
    const QString big = m_dir.Write("src/big.bin", content);
    const int committed = Back(m_dir.Write("src/small.bin", "committed before"));
    ASSERT_GT(committed, 0);
    Store()->Close(false);
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Writes the large file's chunks ahead of its version, says so, and waits to be
        // killed before the version is stored.
        TTestHost host;
        host.OpenStores(m_dir.Sub("prog"));
        TEncodeSettings settings;
        settings.maxBytes = std::numeric_limits<qint64>::max();
        settings.store = host.BackupStore();
        settings.storeKeys = host.BackupStore()->KeysFor(kPassword);
        settings.profileNumber = 1;
        const TEncodedFile encoded = EncodeChunkedFile(big, settings);
        const char done = encoded.file.pendingOwner != 0 ? 'y' : 'n';
        (void)write(pipeFds[1], &done, 1);
        for (;;) {
            pause();
        }
    }
    close(pipeFds[1]);
    char done = 0;
    ASSERT_EQ(read(pipeFds[0], &done, 1), 1);
    close(pipeFds[0]);
    EXPECT_EQ(done, 'y');
    EXPECT_GT(Count("SELECT count(*) FROM Pending"), 0);
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    // Opening the store drops what the killed run left pending.
    ASSERT_TRUE(Store()->Open(m_host->DataFolder()));
    EXPECT_EQ(Count("SELECT count(*) FROM Pending"), 0);
    EXPECT_EQ(Store()->OrphanChunkCount(), 0);
    EXPECT_TRUE(Check().isEmpty());
    EXPECT_EQ(Restored(committed), QByteArray("committed before"));
}

}  // namespace
