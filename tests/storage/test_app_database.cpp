// The application database on real files: creation, tool states, profile blobs, the
// installation row, the shell state and damaged input.
#include "base/settings_codec.h"
#include "storage/app_database.h"
#include "storage/sqlite_layer.h"
#include "support/test_dir.h"
#include "support/test_host.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <sys/stat.h>

#include <sqlite3.h>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

namespace {

class AppDatabase : public ::testing::Test {
protected:
    QString Program() const { return m_dir.Sub("prog") + "/"; }
    std::unique_ptr<TTestHost> Start() {
        auto host = std::make_unique<TTestHost>();
        host->OpenStores(Program());
        return host;
    }
    // A second connection to the same file, for looking behind the services.
    std::unique_ptr<TSQLTables> Raw() {
        return std::make_unique<TSQLTables>(Program() + "qvde.d", 100, 1, false);
    }
    TestDir m_dir;
};

TEST_F(AppDatabase, FirstRunCreatesTheDatabaseFoldersAndDefaults) {
    auto host = Start();
    EXPECT_TRUE(host->IsFlagSet(kFlagUiDatabase));
    EXPECT_TRUE(QFile::exists(Program() + "qvde.d"));
    EXPECT_FALSE(QFile::exists(Program() + "qvde.d.new"));
    EXPECT_TRUE(QDir(Program() + "logs").exists());
    EXPECT_EQ(host->DataFolder(), Program() + "Data/");
    EXPECT_TRUE(QDir(host->DataFolder()).exists());
    EXPECT_EQ(host->PreferencesPassword(), "vompa7");
    EXPECT_EQ(host->PasswordHash(), Hash32(QByteArray("vompa7")));
    EXPECT_TRUE(QRegularExpression("^[0-9A-F]{32}$")
                    .match(QString::fromLatin1(host->InstallationId()))
                    .hasMatch());

    auto raw = Raw();
    auto pragma = [&](const char* sql) {
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(raw->Handle(), sql, -1, &s, nullptr);
        sqlite3_step(s);
        QString value = QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)));
        sqlite3_finalize(s);
        return value;
    };
    EXPECT_EQ(pragma("PRAGMA page_size"), "1024");
    EXPECT_EQ(pragma("PRAGMA encoding"), "UTF-8");
    const auto tables = raw->Query(
        "SELECT name FROM sqlite_master WHERE type = 'table' AND name "
        "NOT LIKE 'sqlite%' ORDER BY name",
        10, 10);
    QStringList names;
    for (; !tables->AtEnd(); tables->Next()) {
        names << tables->GetText(0);
    }
    EXPECT_EQ(names, QStringList({"pScr", "profs", "seridata", "uInf"}));
    const auto users = raw->Query("SELECT ukey FROM uInf", 1, 10);
    ASSERT_EQ(users->RowCount(), 1);
    EXPECT_EQ(users->GetInt(0), 1);
    // The scripts are stored scrambled and decode to PHP texts.
    const auto scripts = raw->Query("SELECT scrN, scrD FROM pScr ORDER BY scrN", 128, 10);
    ASSERT_EQ(scripts->RowCount(), 2);
    EXPECT_EQ(scripts->GetText(0), "gfm");
    EXPECT_FALSE(scripts->GetText(1).contains("<?"));
    EXPECT_TRUE(DecodeSettings(scripts->GetText(1).toUtf8()).contains("$fm"));
    EXPECT_FALSE(host->AppDatabase()->FetchScript("pwdchk").isEmpty());
    EXPECT_TRUE(host->AppDatabase()->FetchScript("nosuch").isEmpty());
}

// The rights of a path (the mode's permission bits), or -1 when it is missing.
int Rights(const QString& path) {
    struct stat st;
    return lstat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

// Sets the process's umask for the life of the object.
struct TUmask {
    explicit TUmask(mode_t mask) : old(umask(mask)) {}
    ~TUmask() { umask(old); }
    mode_t old;
};

TEST_F(AppDatabase, FoldersAndDatabaseArePrivateWhateverTheUmask) {
    for (const mode_t mask : {mode_t(0), mode_t(022)}) {
        SCOPED_TRACE(mask);
        TestDir dir;
        const QString program = dir.Sub("deep/prog/");
        TUmask scoped(mask);
        {
            TTestHost host;
            host.OpenStores(program);
            ASSERT_TRUE(host.IsFlagSet(kFlagUiDatabase));
        }
        EXPECT_EQ(Rights(dir.Sub("deep")), 0700);
        EXPECT_EQ(Rights(program), 0700);
        EXPECT_EQ(Rights(program + "logs"), 0700);
        EXPECT_EQ(Rights(program + "Data"), 0700);
        EXPECT_EQ(Rights(program + "qvde.d"), 0600);
    }
}

TEST_F(AppDatabase, AnEarlierVersionsOpenFilesAreTightened) {
    { auto host = Start(); }
    const QString db = Program() + "qvde.d";
    for (const QString& path : {Program(), Program() + "logs", Program() + "Data"}) {
        ASSERT_EQ(chmod(QFile::encodeName(path).constData(), 0755), 0);
    }
    ASSERT_EQ(chmod(QFile::encodeName(db).constData(), 0644), 0);
    QFile journal(db + "-journal");
    ASSERT_TRUE(journal.open(QIODevice::WriteOnly));
    journal.close();
    ASSERT_EQ(chmod(QFile::encodeName(db + "-journal").constData(), 0666), 0);
    {
        auto host = Start();
        EXPECT_TRUE(host->IsFlagSet(kFlagUiDatabase));
    }
    EXPECT_EQ(Rights(Program()), 0700);
    EXPECT_EQ(Rights(Program() + "logs"), 0700);
    EXPECT_EQ(Rights(Program() + "Data"), 0700);
    EXPECT_EQ(Rights(db), 0600);

    // A data folder the user chose elsewhere is the user's to keep as they like.
    const QString chosen = m_dir.MakeDir("chosen");
    ASSERT_EQ(chmod(QFile::encodeName(chosen).constData(), 0755), 0);
    {
        auto host = Start();
        host->SetDataFolder(chosen);
    }
    EXPECT_EQ(Rights(chosen), 0755);
}

TEST_F(AppDatabase, ReadOnlyOpeningWritesNothing) {
    {
        auto host = Start();
        host->SaveToolState("Split", EncodeSettings("a|b|"));
    }
    const QString db = Program() + "qvde.d";
    QFile file(db);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray before = file.readAll();
    file.close();
    const QDateTime stamp = QFileInfo(db).lastModified();
    {
        TTestHost host;
        host.OpenStores(Program(), {.backups = false, .writable = false});
        EXPECT_TRUE(host.IsFlagSet(kFlagUiDatabase));
        EXPECT_FALSE(host.StoresWritable());
        EXPECT_FALSE(host.IsFlagSet(kFlagBackupsDatabase));
        EXPECT_EQ(DecodeSettings(host.LoadToolState("Split").value_or("")), "a|b|");
        host.SaveToolState("Split", EncodeSettings("changed|"));
        EXPECT_TRUE(host.GetInstallKey().isEmpty());  // none stored, none may be made
        host.CloseStores();
    }
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), before);
    EXPECT_EQ(QFileInfo(db).lastModified(), stamp);
    EXPECT_FALSE(QFile::exists(db + "-journal"));

    // Without a database nothing is made.
    TestDir empty;
    TTestHost host;
    host.OpenStores(empty.Sub("none/"), {.backups = false, .writable = false});
    EXPECT_FALSE(host.IsFlagSet(kFlagUiDatabase));
    host.CloseStores();
    EXPECT_FALSE(QFile::exists(empty.Sub("none")));
}

TEST_F(AppDatabase, ToolStatesLoadSaveAndReplace) {
    auto host = Start();
    EXPECT_FALSE(host->LoadToolState("Split").has_value());
    host->SaveToolState("Split", "first");
    host->SaveToolState("Split", "second");
    EXPECT_EQ(host->LoadToolState("Split").value(), "second");
    const auto rows = Raw()->Query("SELECT appname FROM seridata", 1, 10);
    EXPECT_EQ(rows->RowCount(), 1);

    // A row without data reads as an empty state, not as nothing.
    Raw()->Exec("INSERT INTO seridata (appname) VALUES ('Fill')");
    const std::optional<QByteArray> empty = host->LoadToolState("Fill");
    ASSERT_TRUE(empty.has_value());
    EXPECT_TRUE(empty->isEmpty());

    // Keys are compared literally, quotes and wildcards included.
    const QByteArray odd = "we\"ird'%_";
    host->SaveToolState(odd, "odd");
    EXPECT_EQ(host->LoadToolState(odd).value(), "odd");
    EXPECT_FALSE(host->LoadToolState("we\"ird'%%").has_value());

    // A state above the 10 KiB read budget cannot be read back.
    host->SaveToolState("Big", QByteArray(10 * 1024 + 1, 'b'));
    EXPECT_FALSE(host->LoadToolState("Big").has_value());
    host->SaveToolState("Big", QByteArray(10 * 1024, 'b'));
    EXPECT_EQ(host->LoadToolState("Big")->size(), 10 * 1024);
    EXPECT_TRUE(host->statuses.isEmpty());
}

TEST_F(AppDatabase, SaveFailureIsShownNotRaised) {
    auto host = Start();
    Raw()->ExecScript(
        "CREATE TRIGGER refuse BEFORE UPDATE ON seridata BEGIN SELECT RAISE(ABORT, 'no'); END");
    host->SaveToolState("Split", "x");
    EXPECT_TRUE(host->HasError("Error \"SQLite Error:19\" while serializing \"Split\""));
    // Nothing half-written: the row made for the key was rolled back with the update.
    EXPECT_EQ(Raw()->Query("SELECT appname FROM seridata", 1, 10)->RowCount(), 0);
}

TEST_F(AppDatabase, ProfileBlobsByNameWithQuotes) {
    auto host = Start();
    const QByteArray name = QStringLiteral("My \"daily\" Ü").toUtf8();
    host->SaveProfileBlob(name, QByteArray("\x00\x01\x02", 3));
    EXPECT_EQ(host->LoadProfileBlob(name).value(), QByteArray("\x00\x01\x02", 3));
    EXPECT_TRUE(host->Stores().DeleteProfileRow(name));
    EXPECT_FALSE(host->LoadProfileBlob(name).has_value());
    // Deleting a profile that has no row still completes.
    EXPECT_TRUE(host->Stores().DeleteProfileRow("absent"));
}

TEST_F(AppDatabase, UserInfoOwnersAndDamage) {
    auto host = Start();
    host->WriteUserInfo("uconf", "KEY123", host->InstallationId());
    EXPECT_EQ(host->ReadUserInfo("uconf", host->InstallationId()), "KEY123");
    EXPECT_EQ(host->ReadUserInfo("uconf", "someone else"), "");
    // Edited by hand to another owner: reads as empty.
    Raw()->Exec("UPDATE uInf SET uconf = ? WHERE ukey = 1",
                {EncodeSettings("KEY123|" + QByteArray("other"))});
    EXPECT_EQ(host->ReadUserInfo("uconf", host->InstallationId()), "");
    // Damaged text, no owner part, or a column that is not a plain name: empty.
    Raw()->Exec("UPDATE uInf SET uconf = 'garbage' WHERE ukey = 1");
    EXPECT_EQ(host->ReadUserInfo("uconf", host->InstallationId()), "");
    Raw()->Exec("UPDATE uInf SET uconf = ? WHERE ukey = 1", {EncodeSettings("no-owner")});
    EXPECT_EQ(host->ReadUserInfo("uconf", ""), "");
    EXPECT_EQ(host->ReadUserInfo("uhid FROM uInf; --", "quiva"), "");
    host->WriteUserInfo("nosuchcolumn", "x", "y");
    EXPECT_TRUE(host->HasError("Error SQLite Error:1 while writing user info"));
}

TEST_F(AppDatabase, StateSurvivesARestart) {
    QByteArray id;
    const QString otherData = m_dir.MakeDir("elsewhere");
    {
        auto host = Start();
        id = host->InstallationId();
        host->SetPreferencesPassword("secret42");
        host->SaveToolState("Hash", "h");
        // The data folder is changed through the stored shell state.
        host->CloseStores();
        TSQLTables raw(Program() + "qvde.d", 100, 1, false);
        raw.Exec("UPDATE seridata SET appdata = ? WHERE appname = 'Quiva'",
                 {TSQLBlob{EncodeSettings(otherData.toUtf8() + "|secret42|||||")}});
    }
    auto host = Start();
    EXPECT_EQ(host->InstallationId(), id);
    EXPECT_EQ(host->PreferencesPassword(), "secret42");
    EXPECT_EQ(host->PasswordHash(), Hash32(QByteArray("secret42")));
    EXPECT_EQ(host->DataFolder(), otherData + "/");
    EXPECT_EQ(host->LoadToolState("Hash").value(), "h");
}

TEST_F(AppDatabase, RemovedDataFolderFallsBackAndIsMade) {
    const QString gone = m_dir.MakeDir("gone");
    {
        auto host = Start();
        host->CloseStores();
        TSQLTables raw(Program() + "qvde.d", 100, 1, false);
        raw.Exec("UPDATE seridata SET appdata = ? WHERE appname = 'Quiva'",
                 {TSQLBlob{EncodeSettings(gone.toUtf8() + "|pw12345|||||")}});
    }
    QDir(gone).removeRecursively();
    auto host = Start();
    EXPECT_EQ(host->DataFolder(), Program() + "Data/");
    EXPECT_TRUE(QDir(Program() + "Data").exists());
    EXPECT_EQ(host->PreferencesPassword(), "pw12345");
}

TEST_F(AppDatabase, ShellStateWithWrongFieldCountOrDamageIsIgnored) {
    for (const QByteArray& state :
         {EncodeSettings("/tmp|pw12345||||"), QByteArray("damaged"), EncodeSettings("")}) {
        {
            auto host = Start();
            host->CloseStores();
            TSQLTables raw(Program() + "qvde.d", 100, 1, false);
            raw.Exec("UPDATE seridata SET appdata = ? WHERE appname = 'Quiva'", {TSQLBlob{state}});
        }
        auto host = Start();
        EXPECT_EQ(host->DataFolder(), Program() + "Data/");
        EXPECT_EQ(host->PreferencesPassword(), "vompa7");
        host->CloseStores();
        QFile::remove(Program() + "qvde.d");
    }
}

TEST_F(AppDatabase, ShellStateIsStoredAtOnceOnlyWhenItReadsBackAsItIs) {
    auto host = Start();
    auto stored = [&] {
        return DecodeSettings(Raw()
                                  ->Query(QStringLiteral("SELECT appdata FROM seridata "
                                                         "WHERE appname = 'Quiva'"),
                                          10, 1)
                                  ->GetBlob(0)
                                  .value_or(QByteArray()));
    };
    host->SetPreferencesPassword("secret42");
    EXPECT_TRUE(host->Stores().SaveShellState());
    const QByteArray kept = host->DataFolder().toUtf8() + "|secret42|||||";
    EXPECT_EQ(stored(), kept);
    // A "|" would split the fields, and the next start would fall back to the defaults:
    // such a state is refused and the stored one stays.
    host->SetPreferencesPassword("sec|ret42");
    EXPECT_FALSE(host->Stores().SaveShellState());
    EXPECT_EQ(stored(), kept);
    host->SetPreferencesPassword("secret42");
    host->Stores().ChangeDataFolder(m_dir.MakeDir("a|b"));
    EXPECT_FALSE(host->Stores().SaveShellState());
    EXPECT_EQ(stored(), kept);
}

TEST_F(AppDatabase, MissingInstallationRowIsMadeAgain) {
    { auto host = Start(); }
    Raw()->Exec("DELETE FROM uInf");
    auto host = Start();
    EXPECT_EQ(host->InstallationId().size(), 32);
    EXPECT_EQ(Raw()->Query("SELECT ukey FROM uInf", 1, 10)->RowCount(), 1);
}

TEST_F(AppDatabase, DamagedFilesAreLeftAloneAndTheProgramRunsOnDefaults) {
    struct Case {
        const char* name;
        std::function<void(const QString& path)> make;
    };
    const Case cases[] = {
        {"not a database",
         [](const QString& path) {
             QFile file(path);
             ASSERT_TRUE(file.open(QIODevice::WriteOnly));
             file.write(QByteArray(3000, 'Z'));
         }},
        {"database without the tables",
         [](const QString& path) {
             TSQLTables db(path, 100, 1, true);
             db.ExecScript("CREATE TABLE other (x INTEGER)");
         }},
        {"truncated database",
         [](const QString& path) {
             {
                 TSQLTables db(path, 100, 1, true);
                 db.ExecScript(
                     "CREATE TABLE uInf (ukey INTEGER); "
                     "CREATE TABLE filler (x BLOB);");
                 db.ExecBlob("INSERT INTO filler VALUES (?)", QByteArray(20000, 'f'));
             }
             QFile file(path);
             ASSERT_TRUE(file.open(QIODevice::ReadWrite));
             file.resize(1500);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QDir().mkpath(Program());
        const QString path = Program() + "qvde.d";
        c.make(path);
        QFile original(path);
        ASSERT_TRUE(original.open(QIODevice::ReadOnly));
        const QByteArray before = original.readAll();
        original.close();
        {
            auto host = Start();
            EXPECT_FALSE(host->IsFlagSet(kFlagUiDatabase));
            EXPECT_EQ(host->DataFolder(), Program() + "Data/");
            EXPECT_EQ(host->PreferencesPassword(), "");
            EXPECT_EQ(host->PasswordHash(), 0u);
            host->SaveToolState("Split", "x");
            EXPECT_FALSE(host->LoadToolState("Split").has_value());
            EXPECT_TRUE(host->statuses.isEmpty());
        }
        QFile after(path);
        ASSERT_TRUE(after.open(QIODevice::ReadOnly));
        EXPECT_EQ(after.readAll(), before);
        after.close();
        QFile::remove(path);
    }
}

TEST_F(AppDatabase, UnusableProgramFolderLeavesTheDatabaseAbsent) {
    // The program folder's place is taken by a file, so nothing can be made there.
    const QString blocked = m_dir.Write("blocked", "file");
    TTestHost host;
    host.OpenStores(blocked + "/");
    EXPECT_FALSE(host.IsFlagSet(kFlagUiDatabase));
    EXPECT_FALSE(host.LoadToolState("Split").has_value());
    EXPECT_EQ(m_dir.Read("blocked"), "file");
}

TEST_F(AppDatabase, LeftoverOfAnInterruptedFirstRunIsReplaced) {
    QDir().mkpath(Program());
    m_dir.Write("prog/qvde.d.new", "half made");
    auto host = Start();
    EXPECT_TRUE(host->IsFlagSet(kFlagUiDatabase));
    EXPECT_FALSE(QFile::exists(Program() + "qvde.d.new"));
}

TEST_F(AppDatabase, WorkerWritesDoNotOverlapMainThreadUse) {
    auto host = Start();
    std::atomic<bool> stop{false};
    std::thread worker([&] {
        for (int i = 0; i < 300; ++i) {
            host->SaveToolState("Profiles", QByteArray::number(i));
        }
        stop = true;
    });
    int reads = 0;
    while (!stop) {
        host->SaveToolState("Split", QByteArray::number(reads));
        (void)host->LoadToolState("Profiles");
        ++reads;
    }
    worker.join();
    EXPECT_EQ(host->LoadToolState("Profiles").value(), "299");
    EXPECT_TRUE(host->statuses.isEmpty()) << host->LastStatus().toStdString();
}

}  // namespace
