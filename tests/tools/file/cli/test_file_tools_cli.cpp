// The `quiva` command line's split, splice, fill and equalize: success, refusals with the
// engines' messages and exit code 1, usage errors with exit code 2, help and progress.
#include "support/test_dir.h"

#include <QProcess>
#include <QProcessEnvironment>

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
        {{"split", "src", ".", "--size", "0"}, 1, "Piece size cannot be 0 bytes\n"},
        {{"split", "src", ".", "--size", "30", "--max-count", "3"},
         1,
         "Split would create too many files\n"},
        {{"split", "missing", ".", "--size", "30"}, 1, "Could not open source file\n"},
        {{"splice", "exists", "a", "src"}, 1, "Destination file already exists\n"},
        {{"splice", "out", "a"}, 1, "Two or more files required for splicing\n"},
        {{"fill", "new", "--size", "10", "--range", "10-0F"}, 1, "Invalid range\n"},
        {{"fill", "new", "--size", "10", "--sequence", "ABC"}, 1, "Sequence length must be even\n"},
        {{"equalize", "a", "./a", "--route", "postfix"}, 1, "FileA is the same as FileB!\n"},
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
            EXPECT_TRUE(run.err.contains("Usage: quiva " + c.args.first()))
                << run.err.toStdString();
        }
    }
    EXPECT_EQ(dir.Read("exists"), "old");
    EXPECT_EQ(dir.Read("a"), "0123456789");
    EXPECT_FALSE(QFileInfo::exists(dir.Sub("new")));
    EXPECT_FALSE(QFileInfo::exists(dir.Sub("src.001")));
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

}  // namespace
