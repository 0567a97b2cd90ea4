// Careful file access: listings that tell links and special files apart, whole-file reads
// that refuse FIFOs without blocking and notice a file that changes while read.
#include "platform/file_access.h"
#include "support/test_dir.h"

#include <QDateTime>
#include <QFileInfo>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

TEST(FileAccess, ListingSortsAndClassifiesEntries) {
    TestDir dir;
    dir.Write("b.txt", "b");
    dir.Write("A.txt", "a");
    dir.MakeDir("folder");
    ASSERT_EQ(mkfifo(qPrintable(dir.Sub("fifo")), 0600), 0);
    ASSERT_EQ(symlink(qPrintable(dir.Sub("folder")), qPrintable(dir.Sub("to-folder"))), 0);
    ASSERT_EQ(symlink(qPrintable(dir.Sub("b.txt")), qPrintable(dir.Sub("to-file"))), 0);
    ASSERT_EQ(symlink(qPrintable(dir.Sub("nothing")), qPrintable(dir.Sub("dangling"))), 0);

    QList<TFolderEntry> entries;
    ASSERT_TRUE(ListFolder(dir.Path(), entries));
    QStringList names;
    QList<int> kinds;
    for (const TFolderEntry& entry : entries) {
        names << entry.name;
        kinds << entry.kind;
    }
    EXPECT_EQ(names, QStringList(
                         {"A.txt", "b.txt", "dangling", "fifo", "folder", "to-file", "to-folder"}));
    EXPECT_EQ(kinds, QList<int>({kEntryFile, kEntryFile, kEntryMissing, kEntrySpecial, kEntryFolder,
                                 kEntryFile, kEntryLinkToFolder}));
    EXPECT_EQ(EntryKind(dir.Sub("to-folder")), kEntryLinkToFolder);
    EXPECT_EQ(EntryKind(dir.Sub("missing")), kEntryMissing);
    EXPECT_FALSE(ListFolder(dir.Sub("missing"), entries));
    EXPECT_TRUE(entries.isEmpty());
}

TEST(FileAccess, ReadsRegularFilesOnly) {
    TestDir dir;
    QByteArray content;
    EXPECT_EQ(ReadRegularFile(dir.Write("plain", "hello"), 100, content), kReadOk);
    EXPECT_EQ(content, "hello");
    EXPECT_EQ(ReadRegularFile(dir.Write("empty", ""), 100, content), kReadOk);
    EXPECT_TRUE(content.isEmpty());
    EXPECT_EQ(ReadRegularFile(dir.WriteSized("big", 101), 100, content), kReadTooLarge);
    EXPECT_EQ(ReadRegularFile(dir.Sub("missing"), 100, content), kReadMissing);
    EXPECT_EQ(ReadRegularFile(dir.MakeDir("folder"), 100, content), kReadNotRegular);
    // A FIFO with no writer would block an open for reading for ever.
    ASSERT_EQ(mkfifo(qPrintable(dir.Sub("fifo")), 0600), 0);
    EXPECT_EQ(ReadRegularFile(dir.Sub("fifo"), 100, content), kReadNotRegular);
    EXPECT_TRUE(content.isEmpty());
}

TEST(FileAccess, AFileThatGrowsWhileReadIsRefused) {
    // The kernel's status files say size 0 and then deliver text: to the reader that is a
    // file that grew after its size was taken.
    QByteArray content;
    EXPECT_EQ(ReadRegularFile("/proc/self/status", 1 << 20, content), kReadChanged);
    EXPECT_TRUE(content.isEmpty());
}

TEST(FileAccess, AppliesAccessAndWriteTimes) {
    TestDir dir;
    const QString path = dir.Write("dated", "x");
    ASSERT_TRUE(ApplyFileTimes(path, TFileTime{1262304000, 0}));  // 2010-01-01 00:00 UTC
    EXPECT_EQ(QFileInfo(path).lastModified().toSecsSinceEpoch(), 1262304000);
    EXPECT_EQ(QFileInfo(path).lastRead().toSecsSinceEpoch(), 1262304000);
    EXPECT_FALSE(ApplyFileTimes(dir.Sub("missing"), TFileTime{1, 0}));
}

}  // namespace
