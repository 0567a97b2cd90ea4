// File facts from the operating system: sizes, identity, free space, volume kind.
#include "platform/file_system.h"
#include "support/test_dir.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

TEST(FileSize64, RegularFilesOnlyWithFullWidth) {
    TestDir dir;
    EXPECT_EQ(FileSize64(dir.Write("five", "12345")), 5);
    EXPECT_EQ(FileSize64(dir.Write("empty", "")), 0);
    EXPECT_EQ(FileSize64(dir.Path()), 0);
    EXPECT_EQ(FileSize64(dir.Sub("missing")), 0);
    EXPECT_EQ(FileSize64(""), 0);
    const QByteArray fifo = dir.Sub("fifo").toLocal8Bit();
    ASSERT_EQ(mkfifo(fifo.constData(), 0600), 0);
    EXPECT_EQ(FileSize64(dir.Sub("fifo")), 0);

    // A sparse file of 4 GiB + 10 bytes: the whole size, not its low 32 bits.
    const QString big = dir.Sub("big");
    const int fd = open(big.toLocal8Bit().constData(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 4294967306LL), 0);
    close(fd);
    EXPECT_EQ(FileSize64(big), 4294967306LL);
}

TEST(IsSameFile, ByDeviceAndInode) {
    TestDir dir;
    const QString a = dir.Write("a", "x");
    const QString b = dir.Write("b", "x");
    ASSERT_EQ(link(a.toLocal8Bit().constData(), dir.Sub("hard").toLocal8Bit().constData()), 0);
    ASSERT_EQ(symlink(a.toLocal8Bit().constData(), dir.Sub("soft").toLocal8Bit().constData()), 0);
    EXPECT_TRUE(IsSameFile(a, dir.Sub("hard")));
    EXPECT_TRUE(IsSameFile(a, dir.Sub("soft")));
    EXPECT_TRUE(IsSameFile(a, dir.Sub("./a")));
    EXPECT_FALSE(IsSameFile(a, b));
    EXPECT_FALSE(IsSameFile(a, dir.Sub("A")));
    EXPECT_TRUE(IsSameFile(dir.Sub("gone/"), dir.Sub("gone")));
    EXPECT_FALSE(IsSameFile(dir.Sub("gone"), dir.Sub("Gone")));
}

TEST(FreeSpace, ThresholdAndFailures) {
    EXPECT_FALSE(IsEnoughFreeSpace(16777215));
    EXPECT_TRUE(IsEnoughFreeSpace(16777216));
    TestDir dir;
    ASSERT_TRUE(FreeBytes(dir.Path()).has_value());
    // A file that does not exist yet is measured on its folder.
    EXPECT_EQ(FreeBytes(dir.Sub("not-yet/file")).has_value(), true);
    EXPECT_FALSE(HasFreeSpace(""));
}

TEST(IsFatVolume, OrdinaryFoldersAreNotFat) {
    TestDir dir;
    EXPECT_FALSE(IsFatVolume(dir.Path()));
    EXPECT_FALSE(IsFatVolume(dir.Sub("not-yet-made.txt")));
}

}  // namespace
