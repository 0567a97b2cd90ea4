// Writing stored versions back: links at the destination are replaced, never written
// through; stored names are single plain components; modes and dates come from the
// version; a damaged version touches nothing.
#include "backup/backup_store.h"
#include "backup/version_blob.h"
#include "backup/version_restore.h"
#include "base/errors.h"
#include "platform/file_access.h"
#include "platform/native_name.h"
#include "storage/sqlite_layer.h"
#include "support/test_dir.h"
#include "support/test_host.h"

#include <QFileInfo>

#include <functional>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

const QByteArray kPassword("vompa7");
const TBlobKeys kKeys = TBlobKeys::FromPassword(kPassword);

class TTestIds : public TBackupIdSource {
public:
    int TakeVersionId() override { return nextVersion++; }
    int TakePathIds(int& versionId) override {
        versionId = TakeVersionId();
        return nextPath++;
    }
    int nextPath = 1;
    int nextVersion = 1;
};

struct TUmask {
    explicit TUmask(mode_t mask) : old(umask(mask)) {}
    ~TUmask() { umask(old); }
    mode_t old;
};

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

QString ErrorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const EQuiva& error) {
        return error.Message();
    }
    return QString();
}

class VersionRestore : public ::testing::Test {
protected:
    void SetUp() override {
        m_host = std::make_unique<TTestHost>();
        m_host->OpenStores(m_dir.Sub("prog"));
        Store().SetClock([] { return QDateTime(QDate(2011, 4, 5), QTime(6, 7, 8, 900)); });
    }
    TBackupStore& Store() { return *m_host->BackupStore(); }
    // Stores a version of fullName and returns its row as a restore finds it.
    TVersionRow Put(const QString& fullName, const QByteArray& content, int mode = -1) {
        int pathId = 0;
        EXPECT_TRUE(Store().StoreVersion(m_ids, 1, content.size(),
                                         TVersionBlob(EncodeVersion(content, true, kKeys), mode),
                                         fullName, pathId));
        return Store().FindVersion(m_ids.nextVersion - 1).value_or(TVersionRow());
    }
    void Sql(const QString& statement, const TSQLParams& params = {}) {
        TSQLTables raw(m_host->DataFolder() + "backups.db", 100, 1, false);
        raw.Exec(statement, params);
    }

    TestDir m_dir;
    std::unique_ptr<TTestHost> m_host;
    TTestIds m_ids;
};

TEST_F(VersionRestore, WhatTheNameHoldsIsReplacedOnlyWhenItMayBeAndLinksAreNeverFollowed) {
    const QString outside = m_dir.Write("outside/secret.txt", "secret");
    const QString dest = m_dir.MakeDir("dest") + "/";
    struct Case {
        const char* name;
        std::function<void(const QString& at)> plant;
        bool restored;
    };
    const Case cases[] = {
        {"new.txt", [](const QString&) {}, true},
        {"file.txt", [&](const QString&) { m_dir.Write("dest/file.txt", "old"); }, true},
        {"link.txt",
         [&](const QString& at) { ASSERT_EQ(symlink(qPrintable(outside), qPrintable(at)), 0); },
         true},
        {"dangling.txt",
         [&](const QString& at) {
             ASSERT_EQ(symlink(qPrintable(m_dir.Sub("outside/made.txt")), qPrintable(at)), 0);
         },
         true},
        {"folder.txt", [&](const QString&) { m_dir.MakeDir("dest/folder.txt/inner"); }, false},
        {"fifo.txt", [&](const QString& at) { ASSERT_EQ(mkfifo(qPrintable(at), 0600), 0); }, false},
    };
    QStringList names;
    for (const Case& c : cases) {
        const QString at = dest + c.name;
        names << c.name;
        c.plant(at);
        const mode_t before = ModeOf(at);
        const TVersionRow row = Put(at, "restored content");
        const QString error = ErrorOf([&] { RestoreVersionFile(Store(), row, kPassword, false); });
        if (c.restored) {
            EXPECT_EQ(error, QString()) << c.name;
            EXPECT_TRUE(S_ISREG(ModeOf(at))) << c.name;
            EXPECT_EQ(m_dir.Read(at), "restored content") << c.name;
        } else {
            EXPECT_EQ(error, QStringLiteral("Unable to overwrite \"%1\"").arg(at)) << c.name;
            EXPECT_EQ(ModeOf(at), before) << c.name;
        }
    }
    EXPECT_EQ(m_dir.Read(outside), "secret");
    EXPECT_EQ(NamesIn(m_dir.Sub("outside")), QStringList({"secret.txt"}));
    names.sort();
    EXPECT_EQ(NamesIn(dest), names);  // no temporaries left
    EXPECT_EQ(NamesIn(dest + "folder.txt"), QStringList({"inner"}));
}

TEST_F(VersionRestore, StoredNamesAreOnlyEverOnePlainComponentInAnAbsoluteFolder) {
    const QString home = m_dir.MakeDir("home") + "/";
    const TVersionRow row = Put(home + "good.txt", "content");
    struct Case {
        QString folder;
        QString file;
    };
    const Case cases[] = {
        {home, ""},
        {home, "."},
        {home, ".."},
        {home, "../escaped.txt"},
        {home, "sub/inner.txt"},
        {"relative/", "good.txt"},
        {home + "../", "escaped.txt"},
        {home + "a/../../", "escaped.txt"},
        {home + "./a/", "dotted.txt"},
    };
    for (const Case& c : cases) {
        Sql("UPDATE Paths SET pPath = ?, pFile = ? WHERE pID = ?",
            {c.folder, c.file, qint64(row.pathId)});
        const TVersionRow crafted = Store().FindVersion(row.versionId).value();
        ASSERT_EQ(crafted.file, c.file);
        EXPECT_EQ(ErrorOf([&] { RestoreVersionFile(Store(), crafted, kPassword, false); }),
                  "Invalid backup data")
            << qPrintable(c.folder + c.file);
    }
    EXPECT_EQ(NamesIn(home), QStringList());
    EXPECT_EQ(NamesIn(m_dir.Path()), QStringList({"home", "prog"}));

    // An extraction writes to the chosen folder: only the name matters there.
    Sql("UPDATE Paths SET pPath = ?, pFile = ? WHERE pID = ?",
        {QStringLiteral("/a/../etc/"), QStringLiteral("good.txt"), qint64(row.pathId)});
    const TVersionRow badFolder = Store().FindVersion(row.versionId).value();
    WriteVersionFile(Store(), badFolder, home + "chosen", "picked.txt", kPassword, false);
    EXPECT_EQ(m_dir.Read(home + "chosen/picked.txt"), "content");
    EXPECT_EQ(ErrorOf([&] {
                  WriteVersionFile(Store(), badFolder, home, "../picked.txt", kPassword, false);
              }),
              "Invalid backup data");
    EXPECT_EQ(NamesIn(home), QStringList({"chosen"}));
}

TEST_F(VersionRestore, ModesComeFromTheOriginalAndDatesFromTheVersion) {
    const QString dest = m_dir.Sub("made/for/it") + "/";
    struct Case {
        const char* name;
        int stored;
        mode_t restored;
        mode_t umask;
    };
    const Case cases[] = {
        {"group.txt", 0750, 0750, 077},  // the umask does not narrow it
        {"setuid.txt", 04755, 0755, 0},  // never setuid, setgid or sticky
        {"unknown.txt", -1, 0600, 0},    // an older store: private, never wider
        {"readonly.txt", 0444, 0444, 022},
    };
    for (const Case& c : cases) {
        TUmask scope(c.umask);
        const TVersionRow row = Put(dest + c.name, "moded", c.stored);
        ASSERT_EQ(row.mode, c.stored < 0 ? -1 : c.stored & 0777);
        RestoreVersionFile(Store(), row, kPassword, true);
        EXPECT_EQ(ModeOf(dest + c.name) & 07777, c.restored) << c.name;
        const QFileInfo info(dest + c.name);
        EXPECT_EQ(info.lastModified().toString("yyyy/MM/dd hh:mm:ss.zzz"),
                  "2011/04/05 06:07:08.000");
        EXPECT_EQ(info.lastRead().toString("yyyy/MM/dd hh:mm:ss"), row.DateText());
    }
    // Missing folders are made private.
    for (const QString& made :
         {m_dir.Sub("made"), m_dir.Sub("made/for"), m_dir.Sub("made/for/it")}) {
        EXPECT_EQ(ModeOf(made) & 07777, 0700u) << qPrintable(made);
    }
}

TEST_F(VersionRestore, ADamagedVersionLeavesTheDestinationAsItWas) {
    const QString at = m_dir.Write("dest/keep.txt", "current");
    const TVersionRow row = Put(at, QByteArray(5000, 'v'));
    QByteArray damaged = EncodeVersion(QByteArray(5000, 'v'), true, kKeys);
    damaged[12] = static_cast<char>(damaged[12] ^ 0x5A);
    Sql("UPDATE Data SET bData = ? WHERE bID = ?", {TSQLBlob{damaged}, qint64(row.versionId)});
    EXPECT_EQ(ErrorOf([&] { RestoreVersionFile(Store(), row, kPassword, false); }),
              "Invalid backup data");
    EXPECT_EQ(ErrorOf([&] { RestoreVersionFile(Store(), row, "", false); }),
              "The password at the time the backup was created is required!");
    EXPECT_EQ(m_dir.Read(at), "current");
    EXPECT_EQ(NamesIn(m_dir.Sub("dest")), QStringList({"keep.txt"}));
}

// The two steps the backup window takes apart: a version is decoded whole (its failures
// touch nothing), then written, and the write says how it ended.
TEST_F(VersionRestore, DecodingAndWritingAreTwoStepsThatSayHowTheyEnded) {
    const QString at = m_dir.Write("dest/keep.txt", "current");
    const TVersionRow row = Put(at, QByteArray("stored content"));
    EXPECT_EQ(ErrorOf([&] { (void)LoadVersionContent(Store(), row, ""); }),
              "The password at the time the backup was created is required!");
    EXPECT_EQ(ErrorOf([&] { (void)LoadVersionContent(Store(), row, "wrong"); }),
              "Invalid encryption password");
    TVersionRow missing = row;
    missing.versionId = 9999;
    EXPECT_EQ(ErrorOf([&] { (void)LoadVersionContent(Store(), missing, kPassword); }),
              "No valid backup data available!");
    const QByteArray content = LoadVersionContent(Store(), row, kPassword);
    EXPECT_EQ(content, "stored content");
    EXPECT_EQ(m_dir.Read(at), "current");

    QString message;
    m_dir.Write("blocker", "a file where a folder should be");
    EXPECT_EQ(WriteVersionContent(row, m_dir.Sub("blocker/sub"), "x.txt", content, false, message),
              kVersionNoFolder);
    EXPECT_EQ(message,
              QStringLiteral("Unable to access path \"%1/\"").arg(m_dir.Sub("blocker/sub")));
    EXPECT_EQ(WriteVersionContent(row, m_dir.Sub("dest"), "../x", content, false, message),
              kVersionBadName);
    EXPECT_EQ(message, "Invalid backup data");
    m_dir.MakeDir("dest/folder.txt");
    EXPECT_EQ(WriteVersionContent(row, m_dir.Sub("dest"), "folder.txt", content, false, message),
              kVersionNotWritten);
    EXPECT_EQ(message,
              QStringLiteral("Unable to overwrite \"%1\"").arg(m_dir.Sub("dest/folder.txt")));
    EXPECT_EQ(WriteVersionContent(row, m_dir.Sub("dest"), "keep.txt", content, true, message),
              kVersionWritten);
    EXPECT_TRUE(message.isEmpty());
    EXPECT_EQ(m_dir.Read(at), "stored content");
    EXPECT_EQ(QFileInfo(at).lastModified(), QDateTime(QDate(2011, 4, 5), QTime(6, 7, 8)));
}

TEST(PasswordBytes, AreTheLocalEightBitFormOfWhatIsTyped) {
    EXPECT_EQ(PasswordBytes(QStringLiteral("vompa7")), QByteArray("vompa7"));
    EXPECT_EQ(PasswordBytes(QStringLiteral("p\u00e4ss")), QByteArray("p\xc3\xa4ss"));
}

}  // namespace
