// `quiva backup` end to end: the real command line in a temporary program folder, over
// real folders and a real store, and its refusal while the desktop program runs.
#include "backup/version_blob.h"
#include "platform/file_access.h"
#include "platform/folders.h"
#include "platform/instance_lock.h"
#include "platform/native_name.h"
#include "storage/sqlite_layer.h"
#include "support/test_dir.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRandomGenerator>

#include <algorithm>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

struct TRun {
    int code = -1;
    QString out;
    QString err;
};

class BackupCli : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir.MakeDir("data");
        m_dir.MakeDir("run");
        m_tree = m_dir.MakeDir("tree") + "/";
    }
    TRun Quiva(const QStringList& args) {
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_DATA_HOME", m_dir.Sub("data"));
        env.insert("XDG_RUNTIME_DIR", m_dir.Sub("run"));
        process.setProcessEnvironment(env);
        process.start(QUIVA_CLI_PATH, QStringList{"backup"} + args);
        EXPECT_TRUE(process.waitForFinished(60000));
        return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
                QString::fromUtf8(process.readAllStandardError())};
    }
    // The version lines of a search, split at the tabs.
    QList<QStringList> Search(const QStringList& args) {
        QList<QStringList> rows;
        const TRun run = Quiva(QStringList{"search"} + args);
        EXPECT_EQ(run.code, 0) << qPrintable(run.err);
        for (const QString& line : run.out.split('\n', Qt::SkipEmptyParts)) {
            rows << line.split('\t');
        }
        return rows;
    }

    QString DataFolder() { return m_dir.Sub("data/quiva-tessaline/Data"); }
    QString StorePath() { return DataFolder() + "/backups.db"; }
    // A profile "Docs" over the tree, and one full run of it.
    void StoreTree() {
        ASSERT_EQ(Quiva({"profile", "add", "Docs", "--target", m_tree, "--ext", ".txt"}).code, 0);
        const TRun run = Quiva({"run", "Docs"});
        ASSERT_EQ(run.code, 0) << qPrintable(run.err);
    }
    // The data folder's files with their sizes, times and digests: equal when nothing in
    // it was written.
    QStringList DataSnapshot() {
        QStringList entries;
        const QFileInfoList files =
            QDir(DataFolder())
                .entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
        for (const QFileInfo& file : files) {
            entries << QStringLiteral("%1 %2 %3 %4")
                           .arg(file.fileName())
                           .arg(file.size())
                           .arg(file.lastModified().toMSecsSinceEpoch())
                           .arg(QString::fromLatin1(
                               QCryptographicHash::hash(m_dir.Read(file.filePath()),
                                                        QCryptographicHash::Sha256)
                                   .toHex()));
        }
        return entries;
    }

    TestDir m_dir;
    QString m_tree;
};

// Clears the immutable attribute of a path when the test ends, also when it fails.
struct TImmutable {
    explicit TImmutable(const QString& path) : path(path) {
        made = QProcess::execute("chattr", {"+i", path}) == 0;
    }
    ~TImmutable() {
        if (made) {
            QProcess::execute("chattr", {"-i", path});
        }
    }
    QString path;
    bool made = false;
};

TEST_F(BackupCli, ProfileRunSearchRestoreAndLog) {
    QByteArray random(150000, Qt::Uninitialized);
    QRandomGenerator generator(9);
    for (char& byte : random) {
        byte = static_cast<char>(generator.bounded(256));
    }
    const QByteArray text = QByteArray("some text, again and again\n").repeated(3000);
    m_dir.Write("tree/random.dat", random);
    m_dir.Write("tree/sub/text.txt", text);
    m_dir.Write("tree/a\"b'c.txt", "quoted");
    m_dir.Write("tree/x%_y.txt", "percent");
    m_dir.WriteSized("tree/too-big.txt", 300 * 1024);

    TRun run = Quiva({"profile", "add", "Documents", "--target", m_tree, "--ext", "txt,.DAT"});
    ASSERT_EQ(run.code, 0) << qPrintable(run.err);
    run = Quiva({"profile", "list"});
    ASSERT_EQ(run.code, 0);
    const QStringList fields = run.out.trimmed().split('\t');
    ASSERT_EQ(fields.size(), 8);
    EXPECT_EQ(fields[0], "Documents");
    EXPECT_EQ(fields[2], "ready");
    EXPECT_EQ(fields[3], m_tree);
    EXPECT_EQ(fields[4], ".txt,.dat");
    EXPECT_EQ(fields[5], "256 Kb");

    run = Quiva({"run", "documents"});
    ASSERT_EQ(run.code, 0) << qPrintable(run.err);
    EXPECT_EQ(run.out, "Stored 4 files, 0 failed\n");
    run = Quiva({"log"});
    EXPECT_TRUE(run.out.contains(m_tree + "too-big.txt,-2")) << qPrintable(run.out);

    const QList<QStringList> all = Search({"Documents"});
    ASSERT_EQ(all.size(), 4);
    for (const QStringList& row : all) {
        ASSERT_EQ(row.size(), 5);
    }
    // Masks drop double quotes as the window's mask field does; "?" stands in for one.
    const QList<QStringList> quoted = Search({"Documents", "--mask", "a?b'c*"});
    ASSERT_EQ(quoted.size(), 1);
    EXPECT_EQ(quoted[0][1], "a\"b'c.txt");
    const QList<QStringList> percent = Search({"Documents", "--mask", "x?_y.txt"});
    ASSERT_EQ(percent.size(), 1);
    EXPECT_EQ(percent[0][1], "x%_y.txt");
    EXPECT_TRUE(Search({"Documents", "--from", "2001-01-01", "--to", "2001-12-31"}).isEmpty());
    EXPECT_EQ(Quiva({"search", "Documents", "--from", "2001-01-05", "--to", "2001-01-03"}).err,
              "quiva backup: Invalid date range\n");

    // Restored elsewhere byte for byte, with the version's date.
    QStringList ids;
    for (const QStringList& row : all) {
        ids << row[0];
    }
    const QString out = m_dir.Sub("out");
    run = Quiva(QStringList{"restore"} + ids +
                QStringList{"--password", "vompa7", "--to", out, "--assign-date"});
    ASSERT_EQ(run.code, 0) << qPrintable(run.err);
    EXPECT_EQ(m_dir.Read(out + "/random.dat"), random);
    EXPECT_EQ(m_dir.Read(out + "/text.txt"), text);
    EXPECT_EQ(m_dir.Read(out + "/a\"b'c.txt"), "quoted");
    EXPECT_EQ(m_dir.Read(out + "/x%_y.txt"), "percent");
    const QStringList textRow = *std::find_if(
        all.cbegin(), all.cend(), [](const QStringList& r) { return r[1] == "text.txt"; });
    EXPECT_EQ(QFileInfo(out + "/text.txt").lastModified().toString("yyyy/MM/dd hh:mm:ss"),
              textRow[4]);

    // A wrong password writes nothing; the right one replaces the file in place.
    m_dir.Write("tree/sub/text.txt", "edited");
    run = Quiva({"restore", textRow[0], "--password", "nope"});
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(
        run.err,
        QStringLiteral("quiva backup: version %1: Invalid encryption password\n").arg(textRow[0]));
    EXPECT_EQ(m_dir.Read("tree/sub/text.txt"), "edited");
    run = Quiva({"restore", textRow[0], "--password", "vompa7"});
    ASSERT_EQ(run.code, 0) << qPrintable(run.err);
    EXPECT_EQ(m_dir.Read("tree/sub/text.txt"), text);
    EXPECT_EQ(Quiva({"restore", "99999", "--password", "vompa7"}).err,
              "quiva backup: version 99999: No valid backup data available!\n");

    run = Quiva({"prune", "Documents"});
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(run.out, "Discarded 0 versions\n");
    run = Quiva({"profile", "delete", "DOCUMENTS"});
    ASSERT_EQ(run.code, 0) << qPrintable(run.err);
    EXPECT_TRUE(Quiva({"profile", "list"}).out.isEmpty());
}

// Writes a file whose name is given as bytes, with a mode.
void WriteNamed(const QByteArray& path, const QByteArray& content, mode_t mode) {
    const int fd = open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, content.constData(), static_cast<size_t>(content.size())), content.size());
    close(fd);
    ASSERT_EQ(chmod(path.constData(), mode), 0);
}

QByteArray ReadNamed(const QByteArray& path) {
    QByteArray content;
    return ReadRegularFile(DecodeNativeName(path), 1 << 24, content) == kReadOk ? content
                                                                                : QByteArray();
}

QList<QByteArray> NamesIn(const QString& folder) {
    QList<TFolderEntry> entries;
    QList<QByteArray> names;
    if (ListFolder(folder, entries)) {
        for (const TFolderEntry& entry : entries) {
            names << EncodeNativeName(entry.name);
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST_F(BackupCli, NamesOfAnyBytesAreStoredListedOnOneLineAndRestoredByteEqual) {
    const QByteArray tree = m_tree.toUtf8();
    const QByteArray latin("caf\xE9\n.txt");  // Latin-1, not UTF-8, with a line break
    const QByteArray tab("tab\there.txt");
    const QByteArray big("big\xFF.txt");
    const QByteArray random = QByteArray("\x00\x01\xFF text ", 10).repeated(900);
    WriteNamed(tree + latin, random, 0640);
    WriteNamed(tree + tab, "tabbed", 0604);
    WriteNamed(tree + big, QByteArray(300 * 1024, 'b'), 0600);  // over the size limit

    TRun run = Quiva({"profile", "add", "Names", "--target", m_tree, "--ext", ".txt"});
    ASSERT_EQ(run.code, 0) << qPrintable(run.err);
    run = Quiva({"run", "Names"});
    ASSERT_EQ(run.code, 0) << qPrintable(run.err);
    EXPECT_EQ(run.out, "Stored 2 files, 0 failed\n");

    // One line per version, the names escaped.
    const QList<QStringList> rows = Search({"Names"});
    ASSERT_EQ(rows.size(), 2);
    QStringList files;
    QStringList ids;
    for (const QStringList& row : rows) {
        ASSERT_EQ(row.size(), 5);
        EXPECT_EQ(row[2], m_tree);
        files << row[1];
        ids << row[0];
    }
    files.sort();
    EXPECT_EQ(files, QStringList({"caf\\xE9\\n.txt", "tab\\there.txt"}));
    // The mask reaches names kept as bytes too.
    EXPECT_EQ(Search({"Names", "--mask", "caf*"}).size(), 1);

    // The log names the real file, escaped, on one line.
    run = Quiva({"log"});
    EXPECT_TRUE(run.out.contains(m_tree + "big\\xFF.txt,-2\n")) << qPrintable(run.out);

    const QString out = m_dir.Sub("out");
    run = Quiva(QStringList{"restore"} + ids + QStringList{"--password", "vompa7", "--to", out});
    ASSERT_EQ(run.code, 0) << qPrintable(run.err);
    EXPECT_EQ(run.out.count('\n'), 2);
    EXPECT_EQ(NamesIn(out), QList<QByteArray>({latin, tab}));
    const QByteArray outBytes = out.toUtf8() + '/';
    EXPECT_EQ(ReadNamed(outBytes + latin), random);
    EXPECT_EQ(ReadNamed(outBytes + tab), "tabbed");
    struct stat st;
    ASSERT_EQ(stat((outBytes + latin).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);  // as the original
    ASSERT_EQ(stat((outBytes + tab).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0604u);

    // Restored in place under its own name after the original went.
    ASSERT_EQ(unlink((tree + latin).constData()), 0);
    const QString latinId = rows[0][1].startsWith("caf") ? rows[0][0] : rows[1][0];
    run = Quiva({"restore", latinId, "--password", "vompa7"});
    ASSERT_EQ(run.code, 0) << qPrintable(run.err);
    EXPECT_EQ(ReadNamed(tree + latin), random);
}

TEST_F(BackupCli, RefusesBadInputWithUsageOrMessages) {
    EXPECT_EQ(Quiva({}).code, 2);
    EXPECT_EQ(Quiva({"frobnicate"}).code, 2);
    EXPECT_EQ(Quiva({"profile", "add", "Name"}).code, 2);  // no --target, --ext
    EXPECT_EQ(Quiva({"profile", "add", "Name", "--target", m_tree, "--ext", ".txt", "--size-limit",
                     "300"})
                  .code,
              2);
    EXPECT_EQ(
        Quiva({"profile", "add", "Name", "--target", m_tree, "--ext", ".txt", "--rule", "8"}).code,
        2);
    EXPECT_EQ(Quiva({"restore", "abc", "--password", "x"}).code, 2);
    EXPECT_EQ(Quiva({"search", "X", "--from", "yesterday"}).code, 2);
    EXPECT_EQ(Quiva({"profile", "add", "abc", "--target", m_tree, "--ext", ".txt"}).err,
              "quiva backup: Name too short\n");
    EXPECT_EQ(Quiva({"profile", "add", "My Docs", "--target", m_tree, "--ext", ".txt"}).err,
              "quiva backup: Only letters, digits and _ are allowed in a profile name\n");
    QStringList many;
    for (int i = 0; i < 1200; ++i) {
        many << QStringLiteral(".e%1").arg(i);
    }
    EXPECT_EQ(Quiva({"profile", "add", "Huge", "--target", m_tree, "--ext", many.join(',')}).err,
              "quiva backup: The profile's settings are too long to be stored (at most 10 KiB)\n");
    EXPECT_TRUE(Quiva({"profile", "list"}).out.isEmpty());
    EXPECT_EQ(
        Quiva({"profile", "add", "Good", "--target", m_dir.Sub("missing"), "--ext", ".txt"}).code,
        1);
    EXPECT_EQ(Quiva({"profile", "add", "Data", "--target", m_dir.Sub("data/quiva-tessaline/Data"),
                     "--ext", ".txt"})
                  .err,
              "quiva backup: Quiva application, data & log folders cannot be monitored\n");
    ASSERT_EQ(Quiva({"profile", "add", "First", "--target", m_tree, "--ext", ".txt"}).code, 0);
    EXPECT_EQ(
        Quiva({"profile", "add", "first", "--target", m_dir.MakeDir("t2"), "--ext", ".txt"}).err,
        "quiva backup: A profile named first exists already\n");
    EXPECT_EQ(Quiva({"profile", "add", "Second", "--target", m_tree, "--ext", ".txt"}).code, 1);
    EXPECT_EQ(Quiva({"run", "nobody"}).err, "quiva backup: No profile named nobody\n");
}

TEST_F(BackupCli, RefusesWhileTheDesktopProgramRuns) {
    // The lock the desktop program holds, in the program folder the command line uses.
    ASSERT_TRUE(MakePrivateFolder(m_dir.Sub("data/quiva-tessaline")));
    TInstanceLock held(TInstanceLock::PathIn(m_dir.Sub("data/quiva-tessaline")));
    ASSERT_TRUE(held.TryAcquire());
    const TRun run = Quiva({"profile", "list"});
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.err,
              "quiva backup: Quiva Tessaline is running; close it before using quiva backup\n");
    EXPECT_FALSE(QFileInfo::exists(m_dir.Sub("data/quiva-tessaline/qvde.d")));
    held.Release();
    EXPECT_EQ(Quiva({"profile", "list"}).code, 0);
}

TEST_F(BackupCli, CheckReportsBadVersionsAndThoseOfAnotherPasswordAndWritesNothing) {
    m_dir.Write("tree/a.txt", QByteArray("alpha text ").repeated(500));
    m_dir.Write("tree/b.txt", QByteArray("beta text ").repeated(500));
    m_dir.Write("tree/c.txt", "short");
    StoreTree();
    TRun run = Quiva({"check"});
    EXPECT_EQ(run.code, 0) << qPrintable(run.err);
    EXPECT_EQ(run.out,
              "Checked 3 versions: 3 good, 0 bad, 0 made with another password; integrity "
              "check ok\n");

    const QList<QStringList> rows = Search({"Docs", "--mask", "a.txt"});
    ASSERT_EQ(rows.size(), 1);
    const qint64 damaged = rows[0][0].toLongLong();
    const qint64 other = 1000;
    {
        TSQLTables raw(StorePath(), 100, 1, false);
        QByteArray blob =
            *raw.Query("SELECT bData FROM Data WHERE bID = ?", 64, 1, {damaged})->GetBlob(0);
        blob[blob.size() / 2] = static_cast<char>(blob[blob.size() / 2] ^ 0x81);
        raw.Exec("UPDATE Data SET bData = ? WHERE bID = ?", {TSQLBlob{blob}, damaged});
        raw.Exec(
            "INSERT INTO Data (bID,bPath,bPro,bSize,bDate,bData) SELECT ?,bPath,bPro,4,bDate,"
            "? FROM Data WHERE bID = ?",
            {other, TSQLBlob{EncodeVersion("four", false, TBlobKeys::FromPassword("older"))},
             damaged});
    }
    const QStringList before = DataSnapshot();
    run = Quiva({"check"});
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.out, QStringLiteral("%1\tInvalid backup data\n"
                                      "1000\tmade with another password\n"
                                      "Checked 4 versions: 2 good, 1 bad, 1 made with another "
                                      "password; integrity check ok\n")
                           .arg(damaged));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(DataSnapshot(), before);

    // Versions of another password alone do not fail the check.
    {
        TSQLTables raw(StorePath(), 100, 1, false);
        raw.Exec("DELETE FROM Data WHERE bID = ?", {damaged});
    }
    run = Quiva({"check"});
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(run.out,
              "1000\tmade with another password\n"
              "Checked 3 versions: 2 good, 0 bad, 1 made with another password; integrity "
              "check ok\n");

    // An index that no longer matches its table fails the integrity check.
    {
        TSQLTables raw(StorePath(), 100, 1, false);
        raw.ExecScript(
            "PRAGMA writable_schema=ON; UPDATE sqlite_master SET sql = 'CREATE INDEX "
            "[PathsByName] ON [Paths] ([pFile], [pPath])' WHERE name = 'PathsByName'");
    }
    run = Quiva({"check"});
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(run.out.startsWith("integrity_check: ")) << qPrintable(run.out);
    EXPECT_TRUE(run.out.endsWith("password; integrity check failed\n")) << qPrintable(run.out);
    EXPECT_EQ(Quiva({"check", "extra"}).code, 2);
}

TEST_F(BackupCli, ADamagedStoreIsNamedOnStderrAndKeptAsItIs) {
    ASSERT_EQ(Quiva({"profile", "list"}).code, 0);  // makes the store
    const QByteArray garbage = QByteArray("this is no database\n").repeated(300);
    QFile file(StorePath());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(garbage);
    file.close();
    const QStringList before = DataSnapshot();
    const QString expected =
        StorePath() +
        " is damaged (it is not an SQLite database); it was kept unchanged and "
        "backups are off\nquiva backup: Can't open backups.db\n";
    for (const QStringList& args :
         {QStringList{"search", "Docs"}, QStringList{"check"}, QStringList{"profile", "list"}}) {
        const TRun run = Quiva(args);
        EXPECT_EQ(run.code, 1) << qPrintable(args.join(' '));
        EXPECT_EQ(run.err, expected) << qPrintable(args.join(' '));
    }
    EXPECT_EQ(DataSnapshot(), before);
}

TEST_F(BackupCli, AStoreThatCanOnlyBeReadIsSearchedAndCheckedButNeverRun) {
    m_dir.Write("tree/a.txt", "alpha");
    StoreTree();
    const TImmutable immutable(DataFolder());
    if (!immutable.made) {
        GTEST_SKIP() << "the file system does not take chattr +i";
    }
    const QStringList before = DataSnapshot();
    const QString notice = StorePath() +
                           " cannot be written (its folder: Operation not permitted), so it was "
                           "opened read-only: versions can be searched and restored, but no "
                           "backups are made\n";
    TRun run = Quiva({"run", "Docs"});
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.err, notice + "quiva backup: " + StorePath() +
                           " can only be read, so no backup can run\n");
    run = Quiva({"prune", "Docs"});
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.err, notice + "quiva backup: " + StorePath() +
                           " can only be read, so no version can be discarded\n");
    run = Quiva({"profile", "delete", "Docs"});
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(run.err.endsWith("which cannot be deleted there\n")) << qPrintable(run.err);
    EXPECT_TRUE(Quiva({"profile", "list"}).out.startsWith("Docs\t"));

    const QList<QStringList> rows = Search({"Docs"});
    ASSERT_EQ(rows.size(), 1);
    const QString out = m_dir.Sub("out");
    run = Quiva({"restore", rows[0][0], "--password", "vompa7", "--to", out});
    EXPECT_EQ(run.code, 0) << qPrintable(run.err);
    EXPECT_EQ(m_dir.Read(out + "/a.txt"), "alpha");
    run = Quiva({"check"});
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(run.err, "");  // read-only on purpose: no notice
    EXPECT_EQ(DataSnapshot(), before);
}

}  // namespace
