// `quiva rename` end to end: its lines and exit codes, --dry-run, a refused rename, the
// refusals and usage errors, and files the user may not rename or write.
#include "support/run_program.h"
#include "support/test_dir.h"

#include <QDir>
#include <QFile>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

QByteArray Native(const QString& path) {
    return QFile::encodeName(path);
}

TProgramRun Rename(const TestDir& dir, const QList<QByteArray>& args) {
    return RunProgram(QList<QByteArray>{QUIVA_CLI_PATH, "rename"} + args, {},
                      {"XDG_DATA_HOME=" + Native(dir.Sub("xdg"))});
}

QStringList Files(const QString& folder) {
    return QDir(folder).entryList(QDir::Files, QDir::Name);
}

TEST(RenameCommand, LinesExitCodesAndDryRun) {
    TestDir dir;
    dir.Write("d/Report Final.TXT", "r");
    dir.Write("d/A.TXT", "upper");
    dir.Write("d/a.txt", "lower");
    dir.Write("d/sub/In Sub.TXT", "s");
    const QByteArray d = Native(dir.Sub("d"));

    const TProgramRun dry =
        Rename(dir, {d, "--mask", "*.txt", "--case", "lower", "--recurse", "--dry-run"});
    EXPECT_EQ(dry.exitCode, 1);  // one would be refused
    EXPECT_EQ(dry.out, d + "/sub/In Sub.TXT -> in sub.txt\n" + d +
                           "/A.TXT -> a.txt: A file or folder of that name exists\n" + d +
                           "/a.txt -> a.txt\n" + d + "/Report Final.TXT -> report final.txt\n");
    EXPECT_EQ(Files(dir.Sub("d")), QStringList({"A.TXT", "Report Final.TXT", "a.txt"}));

    const TProgramRun run = Rename(dir, {d, "--mask", "*.txt", "--case", "lower", "--recurse"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, "Y " + d + "/sub/In Sub.TXT -> in sub.txt\nN " + d +
                           "/A.TXT -> a.txt: A file or folder of that name exists\nY " + d +
                           "/a.txt -> a.txt\nY " + d + "/Report Final.TXT -> report final.txt\n");
    EXPECT_EQ(Files(dir.Sub("d")), QStringList({"A.TXT", "a.txt", "report final.txt"}));
    EXPECT_EQ(dir.Read("d/a.txt"), "lower");
    EXPECT_EQ(dir.Read("d/A.TXT"), "upper");

    const TProgramRun all =
        Rename(dir, {d, "--mask", "report*.*", "--ext", "md", "--strip-spaces", "--case", "first"});
    EXPECT_EQ(all.exitCode, 0) << all.err.constData();
    EXPECT_EQ(all.out, "Y " + d + "/report final.txt -> Reportfinal.md\n");
}

TEST(RenameCommand, RefusalsAndUsageErrors) {
    TestDir dir;
    dir.Write("d/x.txt", "x");
    const QByteArray d = Native(dir.Sub("d"));
    struct Case {
        QList<QByteArray> args;
        int exitCode;
        QByteArray err;
    };
    const Case cases[] = {
        {{d, "--mask", "*"}, 1, "quiva rename: Mask MUST contain \".\"\n"},
        {{d, "--mask", ""}, 1, "quiva rename: File mask not specified\n"},
        {{d, "--mask", "a|b.txt"}, 1, "quiva rename: \\/:<|> not allowed in mask\n"},
        {{d, "--mask", "*.txt", "--ext", ".md"},
         1,
         "quiva rename: \\/:<|>. not allowed in extension\n"},
        {{Native(dir.Sub("missing")), "--mask", "*.*"},
         1,
         "quiva rename: Could not read " + Native(dir.Sub("missing")) +
             ": No such file or directory\n"},
        {{d}, 2, "quiva rename: --mask is required"},
        {{d, "--mask", "*.*", "--case", "title"},
         2,
         "quiva rename: --case takes lower, upper or first: 'title'"},
        {{"--mask", "*.*"}, 2, "quiva rename: expected one folder DIR"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.join(' ').constData());
        const TProgramRun run = Rename(dir, c.args);
        EXPECT_EQ(run.exitCode, c.exitCode);
        EXPECT_TRUE(run.err.startsWith(c.err)) << run.err.constData();
        EXPECT_TRUE(run.out.isEmpty());
    }
    EXPECT_EQ(Files(dir.Sub("d")), QStringList({"x.txt"}));
}

TEST(RenameCommand, FilesTheUserMayNotRenameAreLeftOut) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to run the program as another user";
    }
    const passwd* user = getpwnam("nobody");
    const group* group = getgrnam("nogroup");
    if (user == nullptr || group == nullptr) {
        GTEST_SKIP() << "the system has no user nobody or group nogroup";
    }
    TestDir dir;
    ASSERT_EQ(chmod(Native(dir.Path()).constData(), 0755), 0);
    const QString theirs = dir.MakeDir("theirs");  // root's, open to read only
    ASSERT_EQ(chmod(Native(theirs).constData(), 0755), 0);
    dir.Write("theirs/Root File.TXT", "r");
    const QString mine = dir.MakeDir("mine");
    ASSERT_EQ(chown(Native(mine).constData(), user->pw_uid, group->gr_gid), 0);
    dir.Write("mine/RO.TXT", "o");  // nobody's file, read-only for them
    ASSERT_EQ(chown(Native(dir.Sub("mine/RO.TXT")).constData(), user->pw_uid, group->gr_gid), 0);
    ASSERT_EQ(chmod(Native(dir.Sub("mine/RO.TXT")).constData(), 0444), 0);
    dir.Write("mine/Root Only.TXT", "r");  // root's, 0644: nobody may not write it
    ASSERT_EQ(chmod(Native(dir.Sub("mine/Root Only.TXT")).constData(), 0644), 0);
    dir.Write("mine/Writable.TXT", "w");
    ASSERT_EQ(chown(Native(dir.Sub("mine/Writable.TXT")).constData(), user->pw_uid, group->gr_gid),
              0);
    const auto asNobody = [&](const QList<QByteArray>& args) {
        return RunProgram(QList<QByteArray>{"setpriv", "--reuid=nobody", "--regid=nogroup",
                                            "--clear-groups", QUIVA_CLI_PATH, "rename"} +
                              args,
                          Native(mine), {"HOME=" + Native(mine), "XDG_DATA_HOME=" + Native(mine)});
    };
    const TProgramRun probe = asNobody({"--help"});
    if (probe.exitCode != 0) {
        GTEST_SKIP() << "the user nobody cannot run " << QUIVA_CLI_PATH;
    }
    const TProgramRun none = asNobody({Native(theirs), "--mask", "*.txt", "--case", "lower"});
    EXPECT_EQ(none.exitCode, 0) << none.err.constData();
    EXPECT_TRUE(none.out.isEmpty()) << none.out.constData();
    EXPECT_EQ(Files(theirs), QStringList({"Root File.TXT"}));
    // In a folder of theirs, files the user may not write are neither listed nor renamed,
    // in a dry run as in a real one.
    const TProgramRun dry =
        asNobody({Native(mine), "--mask", "*.txt", "--case", "lower", "--dry-run"});
    EXPECT_EQ(dry.exitCode, 0) << dry.err.constData();
    EXPECT_EQ(dry.out, Native(mine) + "/Writable.TXT -> writable.txt\n");
    const TProgramRun own = asNobody({Native(mine), "--mask", "*.txt", "--case", "lower"});
    EXPECT_EQ(own.exitCode, 0) << own.err.constData();
    EXPECT_EQ(own.out, "Y " + Native(mine) + "/Writable.TXT -> writable.txt\n");
    EXPECT_EQ(Files(mine), QStringList({"RO.TXT", "Root Only.TXT", "writable.txt"}));
}

}  // namespace
