// The installation key on a real application database: made once, kept for the
// installation id, remade when its owner does not match, and never handed out unless kept.
#include "base/settings_codec.h"
#include "storage/sqlite_layer.h"
#include "support/test_dir.h"
#include "support/test_host.h"

#include <QRegularExpression>

#include <gtest/gtest.h>

namespace {

bool IsKeyShaped(const QByteArray& key) {
    static const QRegularExpression shape("^[0-9A-F]{64}$");
    return shape.match(QString::fromLatin1(key)).hasMatch();
}

class InstallKey : public ::testing::Test {
protected:
    QString Folder() const { return m_dir.Sub("prog"); }
    QString Database() const { return m_dir.Sub("prog/qvde.d"); }
    TestDir m_dir;
};

TEST_F(InstallKey, MadeOnceAndKeptForTheInstallation) {
    QByteArray key;
    QByteArray installationId;
    {
        TTestHost host;
        host.OpenStores(Folder());
        installationId = host.InstallationId();
        key = host.GetInstallKey();
        EXPECT_TRUE(IsKeyShaped(key)) << key.constData();
        EXPECT_EQ(host.GetInstallKey(), key);
        EXPECT_EQ(host.ReadUserInfo("uconf", installationId), key);
        EXPECT_TRUE(host.statuses.isEmpty());
    }
    TTestHost again;
    again.OpenStores(Folder());
    EXPECT_EQ(again.InstallationId(), installationId);
    EXPECT_EQ(again.GetInstallKey(), key);

    // Another installation has another key.
    TTestHost other;
    other.OpenStores(m_dir.Sub("other"));
    const QByteArray otherKey = other.GetInstallKey();
    EXPECT_TRUE(IsKeyShaped(otherKey));
    EXPECT_NE(otherKey, key);
}

TEST_F(InstallKey, AKeyOfAnotherOwnerIsReplaced) {
    QByteArray key;
    {
        TTestHost host;
        host.OpenStores(Folder());
        key = host.GetInstallKey();
    }
    {
        TSQLTables raw(Database(), 100, 1, false);
        raw.Exec("UPDATE uInf SET uconf = ? WHERE ukey = 1", {EncodeSettings(key + "|someone")});
    }
    TTestHost host;
    host.OpenStores(Folder());
    const QByteArray replaced = host.GetInstallKey();
    EXPECT_TRUE(IsKeyShaped(replaced));
    EXPECT_NE(replaced, key);
    EXPECT_EQ(host.ReadUserInfo("uconf", host.InstallationId()), replaced);
}

TEST_F(InstallKey, NoneWithoutTheDatabase) {
    TTestHost host;
    EXPECT_TRUE(host.GetInstallKey().isEmpty());
}

TEST_F(InstallKey, NoneWhenTheNewKeyCannotBeStored) {
    TTestHost host;
    host.OpenStores(Folder());
    {
        // Another connection holds the database: the new key cannot be written.
        TSQLTables blocker(Database(), 100, 1, false);
        blocker.ExecScript("BEGIN EXCLUSIVE");
        EXPECT_TRUE(host.GetInstallKey().isEmpty());
        ASSERT_FALSE(host.statuses.isEmpty());
        EXPECT_EQ(host.statuses.last().kind, kStatusError);
        EXPECT_TRUE(host.statuses.last().text.endsWith(" while writing user info"))
            << qPrintable(host.statuses.last().text);
        blocker.ExecScript("ROLLBACK");
    }
    const QByteArray key = host.GetInstallKey();
    EXPECT_TRUE(IsKeyShaped(key));
    EXPECT_EQ(host.ReadUserInfo("uconf", host.InstallationId()), key);
}

TEST_F(InstallKey, AKeyBroughtBackReplacesTheOneKept) {
    const QByteArray recovered(64, 'A');
    QByteArray made;
    {
        TTestHost host;
        host.OpenStores(Folder());
        // Nothing is kept yet, and asking does not make a key.
        EXPECT_TRUE(host.Stores().StoredInstallKey().isEmpty());
        EXPECT_TRUE(host.ReadUserInfo("uconf", host.InstallationId()).isEmpty());
        made = host.GetInstallKey();
        EXPECT_EQ(host.Stores().StoredInstallKey(), made);

        EXPECT_TRUE(host.Stores().SetInstallKey(recovered));
        EXPECT_EQ(host.GetInstallKey(), recovered);
        EXPECT_EQ(host.Stores().StoredInstallKey(), recovered);
        // Keys of another shape are not kept.
        for (const QByteArray& bad :
             {QByteArray(63, 'A'), QByteArray(64, 'a'), QByteArray(64, 'G'), QByteArray()}) {
            EXPECT_FALSE(host.Stores().SetInstallKey(bad)) << bad.constData();
        }
        EXPECT_EQ(host.Stores().StoredInstallKey(), recovered);
    }
    TTestHost again;
    again.OpenStores(Folder());
    EXPECT_EQ(again.GetInstallKey(), recovered);

    // A database open for reading only keeps what it has.
    TTestHost reader;
    reader.OpenStores(Folder(), {.backups = false, .writable = false});
    EXPECT_FALSE(reader.Stores().SetInstallKey(made));
    EXPECT_EQ(reader.Stores().StoredInstallKey(), recovered);
}

}  // namespace
