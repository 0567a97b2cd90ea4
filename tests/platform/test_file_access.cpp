// Careful file access: listings that tell links and special files apart, whole-file reads
// that refuse FIFOs without blocking and notice a file that changes while read, and
// writing a file into a folder without writing through links or widening permissions.
#include "platform/file_access.h"
#include "platform/native_name.h"
#include "support/test_dir.h"

#include <QDateTime>
#include <QFileInfo>

#include <pwd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>

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

TEST(FileAccess, AReadGivesTheFilesMode) {
    TestDir dir;
    const QString path = dir.Write("moded", "x");
    ASSERT_EQ(chmod(qPrintable(path), 0751), 0);
    QByteArray content;
    quint32 mode = 0;
    ASSERT_EQ(ReadRegularFile(path, 100, content, &mode), kReadOk);
    EXPECT_EQ(mode & 07777, 0751u);
    EXPECT_TRUE(S_ISREG(mode));
}

// ---- WriteFileInFolder ----------------------------------------------------------------

mode_t ModeOf(const QString& path) {
    struct stat st;
    return lstat(EncodeNativeName(path).constData(), &st) == 0 ? st.st_mode : 0;
}

QStringList NamesIn(const QString& folder) {
    QList<TFolderEntry> entries;
    QStringList names;
    if (ListFolder(folder, entries)) {
        for (const TFolderEntry& entry : entries) {
            names << entry.name;
        }
    }
    return names;
}

// Sets the umask for a scope.
struct TUmask {
    explicit TUmask(mode_t mask) : old(umask(mask)) {}
    ~TUmask() { umask(old); }
    mode_t old;
};

TEST(FileAccess, WritingReplacesOnlyFilesAndLinksAndNeverWritesThroughALink) {
    TestDir dir;
    const QString outside = dir.Write("outside/kept.txt", "outside");
    dir.MakeDir("outside/folder");
    struct Case {
        const char* what;
        std::function<void(const QString& at)> plant;
        TWriteFileResult result;
        bool replaced;  // the name holds the new regular file afterwards
    };
    const Case cases[] = {
        {"nothing", [](const QString&) {}, kWriteFileOk, true},
        {"a file", [&](const QString& at) { dir.Write(at, "old content"); }, kWriteFileOk, true},
        {"a link to a file",
         [&](const QString& at) {
             ASSERT_EQ(symlink(qPrintable(outside), qPrintable(dir.Sub(at))), 0);
         },
         kWriteFileOk, true},
        {"a dangling link",
         [&](const QString& at) {
             ASSERT_EQ(symlink(qPrintable(dir.Sub("outside/made.txt")), qPrintable(dir.Sub(at))),
                       0);
         },
         kWriteFileOk, true},
        {"a link to a folder",
         [&](const QString& at) {
             ASSERT_EQ(symlink(qPrintable(dir.Sub("outside/folder")), qPrintable(dir.Sub(at))), 0);
         },
         kWriteFileOk, true},
        {"a folder", [&](const QString& at) { dir.MakeDir(at); }, kWriteFileRefused, false},
        {"a FIFO", [&](const QString& at) { ASSERT_EQ(mkfifo(qPrintable(dir.Sub(at)), 0600), 0); },
         kWriteFileRefused, false},
    };
    int index = 0;
    for (const Case& c : cases) {
        const QString relative = QStringLiteral("case%1").arg(index++);
        const QString folder = dir.MakeDir(relative);
        const QString at = folder + "/name.txt";
        c.plant(relative + "/name.txt");
        const mode_t before = ModeOf(at);
        EXPECT_EQ(WriteFileInFolder(folder, "name.txt", "new content", 0640), c.result) << c.what;
        if (c.replaced) {
            EXPECT_TRUE(S_ISREG(ModeOf(at))) << c.what;
            EXPECT_EQ(ModeOf(at) & 07777, 0640u) << c.what;
            EXPECT_EQ(dir.Read(at), "new content") << c.what;
        } else {
            EXPECT_EQ(ModeOf(at), before) << c.what;
        }
        // No temporary is left behind, whatever happened.
        EXPECT_EQ(NamesIn(folder), QStringList({"name.txt"})) << c.what;
    }
    // Nothing was written through a link.
    EXPECT_EQ(dir.Read(outside), "outside");
    EXPECT_EQ(NamesIn(dir.Sub("outside")), QStringList({"folder", "kept.txt"}));
    EXPECT_TRUE(NamesIn(dir.Sub("outside/folder")).isEmpty());
}

TEST(FileAccess, NewFilesAndFoldersArePrivateOrAsTheOriginalWhateverTheUmask) {
    TestDir dir;
    for (const mode_t mask : {mode_t(0), mode_t(0777)}) {
        TUmask umaskScope(mask);
        const QString base = dir.Sub(QStringLiteral("u%1").arg(mask));
        const QString folder = base + "/a/b";
        struct Case {
            int mode;
            mode_t expected;
        };
        for (const Case c : {Case{-1, 0600}, Case{0640, 0640}, Case{04755, 0755}, Case{0, 0}}) {
            const QString name = QStringLiteral("f%1").arg(c.mode);
            ASSERT_EQ(WriteFileInFolder(folder, name, "x", c.mode), kWriteFileOk);
            EXPECT_EQ(ModeOf(folder + "/" + name) & 07777, c.expected) << c.mode << " " << mask;
        }
        for (const QString& made : {base, base + "/a", folder}) {
            EXPECT_EQ(ModeOf(made) & 07777, 0700u) << qPrintable(made);
        }
    }
}

TEST(FileAccess, ANameIsOnePlainComponentAndTheFolderNeverComesFromADanglingLink) {
    TestDir dir;
    const QString folder = dir.Sub("made-only-for-good-names");
    const QString bad[] = {QString(),
                           QStringLiteral("."),
                           QStringLiteral(".."),
                           QStringLiteral("a/b"),
                           QStringLiteral("/etc/passwd"),
                           QStringLiteral("nul") + QChar(0)};
    for (const QString& name : bad) {
        EXPECT_FALSE(IsPlainName(name)) << qPrintable(PrintableName(name));
        EXPECT_EQ(WriteFileInFolder(folder, name, "x", -1), kWriteFileBadName)
            << qPrintable(PrintableName(name));
    }
    EXPECT_FALSE(QFileInfo::exists(folder));
    EXPECT_TRUE(IsPlainName("..."));
    EXPECT_TRUE(IsPlainName(DecodeNativeName(QByteArray("caf\xE9\n", 5))));

    // A dangling link among the folder's components is never made into a folder.
    ASSERT_EQ(symlink(qPrintable(dir.Sub("elsewhere")), qPrintable(dir.Sub("link"))), 0);
    EXPECT_EQ(WriteFileInFolder(dir.Sub("link/sub"), "f.txt", "x", -1), kWriteFileNoFolder);
    EXPECT_FALSE(QFileInfo::exists(dir.Sub("elsewhere")));
    // A file where a folder should be.
    dir.Write("plain", "file");
    EXPECT_EQ(WriteFileInFolder(dir.Sub("plain/sub"), "f.txt", "x", -1), kWriteFileNoFolder);
    EXPECT_EQ(dir.Read("plain"), "file");
}

TEST(FileAccess, TimesAreSetAndAFailedWriteChangesNothing) {
    TestDir dir;
    const TFileTime when{1262304000, 0};  // 2010-01-01 00:00 UTC
    ASSERT_EQ(WriteFileInFolder(dir.Path(), "dated", "x", -1, &when), kWriteFileOk);
    EXPECT_EQ(QFileInfo(dir.Sub("dated")).lastModified().toSecsSinceEpoch(), when.seconds);
    EXPECT_EQ(QFileInfo(dir.Sub("dated")).lastRead().toSecsSinceEpoch(), when.seconds);

    // A write that fails half way (the file size limit) leaves the old file and no
    // temporary.
    dir.Write("kept", "old");
    struct rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto previous = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const TWriteFileResult result =
        WriteFileInFolder(dir.Path(), "kept", QByteArray(8192, 'n'), -1);
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, previous);
    EXPECT_EQ(result, kWriteFileFailed);
    EXPECT_EQ(dir.Read("kept"), "old");
    EXPECT_EQ(NamesIn(dir.Path()), QStringList({"dated", "kept"}));
}

TEST(FileAccess, AFileTheUserMayNotWriteIsLeftAlone) {
    const struct passwd* nobody = getpwnam("nobody");
    if (geteuid() != 0 || nobody == nullptr) {
        GTEST_SKIP() << "needs root to act as the user nobody";
    }
    TestDir dir;
    // Everybody may add files to the folder, but the file is root's alone.
    ASSERT_EQ(chmod(qPrintable(dir.Path()), 0777), 0);
    const QString theirs = dir.Write("theirs.txt", "root's");
    ASSERT_EQ(chmod(qPrintable(theirs), 0644), 0);
    const QString shared = dir.Write("shared.txt", "anyone's");
    ASSERT_EQ(chmod(qPrintable(shared), 0666), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0) {
            _exit(10);
        }
        if (WriteFileInFolder(dir.Path(), "theirs.txt", "nobody's", -1) != kWriteFileRefused) {
            _exit(11);
        }
        if (WriteFileInFolder(dir.Path(), "shared.txt", "nobody's", -1) != kWriteFileOk) {
            _exit(12);
        }
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(dir.Read(theirs), "root's");
    EXPECT_EQ(dir.Read(shared), "nobody's");
    EXPECT_EQ(NamesIn(dir.Path()), QStringList({"shared.txt", "theirs.txt"}));
}

}  // namespace
