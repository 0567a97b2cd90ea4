// `quiva backup` end to end: the real command line in a temporary program folder, over
// real folders and a real store, and its refusal while the desktop program runs.
#include "backup/chunk_format.h"
#include "backup/version_blob.h"
#include "platform/file_access.h"
#include "platform/file_system.h"
#include "platform/folders.h"
#include "platform/instance_lock.h"
#include "platform/native_name.h"
#include "storage/sqlite_layer.h"
#include "support/test_dir.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRandomGenerator>

#include <algorithm>
#include <csignal>
#include <cstdlib>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
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
    // Runs quiva backup with `input` on its standard input (which then ends) and the
    // environment of the test plus `extra` (NAME, value pairs).
    TRun Quiva(const QStringList& args, const QByteArray& input = {},
               const QList<std::pair<QString, QString>>& extra = {}) {
        QProcess process;
        process.setProcessEnvironment(Environment(extra));
        process.start(QUIVA_CLI_PATH, QStringList{"backup"} + args);
        process.write(input);
        process.closeWriteChannel();
        EXPECT_TRUE(process.waitForFinished(60000));
        return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
                QString::fromUtf8(process.readAllStandardError())};
    }
    QProcessEnvironment Environment(const QList<std::pair<QString, QString>>& extra = {}) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_DATA_HOME", m_dir.Sub("data"));
        env.insert("XDG_RUNTIME_DIR", m_dir.Sub("run"));
        env.remove("QUIVA_BACKUP_PASSWORD");
        for (const auto& [name, value] : extra) {
            env.insert(name, value);
        }
        return env;
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
    // A profile "Docs" over the tree (writing classic versions with `classic`), and one
    // full backup.
    void StoreTree(bool classic = false) {
        QStringList add{"profile", "add", "Docs", "--target", m_tree, "--ext", ".txt"};
        if (classic) {
            add << "--classic";
        }
        ASSERT_EQ(Quiva(add).code, 0);
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
    EXPECT_EQ(run.out, "Stored 4, skipped 1 larger than the limit, 0 empty, 0 failed\n");
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
    EXPECT_EQ(run.out, "Stored 2, skipped 1 larger than the limit, 0 empty, 0 failed\n");

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

TEST_F(BackupCli, LargerSizeLimitsStoreLargeFilesAndTheRunSaysWhatItSkipped) {
    QByteArray random(6 * 1024 * 1024, Qt::Uninitialized);
    QRandomGenerator generator(3);
    for (char& byte : random) {
        byte = static_cast<char>(generator.bounded(256));
    }
    m_dir.Write("tree/photo.jpg", random);  // beyond the old largest limit (4096 Kb)
    m_dir.WriteSized("tree/video.jpg", 17 * 1024 * 1024);
    m_dir.Write("tree/empty.jpg", "");
    m_dir.WriteSized("tree/notes.txt", 20 * 1024 * 1024);  // not selected: not counted

    TRun run = Quiva(
        {"profile", "add", "Photos", "--target", m_tree, "--ext", ".jpg", "--size-limit", "16 MB"});
    ASSERT_EQ(run.code, 0) << qPrintable(run.err);
    run = Quiva({"profile", "list"});
    EXPECT_EQ(run.out.trimmed().split('\t').value(5), "16 MB");
    run = Quiva({"run", "Photos"});
    ASSERT_EQ(run.code, 0) << qPrintable(run.err);
    EXPECT_EQ(run.out, "Stored 1, skipped 1 larger than the limit, 1 empty, 0 failed\n");

    const QList<QStringList> rows = Search({"Photos"});
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(rows[0].value(3), QString::number(random.size()));
    ASSERT_TRUE(QFile::remove(m_tree + "photo.jpg"));
    run = Quiva({"restore", rows[0].value(0), "--password", "vompa7"});
    ASSERT_EQ(run.code, 0) << qPrintable(run.err);
    EXPECT_EQ(m_dir.Read(m_tree + "photo.jpg"), random);

    const struct {
        const char* given;
        const char* listed;
    } kLimits[] = {{"4096", "4096 Kb"},  {"16384", "16 MB"},      {"64MB", "64 MB"},
                   {"256 mb", "256 MB"}, {"1GB", "1 GB"},         {"4gb", "4 GB"},
                   {"none", "No limit"}, {"No limit", "No limit"}};
    for (const auto& limit : kLimits) {
        run = Quiva({"profile", "delete", "Limits"});
        run = Quiva({"profile", "add", "Limits", "--target", m_dir.MakeDir("other"), "--ext", ".x",
                     "--size-limit", limit.given});
        ASSERT_EQ(run.code, 0) << limit.given << qPrintable(run.err);
        run = Quiva({"profile", "list"});
        EXPECT_TRUE(run.out.contains(QStringLiteral("\t%1\t").arg(limit.listed))) << limit.given;
    }
}

TEST_F(BackupCli, ARestoreKeepsTheContentItReplacesAsAVersionFirst) {
    const QString file = m_tree + "report.txt";
    m_dir.Write("tree/report.txt", "first draft\n");
    ASSERT_EQ(::chmod(file.toUtf8().constData(), 0640), 0);
    ASSERT_EQ(Quiva({"profile", "add", "Reports", "--target", m_tree, "--ext", ".txt"}).code, 0);
    ASSERT_EQ(Quiva({"run", "Reports"}).code, 0);
    const QList<QStringList> first = Search({"Reports"});
    ASSERT_EQ(first.size(), 1);
    const QString firstId = first[0].value(0);

    // Edited since: the restore of the old version keeps the edit as a version first.
    const QByteArray edited = QByteArray("the newest content, never backed up\n").repeated(20);
    m_dir.Write("tree/report.txt", edited);
    TRun run = Quiva({"restore", firstId, "--password", "vompa7"});
    ASSERT_EQ(run.code, 0) << qPrintable(run.err);
    const QList<QStringList> after = Search({"Reports"});
    ASSERT_EQ(after.size(), 2);
    const QString keptId = after[1].value(0);
    EXPECT_EQ(run.out, QStringLiteral("Kept the replaced content of \"%1\" as version %2\n"
                                      "Restored %1\n")
                           .arg(file, keptId));
    EXPECT_EQ(after[1].value(3), QString::number(edited.size()));
    EXPECT_EQ(m_dir.Read(file), "first draft\n");

    // Nothing new when what is replaced is stored already (or equals the restored content).
    run = Quiva({"restore", firstId, "--password", "vompa7"});
    EXPECT_EQ(run.out, QStringLiteral("Restored %1\n").arg(file));
    run = Quiva({"restore", keptId, "--password", "vompa7"});
    EXPECT_EQ(run.out, QStringLiteral("Restored %1\n").arg(file)) << qPrintable(run.err);
    EXPECT_EQ(m_dir.Read(file), edited);  // the replaced content is back
    struct stat facts {};
    ASSERT_EQ(::stat(file.toUtf8().constData(), &facts), 0);
    EXPECT_EQ(facts.st_mode & 0777, 0640u);
    EXPECT_EQ(Search({"Reports"}).size(), 2);

    // A wrong password writes nothing, keeps nothing.
    m_dir.Write("tree/report.txt", "third\n");
    run = Quiva({"restore", firstId, "--password", "wrong"});
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(m_dir.Read(file), "third\n");
    EXPECT_EQ(Search({"Reports"}).size(), 2);
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
              "Checked 3 versions: 3 good, 0 bad, 0 made with another password, 0 stored "
              "without a checksum (damage to them cannot be found); integrity check ok\n");

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
    EXPECT_EQ(run.out, QStringLiteral("%1\tInvalid backup data: its reference list is damaged\t%2\n"
                                      "1000\tmade with another password\n"
                                      "Checked 4 versions: 2 good, 1 bad, 1 made with another "
                                      "password, 0 stored without a checksum (damage to them "
                                      "cannot be found); integrity check ok\n")
                           .arg(damaged)
                           .arg(m_dir.Sub("tree/a.txt")));
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
              "Checked 3 versions: 2 good, 0 bad, 1 made with another password, 0 stored "
              "without a checksum (damage to them cannot be found); integrity check ok\n");

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
    EXPECT_TRUE(run.out.endsWith("; integrity check failed\n")) << qPrintable(run.out);
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
        "quiva backup: " + StorePath() +
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

// The number of stored versions of files of this name, read beside a running writer.
int VersionsNamed(const QString& storePath, const QString& file) {
    try {
        TSQLTables store(storePath, 100, 1, TSQLOpenMode::kReadOnly);
        const auto rows = store.Query(
            QStringLiteral("SELECT bID FROM Data JOIN Paths ON pID = bPath WHERE pFile = ?"), 16,
            100, {file});
        return rows->RowCount();
    } catch (const ESQLite&) {
        return 0;  // not there yet, or busy for a moment
    }
}

TEST_F(BackupCli, MonitorStoresWhatChangesUntilSigtermAndStopsCleanly) {
    ASSERT_EQ(Quiva({"profile", "add", "Docs", "--target", m_tree, "--ext", ".txt"}).code, 0);
    EXPECT_EQ(Quiva({"monitor"}).code, 2);
    EXPECT_EQ(Quiva({"monitor", "Nobody"}).err, "quiva backup: No profile named Nobody\n");

    QProcess monitor;
    monitor.setProcessEnvironment(Environment());
    monitor.start(QUIVA_CLI_PATH, {"backup", "monitor", "Docs"});
    ASSERT_TRUE(monitor.waitForStarted(60000));
    // It says so once the folder is watched.
    QByteArray out;
    while (!out.contains('\n') && monitor.waitForReadyRead(60000)) {
        out += monitor.readAllStandardOutput();
    }
    ASSERT_EQ(out, "Monitoring Docs (" + m_tree.toUtf8() + ")\n")
        << monitor.readAllStandardError().constData();

    // While it runs the program's data is its own: another writing command is refused, and
    // told which command holds it.
    EXPECT_EQ(Quiva({"profile", "list"}).err,
              QStringLiteral("quiva backup: quiva backup monitor (process %1) is running; wait "
                             "for it to end before using quiva backup\n")
                  .arg(monitor.processId()));

    m_dir.Write("tree/new.txt", "made while monitoring");
    m_dir.Write("tree/skipped.dat", "not a selected type");
    const QDeadlineTimer deadline(60000);
    while (VersionsNamed(StorePath(), "new.txt") == 0 && !deadline.hasExpired()) {
        monitor.waitForFinished(50);  // a bounded pause that also notices an early end
        ASSERT_EQ(monitor.state(), QProcess::Running) << monitor.readAllStandardError().constData();
    }
    ASSERT_EQ(VersionsNamed(StorePath(), "new.txt"), 1);

    ASSERT_EQ(::kill(static_cast<pid_t>(monitor.processId()), SIGTERM), 0);
    ASSERT_TRUE(monitor.waitForFinished(60000));
    EXPECT_EQ(monitor.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(monitor.exitCode(), 0) << monitor.readAllStandardError().constData();
    EXPECT_EQ(monitor.readAllStandardOutput(),
              "Stopped monitoring Docs: stored 1 files, 0 failed\n");

    // Stopped and stored: the lock is free again, and the version is there to restore.
    const QList<QStringList> rows = Search({"Docs"});
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(rows[0][1], "new.txt");
    EXPECT_TRUE(Quiva({"profile", "list"}).out.startsWith("Docs\t"));
}

TEST_F(BackupCli, MonitorIsRefusedWhileTheDesktopProgramRuns) {
    ASSERT_EQ(Quiva({"profile", "add", "Docs", "--target", m_tree, "--ext", ".txt"}).code, 0);
    TInstanceLock held(TInstanceLock::PathIn(m_dir.Sub("data/quiva-tessaline")));
    ASSERT_TRUE(held.TryAcquire());
    const TRun run = Quiva({"monitor", "Docs"});
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.err,
              "quiva backup: Quiva Tessaline is running; close it before using quiva backup\n");
}

TEST_F(BackupCli, RestoreTakesItsPasswordFromStdinOrTheEnvironment) {
    m_dir.Write("tree/a.txt", "alpha");
    StoreTree();
    const QList<QStringList> rows = Search({"Docs"});
    ASSERT_EQ(rows.size(), 1);
    const QString id = rows[0][0];
    const QString out = m_dir.Sub("out");

    struct TCase {
        const char* what;
        QByteArray input;
        QList<std::pair<QString, QString>> env;
        int code;
        QString err;
    };
    const QString wrong =
        QStringLiteral("quiva backup: version %1: Invalid encryption password\n").arg(id);
    const QString none = QStringLiteral(
                             "quiva backup: version %1: The password at the time the "
                             "backup was created is required!\n")
                             .arg(id);
    const TCase cases[] = {
        {"one line of standard input", "vompa7\n", {}, 0, ""},
        {"a line end of CR LF", "vompa7\r\n", {}, 0, ""},
        {"standard input without a line end", "vompa7", {}, 0, ""},
        {"only the first line counts", "nope\nvompa7\n", {}, 1, wrong},
        {"nothing on standard input", "", {}, 1, none},
        {"the environment", "", {{"QUIVA_BACKUP_PASSWORD", "vompa7"}}, 0, ""},
        {"the environment before standard input",
         "vompa7\n",
         {{"QUIVA_BACKUP_PASSWORD", "nope"}},
         1,
         wrong},
    };
    for (const TCase& c : cases) {
        QFile::remove(out + "/a.txt");
        const TRun run = Quiva({"restore", id, "--to", out}, c.input, c.env);
        EXPECT_EQ(run.code, c.code) << c.what;
        EXPECT_EQ(run.err, c.err) << c.what;
        EXPECT_EQ(QFileInfo::exists(out + "/a.txt"), c.code == 0) << c.what;
    }
    // --password still works and comes first; the help says why it is best avoided.
    EXPECT_EQ(Quiva({"restore", id, "--to", out, "--password", "vompa7"}, "nope\n",
                    {{"QUIVA_BACKUP_PASSWORD", "nope"}})
                  .code,
              0);
    const QString help = Quiva({"--help"}).out;
    EXPECT_TRUE(help.contains("QUIVA_BACKUP_PASSWORD")) << qPrintable(help);
    EXPECT_TRUE(help.contains("can be read by every user")) << qPrintable(help);
    EXPECT_TRUE(help.contains("ExecStart=/usr/bin/quiva backup monitor")) << qPrintable(help);
}

// The password typed on a terminal is not echoed; echo comes back afterwards.
TEST_F(BackupCli, APasswordTypedOnATerminalIsNotEchoed) {
    m_dir.Write("tree/a.txt", "alpha");
    StoreTree();
    const QList<QStringList> rows = Search({"Docs"});
    ASSERT_EQ(rows.size(), 1);

    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        GTEST_SKIP() << "no pseudo-terminal here";
    }
    const QByteArray slaveName = ptsname(master);
    const int slave = open(slaveName.constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(slave, 0);

    const QByteArray errPath = EncodeNativeName(m_dir.Sub("stderr"));
    const QByteArray outPath = EncodeNativeName(m_dir.Sub("stdout"));
    QList<QByteArray> argv = {QUIVA_CLI_PATH,      "backup", "restore",
                              rows[0][0].toUtf8(), "--to",   EncodeNativeName(m_dir.Sub("out"))};
    QList<QByteArray> envEntries;
    const QProcessEnvironment env = Environment();
    for (const QString& key : env.keys()) {
        envEntries << (key + '=' + env.value(key)).toUtf8();
    }
    QList<char*> args;
    for (QByteArray& arg : argv) {
        args << arg.data();
    }
    args << nullptr;
    QList<char*> envp;
    for (QByteArray& entry : envEntries) {
        envp << entry.data();
    }
    envp << nullptr;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, slave, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.constData(), O_WRONLY | O_CREAT, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.constData(), O_WRONLY | O_CREAT, 0600);
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);

    // Typed only once echo is off, as a person at the prompt would.
    const QDeadlineTimer deadline(60000);
    struct termios settings = {};
    bool quiet = false;
    while (!quiet && !deadline.hasExpired()) {
        quiet = tcgetattr(slave, &settings) == 0 && (settings.c_lflag & ECHO) == 0;
        if (!quiet) {
            pollfd none = {master, 0, 0};
            poll(&none, 1, 20);  // a bounded pause between looks
        }
    }
    ASSERT_TRUE(quiet);
    ASSERT_EQ(write(master, "vompa7\n", 7), 7);
    int status = -1;
    QByteArray echoed;
    while (!deadline.hasExpired()) {
        pollfd ready = {master, POLLIN, 0};
        if (poll(&ready, 1, 50) > 0 && (ready.revents & POLLIN) != 0) {
            char buffer[256];
            const ssize_t got = read(master, buffer, sizeof buffer);
            if (got > 0) {
                echoed.append(buffer, got);
            }
        }
        if (waitpid(pid, &status, WNOHANG) == pid) {
            break;
        }
    }
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << m_dir.Read("stderr").constData();
    EXPECT_FALSE(echoed.contains("vompa7")) << echoed.constData();
    EXPECT_EQ(m_dir.Read("stderr"), "Password: ");
    EXPECT_EQ(m_dir.Read("out/a.txt"), "alpha");
    ASSERT_EQ(tcgetattr(slave, &settings), 0);
    EXPECT_NE(settings.c_lflag & ECHO, 0u);
    close(slave);
    close(master);
}

TEST_F(BackupCli, AClassicProfileKeepsWritingClassicVersionsBesideChunkedOnes) {
    m_dir.Write("tree/a.txt", QByteArray("alpha text ").repeated(500));
    ASSERT_EQ(
        Quiva({"profile", "add", "Older", "--target", m_tree, "--ext", ".txt", "--classic"}).code,
        0);
    EXPECT_TRUE(Quiva({"profile", "list"}).out.trimmed().endsWith(",classic"));
    ASSERT_EQ(Quiva({"run", "Older"}).code, 0);
    ASSERT_EQ(
        Quiva({"profile", "add", "Newer", "--target", m_dir.MakeDir("tree2"), "--ext", ".txt"})
            .code,
        0);
    m_dir.Write("tree2/b.txt", QByteArray("beta text ").repeated(500));
    ASSERT_EQ(Quiva({"run", "Newer"}).code, 0);
    {
        TSQLTables raw(StorePath(), 100, 1, false);
        const auto methods = raw.Query("SELECT bData FROM Data ORDER BY bID", 1024, 10);
        ASSERT_EQ(methods->RowCount(), 2);
        EXPECT_EQ(methods->GetBlob(0)->at(0), char(kMethodZlib));
        methods->Next();
        EXPECT_EQ(methods->GetBlob(0)->at(0), char(kMethodChunked));
    }
    const TRun check = Quiva({"check"});
    EXPECT_EQ(check.code, 0) << qPrintable(check.out);
    for (const char* name : {"a.txt", "b.txt"}) {
        const QList<QStringList> rows =
            Search({name[0] == 'a' ? "Older" : "Newer", "--mask", name});
        ASSERT_EQ(rows.size(), 1);
        const TRun restored =
            Quiva({"restore", rows[0][0], "--to", m_dir.Sub("out"), "--password", "vompa7"});
        EXPECT_EQ(restored.code, 0) << qPrintable(restored.err);
        EXPECT_EQ(m_dir.Read(QStringLiteral("out/") + name),
                  m_dir.Read(QStringLiteral("tree") + (name[0] == 'a' ? "/" : "2/") + name));
    }
}

// A version stored as it is has no checksum: a flipped byte in it cannot be found, and
// check says how many it could not verify instead of counting them good. Versions whose
// profile is gone are counted, and removed on request.
TEST_F(BackupCli, CheckNamesWhatItCannotVerifyAndVersionsWithoutAProfile) {
    QByteArray noise(5000, Qt::Uninitialized);
    QRandomGenerator generator(3);
    for (char& byte : noise) {
        byte = static_cast<char>(generator.bounded(256));
    }
    m_dir.Write("tree/noise.txt", noise);
    m_dir.Write("tree/text.txt", QByteArray("again and again\n").repeated(200));
    StoreTree(true);
    {
        TSQLTables raw(StorePath(), 100, 1, false);
        const auto row = raw.Query(
            "SELECT bID, bData FROM Data JOIN Paths ON pID = bPath WHERE pFile = 'noise.txt'", 64,
            1);
        QByteArray blob = *row->GetBlob(1);
        ASSERT_EQ(BlobMethod(blob), kMethodStored);
        blob[100] = static_cast<char>(blob[100] ^ 0x01);
        raw.Exec("UPDATE Data SET bData = ? WHERE bID = ?", {TSQLBlob{blob}, row->GetInt64(0)});
        // Two versions of a profile number no profile has, as a delete cut short left them.
        raw.Exec(
            "INSERT INTO Data (bPath,bPro,bSize,bDate,bData) SELECT bPath, 9, bSize, bDate, "
            "bData FROM Data");
    }
    TRun run = Quiva({"check"});
    EXPECT_EQ(run.code, 0) << qPrintable(run.err);
    EXPECT_EQ(run.out,
              "Checked 4 versions: 2 good, 0 bad, 0 made with another password, 2 stored without "
              "a checksum (damage to them cannot be found); integrity check ok\n"
              "2 versions of profiles that no longer exist (profile number 9); quiva backup "
              "check --remove-orphans deletes them\n");

    run = Quiva({"check", "--remove-orphans"});
    EXPECT_EQ(run.code, 0) << qPrintable(run.err);
    EXPECT_EQ(run.out, "Removed 2 versions of profiles that no longer exist\n");
    run = Quiva({"check"});
    EXPECT_EQ(run.code, 0) << qPrintable(run.err);
    EXPECT_TRUE(
        run.out.startsWith("Checked 2 versions: 1 good, 0 bad, 0 made with another "
                           "password, 1 stored without a checksum"))
        << qPrintable(run.out);
    EXPECT_FALSE(run.out.contains("no longer exist"));
    EXPECT_EQ(Search({"Docs"}).size(), 2);
}

// An application database that cannot be read loses nothing in silence: a command that
// would store a change there fails and names the file, and check does not pass without the
// password it holds.
TEST_F(BackupCli, ADamagedApplicationDatabaseFailsTheCommandsThatNeedIt) {
    m_dir.Write("tree/a.txt", "some text");
    StoreTree();
    const QString database = "data/quiva-tessaline/qvde.d";
    const QByteArray whole = m_dir.Read(database);
    ASSERT_GT(whole.size(), 5000);
    for (const QByteArray& damaged : {whole.left(5000), QByteArray(), QByteArray(8192, '\x5A')}) {
        SCOPED_TRACE(damaged.size());
        m_dir.Write(database, damaged);
        TRun run = Quiva({"profile", "add", "Extra1", "--target", m_tree, "--ext", ".txt"});
        EXPECT_EQ(run.code, 1);
        EXPECT_TRUE(run.err.contains("qvde.d")) << qPrintable(run.err);
        EXPECT_FALSE(run.out.contains("Added")) << qPrintable(run.out);
        run = Quiva({"check"});
        EXPECT_EQ(run.code, 1);
        EXPECT_TRUE(run.err.contains("qvde.d")) << qPrintable(run.err);
        EXPECT_FALSE(run.out.contains("made with another password")) << qPrintable(run.out);
        // The damaged file is kept as it is.
        EXPECT_EQ(m_dir.Read(database), damaged);
    }
}

// A link in the profile's folder is never followed out of it: it is skipped, with a log
// line, in a full run.
TEST_F(BackupCli, ALinkInTheFolderIsSkippedNeverFollowed) {
    m_dir.Write("tree/real.txt", "mine");
    m_dir.Write("outside/secret.txt", "not the profile's");
    ASSERT_EQ(symlink(m_dir.Sub("outside/secret.txt").toUtf8().constData(),
                      (m_tree + "link.txt").toUtf8().constData()),
              0);
    ASSERT_EQ(symlink("/etc/passwd", (m_tree + "passwd.txt").toUtf8().constData()), 0);
    StoreTree();
    const QList<QStringList> rows = Search({"Docs"});
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(rows[0][1], "real.txt");
    const TRun log = Quiva({"log"});
    EXPECT_TRUE(log.out.contains("Skipped:" + m_tree + "link.txt")) << qPrintable(log.out);
    EXPECT_TRUE(log.out.contains("Skipped:" + m_tree + "passwd.txt")) << qPrintable(log.out);
}

// A fast run on a small volume stops with ":Blocked" before the free-space reserve is
// used, where the low-space flag alone (polled every 250 ms) let it fill the volume.
TEST_F(BackupCli, ARunStopsBeforeTheFreeSpaceReserve) {
    const QString volume = m_dir.Sub("data");
    if (QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=24m", "tmpfs", volume}) != 0) {
        GTEST_SKIP() << "no tmpfs can be mounted here";
    }
    struct TUnmount {
        QString path;
        ~TUnmount() { QProcess::execute("umount", {path}); }
    } unmount{volume};
    QRandomGenerator generator(11);
    for (int i = 0; i < 24; ++i) {
        QByteArray noise(1 << 20, Qt::Uninitialized);
        for (char& byte : noise) {
            byte = static_cast<char>(generator.bounded(256));
        }
        m_dir.Write(QStringLiteral("tree/f%1.txt").arg(i), noise);
    }
    ASSERT_EQ(Quiva({"profile", "add", "Docs", "--target", m_tree, "--ext", ".txt", "--size-limit",
                     "4096"})
                  .code,
              0);
    const TRun run = Quiva({"run", "Docs"});
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(run.err.contains("less than 16 MiB free")) << qPrintable(run.err);
    const std::optional<quint64> free = FreeBytes(volume);
    ASSERT_TRUE(free.has_value());
    EXPECT_GE(*free, quint64(16) << 20);
    EXPECT_TRUE(Quiva({"log"}).out.contains("Docs:Blocked"));
    // What was stored is whole.
    EXPECT_EQ(Quiva({"check"}).code, 0);
}

}  // namespace
