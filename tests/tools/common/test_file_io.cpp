// Shared file access of the file tools: regular-file sources, fast copying with its
// fallback, and replacing a file only once its new content is complete.
#include "support/test_dir.h"
#include "tools/common/file_io.h"
#include "tools/common/file_tool_test_support.h"

#include <QFileInfo>

#include <vector>

#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

using namespace file_tool_test;

QByteArray Pattern(int size) {
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>(i * 7 + i / 251);
    }
    return bytes;
}

// An output file opened for writing; with `append` the kernel refuses copy_file_range
// into it, which exercises the read/write path.
int OpenOutput(const QString& path, bool append) {
    return open(Native(path).constData(),
                O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | (append ? O_APPEND : 0), 0600);
}

TEST(SourceFile, TakesRegularFilesOnly) {
    TestDir dir;
    const QString file = dir.Write("file", "12345");
    ASSERT_TRUE(MakeSymLink(file, dir.Sub("link")));
    ASSERT_TRUE(MakeFifo(dir.Sub("fifo")));
    dir.MakeDir("folder");

    TSourceFile source;
    ASSERT_TRUE(source.Open(file));
    EXPECT_EQ(source.Size(), 5);
    EXPECT_TRUE(source.Open(dir.Sub("link")));
    // A FIFO without a writer would block a plain open for ever.
    EXPECT_FALSE(source.Open(dir.Sub("fifo")));
    EXPECT_FALSE(source.Open(dir.Sub("folder")));
    EXPECT_FALSE(source.Open(dir.Sub("missing")));
    EXPECT_FALSE(source.Open(""));
    EXPECT_EQ(source.Handle(), -1);
}

TEST(CopyBytes, BothPathsCopyTheSameRanges) {
    TestDir dir;
    const QByteArray content = Pattern(3 * 1048576 + 17);  // more than one buffer
    TSourceFile source;
    ASSERT_TRUE(source.Open(dir.Write("source", content)));
    struct Case {
        qint64 offset;
        qint64 length;
    };
    const Case cases[] = {{0, content.size()}, {5, 1}, {1048575, 2 * 1048576 + 3}, {0, 0}};
    for (bool append : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << "append " << append << " offset " << c.offset);
            const QString out = dir.Sub("out");
            const int fd = OpenOutput(out, append);
            ASSERT_GE(fd, 0);
            EXPECT_FALSE(CopyBytes(source.Handle(), c.offset, fd, c.length).has_value());
            close(fd);
            EXPECT_EQ(dir.Read("out"), content.mid(c.offset, c.length));
        }
    }
}

TEST(CopyBytes, OffsetsBeyondFourGiB) {
    TestDir dir;
    const qint64 size = 4294967296LL + 10;
    ASSERT_TRUE(MakeSparse(dir.Sub("sparse"), size, "0123456789"));
    TSourceFile source;
    ASSERT_TRUE(source.Open(dir.Sub("sparse")));
    EXPECT_EQ(source.Size(), size);
    const int fd = OpenOutput(dir.Sub("tail"), false);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(CopyBytes(source.Handle(), size - 12, fd, 12).has_value());
    close(fd);
    EXPECT_EQ(dir.Read("tail"), QByteArray(2, '\0') + "0123456789");
}

TEST(CopyBytes, NamesTheFailingSide) {
    TestDir dir;
    TSourceFile source;
    ASSERT_TRUE(source.Open(dir.Write("source", Pattern(5000))));

    // A source shorter than asked for: a read fault, after copying what there was.
    int fd = OpenOutput(dir.Sub("short"), false);
    std::optional<TCopyFault> fault = CopyBytes(source.Handle(), 4000, fd, 2000);
    close(fd);
    ASSERT_TRUE(fault.has_value());
    EXPECT_EQ(fault->side, TCopyFault::kRead);
    EXPECT_EQ(fault->text, kUnexpectedEndText);
    EXPECT_EQ(dir.Read("short").size(), 1000);

    // A destination that cannot grow: a write fault with the system's text.
    for (bool append : {false, true}) {
        fd = OpenOutput(dir.Sub("limited"), append);
        {
            TWriteLimit limit(1024);
            fault = CopyBytes(source.Handle(), 0, fd, 5000);
        }
        close(fd);
        ASSERT_TRUE(fault.has_value());
        EXPECT_EQ(fault->side, TCopyFault::kWrite);
        EXPECT_EQ(fault->text, "File too large");
    }
}

TEST(CopyToEnd, CopiesWhateverIsThere) {
    TestDir dir;
    for (int size : {0, 1, 1048577}) {
        const QByteArray content = Pattern(size);
        TSourceFile source;
        ASSERT_TRUE(source.Open(dir.Write("source", content)));
        for (bool append : {false, true}) {
            const int fd = OpenOutput(dir.Sub("out"), append);
            qint64 copied = -1;
            EXPECT_FALSE(CopyToEnd(source.Handle(), fd, copied).has_value());
            close(fd);
            EXPECT_EQ(copied, size);
            EXPECT_EQ(dir.Read("out"), content);
        }
    }
}

TEST(WriteZeros, WritesExactlyTheCount) {
    TestDir dir;
    const int fd = OpenOutput(dir.Sub("zeros"), false);
    ASSERT_TRUE(WriteAll(fd, "ab", 2) == std::nullopt);
    EXPECT_FALSE(WriteZeros(fd, 1048576 + 3).has_value());
    close(fd);
    EXPECT_EQ(dir.Read("zeros"), "ab" + QByteArray(1048576 + 3, '\0'));
}

TEST(ReplacementFile, OldContentStaysUntilCommit) {
    TestDir dir;
    const QString target = dir.Write("target", "old");
    ASSERT_TRUE(MakeHardLink(target, dir.Sub("other-name")));
    {
        TReplacementFile output(target);
        ASSERT_TRUE(output.Open());
        ASSERT_TRUE(WriteAll(output.Handle(), "new content", 11) == std::nullopt);
        EXPECT_EQ(dir.Read("target"), "old");
        // The new content has no name yet: nothing is left behind should the program die.
        EXPECT_EQ(Names(dir.Path()), QStringList({"other-name", "target"}));
        ASSERT_TRUE(output.Commit());
    }
    EXPECT_EQ(dir.Read("target"), "new content");
    // The target is a new file: another name of the old one keeps the old content.
    EXPECT_EQ(dir.Read("other-name"), "old");
    EXPECT_EQ(ModeOf(target), 0666 & ~CurrentUmask());
    EXPECT_EQ(Names(dir.Path()), QStringList({"other-name", "target"}));
}

TEST(ReplacementFile, ReservedRoomNotUsedIsGivenBack) {
    TestDir dir;
    TReplacementFile output(dir.Sub("out"));
    ASSERT_TRUE(output.Open());
    output.Reserve(64 * 1048576);
    ASSERT_TRUE(WriteAll(output.Handle(), "12345", 5) == std::nullopt);
    ASSERT_TRUE(output.Commit());
    EXPECT_EQ(dir.Read("out"), "12345");
    struct stat st;
    ASSERT_EQ(stat(Native(dir.Sub("out")).constData(), &st), 0);
    EXPECT_LT(st.st_blocks * 512, 1048576);
}

TEST(ReplacementFile, KeepsTheOldPermissions) {
    TestDir dir;
    const QString target = dir.Write("private", "secret");
    ASSERT_EQ(chmod(Native(target).constData(), 0600), 0);
    TReplacementFile output(target);
    ASSERT_TRUE(output.Open());
    ASSERT_TRUE(WriteAll(output.Handle(), "new secret", 10) == std::nullopt);
    ASSERT_TRUE(output.Commit());
    EXPECT_EQ(dir.Read("private"), "new secret");
    EXPECT_EQ(ModeOf(target), 0600);
}

TEST(ReplacementFile, ReplacesALinkNeverWhatItPointsAt) {
    TestDir dir;
    const QString real = dir.Write("data/real", "old");
    ASSERT_EQ(chmod(Native(real).constData(), 0600), 0);
    ASSERT_TRUE(MakeSymLink(real, dir.Sub("link")));
    ASSERT_TRUE(MakeSymLink("data/real", dir.Sub("relative")));
    ASSERT_TRUE(MakeSymLink(dir.Sub("data/not-yet"), dir.Sub("dangling")));
    ASSERT_TRUE(MakeSymLink(dir.Sub("loop"), dir.Sub("loop")));
    ASSERT_TRUE(MakeFifo(dir.Sub("data/fifo")));
    ASSERT_TRUE(MakeSymLink(dir.Sub("data/fifo"), dir.Sub("to-fifo")));
    for (const char* name : {"link", "relative", "dangling", "loop", "to-fifo"}) {
        SCOPED_TRACE(name);
        TReplacementFile output(dir.Sub(name));
        ASSERT_TRUE(output.Open()) << output.ErrorText().toStdString();
        ASSERT_TRUE(WriteAll(output.Handle(), name, qstrlen(name)) == std::nullopt);
        // What the link points at is untouched until and after the commit.
        EXPECT_EQ(dir.Read("data/real"), "old");
        ASSERT_TRUE(output.Commit()) << output.ErrorText().toStdString();
        EXPECT_EQ(KindOf(dir.Sub(name)), S_IFREG);
        EXPECT_EQ(dir.Read(name), name);
        // A link has no permission bits of its own: the new file gets the usual ones.
        EXPECT_EQ(ModeOf(dir.Sub(name)), 0666 & ~CurrentUmask());
    }
    EXPECT_EQ(dir.Read("data/real"), "old");
    EXPECT_EQ(ModeOf(real), 0600);
    EXPECT_EQ(KindOf(dir.Sub("data/fifo")), S_IFIFO);
    // The dangling link made no file where it pointed.
    EXPECT_EQ(Names(dir.Sub("data")), QStringList({"fifo", "real"}));
}

TEST(ReplacementFile, AFolderSwappedForALinkAfterOpenIsNotFollowed) {
    TestDir dir;
    dir.MakeDir("out");
    dir.Write("elsewhere/piece", "theirs");
    TReplacementFile output(dir.Sub("out/piece"));
    ASSERT_TRUE(output.Open());
    ASSERT_TRUE(WriteAll(output.Handle(), "mine", 4) == std::nullopt);
    // The destination folder is moved away and a link to another folder put in its place.
    ASSERT_EQ(rename(Native(dir.Sub("out")).constData(), Native(dir.Sub("moved")).constData()), 0);
    ASSERT_TRUE(MakeSymLink(dir.Sub("elsewhere"), dir.Sub("out")));
    ASSERT_TRUE(output.Commit());
    EXPECT_EQ(dir.Read("elsewhere/piece"), "theirs");
    EXPECT_EQ(dir.Read("moved/piece"), "mine");
}

TEST(ReplacementFile, UncommittedWorkLeavesNothing) {
    TestDir dir;
    const QString target = dir.Write("target", "old");
    {
        TReplacementFile output(target);
        ASSERT_TRUE(output.Open());
        ASSERT_TRUE(WriteAll(output.Handle(), "partial", 7) == std::nullopt);
    }
    EXPECT_EQ(dir.Read("target"), "old");
    {
        TReplacementFile output(dir.Sub("new"));
        ASSERT_TRUE(output.Open());
        output.Discard();
        output.Discard();
    }
    EXPECT_EQ(Names(dir.Path()), QStringList({"target"}));
}

TEST(ReplacementFile, RefusesWhatCannotBeReplaced) {
    TestDir dir;
    dir.MakeDir("folder");
    TReplacementFile folder(dir.Sub("folder"));
    EXPECT_FALSE(folder.Open());
    EXPECT_FALSE(folder.ErrorText().isEmpty());
    TReplacementFile missingFolder(dir.Sub("missing/file"));
    EXPECT_FALSE(missingFolder.Open());
    TReplacementFile notOpened(dir.Sub("file"));
    EXPECT_FALSE(notOpened.Commit());
    EXPECT_EQ(Names(dir.Path()), QStringList({"folder"}));
}

TEST(ReplacementFile, NeverReplacesASpecialFile) {
    TestDir dir;
    ASSERT_TRUE(MakeFifo(dir.Sub("fifo")));
    ASSERT_TRUE(MakeSocket(dir.Sub("socket")));
    dir.MakeDir("data");
    ASSERT_TRUE(MakeFifo(dir.Sub("data/fifo")));
    struct Case {
        const char* name;
        const char* checked;  // what stays as it was
        int kind;
    };
    std::vector<Case> cases = {
        {"fifo", "fifo", S_IFIFO},
        {"socket", "socket", S_IFSOCK},
        {"data/fifo", "data/fifo", S_IFIFO},
    };
    // A device node too, where this process may make one (the null device's numbers).
    if (mknod(Native(dir.Sub("device")).constData(), S_IFCHR | 0600, makedev(1, 3)) == 0) {
        cases.push_back({"device", "device", S_IFCHR});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TReplacementFile output(dir.Sub(c.name));
        EXPECT_FALSE(output.Open());
        EXPECT_FALSE(output.ErrorText().isEmpty());
        EXPECT_FALSE(output.Commit());
        EXPECT_EQ(KindOf(dir.Sub(c.checked)), c.kind);
    }
    EXPECT_EQ(NativeNames(dir.Sub("data")), QList<QByteArray>({"fifo"}));
}

TEST(ReplacementFile, CommitRefusesASpecialFilePutThereMeanwhile) {
    TestDir dir;
    const QString target = dir.Sub("target");
    TReplacementFile output(target);
    ASSERT_TRUE(output.Open());
    ASSERT_TRUE(WriteAll(output.Handle(), "new", 3) == std::nullopt);
    ASSERT_TRUE(MakeFifo(target));
    EXPECT_FALSE(output.Commit());
    EXPECT_FALSE(output.ErrorText().isEmpty());
    EXPECT_EQ(KindOf(target), S_IFIFO);
    EXPECT_EQ(Names(dir.Path()), QStringList({"target"}));
}

TEST(ReplacementFile, NamesThatAreNotUtf8) {
    TestDir dir;
    // A link whose name and (relative) target are not UTF-8: the link is replaced and the
    // file it names stays.
    const QString real = dir.Sub(Latin1Name("real"));
    const QString link = dir.Sub(Latin1Name("link"));
    ASSERT_TRUE(WriteNative(real, "old"));
    ASSERT_EQ(symlink(Native(Latin1Name("real")).constData(), Native(link).constData()), 0);
    const QString plain = dir.Sub(Latin1Name());
    for (const QString& target : {link, plain}) {
        TReplacementFile output(target);
        ASSERT_TRUE(output.Open()) << output.ErrorText().toStdString();
        ASSERT_TRUE(WriteAll(output.Handle(), "new", 3) == std::nullopt);
        ASSERT_TRUE(output.Commit()) << output.ErrorText().toStdString();
    }
    EXPECT_EQ(ReadNative(real), "old");
    EXPECT_EQ(ReadNative(link), "new");
    EXPECT_EQ(ReadNative(plain), "new");
    EXPECT_EQ(KindOf(link), S_IFREG);
    EXPECT_EQ(NativeNames(dir.Path()),
              QList<QByteArray>({"caf\xE9.bin", "link\xE9.bin", "real\xE9.bin"}));

    TSourceFile source;
    ASSERT_TRUE(source.Open(link));
    EXPECT_EQ(source.Size(), 3);
}

TEST(Paths, FolderAndNameParts) {
    struct Case {
        const char* path;
        const char* folder;
        const char* name;
    };
    const Case cases[] = {
        {"/home/u/movie.avi", "/home/u", "movie.avi"},
        {"/movie.avi", "/", "movie.avi"},
        {"movie.avi", "", "movie.avi"},
        {"/home/u/", "/home/u", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FolderPart(c.path), c.folder) << c.path;
        EXPECT_EQ(NamePart(c.path), c.name) << c.path;
    }
}

TEST(Paths, ExistsAsNonFolder) {
    TestDir dir;
    const QString file = dir.Write("file", "x");
    dir.MakeDir("folder");
    ASSERT_TRUE(MakeSymLink(dir.Sub("folder"), dir.Sub("to-folder")));
    ASSERT_TRUE(MakeSymLink(dir.Sub("gone"), dir.Sub("dangling")));
    ASSERT_TRUE(MakeFifo(dir.Sub("fifo")));
    EXPECT_TRUE(ExistsAsNonFolder(file));
    EXPECT_TRUE(ExistsAsNonFolder(dir.Sub("dangling")));
    EXPECT_TRUE(ExistsAsNonFolder(dir.Sub("fifo")));
    EXPECT_FALSE(ExistsAsNonFolder(dir.Sub("folder")));
    EXPECT_FALSE(ExistsAsNonFolder(dir.Sub("to-folder")));
    EXPECT_FALSE(ExistsAsNonFolder(dir.Sub("gone")));
    EXPECT_FALSE(ExistsAsNonFolder(""));
}

}  // namespace
