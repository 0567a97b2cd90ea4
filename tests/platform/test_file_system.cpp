// File facts from the operating system: sizes, identity, kinds, links, free space, volume
// kind; names reached by their bytes.
#include "platform/file_system.h"
#include "platform/native_name.h"
#include "support/test_dir.h"

#include <QFile>

#include <cerrno>

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

// A name that is not UTF-8, in the program's text form, and its bytes.
QString RawName(const TestDir& dir, const char* stem) {
    return DecodeNativeName(EncodeNativeName(dir.Path()) + '/' + stem + "\xE9");
}
QByteArray Bytes(const QString& path) {
    return EncodeNativeName(path);
}

TEST(FileKinds, RegularFilesAndFoldersByTheBytesOfTheirNames) {
    TestDir dir;
    const QString file = RawName(dir, "file");
    const QString folder = RawName(dir, "folder");
    const QString fifo = RawName(dir, "fifo");
    const int fd = open(Bytes(file).constData(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "12345", 5), 5);
    close(fd);
    ASSERT_EQ(mkdir(Bytes(folder).constData(), 0700), 0);
    ASSERT_EQ(mkfifo(Bytes(fifo).constData(), 0600), 0);
    ASSERT_EQ(symlink(Bytes(file).constData(), Bytes(RawName(dir, "link")).constData()), 0);

    EXPECT_TRUE(IsRegularFile(file));
    EXPECT_TRUE(IsRegularFile(RawName(dir, "link")));
    EXPECT_FALSE(IsRegularFile(folder));
    EXPECT_FALSE(IsRegularFile(fifo));
    EXPECT_FALSE(IsRegularFile(RawName(dir, "missing")));
    EXPECT_FALSE(IsRegularFile(""));
    EXPECT_TRUE(IsFolder(folder));
    EXPECT_FALSE(IsFolder(file));
    EXPECT_FALSE(IsFolder(""));
    EXPECT_EQ(FileSize64(file), 5);
    EXPECT_TRUE(IsSameFile(file, RawName(dir, "link")));

    const int opened = OpenRegularFile(file);
    ASSERT_GE(opened, 0);
    char buffer[8];
    EXPECT_EQ(read(opened, buffer, sizeof buffer), 5);
    close(opened);
    // A FIFO without a writer is refused at once, not waited on.
    for (const QString& refused : {fifo, folder}) {
        errno = 0;
        const int result = OpenRegularFile(refused);
        const int error = errno;
        EXPECT_EQ(result, -1);
        EXPECT_EQ(error, EINVAL);
    }
    const int missing = OpenRegularFile(RawName(dir, "missing"));
    const int error = errno;
    EXPECT_EQ(missing, -1);
    EXPECT_EQ(error, ENOENT);
}

TEST(FollowLinks, ToTheFileALinkNamesWithEveryByteKept) {
    TestDir dir;
    const QString real = RawName(dir, "real");
    const QString relative = RawName(dir, "relative");
    const QString chain = RawName(dir, "chain");
    const QString dangling = RawName(dir, "dangling");
    ASSERT_EQ(close(open(Bytes(real).constData(), O_CREAT | O_WRONLY, 0600)), 0);
    ASSERT_EQ(symlink("real\xE9", Bytes(relative).constData()), 0);
    ASSERT_EQ(symlink(Bytes(relative).constData(), Bytes(chain).constData()), 0);
    ASSERT_EQ(symlink("not-yet\xE9", Bytes(dangling).constData()), 0);
    const QString loopA = dir.Sub("loop-a");
    ASSERT_EQ(symlink("loop-b", Bytes(loopA).constData()), 0);
    ASSERT_EQ(symlink("loop-a", Bytes(dir.Sub("loop-b")).constData()), 0);

    EXPECT_EQ(FollowLinks(real), real);
    EXPECT_EQ(FollowLinks(relative), real);
    EXPECT_EQ(FollowLinks(chain), real);
    EXPECT_EQ(FollowLinks(dangling), RawName(dir, "not-yet"));
    EXPECT_EQ(FollowLinks(dir.Sub("missing")), dir.Sub("missing"));
    EXPECT_EQ(FollowLinks(loopA), loopA);
    EXPECT_EQ(FollowLinks("relative-name"), "relative-name");
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
