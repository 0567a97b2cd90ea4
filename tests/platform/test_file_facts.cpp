// One entry's facts, its times set one by one, and the rename that never replaces another
// entry, on real files.
#include "platform/file_facts.h"
#include "support/test_dir.h"

#include <QDir>
#include <QFile>

#include <cerrno>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

TEST(FileFacts, KindsSizesAndLinks) {
    TestDir dir;
    const QString file = dir.Write("file.txt", "12345");
    dir.MakeDir("folder");
    ASSERT_EQ(symlink(qPrintable(file), qPrintable(dir.Sub("link"))), 0);
    TFileFacts facts;
    ASSERT_TRUE(ReadFileFacts(file, facts));
    EXPECT_TRUE(facts.isRegular);
    EXPECT_FALSE(facts.isLink);
    EXPECT_EQ(facts.size, 5);
    ASSERT_TRUE(ReadFileFacts(dir.Sub("folder"), facts));
    EXPECT_TRUE(facts.isFolder);
    ASSERT_TRUE(ReadFileFacts(dir.Sub("link"), facts));
    EXPECT_TRUE(facts.isLink);  // the link itself, not what it names
    EXPECT_FALSE(facts.isRegular);
    EXPECT_FALSE(ReadFileFacts(dir.Sub("missing"), facts));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(CanonicalPath(dir.Sub("folder/../link")), CanonicalPath(file));
    EXPECT_EQ(CanonicalPath(dir.Sub("missing")), QString());
}

TEST(FileFacts, TimesAreSetOneByOneAndNeverThroughALink) {
    TestDir dir;
    const QString file = dir.Write("file.txt", "x");
    dir.SetTimes("file.txt", QDateTime::fromSecsSinceEpoch(1000000000));
    ASSERT_EQ(SetEntryTimes(file, TFileTime{1100000000, 0}, std::nullopt), 0);
    TFileFacts facts;
    ASSERT_TRUE(ReadFileFacts(file, facts));
    EXPECT_EQ(facts.accessed.seconds, 1100000000);
    EXPECT_EQ(facts.modified.seconds, 1000000000);
    ASSERT_EQ(SetEntryTimes(file, std::nullopt, TFileTime{1200000000, 500}), 0);
    ASSERT_TRUE(ReadFileFacts(file, facts));
    EXPECT_EQ(facts.accessed.seconds, 1100000000);
    EXPECT_EQ(facts.modified, (TFileTime{1200000000, 500}));

    ASSERT_EQ(symlink(qPrintable(file), qPrintable(dir.Sub("link"))), 0);
    ASSERT_EQ(SetEntryTimes(dir.Sub("link"), std::nullopt, TFileTime{1300000000, 0}), 0);
    ASSERT_TRUE(ReadFileFacts(file, facts));
    EXPECT_EQ(facts.modified.seconds, 1200000000);
    EXPECT_EQ(SetEntryTimes(dir.Sub("missing"), std::nullopt, TFileTime{1, 0}), ENOENT);
}

TEST(FileFacts, ARenameNeverReplacesAnotherEntry) {
    TestDir dir;
    const QString a = dir.Write("a.txt", "a");
    const QString b = dir.Write("b.txt", "b");
    EXPECT_EQ(RenameWithoutReplacing(a, b), EEXIST);
    EXPECT_EQ(dir.Read("a.txt"), "a");
    EXPECT_EQ(dir.Read("b.txt"), "b");
    EXPECT_EQ(RenameWithoutReplacing(a, a), 0);  // a name to itself: nothing to do
    EXPECT_EQ(RenameWithoutReplacing(a, dir.Sub("c.txt")), 0);
    EXPECT_EQ(dir.Read("c.txt"), "a");
    EXPECT_FALSE(QFile::exists(a));
    EXPECT_EQ(RenameWithoutReplacing(dir.Sub("missing"), dir.Sub("d.txt")), ENOENT);

    // Two names of one file (as a file system that ignores case shows a name in another
    // case): the way through a hidden name is taken, finds the new name taken, and goes back.
    ASSERT_EQ(link(qPrintable(b), qPrintable(dir.Sub("B.TXT"))), 0);
    EXPECT_EQ(RenameWithoutReplacing(b, dir.Sub("B.TXT")), EEXIST);
    EXPECT_EQ(QDir(dir.Path()).entryList(QDir::Files | QDir::Hidden, QDir::Name),
              QStringList({"B.TXT", "b.txt", "c.txt"}));
}

}  // namespace
