// The `quiva` command line's split, splice, fill and equalize: success, refusals with the
// engines' messages and exit code 1, usage errors with exit code 2, help and progress; file
// names that are not UTF-8, and destinations the user may not write.
#include "support/run_program.h"
#include "support/test_dir.h"
#include "tools/common/file_tool_test_support.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>

#include <optional>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

struct TRun {
    int exitCode = -1;
    QString out;
    QString err;
};

TRun RunQuiva(const TestDir& dir, const QStringList& args) {
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // Keep the program's own folder inside the test folder, should a command open it.
    environment.insert("XDG_DATA_HOME", dir.Sub("xdg"));
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(dir.Path());
    process.start(QStringLiteral(QUIVA_CLI_PATH), args);
    TRun run;
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit) {
        process.kill();
        return run;
    }
    run.exitCode = process.exitCode();
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

TEST(FileToolsCli, SplitThenSpliceGivesTheSourceBack) {
    TestDir dir;
    QByteArray content;
    for (int i = 0; i < 3000; ++i) {
        content += static_cast<char>(i * 31);
    }
    dir.Write("movie.avi", content);
    dir.MakeDir("out");
    TRun run = RunQuiva(dir, {"split", "movie.avi", "out", "--size", "1K", "--progress"});
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_EQ(run.err, "33% Done\n67% Done\n100% Done\nSplitting Complete\n");
    EXPECT_EQ(dir.Read("out/movie.avi.003").size(), 3000 - 2048);

    run = RunQuiva(
        dir, {"splice", "joined", "out/movie.avi.001", "out/movie.avi.002", "out/movie.avi.003"});
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_EQ(run.err, "");  // quiet without --progress
    EXPECT_EQ(dir.Read("joined"), content);
}

TEST(FileToolsCli, FillAndEqualize) {
    TestDir dir;
    TRun run = RunQuiva(dir, {"fill", "f", "--size", "10", "--sequence", "CAFEBABE"});
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_EQ(dir.Read("f"), QByteArray::fromHex("CAFEBABECAFEBABECAFE"));

    run = RunQuiva(dir, {"fill", "r", "--size=2K", "--range", "7F-7F"});
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_EQ(dir.Read("r"), QByteArray(2048, '\x7F'));

    run = RunQuiva(dir, {"fill", "all", "--size", "1M", "--all-bytes"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, "File size will be 256 bytes\n");
    EXPECT_EQ(dir.Read("all").size(), 256);

    dir.Write("a", "0123456789");
    dir.Write("b", "ABCD");
    run = RunQuiva(dir, {"equalize", "a", "b", "--route", "prefix"});
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_EQ(dir.Read("b"), QByteArray(6, '\0') + "ABCD");
    // Already equal: said, and nothing to fail.
    run = RunQuiva(dir, {"equalize", "a", "b", "--route", "truncate"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, "The two files have the same size!\n");
}

TEST(FileToolsCli, RefusalsAndUsageErrors) {
    TestDir dir;
    dir.Write("src", QByteArray(100, 'x'));
    dir.Write("a", "0123456789");
    dir.Write("exists", "old");
    struct Case {
        QStringList args;
        int exitCode;
        const char* errStart;  // what stderr begins with
    };
    const Case cases[] = {
        {{"split", "src", ".", "--size", "0"}, 1, "quiva split: Piece size cannot be 0 bytes\n"},
        {{"split", "src", ".", "--size", "30", "--max-count", "3"},
         1,
         "quiva split: Split would create too many files\n"},
        {{"split", "missing", ".", "--size", "30"},
         1,
         "quiva split: missing: Could not open source file: No such file or directory\n"},
        {{"splice", "exists", "a", "src"}, 1, "quiva splice: Destination file already exists\n"},
        {{"splice", "out", "a"}, 1, "quiva splice: Two or more files required for splicing\n"},
        {{"fill", "new", "--size", "10", "--range", "10-0F"}, 1, "quiva fill: Invalid range\n"},
        {{"fill", "new", "--size", "10", "--sequence", "ABC"},
         1,
         "quiva fill: Sequence length must be even\n"},
        {{"equalize", "a", "./a", "--route", "postfix"},
         1,
         "quiva equalize: FileA is the same as FileB!\n"},
        {{"split", "src", "."}, 2, "quiva split: --size is required"},
        {{"split", "src", ".", "--size", "1G"}, 2, "quiva split: --size takes"},
        {{"split", "src", ".", "--size", "2000M"}, 2, "quiva split: --size takes"},
        {{"split", "src", ".", "--size", "30", "--max-count", "1"},
         2,
         "quiva split: --max-count takes"},
        {{"split", "src", ".", "--size", "30", "--bogus"}, 2, "quiva split: unknown option"},
        {{"splice"}, 2, "quiva splice: expected DEST"},
        {{"fill", "new", "--size", "10"}, 2, "quiva fill: give exactly one of"},
        {{"fill", "new", "--size", "10", "--all-bytes", "--sequence", "AB"},
         2,
         "quiva fill: give exactly one of"},
        {{"fill", "new", "--size", "10", "--range", "10"}, 2, "quiva fill: --range takes"},
        {{"equalize", "a", "src"}, 2, "quiva equalize: --route is required"},
        {{"equalize", "a", "src", "--route", "sideways"}, 2, "quiva equalize: unknown route"},
    };
    for (const Case& c : cases) {
        const TRun run = RunQuiva(dir, c.args);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.args.join(' ').toStdString();
        EXPECT_TRUE(run.err.startsWith(c.errStart))
            << c.args.join(' ').toStdString() << ": " << run.err.toStdString();
        if (c.exitCode == 2) {
            EXPECT_TRUE(run.err.endsWith("Try 'quiva " + c.args.first() +
                                         " --help' for more information.\n"))
                << run.err.toStdString();
        }
    }
    EXPECT_EQ(dir.Read("exists"), "old");
    EXPECT_EQ(dir.Read("a"), "0123456789");
    EXPECT_FALSE(QFileInfo::exists(dir.Sub("new")));
    EXPECT_FALSE(QFileInfo::exists(dir.Sub("src.001")));
}

TEST(FileToolsCli, ALinkPlantedAtADestinationIsReplacedNeverWrittenThrough) {
    using file_tool_test::MakeSymLink;
    struct Case {
        const char* what;
        QString link;  // where the link is planted, relative to the test folder
        QStringList args;
        QByteArray written;  // what the link's name holds afterwards
    };
    const QByteArray source(300, 's');
    const QList<Case> cases = {
        {"split piece",
         "out/piece.bin.001",
         {"split", "piece.bin", "out", "--size", "100", "--overwrite"},
         source.left(100)},
        {"split list",
         "out/piece.bin.sha256",
         {"split", "piece.bin", "out", "--size", "100", "--overwrite", "--manifest"},
         {}},
        {"splice", "joined.bin", {"splice", "joined.bin", "p1", "p2", "--overwrite"}, "onetwo"},
        {"fill",
         "filled.bin",
         {"fill", "filled.bin", "--size", "4", "--sequence", "CAFEBABE", "--overwrite"},
         QByteArray::fromHex("CAFEBABE")},
        {"equalize A", "a.bin", {"equalize", "a.bin", "b.bin", "--route", "postfix"}, {}},
        {"equalize B", "b.bin", {"equalize", "a.bin", "b.bin", "--route", "truncate"}, {}},
    };
    for (const bool dangling : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + (dangling ? " (dangling)" : ""));
            TestDir dir;
            dir.Write("piece.bin", source);
            dir.MakeDir("out");
            dir.Write("p1", "one");
            dir.Write("p2", "two");
            dir.Write("a.bin", "aaaa");
            dir.Write("b.bin", "bbbbbbbb");
            dir.Write("other/target.conf", "secret");
            QFile::remove(dir.Sub(c.link));
            const QString pointed = dir.Sub(dangling ? "other/new.conf" : "other/target.conf");
            ASSERT_TRUE(MakeSymLink(pointed, dir.Sub(c.link)));
            const TRun run = RunQuiva(dir, c.args);
            // Equalize reads a link as the file it names and so may refuse on sizes; every
            // other command writes the link's name.
            if (!(dangling && QString(c.what).startsWith("equalize"))) {
                EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
            }
            EXPECT_EQ(dir.Read("other/target.conf"), "secret");
            EXPECT_FALSE(QFileInfo::exists(dir.Sub("other/new.conf")));
            EXPECT_EQ(QDir(dir.Sub("other")).entryList(QDir::Files | QDir::Hidden),
                      QStringList({"target.conf"}));
            if (run.exitCode == 0 && !c.written.isEmpty()) {
                EXPECT_FALSE(QFileInfo(dir.Sub(c.link)).isSymLink());
                EXPECT_EQ(dir.Read(c.link), c.written);
            }
        }
    }
}

// A volume of 1 MiB where this process may mount one: writing more says why it failed.
TEST(FileToolsCli, AFullDiskIsNamedAsTheReason) {
    TestDir dir;
    const QString volume = dir.MakeDir("volume");
    if (QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=1m", "tmpfs", volume}) != 0) {
        GTEST_SKIP() << "no tmpfs can be mounted here";
    }
    struct TUnmount {
        QString path;
        ~TUnmount() { QProcess::execute("umount", {path}); }
    } unmount{volume};
    dir.Write("big.bin", QByteArray(3 << 20, 'b'));
    struct Case {
        QStringList args;
        const char* start;
    };
    const Case cases[] = {
        {{"split", "big.bin", "volume", "--size", "2M"}, "quiva split: Could not write "},
        {{"fill", "volume/filled", "--size", "2M", "--sequence", "AB"},
         "quiva fill: Unable to write to "},
    };
    for (const Case& c : cases) {
        const TRun run = RunQuiva(dir, c.args);
        EXPECT_EQ(run.exitCode, 1) << c.args.join(' ').toStdString();
        EXPECT_TRUE(run.err.startsWith(c.start)) << run.err.toStdString();
        EXPECT_TRUE(run.err.contains("No space left on device")) << run.err.toStdString();
    }
}

TEST(FileToolsCli, HelpPerCommand) {
    TestDir dir;
    for (const char* command : {"split", "splice", "fill", "equalize"}) {
        const TRun run = RunQuiva(dir, {command, "--help"});
        EXPECT_EQ(run.exitCode, 0) << command;
        EXPECT_TRUE(run.out.startsWith(QStringLiteral("Usage: quiva %1").arg(command))) << command;
        EXPECT_EQ(run.err, "");
    }
    const TRun run = RunQuiva(dir, {"--help"});
    for (const char* command : {"split", "splice", "fill", "equalize"}) {
        EXPECT_TRUE(run.out.contains(QStringLiteral("  %1 ").arg(command))) << command;
    }
}

// Runs the program in the test folder with arguments given as bytes.
TProgramRun RunQuivaBytes(const TestDir& dir, const QList<QByteArray>& args) {
    QList<QByteArray> argv{QByteArrayLiteral(QUIVA_CLI_PATH)};
    argv += args;
    return RunProgram(argv, file_tool_test::Native(dir.Path()),
                      {"XDG_DATA_HOME=" + file_tool_test::Native(dir.Sub("xdg"))});
}

TEST(FileToolsCli, NamesThatAreNotUtf8) {
    using namespace file_tool_test;
    TestDir dir;
    QByteArray content;
    for (int i = 0; i < 3000; ++i) {
        content += static_cast<char>(i * 7);
    }
    ASSERT_TRUE(WriteNative(dir.Sub(Latin1Name()), content));
    dir.MakeDir("out");

    TProgramRun run = RunQuivaBytes(dir, {"split", "caf\xE9.bin", "out", "--size", "1K"});
    EXPECT_EQ(run.exitCode, 0) << run.err.constData();
    EXPECT_EQ(NativeNames(dir.Sub("out")),
              QList<QByteArray>({"caf\xE9.bin.001", "caf\xE9.bin.002", "caf\xE9.bin.003"}));

    // Spliced back byte for byte; the progress lines show each name readably.
    run = RunQuivaBytes(dir, {"splice", "joined\xE9", "out/caf\xE9.bin.001", "out/caf\xE9.bin.002",
                              "out/caf\xE9.bin.003", "--progress"});
    EXPECT_EQ(run.exitCode, 0) << run.err.constData();
    EXPECT_EQ(run.err,
              "out/caf\\xE9.bin.001\nout/caf\\xE9.bin.002\nout/caf\\xE9.bin.003\n"
              "Splicing Complete\n");
    EXPECT_EQ(ReadNative(dir.Sub(Latin1Name("joined", ""))), content);

    run = RunQuivaBytes(dir, {"fill", "f\xE9", "--size", "10", "--sequence", "CAFEBABE"});
    EXPECT_EQ(run.exitCode, 0) << run.err.constData();
    EXPECT_EQ(ReadNative(dir.Sub(Latin1Name("f", ""))),
              QByteArray::fromHex("CAFEBABECAFEBABECAFE"));

    run = RunQuivaBytes(dir, {"equalize", "caf\xE9.bin", "f\xE9", "--route", "postfix"});
    EXPECT_EQ(run.exitCode, 0) << run.err.constData();
    EXPECT_EQ(ReadNative(dir.Sub(Latin1Name("f", ""))),
              QByteArray::fromHex("CAFEBABECAFEBABECAFE") + QByteArray(2990, '\0'));
    EXPECT_EQ(ReadNative(dir.Sub(Latin1Name())), content);

    // Refusals find the files by their bytes and name them readably.
    run = RunQuivaBytes(dir, {"fill", "f\xE9", "--size", "10", "--all-bytes"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "quiva fill: Destination file already exists\n");
    run = RunQuivaBytes(dir, {"splice", "new", "caf\xE9.bin", "gone\xE9"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "quiva splice: Access to gone\\xE9 failed\n");
    run = RunQuivaBytes(dir, {"equalize", "caf\xE9.bin", "gone\xE9", "--route", "prefix"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "quiva equalize: Could not open gone\\xE9\n");
    EXPECT_EQ(NativeNames(dir.Path()),
              QList<QByteArray>({"caf\xE9.bin", "f\xE9", "joined\xE9", "out"}));
}

// The user `nobody` and the group `nogroup`, when the system has them.
std::optional<std::pair<uid_t, gid_t>> Nobody() {
    const passwd* user = getpwnam("nobody");
    const group* group = getgrnam("nogroup");
    if (user == nullptr || group == nullptr) {
        return std::nullopt;
    }
    return std::make_pair(user->pw_uid, group->gr_gid);
}

TEST(FileToolsCli, ReadOnlyDestinationsAreRefused) {
    using namespace file_tool_test;
    // Root may write any file, so the program runs as `nobody` in a folder that nobody
    // owns (renaming over a file there needs only the folder's permission), over files
    // of root's that nobody may read but not write.
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to run the program as another user";
    }
    const auto nobody = Nobody();
    if (!nobody) {
        GTEST_SKIP() << "the system has no user nobody or group nogroup";
    }
    TestDir dir;
    const QString work = dir.MakeDir("work");
    ASSERT_EQ(chmod(Native(dir.Path()).constData(), 0755), 0);
    ASSERT_EQ(chown(Native(work).constData(), nobody->first, nobody->second), 0);
    ASSERT_EQ(chmod(Native(work).constData(), 0755), 0);
    const QList<QByteArray> asNobody = {"setpriv", "--reuid=nobody", "--regid=nogroup",
                                        "--clear-groups", QUIVA_CLI_PATH};
    const QList<QByteArray> environment = {"HOME=" + Native(work),
                                           "XDG_DATA_HOME=" + Native(work) + "/xdg"};
    const auto runAsNobody = [&](const QList<QByteArray>& args) {
        return RunProgram(asNobody + args, Native(work), environment);
    };
    const TProgramRun probe = runAsNobody({"--version"});
    if (probe.exitCode != 0) {
        GTEST_SKIP() << "the user nobody cannot run " << QUIVA_CLI_PATH
                     << " (are its folders open to others?): " << probe.err.constData();
    }

    ASSERT_TRUE(WriteNative(work + "/dest", "old"));
    ASSERT_TRUE(WriteNative(work + "/src", QByteArray(100, 's')));
    ASSERT_TRUE(WriteNative(work + "/src.002", "old"));
    ASSERT_TRUE(WriteNative(work + "/a", "0123456789"));
    ASSERT_TRUE(WriteNative(work + "/b", "ABCD"));
    struct Case {
        QList<QByteArray> args;
        const char* message;
        const char* kept;  // the file that keeps its content
    };
    const Case cases[] = {
        {{"fill", "dest", "--size", "10", "--sequence", "CAFEBABE", "--overwrite"},
         "Cannot write dest",
         "dest"},
        {{"splice", "dest", "a", "b", "--overwrite"}, "Cannot write dest", "dest"},
        {{"split", "src", ".", "--size", "30", "--overwrite"},
         "Could not write ./src.002: Permission denied",
         "src.002"},
        {{"equalize", "a", "b", "--route", "postfix"}, "Could not replace b", "b"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.first().constData());
        const QByteArray before = ReadNative(work + '/' + c.kept);
        const TProgramRun run = runAsNobody(c.args);
        EXPECT_EQ(run.exitCode, 1) << run.err.constData();
        EXPECT_TRUE(run.err.contains(QByteArray(c.message) + '\n')) << run.err.constData();
        EXPECT_EQ(ReadNative(work + '/' + c.kept), before);
        struct stat st;
        ASSERT_EQ(stat(Native(work + '/' + c.kept).constData(), &st), 0);
        EXPECT_EQ(st.st_uid, 0u);
    }
    // The folder itself is open to nobody: a new file is written there.
    const TProgramRun fresh = runAsNobody({"fill", "fresh", "--size", "4", "--sequence", "AB"});
    EXPECT_EQ(fresh.exitCode, 0) << fresh.err.constData();
    EXPECT_EQ(ReadNative(work + "/fresh"), "\xAB\xAB\xAB\xAB");
}

}  // namespace
