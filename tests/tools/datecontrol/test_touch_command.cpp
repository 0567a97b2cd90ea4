// `quiva touch` end to end: local times as the time zone has them in summer and winter, the
// "Don't Change" choices, recursion, a file the user may not write counted out, a time the
// file system cannot hold (the file keeps its times), the mask check script, and the
// refusals and usage errors.
#include "platform/file_facts.h"
#include "support/run_program.h"
#include "support/test_dir.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTimeZone>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

QByteArray Native(const QString& path) {
    return QFile::encodeName(path);
}

TProgramRun Touch(const TestDir& dir, const QList<QByteArray>& args,
                  const QList<QByteArray>& environment = {}) {
    return RunProgram(QList<QByteArray>{QUIVA_CLI_PATH, "touch"} + args, {},
                      QList<QByteArray>{"XDG_DATA_HOME=" + Native(dir.Sub("xdg"))} + environment);
}

TFileFacts Facts(const QString& path) {
    TFileFacts facts;
    EXPECT_TRUE(ReadFileFacts(path, facts)) << qPrintable(path);
    return facts;
}

qint64 Utc(int year, int month, int day, int hour) {
    return QDateTime(QDate(year, month, day), QTime(hour, 0), Qt::UTC).toSecsSinceEpoch();
}

TEST(TouchCommand, LocalTimeIsTheZonesOwnInSummerAndWinter) {
    if (!QFile::exists("/usr/share/zoneinfo/Europe/Berlin")) {
        GTEST_SKIP() << "no time zone data for Europe/Berlin";
    }
    TestDir dir;
    dir.Write("d/a.jpg", "a");
    const QByteArray d = Native(dir.Sub("d"));
    const QList<QByteArray> berlin = {"TZ=Europe/Berlin"};
    // Summer: two hours ahead of UTC; winter: one.
    TProgramRun run = Touch(dir,
                            {d, "--mask", "*.jpg", "--modify", "2001-07-01 12:00:00", "--access",
                             "2001-01-15T12:00:00"},
                            berlin);
    EXPECT_EQ(run.exitCode, 0) << run.err.constData();
    EXPECT_EQ(run.out, "Changed 1 of 1 files\n");
    EXPECT_EQ(Facts(dir.Sub("d/a.jpg")).modified.seconds, Utc(2001, 7, 1, 10));
    EXPECT_EQ(Facts(dir.Sub("d/a.jpg")).accessed.seconds, Utc(2001, 1, 15, 11));

    // Only the time asked for changes.
    run = Touch(dir, {d, "--mask", "*.JPG", "--access", "2002-02-02"}, berlin);
    EXPECT_EQ(run.exitCode, 0) << run.err.constData();
    EXPECT_EQ(Facts(dir.Sub("d/a.jpg")).accessed.seconds, Utc(2002, 2, 1, 23));
    EXPECT_EQ(Facts(dir.Sub("d/a.jpg")).modified.seconds, Utc(2001, 7, 1, 10));
}

TEST(TouchCommand, RecursionHiddenFilesAndNoLinks) {
    TestDir dir;
    dir.Write("d/.hidden.jpg", "h");
    dir.Write("d/sub/deep.jpg", "s");
    dir.Write("outside/target.jpg", "t");
    dir.SetTimes("outside/target.jpg", QDateTime(QDate(2010, 1, 1), QTime(0, 0)));
    ASSERT_EQ(symlink(qPrintable(dir.Sub("outside/target.jpg")), qPrintable(dir.Sub("d/link.jpg"))),
              0);
    const QByteArray d = Native(dir.Sub("d"));
    const TProgramRun flat = Touch(dir, {d, "--mask", "*.jpg", "--modify", "2003-03-03 03:03:03"});
    EXPECT_EQ(flat.out, "Changed 1 of 1 files\n");
    const TProgramRun deep =
        Touch(dir, {d, "--mask", "*.jpg", "--recurse", "--modify", "2003-03-03 03:03:03"});
    EXPECT_EQ(deep.exitCode, 0) << deep.err.constData();
    EXPECT_EQ(deep.out, "Changed 2 of 2 files\n");
    const qint64 wanted = QDateTime(QDate(2003, 3, 3), QTime(3, 3, 3)).toSecsSinceEpoch();
    EXPECT_EQ(Facts(dir.Sub("d/sub/deep.jpg")).modified.seconds, wanted);
    EXPECT_EQ(Facts(dir.Sub("outside/target.jpg")).modified.seconds,
              QDateTime(QDate(2010, 1, 1), QTime(0, 0)).toSecsSinceEpoch());
}

TEST(TouchCommand, AFileReportedAsFailedKeepsBothOfItsTimes) {
    TestDir dir;
    const std::optional<TFileTimeLimits> limits =
        ProbeFileTimeLimits(dir.Path(), {{Utc(1900, 1, 1, 0), 0}, {Utc(2599, 12, 31, 0), 0}});
    if (!limits || (limits->earliest.seconds == Utc(1900, 1, 1, 0) &&
                    limits->latest.seconds == Utc(2599, 12, 31, 0))) {
        GTEST_SKIP() << "this file system holds every date from 1900 to 2599";
    }
    const QString photo = dir.Write("d/f.jpg", "f");
    ASSERT_EQ(SetEntryTimes(photo, TFileTime{946684800, 5}, TFileTime{978307200, 7}), 0);
    const TFileFacts before = Facts(photo);
    const QByteArray d = Native(dir.Sub("d"));
    const QList<QList<QByteArray>> requests = {
        {"--modify", "1900-01-01 00:00:00"},
        {"--modify", "2599-12-31 00:00:00"},
        {"--access", "2001-02-03 04:05:06", "--modify", "1900-01-01 00:00:00"},
    };
    for (const QList<QByteArray>& request : requests) {
        SCOPED_TRACE(request.join(' ').constData());
        const TProgramRun run = Touch(dir, QList<QByteArray>{d, "--mask", "f.jpg"} + request);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.out, "Changed 0 of 1 files\n");
        EXPECT_EQ(run.err,
                  "Failed:" + Native(photo) + " - The file system cannot hold this date\n");
        const TFileFacts after = Facts(photo);
        EXPECT_EQ(after.accessed, before.accessed);
        EXPECT_EQ(after.modified, before.modified);
    }
}

TEST(TouchCommand, RefusalsAndUsageErrors) {
    TestDir dir;
    dir.Write("d/a.jpg", "a");
    const QByteArray d = Native(dir.Sub("d"));
    struct Case {
        QList<QByteArray> args;
        int exitCode;
        QByteArray err;
    };
    const Case cases[] = {
        {{d, "--mask", "*.jpg"}, 1, "quiva touch: Nothing to change!\n"},
        {{d, "--mask", "", "--modify", "2001-01-01"},
         1,
         "quiva touch: Provide a valid file mask!\n"},
        {{Native(dir.Sub("missing")), "--mask", "*.jpg", "--modify", "2001-01-01"},
         1,
         "quiva touch: Provide a valid source directory\n"},
        {{d, "--mask", "*.png", "--modify", "2001-01-01"},
         1,
         "quiva touch: No matching files here!\n"},
        {{d, "--mask", "..", "--modify", "2001-01-01"},
         1,
         "quiva touch: File mask should not be \".\" or \"..\": these name folders, not files\n"},
        {{d, "--modify", "2001-01-01"}, 2, "quiva touch: --mask is required"},
        {{d, "--mask", "*.jpg", "--modify", "yesterday"},
         2,
         "quiva touch: --modify takes a local time as YYYY-MM-DD HH:MM:SS: 'yesterday'"},
        {{"--mask", "*.jpg"}, 2, "quiva touch: expected one folder DIR"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.join(' ').constData());
        const TProgramRun run = Touch(dir, c.args);
        EXPECT_EQ(run.exitCode, c.exitCode);
        EXPECT_TRUE(run.err.startsWith(c.err)) << run.err.constData();
        EXPECT_TRUE(run.out.isEmpty()) << run.out.constData();
    }
}

TEST(TouchCommand, AFileTheUserMayNotWriteIsAFailureAndTheOthersGoOn) {
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
    const QString work = dir.MakeDir("work");
    ASSERT_EQ(chown(Native(work).constData(), user->pw_uid, group->gr_gid), 0);
    dir.Write("work/mine.jpg", "m");
    ASSERT_EQ(chown(Native(dir.Sub("work/mine.jpg")).constData(), user->pw_uid, group->gr_gid), 0);
    dir.Write("work/roots.jpg", "r");  // root's: nobody may read it, not write it
    ASSERT_EQ(chmod(Native(dir.Sub("work/roots.jpg")).constData(), 0644), 0);
    const qint64 before = Facts(dir.Sub("work/roots.jpg")).modified.seconds;
    const auto asNobody = [&](const QList<QByteArray>& args) {
        return RunProgram(QList<QByteArray>{"setpriv", "--reuid=nobody", "--regid=nogroup",
                                            "--clear-groups", QUIVA_CLI_PATH, "touch"} +
                              args,
                          Native(work),
                          {"HOME=" + Native(work), "XDG_DATA_HOME=" + Native(work) + "/xdg"});
    };
    if (asNobody({"--help"}).exitCode != 0) {
        GTEST_SKIP() << "the user nobody cannot run " << QUIVA_CLI_PATH;
    }
    const TProgramRun run =
        asNobody({Native(work), "--mask", "*.jpg", "--modify", "2001-02-03 04:05:06"});
    EXPECT_EQ(run.exitCode, 1) << run.err.constData();
    EXPECT_EQ(run.out, "Changed 1 of 2 files\n");
    EXPECT_EQ(run.err, "Failed:" + Native(dir.Sub("work/roots.jpg")) + " - Permission denied\n");
    EXPECT_EQ(Facts(dir.Sub("work/roots.jpg")).modified.seconds, before);
    EXPECT_EQ(Facts(dir.Sub("work/mine.jpg")).modified.seconds,
              QDateTime(QDate(2001, 2, 3), QTime(4, 5, 6)).toSecsSinceEpoch());
}

}  // namespace
