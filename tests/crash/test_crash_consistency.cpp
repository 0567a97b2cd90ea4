// Crash consistency: the real `quiva` is killed (SIGKILL) at random moments of a backup
// run, a prune, a profile delete, a split, splice, fill and equalize over existing files, a
// rename and a touch; after every kill the files and the store must hold what the
// operation promises: the store passes `quiva backup check` and every version it holds
// decodes to the bytes of the file it came from; a deleted profile is gone with all its
// versions or kept with all of them; a replaced file is wholly old or wholly new; a renamed
// file exists under its old or its new name, and a touched one keeps its bytes.
//
// The kill moments are drawn from a fixed seed (QUIVA_CRASH_SEED, default 1) over the time
// an uninterrupted run of the same operation takes. Each operation gets a few trials
// (QUIVA_CRASH_TRIALS, default 2; say 50 for a long run). The summary line gives the trials
// and the kills that landed before the operation's end.
#include "backup/version_blob.h"
#include "storage/app_stores.h"
#include "storage/sqlite_layer.h"
#include "support/test_dir.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QSet>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>

#include <sys/stat.h>

#include <gtest/gtest.h>

namespace {

int EnvNumber(const char* name, int fallback) {
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok && value > 0 ? value : fallback;
}

int Trials() {
    return EnvNumber("QUIVA_CRASH_TRIALS", 2);
}

QRandomGenerator& Random() {
    static QRandomGenerator random(static_cast<quint32>(EnvNumber("QUIVA_CRASH_SEED", 1)));
    return random;
}

// Totals over the whole program, printed at its end.
struct TTally {
    int trials = 0;
    int killed = 0;  // the kill landed before the operation ended by itself
    int checks = 0;  // invariant checks that held
};
TTally g_tally;

QByteArray Bytes(int size, quint32 seed, bool compressible) {
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    QList<quint32> words((size + 3) / 4);
    generator.fillRange(words.data(), words.size());
    std::memcpy(bytes.data(), words.constData(), static_cast<size_t>(size));
    if (compressible) {
        for (char& byte : bytes) {
            byte = static_cast<char>('a' + (byte & 3));
        }
    }
    return bytes;
}

struct TResult {
    int code = -1;
    QByteArray out;
    QByteArray err;
};

class CrashTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir.MakeDir("data");
        m_dir.MakeDir("run");
    }

    QProcessEnvironment Environment() {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_DATA_HOME", m_dir.Sub("data"));
        env.insert("XDG_RUNTIME_DIR", m_dir.Sub("run"));
        env.insert("QUIVA_BACKUP_PASSWORD", TAppStores::kDefaultPassword);
        return env;
    }

    TResult Quiva(const QStringList& args) {
        QProcess process;
        process.setProcessEnvironment(Environment());
        process.start(QUIVA_CLI_PATH, args);
        process.closeWriteChannel();
        EXPECT_TRUE(process.waitForFinished(120000)) << qPrintable(args.join(' '));
        return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
                process.readAllStandardOutput(), process.readAllStandardError()};
    }

    // Runs the command uninterrupted and returns how long it took (ms).
    qint64 Measure(const QStringList& args) {
        QElapsedTimer timer;
        timer.start();
        const TResult result = Quiva(args);
        EXPECT_EQ(result.code, 0) << result.err.constData();
        return timer.elapsed();
    }

    // Starts the command and kills it after a random part of `span` ms. True when it was
    // killed before it ended by itself.
    bool RunAndKill(const QStringList& args, qint64 span) {
        QProcess process;
        process.setProcessEnvironment(Environment());
        process.start(QUIVA_CLI_PATH, args);
        EXPECT_TRUE(process.waitForStarted());
        const int delay = static_cast<int>(Random().bounded(static_cast<quint32>(span + 1)));
        ++g_tally.trials;
        if (process.waitForFinished(delay)) {
            return false;
        }
        ::kill(static_cast<pid_t>(process.processId()), SIGKILL);
        EXPECT_TRUE(process.waitForFinished(30000));
        ++g_tally.killed;
        return true;
    }

    void Held() { ++g_tally.checks; }

    // ---- backups ----------------------------------------------------------------------
    QString StorePath() { return m_dir.Sub("data/quiva-tessaline/Data/backups.db"); }

    // Every version in the store: file name, profile number and decoded bytes. The store is
    // first opened by a command that may write (as the next start opens it, recovering
    // what the killed writer left), then checked by `quiva backup check`.
    struct TStored {
        int id;
        int profile;
        QString name;
        QByteArray content;
    };
    QList<TStored> CheckedVersions() {
        const TResult start = Quiva({"backup", "profile", "list"});
        EXPECT_EQ(start.code, 0) << start.err.constData();
        const TResult check = Quiva({"backup", "check"});
        EXPECT_EQ(check.code, 0) << check.out.constData() << check.err.constData();
        EXPECT_TRUE(check.out.contains(" 0 bad,")) << check.out.constData();
        EXPECT_FALSE(check.out.contains("no longer exist")) << check.out.constData();
        QList<TStored> versions;
        const TBlobKeys keys = TBlobKeys::FromPassword(TAppStores::kDefaultPassword);
        TSQLTables raw(StorePath(), 1000, 1, false);
        const auto rows = raw.Query(
            "SELECT bID, bPro, bSize, bData, pFile FROM Data JOIN Paths ON pID = bPath "
            "ORDER BY bID",
            1 << 20, 1 << 20);
        for (; !rows->AtEnd(); rows->Next()) {
            const QByteArray blob = rows->GetBlob(3).value_or(QByteArray());
            QByteArray content;
            if (blob.size() > kBlobHeaderSize) {
                content = DecodeVersion(blob, keys, rows->GetInt64(2));
            }
            versions.append({rows->GetInt(0), rows->GetInt(1), rows->GetText(4), content});
        }
        return versions;
    }

    TestDir m_dir;
};

TEST_F(CrashTest, BackupRunKeepsEveryCommittedVersionWhole) {
    const QString tree = m_dir.MakeDir("tree");
    QMap<QString, QByteArray> files;
    for (int i = 0; i < 200; ++i) {
        const QString name = QStringLiteral("f%1.txt").arg(i, 3, 10, QLatin1Char('0'));
        files[name] = Bytes(8000 + i, static_cast<quint32>(i), i % 2 == 0);
        m_dir.Write("tree/" + name, files[name]);
    }
    ASSERT_EQ(Quiva({"backup", "profile", "add", "Docs", "--classic", "--target", tree + "/",
                     "--ext", ".txt", "--rule", "7"})
                  .code,
              0);
    const qint64 span = Measure({"backup", "run", "Docs"});
    qint64 committed = CheckedVersions().size();
    ASSERT_EQ(committed, files.size());
    for (int trial = 0; trial < Trials(); ++trial) {
        RunAndKill({"backup", "run", "Docs"}, span);
        const QList<TStored> versions = CheckedVersions();
        // A kill loses no committed version, and each one holds its file's bytes.
        EXPECT_GE(versions.size(), committed);
        for (const TStored& version : versions) {
            ASSERT_TRUE(files.contains(version.name)) << qPrintable(version.name);
            ASSERT_EQ(version.content, files[version.name]) << version.id;
        }
        committed = versions.size();
        Held();
    }
}

TEST_F(CrashTest, PruneKeepsTheNewestVersionsAndAllWhole) {
    const QString tree = m_dir.MakeDir("tree");
    QMap<QString, QByteArray> files;
    for (int i = 0; i < 100; ++i) {
        const QString name = QStringLiteral("p%1.txt").arg(i, 3, 10, QLatin1Char('0'));
        files[name] = Bytes(600, static_cast<quint32>(1000 + i), true);
        m_dir.Write("tree/" + name, files[name]);
    }
    // Rule 0 keeps the two newest versions of each file.
    ASSERT_EQ(Quiva({"backup", "profile", "add", "Pruned", "--classic", "--target", tree + "/",
                     "--ext", ".txt", "--rule", "0"})
                  .code,
              0);
    ASSERT_EQ(Quiva({"backup", "run", "Pruned"}).code, 0);
    // Older copies of every version, as a store of a run with another rule would hold.
    auto addOldCopies = [&] {
        TSQLTables raw(StorePath(), 1000, 1, false);
        raw.Exec(
            "INSERT INTO Data (bID,bPath,bPro,bSize,bDate,bData) SELECT NULL, bPath, bPro, "
            "bSize, bDate - c.n, bData FROM Data, (WITH RECURSIVE k(n) AS (SELECT 1 UNION "
            "ALL SELECT n + 1 FROM k WHERE n < 20) SELECT n FROM k) AS c WHERE bID IN "
            "(SELECT MAX(bID) FROM Data GROUP BY bPath)");
    };
    auto newestIds = [&](const QList<TStored>& versions) {
        QMap<QString, QList<int>> byName;
        for (const TStored& version : versions) {
            byName[version.name].append(version.id);
        }
        return byName;
    };
    addOldCopies();
    const qint64 span = Measure({"backup", "prune", "Pruned"});
    for (int trial = 0; trial < Trials(); ++trial) {
        addOldCopies();
        const QList<TStored> before = CheckedVersions();
        RunAndKill({"backup", "prune", "Pruned"}, span);
        const QList<TStored> after = CheckedVersions();
        EXPECT_LE(after.size(), before.size());
        for (const TStored& version : after) {
            ASSERT_EQ(version.content, files[version.name]) << version.id;
        }
        // The newest version of every file survives whatever moment the kill came.
        const auto was = newestIds(before);
        const auto is = newestIds(after);
        for (auto it = was.cbegin(); it != was.cend(); ++it) {
            ASSERT_TRUE(is.contains(it.key())) << qPrintable(it.key());
        }
        Held();
    }
}

TEST_F(CrashTest, ProfileDeleteTakesAllOrNothing) {
    const QString tree = m_dir.MakeDir("tree");
    for (int i = 0; i < 100; ++i) {
        m_dir.Write(QStringLiteral("tree/d%1.txt").arg(i),
                    Bytes(300, static_cast<quint32>(i), true));
    }
    ASSERT_EQ(Quiva({"backup", "profile", "add", "Kept", "--classic", "--target", tree + "/",
                     "--ext", ".txt", "--rule", "7"})
                  .code,
              0);
    ASSERT_EQ(Quiva({"backup", "run", "Kept"}).code, 0);
    auto prepare = [&](int& number, qint64& count) {
        ASSERT_EQ(Quiva({"backup", "profile", "add", "Gone", "--classic", "--target",
                         tree + "/sub/", "--ext", ".txt", "--rule", "7"})
                      .code,
                  0);
        // Many versions under the new profile's number, copies of the kept profile's.
        TSQLTables raw(StorePath(), 1000, 1, false);
        const TResult list = Quiva({"backup", "profile", "list"});
        number = 0;
        for (const QByteArray& line : list.out.split('\n')) {
            if (line.contains("Gone")) {
                const QList<QByteArray> fields = line.split('\t');
                for (const QByteArray& field : fields) {
                    bool ok = false;
                    const int value = field.trimmed().toInt(&ok);
                    if (ok && number == 0) {
                        number = value;
                    }
                }
            }
        }
        ASSERT_GT(number, 0) << list.out.constData();
        raw.Exec(QStringLiteral(
                     "INSERT INTO Data (bID,bPath,bPro,bSize,bDate,bData) SELECT NULL, bPath, %1, "
                     "bSize, bDate, bData FROM Data, (WITH RECURSIVE k(n) AS (SELECT 1 UNION ALL "
                     "SELECT n + 1 FROM k WHERE n < 100) SELECT n FROM k) AS c WHERE bPro = 1")
                     .arg(number));
        // Plain columns only: the layer reads a value by its column's declared type.
        count = raw.Query(QStringLiteral("SELECT bID FROM Data WHERE bPro = %1").arg(number),
                          1 << 20, 1 << 24)
                    ->RowCount();
    };
    m_dir.MakeDir("tree/sub");
    int number = 0;
    qint64 count = 0;
    prepare(number, count);
    const qint64 span = Measure({"backup", "profile", "delete", "Gone"});
    for (int trial = 0; trial < Trials(); ++trial) {
        prepare(number, count);
        RunAndKill({"backup", "profile", "delete", "Gone"}, span);
        const bool listed = Quiva({"backup", "profile", "list"}).out.contains("Gone");
        qint64 left = 0;
        for (const TStored& version : CheckedVersions()) {
            left += version.profile == number ? 1 : 0;
        }
        EXPECT_EQ(left, listed ? count : 0) << "listed " << listed;
        if (listed) {
            ASSERT_EQ(Quiva({"backup", "profile", "delete", "Gone"}).code, 0);
        }
        Held();
    }
}

// ---- file tools -----------------------------------------------------------------------

class FileCrashTest : public CrashTest {
protected:
    // Kills the command at random moments; after each kill `check` must hold, and `reset`
    // puts the old files back.
    void KillTrials(const QStringList& args, const std::function<void()>& reset,
                    const std::function<void()>& check) {
        reset();
        const qint64 span = Measure(args);
        for (int trial = 0; trial < Trials(); ++trial) {
            reset();
            RunAndKill(args, span);
            check();
            Held();
        }
    }
    // The file's bytes are exactly `a` or exactly `b`.
    void ExpectOneOf(const QString& path, const QByteArray& a, const QByteArray& b) {
        const QByteArray now = m_dir.Read(path);
        EXPECT_TRUE(now == a || now == b)
            << qPrintable(path) << " holds " << now.size() << " bytes, neither old nor new";
    }
};

TEST_F(FileCrashTest, SplitPiecesAreWhollyOldOrWhollyNew) {
    const QByteArray source = Bytes(8 << 20, 7, false);
    const QByteArray old = Bytes(8 << 20, 8, false);
    constexpr int kPiece = 1 << 20;
    m_dir.Write("src/big.bin", source);
    m_dir.MakeDir("out");
    KillTrials(
        {"split", m_dir.Sub("src/big.bin"), m_dir.Sub("out"), "--size", "1M", "--overwrite"},
        [&] {
            for (int i = 0; i < 8; ++i) {
                m_dir.Write(QStringLiteral("out/big.bin.%1").arg(i + 1, 3, 10, QLatin1Char('0')),
                            old.mid(i * kPiece, kPiece));
            }
        },
        [&] {
            for (int i = 0; i < 8; ++i) {
                ExpectOneOf(QStringLiteral("out/big.bin.%1").arg(i + 1, 3, 10, QLatin1Char('0')),
                            old.mid(i * kPiece, kPiece), source.mid(i * kPiece, kPiece));
            }
        });
}

TEST_F(FileCrashTest, SpliceFillAndEqualizeReplaceWholly) {
    const QByteArray a = Bytes(4 << 20, 11, false);
    const QByteArray b = Bytes(4 << 20, 12, false);
    const QByteArray old = Bytes(1 << 20, 13, false);
    m_dir.Write("parts/a.001", a);
    m_dir.Write("parts/a.002", b);
    KillTrials(
        {"splice", m_dir.Sub("joined.bin"), m_dir.Sub("parts/a.001"), m_dir.Sub("parts/a.002"),
         "--overwrite"},
        [&] { m_dir.Write("joined.bin", old); }, [&] { ExpectOneOf("joined.bin", old, a + b); });

    KillTrials(
        {"fill", m_dir.Sub("filled.bin"), "--size", "8M", "--sequence", "CAFEBABE", "--overwrite"},
        [&] { m_dir.Write("filled.bin", old); },
        [&] { ExpectOneOf("filled.bin", old, QByteArray("\xCA\xFE\xBA\xBE").repeated(2 << 20)); });

    const QByteArray small = Bytes(1 << 20, 14, false);
    KillTrials(
        {"equalize", m_dir.Sub("small.bin"), m_dir.Sub("big.bin"), "--route", "postfix"},
        [&] {
            m_dir.Write("small.bin", small);
            m_dir.Write("big.bin", a + b);
        },
        [&] {
            ExpectOneOf("small.bin", small, small + QByteArray((8 << 20) - small.size(), 0));
            EXPECT_EQ(m_dir.Read("big.bin"), a + b);
        });
}

TEST_F(FileCrashTest, RenamedFilesExistUnderOneOfTheirNames) {
    m_dir.MakeDir("names");
    constexpr int kFiles = 400;
    auto name = [](int i, const char* ext) {
        return QStringLiteral("names/n%1.%2").arg(i, 4, 10, QLatin1Char('0')).arg(ext);
    };
    KillTrials(
        {"rename", m_dir.Sub("names"), "--mask", "*.txt", "--ext", "dat"},
        [&] {
            QDir dir(m_dir.Sub("names"));
            for (const QString& entry : dir.entryList(QDir::Files)) {
                dir.remove(entry);
            }
            for (int i = 0; i < kFiles; ++i) {
                m_dir.Write(name(i, "txt"), QByteArray::number(i));
            }
        },
        [&] {
            for (int i = 0; i < kFiles; ++i) {
                const bool before = QFileInfo::exists(m_dir.Sub(name(i, "txt")));
                const bool after = QFileInfo::exists(m_dir.Sub(name(i, "dat")));
                ASSERT_NE(before, after) << i;
                ASSERT_EQ(m_dir.Read(name(i, before ? "txt" : "dat")), QByteArray::number(i));
            }
            EXPECT_EQ(QDir(m_dir.Sub("names")).entryList(QDir::Files | QDir::Hidden).size(),
                      kFiles);
        });
}

TEST_F(FileCrashTest, TouchedFilesKeepTheirBytesAndGetOldOrNewTimes) {
    m_dir.MakeDir("times");
    constexpr int kFiles = 400;
    const QDateTime oldTime = QDateTime::fromString("2020-05-06 07:08:09", "yyyy-MM-dd HH:mm:ss");
    const QDateTime newTime = QDateTime::fromString("2001-02-03 04:05:06", "yyyy-MM-dd HH:mm:ss");
    auto name = [](int i) { return QStringLiteral("times/t%1.log").arg(i); };
    KillTrials(
        {"touch", m_dir.Sub("times"), "--mask", "*.log", "--modify", "2001-02-03 04:05:06"},
        [&] {
            for (int i = 0; i < kFiles; ++i) {
                m_dir.Write(name(i), QByteArray::number(i * 7));
                QFile file(m_dir.Sub(name(i)));
                ASSERT_TRUE(file.open(QIODevice::ReadWrite));
                ASSERT_TRUE(file.setFileTime(oldTime, QFileDevice::FileModificationTime));
            }
        },
        [&] {
            for (int i = 0; i < kFiles; ++i) {
                ASSERT_EQ(m_dir.Read(name(i)), QByteArray::number(i * 7)) << i;
                const QDateTime now = QFileInfo(m_dir.Sub(name(i))).lastModified();
                ASSERT_TRUE(now == oldTime || now == newTime) << i;
            }
        });
}

// Prints the totals once every test has run.
class TTallyPrinter : public ::testing::Environment {
public:
    void TearDown() override {
        std::printf(
            "crash test: %d trials (seed %d), %d killed before the end, %d invariant "
            "checks held\n",
            g_tally.trials, EnvNumber("QUIVA_CRASH_SEED", 1), g_tally.killed, g_tally.checks);
    }
};
const auto* const g_printer = ::testing::AddGlobalTestEnvironment(new TTallyPrinter);

}  // namespace
