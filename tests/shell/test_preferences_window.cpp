// The user preferences window over the main window's real services: the password change
// with the stored script, the data folder move with the backup store, the refusals, and
// the shell state on disk right after each change.
#include "app/tool_table.h"
#include "backup/backup_service.h"
#include "backup/profile.h"
#include "backup/profiles.h"
#include "base/bar_list.h"
#include "base/quivash.h"
#include "base/settings_codec.h"
#include "shell/master_window.h"
#include "shell/preferences_window.h"
#include "shell/status_panel.h"
#include "storage/sqlite_layer.h"
#include "support/test_dir.h"
#include "tools/dirtrack/track_help.h"
#include "ui/ell_path.h"

#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QToolButton>
#include <QtTest/QTest>

#include <gtest/gtest.h>

namespace {

// The action of a menu entry of the main window, by its text.
QAction* MenuAction(QMainWindow& window, const QString& text) {
    for (QAction* menu : window.menuBar()->actions()) {
        for (QAction* item : menu->menu()->actions()) {
            if (item->text() == text) {
                return item;
            }
        }
    }
    return nullptr;
}

class Preferences : public ::testing::Test {
protected:
    void SetUp() override { Start(); }
    void Start() {
        m_master = std::make_unique<TMaster>(m_dir.Sub("prog"), ToolTable());
        ASSERT_TRUE(m_master->IsFlagSet(kFlagUiDatabase));
    }
    TfrmUOpt* Open() {
        QAction* entry = MenuAction(*m_master, QStringLiteral("&User Preferences"));
        EXPECT_NE(entry, nullptr);
        entry->trigger();
        return dynamic_cast<TfrmUOpt*>(m_master->CurrentWindow());
    }
    // The shell state as qvde.d holds it now, read through a connection of its own.
    QList<QByteArray> StoredShellState() const {
        TSQLTables db(m_dir.Sub("prog/qvde.d"), 100, 1, TSQLOpenMode::kReadOnly);
        const auto rows =
            db.Query(QStringLiteral("SELECT appdata FROM seridata WHERE appname = 'Quiva'"), 10, 1);
        if (rows->RowCount() != 1) {
            return {};
        }
        return TBarList(DecodeSettings(rows->GetBlob(0).value_or(QByteArray()))).Fields();
    }
    void Change(TfrmUOpt* window, const QString& current, const QString& next) {
        window->edtCPwd->setText(current);
        window->edtNPwd->setText(next);
        QTest::mouseClick(window->btnPwd, Qt::LeftButton);
    }
    QString Status() const { return m_master->StatusPanel()->Text(); }
    int StatusKind() const { return m_master->StatusPanel()->Kind(); }

    TestDir m_dir;
    std::unique_ptr<TMaster> m_master;
};

TEST_F(Preferences, OpensFromTheOptionsMenuWithItsControlsAndHints) {
    m_master->show();
    TfrmUOpt* window = Open();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(HelpContextOf(window), 120);
    EXPECT_EQ(HelpContextOf(window->btnPwd), 120);
    EXPECT_EQ(window->size(), QSize(330, 416));
    EXPECT_EQ(Status(), "Default password at setup was vompa7");
    EXPECT_EQ(StatusKind(), kStatusError);
    EXPECT_EQ(window->logo.lblVer->text(), "1.01a");
    EXPECT_EQ(window->edtDir->Caption(), m_master->DataFolder());
    EXPECT_EQ(window->sbnBrowse->text(), "...");
    EXPECT_EQ(window->sbnBrowse->toolTip(), "Browse");
    EXPECT_EQ(window->sbnBrowse->statusTip(), "Browe for folder");
    EXPECT_EQ(window->edtCPwd->toolTip(), "Default:vompa7");
    EXPECT_EQ(window->edtCPwd->statusTip(), "Defaut password is vompa7");
    EXPECT_EQ(window->edtNPwd->statusTip(),
              "Password should be alphanumeric - 7+ characters with at least one numeral");
    EXPECT_EQ(window->btnPwd->text(), "Change Password");

    // Masked while the box is checked; 12 characters at most, a 13th cannot be typed.
    EXPECT_TRUE(window->cbxMask->isChecked());
    EXPECT_EQ(window->edtCPwd->echoMode(), QLineEdit::Password);
    EXPECT_EQ(window->edtNPwd->echoMode(), QLineEdit::Password);
    QTest::mouseClick(window->cbxMask, Qt::LeftButton, {},
                      QPoint(6, window->cbxMask->height() / 2));
    EXPECT_EQ(window->edtCPwd->echoMode(), QLineEdit::Normal);
    EXPECT_EQ(window->edtNPwd->echoMode(), QLineEdit::Normal);
    QTest::keyClicks(window->edtNPwd, QStringLiteral("abcdefghij123"));
    EXPECT_EQ(window->edtNPwd->text(), "abcdefghij12");
}

TEST_F(Preferences, TwoChangesInARowEachStoredAtOnce) {
    TfrmUOpt* window = Open();
    Change(window, "vompa7", "first1234");
    EXPECT_EQ(Status(), "Password is now first1234");
    EXPECT_EQ(StatusKind(), kStatusNotice);
    EXPECT_EQ(m_master->Stores().PreferencesPassword(), "first1234");
    EXPECT_EQ(m_master->Stores().PasswordHash(), Hash32(QByteArray("first1234")));
    // On disk before any shutdown: a crash now keeps the new password.
    QList<QByteArray> stored = StoredShellState();
    ASSERT_EQ(stored.size(), 6);
    EXPECT_EQ(stored[1], "first1234");
    EXPECT_EQ(QString::fromUtf8(stored[0]), m_master->DataFolder());
    // The hint naming the default goes with the default.
    EXPECT_EQ(window->edtCPwd->toolTip(), "");

    // The second change needs the password set by the first.
    Change(window, "vompa7", "second99");
    EXPECT_EQ(Status(), "Current password does not match");
    Change(window, "first1234", "second99");
    EXPECT_EQ(Status(), "Password is now second99");
    stored = StoredShellState();
    ASSERT_EQ(stored.size(), 6);
    EXPECT_EQ(stored[1], "second99");

    // Reopened, the window shows no default hint, and the main window no default notice.
    TfrmUOpt* again = Open();
    EXPECT_EQ(again->edtCPwd->toolTip(), "");
    EXPECT_EQ(again->edtCPwd->statusTip(), "");
    EXPECT_NE(Status(), "Default password at setup was vompa7");
}

TEST_F(Preferences, RefusalsChangeNothing) {
    struct TCase {
        QString current;
        QString next;
        QString error;
    };
    const TCase cases[] = {
        {"VOMPA7", "abcdef12", "Current password does not match"},
        {"vompa", "abcdef12", "Current password does not match"},
        {"vompa7", "", "New password cannot be empty"},
        {"vompa7", "vompa7", "The new password must be different!"},
        // The stored script's own words.
        {"vompa7", "abc12", "Password should be at least 7 characters long"},
        {"vompa7", "abcdefgh", "Password should contain at least one numeral"},
        {"vompa7", "abc def12",
         "Password should contain only letters (A-Z, a-z) and numerals (0-9)"},
        // A character the 8-bit form cannot hold is refused, never changed.
        {"vompa7", QStringLiteral("abc12") + QChar(0xD800) + QStringLiteral("de"),
         "The new password holds a character that cannot be stored"},
    };
    TfrmUOpt* window = Open();
    const QList<QByteArray> before = StoredShellState();
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.next.toStdString());
        Change(window, c.current, c.next);
        EXPECT_EQ(Status(), c.error);
        EXPECT_EQ(StatusKind(), kStatusError);
        EXPECT_EQ(m_master->Stores().PreferencesPassword(), "vompa7");
        EXPECT_EQ(StoredShellState(), before);
    }
    // Seven characters with a numeral are enough.
    Change(window, "vompa7", "short12");
    EXPECT_EQ(Status(), "Password is now short12");
}

TEST_F(Preferences, WithoutTheScriptEngineEveryChangeIsRefused) {
    m_master->SetFlag(kFlagScriptEngine, false);
    TfrmUOpt* window = Open();
    Change(window, "vompa7", "abcdef12");
    EXPECT_EQ(Status(), "FS_PHPE. Please contact us");
    EXPECT_EQ(StatusKind(), kStatusError);
    EXPECT_EQ(m_master->Stores().PreferencesPassword(), "vompa7");
}

TEST_F(Preferences, MovingTheDataFolderReopensTheStoreThereAndKeepsIt) {
    TfrmUOpt* window = Open();
    const QString chosen = m_dir.MakeDir("elsewhere/data");
    window->AskDataFolder = [&] { return std::optional<QString>(chosen); };
    QTest::mouseClick(window->sbnBrowse, Qt::LeftButton);
    EXPECT_EQ(m_master->DataFolder(), chosen + "/");
    EXPECT_EQ(window->edtDir->Caption(), chosen + "/");
    EXPECT_TRUE(m_master->IsFlagSet(kFlagBackupsDatabase));
    EXPECT_TRUE(QFile::exists(chosen + "/backups.db"));
    const QList<QByteArray> stored = StoredShellState();
    ASSERT_EQ(stored.size(), 6);
    EXPECT_EQ(QString::fromUtf8(stored[0]), chosen + "/");
    EXPECT_EQ(stored[1], "vompa7");

    // A cancelled browser changes nothing.
    window->AskDataFolder = [] { return std::optional<QString>(); };
    QTest::mouseClick(window->sbnBrowse, Qt::LeftButton);
    EXPECT_EQ(m_master->DataFolder(), chosen + "/");

    m_master.reset();
    Start();
    EXPECT_EQ(m_master->DataFolder(), chosen + "/");
    EXPECT_TRUE(m_master->IsFlagSet(kFlagBackupsDatabase));
}

TEST_F(Preferences, FoldersThatCannotBeTheDataFolder) {
    TfrmUOpt* window = Open();
    const QString before = m_master->DataFolder();
    const QString barred = m_dir.MakeDir("a|b");
    const QString gone = m_dir.Sub("gone");
    struct TCase {
        QString picked;
        QString error;
    };
    const TCase cases[] = {
        {gone, "Folder not found: " + gone},
        {barred, barred + "/ cannot be the data folder: its name cannot be stored"},
    };
    for (const TCase& c : cases) {
        window->AskDataFolder = [&] { return std::optional<QString>(c.picked); };
        window->DoBrowse();
        EXPECT_EQ(Status(), c.error);
        EXPECT_EQ(m_master->DataFolder(), before);
        EXPECT_EQ(window->edtDir->Caption(), before);
    }
}

TEST_F(Preferences, NoChangeWhileABackupProfileRuns) {
    TProfiles* profiles = m_master->Backups().Profiles();
    ASSERT_NE(profiles, nullptr);
    TProfiles::TProfileRequest request;
    request.name = QStringLiteral("Watched");
    request.target = m_dir.MakeDir("watched");
    request.extensions = {QStringLiteral(".txt")};
    TProfile* profile = profiles->AddProfile(request);
    ASSERT_NE(profile, nullptr);
    ASSERT_TRUE(profile->StartMonitoring());
    ASSERT_EQ(profiles->ActiveCount(), 1);

    TfrmUOpt* window = Open();
    bool asked = false;
    window->AskDataFolder = [&] {
        asked = true;
        return std::optional<QString>(m_dir.MakeDir("other"));
    };
    const QString before = m_master->DataFolder();
    QTest::mouseClick(window->sbnBrowse, Qt::LeftButton);
    EXPECT_FALSE(asked);
    EXPECT_EQ(Status(), "Changes not permitted while DirTrack or Backup are running");
    EXPECT_EQ(StatusKind(), kStatusError);
    EXPECT_EQ(m_master->DataFolder(), before);
    // The running workers keep the key they started with, so the password stays too.
    Change(window, "vompa7", "abcdef12");
    EXPECT_EQ(Status(), "Changes not permitted while DirTrack or Backup are running");
    EXPECT_EQ(m_master->Stores().PreferencesPassword(), "vompa7");

    ASSERT_TRUE(profile->Stop());
    Change(window, "vompa7", "abcdef12");
    EXPECT_EQ(Status(), "Password is now abcdef12");
}

TEST_F(Preferences, NoFolderMoveWhileDirTrackTracks) {
    bool tracking = true;
    m_master->ShowPanelWindow(
        [&](QWidget* panel, const TToolContext& context) {
            return new TfrmUOpt(panel, context, [&] { return tracking; });
        },
        kHelpPreferences, kStatusInfo, QString());
    auto* window = dynamic_cast<TfrmUOpt*>(m_master->CurrentWindow());
    ASSERT_NE(window, nullptr);
    const QString other = m_dir.MakeDir("other");
    window->AskDataFolder = [&] { return std::optional<QString>(other); };
    window->DoBrowse();
    EXPECT_EQ(Status(), "Changes not permitted while DirTrack or Backup are running");
    EXPECT_NE(m_master->DataFolder(), other + "/");
    // DirTrack has nothing to do with the password.
    Change(window, "vompa7", "abcdef12");
    EXPECT_EQ(Status(), "Password is now abcdef12");
    tracking = false;
    window->DoBrowse();
    EXPECT_EQ(m_master->DataFolder(), other + "/");
    // The main window's own answer comes from DirTrack's tracking.
    EXPECT_FALSE(m_master->IsDirTrackRunning());
    TTrackHelp& dirTrack = *m_master->ToolContext().tracking;
    dirTrack.SetFolder(m_dir.MakeDir("tracked"));
    dirTrack.Start();
    EXPECT_TRUE(m_master->IsDirTrackRunning());
    dirTrack.Stop();
    EXPECT_FALSE(m_master->IsDirTrackRunning());
}

TEST(PreferencesWithoutStore, NothingChangesThatCouldNotBeKept) {
    // The program folder is a file: no application database, nothing can be stored.
    TestDir dir;
    const QString notAFolder = dir.Write("prog", "a file");
    TMaster master(notAFolder, ToolTable());
    ASSERT_FALSE(master.IsFlagSet(kFlagUiDatabase));
    master.DoEditUP();
    auto* window = dynamic_cast<TfrmUOpt*>(master.CurrentWindow());
    ASSERT_NE(window, nullptr);
    const QByteArray before = master.Stores().PreferencesPassword();
    window->edtCPwd->setText(QString::fromLocal8Bit(before));
    window->edtNPwd->setText("abcdef12");
    window->DoChangePwd();
    EXPECT_EQ(master.StatusPanel()->Text(),
              "Preferences cannot be changed: the application database cannot be written");
    EXPECT_EQ(master.Stores().PreferencesPassword(), before);
    const QString other = dir.MakeDir("other");
    window->AskDataFolder = [&] { return std::optional<QString>(other); };
    window->DoBrowse();
    EXPECT_NE(master.DataFolder(), other + "/");
}

TEST(PasswordBytes, TheLocal8BitFormHoldsTheTextUnchanged) {
    EXPECT_EQ(TfrmUOpt::PasswordBytes("vompa7").value(), "vompa7");
    EXPECT_EQ(TfrmUOpt::PasswordBytes(QStringLiteral("grüß12")).value(),
              QStringLiteral("grüß12").toLocal8Bit());
    EXPECT_FALSE(TfrmUOpt::PasswordBytes(QString(QChar(0xDC80))).has_value());
}

}  // namespace
