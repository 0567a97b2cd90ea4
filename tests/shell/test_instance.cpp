// The single-instance guard and the shared block it keeps the running instance's identity
// in.
#include "shell/errors.h"
#include "shell/instance_guard.h"
#include "shell/map_stream.h"
#include "support/test_dir.h"

#include <QLocalSocket>
#include <QSignalSpy>
#include <QtTest/QTest>

#include <csignal>
#include <sys/file.h>
#include <sys/wait.h>
#include <fcntl.h>
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

TEST(InstanceGuard, SecondStartHandsOverAndEnds) {
    TestDir runtime;
    TInstanceGuard first(runtime.Path());
    ASSERT_TRUE(first.Start());
    QSignalSpy raised(&first, &TInstanceGuard::raiseRequested);
    QSignalSpy quit(&first, &TInstanceGuard::quitRequested);
    {
        TInstanceGuard second(runtime.Path());
        EXPECT_FALSE(second.Start());
        EXPECT_FALSE(second.HandOverFailed());
    }
    EXPECT_TRUE(raised.wait(3000) || raised.count() == 1);
    EXPECT_EQ(quit.count(), 0);
    EXPECT_TRUE(TInstanceGuard::SendQuit(runtime.Path()));
    EXPECT_TRUE(quit.wait(3000) || quit.count() == 1);
}

TEST(InstanceGuard, AfterTheFirstEndsTheNextStartIsFirstAgain) {
    TestDir runtime;
    {
        TInstanceGuard first(runtime.Path());
        ASSERT_TRUE(first.Start());
    }
    TInstanceGuard again(runtime.Path());
    EXPECT_TRUE(again.Start());
    EXPECT_FALSE(TInstanceGuard::SendQuit(runtime.Path() + "/elsewhere"));
}

TEST(InstanceGuard, ACrashedFirstInstanceNeverBlocksTheNextStart) {
    TestDir runtime;
    const QByteArray lockPath =
        (runtime.Path() + QStringLiteral("/quiva-tessaline-%1.lock").arg(getuid())).toLocal8Bit();
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int fd = open(lockPath.constData(), O_RDWR | O_CREAT, 0600);
        flock(fd, LOCK_EX);
        [[maybe_unused]] const ssize_t n = write(ready[1], "x", 1);
        pause();
        _exit(0);
    }
    char byte;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    {
        TInstanceGuard blocked(runtime.Path());
        EXPECT_FALSE(blocked.Start());  // the lock is held while the holder lives
        EXPECT_TRUE(blocked.HandOverFailed());  // and nobody listens to take the hand-over
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    TInstanceGuard next(runtime.Path());
    EXPECT_TRUE(next.Start());
    close(ready[0]);
    close(ready[1]);
}

}  // namespace
