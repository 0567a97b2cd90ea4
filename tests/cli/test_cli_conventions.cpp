// The `quiva` command line as GNU tools behave: output that could not be written is a
// failure, errors name the program, the command, the file and the reason, unknown
// commands and options are usage errors with a pointer to the help, short options, "-"
// for standard input, and lower-case digests that equal sha256sum's text.
#include "support/run_program.h"
#include "support/test_dir.h"

#include <gtest/gtest.h>

namespace {

const QByteArray kQuiva = QUIVA_CLI_PATH;

// Runs `quiva ARGS` through the shell with `redirect` after it ("> /dev/full",
// "< file"), in `dir`, with the program's own folder inside it.
TProgramRun RunQuivaShell(const TestDir& dir, const QList<QByteArray>& args,
                          const QByteArray& redirect = {}, const QByteArray& before = {}) {
    QList<QByteArray> argv{"/bin/sh", "-c", before + "exec \"$0\" \"$@\" " + redirect, kQuiva};
    argv.append(args);
    return RunProgram(argv, dir.Path().toUtf8(),
                      {"XDG_DATA_HOME=" + dir.Sub("xdg").toUtf8(), "LC_ALL=C"});
}

TEST(CliConventions, OutputThatCannotBeWrittenIsAWriteError) {
    TestDir dir;
    dir.Write("f", "abc");
    dir.Write("g", "abd");
    const QList<QList<QByteArray>> commands{
        {"--help"},        {"--version"},         {"checksum", "--algo", "md5", "f"},
        {"checksum", "f"}, {"compare", "f", "g"}, {"split", "--help"},
    };
    for (const QList<QByteArray>& args : commands) {
        SCOPED_TRACE(args.join(' ').toStdString());
        const TProgramRun run = RunQuivaShell(dir, args, "> /dev/full");
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.err, "quiva: write error: No space left on device\n");
    }
    // A closed standard output is no success either.
    const TProgramRun closed = RunQuivaShell(dir, {"--version"}, ">&-");
    EXPECT_EQ(closed.exitCode, 1);
    EXPECT_EQ(closed.err, "quiva: write error: Bad file descriptor\n");
}

TEST(CliConventions, UnknownCommandsAndOptionsPointAtTheHelp) {
    TestDir dir;
    dir.Write("f", "abc");
    struct TCase {
        QList<QByteArray> args;
        QByteArray err;
    };
    const TCase cases[] = {
        {{"x"}, "quiva: unknown command 'x'\nTry 'quiva --help' for more information.\n"},
        {{"--bogus"},
         "quiva: unknown option '--bogus'\nTry 'quiva --help' for more information.\n"},
        {{"checksum", "-x", "f"},
         "quiva checksum: unknown option -x\nTry 'quiva checksum --help' for more information.\n"},
        {{"checksum", "-cx", "f"},
         "quiva checksum: unknown option -x\nTry 'quiva checksum --help' for more information.\n"},
        {{"split", "f", ".", "--size"},
         "quiva split: option --size needs a value\n"
         "Try 'quiva split --help' for more information.\n"},
        {{"compare", "-q", "f", "f"},
         "quiva compare: unknown option -q\nTry 'quiva compare --help' for more information.\n"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        const TProgramRun run = RunQuivaShell(dir, c.args);
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_EQ(run.err, c.err);
        EXPECT_EQ(run.out, "");
    }
}

TEST(CliConventions, ErrorsNameTheCommandTheFileAndTheReason) {
    TestDir dir;
    dir.Write("f", "abc");
    dir.MakeDir("folder");
    struct TCase {
        QList<QByteArray> args;
        int exitCode;
        QByteArray err;
    };
    const TCase cases[] = {
        {{"checksum", "nonexist"}, 1, "quiva checksum: nonexist: No such file or directory\n"},
        {{"checksum", "--algo", "crc32", "folder"}, 1, "quiva checksum: folder: Is a directory\n"},
        {{"split", "nonexist", ".", "--size", "1"},
         1,
         "quiva split: nonexist: Could not open source file: No such file or directory\n"},
        {{"compare", "f", "nonexist"}, 2, "quiva compare: nonexist: No such file or directory\n"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        const TProgramRun run = RunQuivaShell(dir, c.args);
        EXPECT_EQ(run.exitCode, c.exitCode);
        EXPECT_EQ(run.err, c.err);
    }
}

TEST(CliConventions, StandardInputShortOptionsAndSha256sumsText) {
    TestDir dir;
    dir.Write("abc", "abc");
    const QByteArray abcSha256 = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    // "-" is standard input, from a pipe and from a file; -a and -l are --algo and --lower.
    TProgramRun run =
        RunQuivaShell(dir, {"checksum", "-a", "sha256", "-l", "-"}, "", "printf abc |");
    EXPECT_EQ(run.exitCode, 0) << run.err.constData();
    EXPECT_EQ(run.out, abcSha256 + "  -\n");
    run = RunQuivaShell(dir, {"checksum", "-lasha256", "-"}, "< abc");
    EXPECT_EQ(run.out, abcSha256 + "  -\n");
    // Without --lower the digests stay upper case, as the window shows them.
    run = RunQuivaShell(dir, {"checksum", "--algo=crc32", "-"}, "< abc");
    EXPECT_EQ(run.out, "352441C2  -\n");

    // The lower-case line is sha256sum's own text, and -c checks it back.
    const TProgramRun gnu = RunProgram({"sha256sum", "abc"}, dir.Path().toUtf8());
    run = RunQuivaShell(dir, {"checksum", "--algo", "sha256", "--lower", "abc"});
    EXPECT_EQ(run.out, gnu.out);
    dir.Write("list", run.out);
    run = RunQuivaShell(dir, {"checksum", "-c", "list"});
    EXPECT_EQ(run.exitCode, 0) << run.err.constData();
    EXPECT_EQ(run.out, "abc: OK\n");
    // "-" is standard input even after "--", as for sha256sum; a file of that name is
    // "./-", and "--" lets a name start with a dash.
    dir.Write("-", "abc");
    dir.Write("-a", "abc");
    run =
        RunQuivaShell(dir, {"checksum", "--algo", "crc32", "./-", "--", "-", "-a"}, "< /dev/null");
    EXPECT_EQ(run.out, "352441C2  ./-\n00000000  -\n352441C2  -a\n");
}

}  // namespace
