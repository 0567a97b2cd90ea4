// The single-instance guard and the shared block it keeps the running instance's identity
// in.
#include "base/errors.h"
#include "platform/folders.h"
#include "platform/instance_guard.h"
#include "platform/instance_lock.h"
#include "platform/map_stream.h"
#include "support/test_dir.h"

#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QtTest/QTest>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

QString UniqueName(const char* base) {
    return QStringLiteral("%1 %2").arg(QLatin1String(base)).arg(getpid());
}

TEST(MapStream, BoundsAreStrictlyBelowTheSize) {
    const QString name = UniqueName("Bounds Map");
    TMapStream stream(name, 2000, 8);
    const quint32 value = 0xA1B2C3D4;
    stream.Seek(4);
    EXPECT_FALSE(stream.Write(&value, 4));  // 4 + 4 is not below 8
    stream.Seek(3);
    EXPECT_TRUE(stream.Write(&value, 4));
    EXPECT_EQ(stream.Position(), 7u);
    stream.Seek(8);
    EXPECT_EQ(stream.Position(), 7u);  // out of range: unchanged
    stream.Seek(-1);
    EXPECT_EQ(stream.Position(), 7u);

    // A second stream on the same name sees the same bytes.
    TMapStream other(name, 2000, 8);
    quint32 read = 0;
    other.Seek(3);
    EXPECT_TRUE(other.Read(&read, 4));
    EXPECT_EQ(read, value);
    EXPECT_TRUE(other.Clear());
    stream.Seek(3);
    EXPECT_TRUE(stream.Read(&read, 4));
    EXPECT_EQ(read, 0u);
    stream.Unlink();
}

TEST(MapStream, SizeAndTimeoutDefaults) {
    const QString name = UniqueName("Defaults Map");
    TMapStream zero(name, 0, 0);
    EXPECT_EQ(zero.Size(), 65535u);
    EXPECT_EQ(zero.Timeout(), 2000);
    TMapStream large(name, 9000, 0xFFFFFFFFLL);
    EXPECT_EQ(large.Size(), 65535u);
    EXPECT_EQ(large.Timeout(), 2000);
    TMapStream fine(name, 500, 100);
    EXPECT_EQ(fine.Timeout(), 500);
    zero.Unlink();
}

TEST(MapStream, LockHeldElsewhereTimesOut) {
    const QString name = UniqueName("Lock Map");
    TMapStream holder(name, 100, 8);
    TMapStream waiter(name, 100, 8);
    ASSERT_TRUE(holder.Lock());
    quint32 value = 1;
    EXPECT_FALSE(waiter.Write(&value, 4));
    EXPECT_FALSE(waiter.Clear());
    holder.Unlock();
    EXPECT_TRUE(waiter.Write(&value, 4));
    holder.Unlink();
}

// A program folder and a run-time folder of a test's own.
struct TGuardFolders {
    TestDir dir;
    QString program = dir.MakeDir("program");
    QString runtime = dir.MakeDir("run");
};

TEST(InstanceGuard, SecondStartHandsOverAndEnds) {
    TGuardFolders folders;
    TInstanceGuard first(folders.program, folders.runtime);
    ASSERT_TRUE(first.Start());
    QSignalSpy raised(&first, &TInstanceGuard::raiseRequested);
    QSignalSpy quit(&first, &TInstanceGuard::quitRequested);
    {
        TInstanceGuard second(folders.program, folders.runtime);
        EXPECT_FALSE(second.Start());
        EXPECT_FALSE(second.HandOverFailed());
    }
    EXPECT_TRUE(raised.wait(3000) || raised.count() == 1);
    EXPECT_EQ(quit.count(), 0);
    EXPECT_TRUE(TInstanceGuard::SendQuit(folders.runtime));
    EXPECT_TRUE(quit.wait(3000) || quit.count() == 1);
}

TEST(InstanceGuard, AfterTheFirstEndsTheNextStartIsFirstAgain) {
    TGuardFolders folders;
    {
        TInstanceGuard first(folders.program, folders.runtime);
        ASSERT_TRUE(first.Start());
    }
    TInstanceGuard again(folders.program, folders.runtime);
    EXPECT_TRUE(again.Start());
    EXPECT_FALSE(TInstanceGuard::SendQuit(folders.runtime + "/elsewhere"));
}

TEST(InstanceGuard, TheLockBelongsToTheProgramFolderNotToTheRuntimeFolder) {
    // Two runs that disagree on $XDG_RUNTIME_DIR still exclude each other, since both
    // lock the folder that holds their data.
    TGuardFolders folders;
    const QString otherRuntime = folders.dir.MakeDir("other-run");
    TInstanceGuard first(folders.program, folders.runtime);
    ASSERT_TRUE(first.Start());
    TInstanceGuard second(folders.program, otherRuntime);
    EXPECT_FALSE(second.Start());
    EXPECT_TRUE(second.HandOverFailed());  // nobody listens in its runtime folder

    const QString lock = TInstanceLock::PathIn(folders.program);
    struct stat st;
    ASSERT_EQ(lstat(QFile::encodeName(lock).constData(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(InstanceGuard, AMissingProgramFolderIsMadePrivate) {
    TestDir dir;
    const QString program = dir.Sub("deep/program");
    TInstanceGuard first(program, dir.MakeDir("run"));
    ASSERT_TRUE(first.Start());
    struct stat st;
    ASSERT_EQ(stat(QFile::encodeName(program).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST(InstanceLock, NeverFollowsALinkPlantedAtTheLockName) {
    TestDir dir;
    const QString program = dir.MakeDir("program");
    const QString victim = dir.Write("victim", "keep");
    ASSERT_EQ(symlink(QFile::encodeName(victim).constData(),
                      QFile::encodeName(TInstanceLock::PathIn(program)).constData()),
              0);
    TInstanceLock lock(TInstanceLock::PathIn(program));
    EXPECT_FALSE(lock.TryAcquire());
    EXPECT_FALSE(lock.HeldElsewhere());
    EXPECT_EQ(dir.Read("victim"), "keep");

    // The program runs (on its defaults) rather than refusing to start.
    TInstanceGuard guard(program, dir.MakeDir("run"));
    EXPECT_TRUE(guard.Start());
}

TEST(InstanceGuard, ACrashedFirstInstanceNeverBlocksTheNextStart) {
    TGuardFolders folders;
    ASSERT_TRUE(MakePrivateFolder(folders.program));
    // Another process holds the lock: flock(1) from util-linux, killed without warning.
    // With --close only flock itself holds it, not the command it runs (which ends when
    // its input closes).
    QProcess holder;
    holder.start(
        QStringLiteral("flock"),
        {QStringLiteral("--close"), TInstanceLock::PathIn(folders.program), QStringLiteral("sh"),
         QStringLiteral("-c"), QStringLiteral("echo held; exec cat")});
    ASSERT_TRUE(holder.waitForReadyRead(10000)) << "flock(1) did not start";
    ASSERT_EQ(holder.readAllStandardOutput().trimmed(), "held");
    {
        TInstanceGuard blocked(folders.program, folders.runtime);
        EXPECT_FALSE(blocked.Start());          // the lock is held while the holder lives
        EXPECT_TRUE(blocked.HandOverFailed());  // and nobody listens to take the hand-over
    }
    holder.kill();
    ASSERT_TRUE(holder.waitForFinished(10000));
    holder.closeWriteChannel();
    TInstanceGuard next(folders.program, folders.runtime);
    EXPECT_TRUE(next.Start());
}

}  // namespace
