// The Pwd Maker window driven headless in a real main window with the real script engine:
// generating, copying, the idle clearing and the stored settings.
#include "app/tool_table.h"
#include "base/settings_codec.h"
#include "shell/master_window.h"
#include "shell/status_panel.h"
#include "support/test_dir.h"
#include "tools/pwdmaker/pwd_maker.h"
#include "tools/pwdmaker/recovery_key.h"
#include "windows/pwdmaker/pwdgen_window.h"

#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QFile>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTimer>
#include <QtTest/QTest>

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <set>

// Readable QString values in failure messages.
void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace {

constexpr int kPwdGenIndex = 11;
const QString kMaster = QStringLiteral("Secret42");
const QString kMnemonic = QStringLiteral("Site2024");

class PwdGenWindow : public ::testing::Test {
protected:
    void SetUp() override { Open(m_dir.Sub("prog")); }
    void TearDown() override { m_master.reset(); }

    void Open(const QString& programFolder) {
        m_master.reset();
        m_master = std::make_unique<TMaster>(programFolder, ToolTable());
        m_master->SelectTool(kPwdGenIndex);
    }
    TfrmPwdGen* Window() const { return dynamic_cast<TfrmPwdGen*>(m_master->CurrentWindow()); }
    void Reopen() { m_master->SelectTool(kPwdGenIndex); }

    QStringList Boxes() const {
        QStringList texts;
        for (QLineEdit* box : Window()->PasswordBoxes()) {
            texts << box->text();
        }
        return texts;
    }
    QStringList Generate(const QString& master, const QString& mnemonic) {
        Window()->ledMPwd->setText(master);
        Window()->ledNemo->setText(mnemonic);
        Window()->btnGen->click();
        return Boxes();
    }
    // The engine's passwords for the inputs and this installation's key.
    QStringList Derived(const QString& master, const QString& mnemonic) const {
        QStringList texts;
        for (const QByteArray& password :
             DerivePasswords(master.toUtf8(), mnemonic.toUtf8(), Window()->InstallKey())) {
            texts << QString::fromLatin1(password);
        }
        return texts;
    }
    void Ticks(int count) {
        for (int i = 0; i < count; ++i) {
            Window()->PeriodicCheck();
        }
    }
    bool FieldsCleared() const {
        return Window()->ledNemo->text().isEmpty() && Boxes() == QStringList(6, QString());
    }
    QString Status() const { return m_master->StatusPanel()->Text(); }
    int Kind() const { return m_master->StatusPanel()->Kind(); }

    TestDir m_dir;
    std::unique_ptr<TMaster> m_master;
};

TEST_F(PwdGenWindow, OpensWithTheInstallationKeyAndItsDefaults) {
    TfrmPwdGen* window = Window();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(Status(), "Password Generator");
    EXPECT_EQ(HelpContextOf(window), 320);
    EXPECT_TRUE(QFile::exists(":/help/320.html"));
    EXPECT_EQ(window->size(), QSize(282, 306));
    EXPECT_TRUE(QRegularExpression("^[0-9A-F]{64}$").match(window->InstallKey()).hasMatch());
    EXPECT_EQ(window->InstallKey(), m_master->Stores().GetInstallKey());
    EXPECT_TRUE(window->btnGen->isEnabled());
    EXPECT_TRUE(window->btnGen->isDefault());

    EXPECT_EQ(window->ledMPwdLabel->text(), "Master Password");
    EXPECT_EQ(window->ledNemoLabel->text(), "Mnemonic");
    EXPECT_EQ(window->lblSugg->text(), "Suggested Passwords");
    EXPECT_EQ(window->lblClearAfter->text(), "Clear After");
    EXPECT_EQ(window->cbxRemPwd->text(), "Store Master Password");
    EXPECT_EQ(window->cbxMask->text(), "Mask Master Password");
    EXPECT_EQ(window->btnReSet->text(), "Reset");
    EXPECT_EQ(window->btnGen->text(), "Generate");
    EXPECT_EQ(window->ledMPwd->maxLength(), 24);
    EXPECT_EQ(window->ledNemo->maxLength(), 64);
    EXPECT_EQ(window->ledMPwd->contextMenuPolicy(), Qt::PreventContextMenu);
    EXPECT_EQ(window->ledNemo->contextMenuPolicy(), Qt::PreventContextMenu);
    EXPECT_EQ(window->ledMPwd->statusTip(), "Enter your master password");
    EXPECT_EQ(window->ledNemo->toolTip(), "Site Mnemonic");
    EXPECT_EQ(window->cbClearAfter->statusTip(),
              "Sensitive data are cleared after specified period");
    EXPECT_EQ(window->cbxRemPwd->statusTip(), "Not recommended");
    EXPECT_EQ(window->btnGen->statusTip(), "Generate passwords now");
    const auto boxes = window->PasswordBoxes();
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(boxes[i]->isReadOnly(), i < 3);
        EXPECT_EQ(boxes[i]->toolTip(), "Click to copy");
        EXPECT_EQ(boxes[i]->statusTip(), "Click to copy to clipboard");
    }

    QStringList items;
    for (int i = 0; i < window->cbClearAfter->count(); ++i) {
        items << window->cbClearAfter->itemText(i);
    }
    EXPECT_EQ(items, QStringList({"Never Clear", "10 Seconds", "30 Seconds", "One Minute",
                                  "Two Minutes", "Five Minutes"}));
    EXPECT_EQ(window->cbClearAfter->currentIndex(), 4);
    EXPECT_EQ(window->IdleClock().Limit(), 120u);
    EXPECT_EQ(window->IdleClock().SecondsPerTick(), 2);
    EXPECT_FALSE(window->cbxRemPwd->isChecked());
    EXPECT_TRUE(window->cbxMask->isChecked());
    EXPECT_EQ(window->ledMPwd->echoMode(), QLineEdit::Password);
}

TEST_F(PwdGenWindow, GenerateFillsTheSixBoxesFromTheThreeInputs) {
    const QStringList passwords = Generate(kMaster, kMnemonic);
    EXPECT_EQ(passwords, Derived(kMaster, kMnemonic));
    EXPECT_EQ(std::set<QString>(passwords.begin(), passwords.end()).size(), 6u);
    for (int i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        EXPECT_FALSE(passwords[i].contains('u'));
        if (i < 3) {
            EXPECT_TRUE(
                QRegularExpression("^[a-z]{8}[01][0-9A-F]$").match(passwords[i]).hasMatch());
        } else {
            EXPECT_TRUE(QRegularExpression("^[a-z]{3,5}[0-9]{1,2}[a-z]{3,5}$")
                            .match(passwords[i])
                            .hasMatch());
        }
    }

    // The mnemonic's letter case matters.
    EXPECT_NE(Generate(kMaster, kMnemonic.toLower()), passwords);

    // The same inputs after a restart give the same passwords; another installation, with
    // a key of its own, gives others.
    Open(m_dir.Sub("prog"));
    EXPECT_EQ(Generate(kMaster, kMnemonic), passwords);
    const QByteArray key = Window()->InstallKey();
    Open(m_dir.Sub("other"));
    EXPECT_NE(Window()->InstallKey(), key);
    const QStringList others = Generate(kMaster, kMnemonic);
    for (int i = 0; i < 6; ++i) {
        EXPECT_NE(others[i], passwords[i]) << i;
    }
}

TEST_F(PwdGenWindow, SwappingMasterPasswordAndMnemonicMovesTheFirstBoxToTheSecond) {
    const QStringList straight = Generate(kMaster, kMnemonic);
    const QStringList swapped = Generate(kMnemonic, kMaster);
    EXPECT_EQ(swapped[1], straight[0]);
    EXPECT_EQ(swapped[0], straight[1]);
    EXPECT_NE(swapped, straight);
}

TEST_F(PwdGenWindow, RefusalsAreShownAndChangeNoBox) {
    const QStringList before = Generate(kMaster, kMnemonic);
    struct TCase {
        const char* name;
        QString master;
        QString mnemonic;
        bool engine;
        QString message;
    };
    const std::vector<TCase> cases = {
        {"empty mnemonic", kMaster, "", true, "First enter a site mnemonic!"},
        {"too short", "abc1", kMnemonic, true, "Password should be at least 7 characters long"},
        {"empty master", "", kMnemonic, true, "Password should be at least 7 characters long"},
        {"no digit", "Secretly", kMnemonic, true, "Password should contain at least one numeral"},
        {"not alphanumeric", "Secret 42", kMnemonic, true,
         "Password should contain only letters (A-Z, a-z) and numerals (0-9)"},
        // With the engine flag clear the runner refuses every script.
        {"no script engine", kMaster, kMnemonic, false, "FS_PHPE. Please contact us"},
    };
    for (const TCase& test : cases) {
        SCOPED_TRACE(test.name);
        m_master->SetFlag(kFlagScriptEngine, test.engine);
        Window()->ledMPwd->setText(test.master);
        Window()->ledNemo->setText(test.mnemonic);
        Window()->btnGen->click();
        m_master->SetFlag(kFlagScriptEngine, true);
        EXPECT_EQ(Status(), test.message);
        EXPECT_EQ(Kind(), kStatusError);
        EXPECT_EQ(Boxes(), before);
    }
}

TEST_F(PwdGenWindow, ClickingABoxCopiesItsText) {
    const QStringList passwords = Generate(kMaster, kMnemonic);
    QClipboard* clipboard = QGuiApplication::clipboard();
    const auto boxes = Window()->PasswordBoxes();
    for (int i : {0, 4}) {
        clipboard->setText("before");
        QTest::mouseClick(boxes[i], Qt::LeftButton);
        EXPECT_EQ(clipboard->text(), passwords[i]);
        EXPECT_EQ(Status(), "Value copied to clipboard");
        EXPECT_EQ(Kind(), kStatusInfo);
    }
}

TEST_F(PwdGenWindow, FieldsAreClearedOnTheTickThatReachesTheChosenIdleTime) {
    QClipboard* clipboard = QGuiApplication::clipboard();
    Window()->cbClearAfter->setCurrentIndex(1);  // "10 Seconds"
    EXPECT_EQ(Window()->IdleClock().Limit(), 10u);
    Generate(kMaster, kMnemonic);
    QTest::mouseClick(Window()->edtTwo, Qt::LeftButton);
    const QString copied = clipboard->text();

    // Two seconds a tick: the fifth tick after the last activity clears.
    Ticks(4);
    EXPECT_FALSE(FieldsCleared());
    Ticks(1);
    EXPECT_TRUE(FieldsCleared());
    EXPECT_TRUE(Window()->ledMPwd->text().isEmpty());
    EXPECT_EQ(clipboard->text(), copied);
    EXPECT_EQ(Window()->IdleClock().IdleSeconds(), 0u);

    // Every kind of activity starts the count again.
    const std::vector<std::pair<const char*, std::function<void()>>> activities = {
        {"generate", [&] { Window()->btnGen->click(); }},
        {"key in the master password", [&] { QTest::keyClick(Window()->ledMPwd, Qt::Key_End); }},
        {"key in the mnemonic", [&] { QTest::keyClick(Window()->ledNemo, Qt::Key_Home); }},
        {"copy a password", [&] { QTest::mouseClick(Window()->edtSix, Qt::LeftButton); }},
        {"clear-after choice",
         [&] {
             Window()->cbClearAfter->setCurrentIndex(2);
             Window()->cbClearAfter->setCurrentIndex(1);
         }},
    };
    for (const auto& [name, activity] : activities) {
        SCOPED_TRACE(name);
        Generate(kMaster, kMnemonic);
        Ticks(3);
        activity();
        Ticks(4);
        EXPECT_FALSE(FieldsCleared());
        Ticks(1);
        EXPECT_TRUE(FieldsCleared());
    }

    // A stored master password survives the clearing.
    Window()->cbxRemPwd->setChecked(true);
    Generate(kMaster, kMnemonic);
    Ticks(5);
    EXPECT_TRUE(FieldsCleared());
    EXPECT_EQ(Window()->ledMPwd->text(), kMaster);

    // "Never Clear" never does.
    Window()->cbClearAfter->setCurrentIndex(0);
    EXPECT_EQ(Window()->IdleClock().Limit(), 4294967295u);
    Generate(kMaster, kMnemonic);
    Ticks(10000);
    EXPECT_FALSE(FieldsCleared());
}

TEST_F(PwdGenWindow, TheCheckTimerDrivesTheClearing) {
    // The main window's own timer, shortened: "10 Seconds" at 1 s a tick (counted as 1 s).
    m_master->CheckTimer()->setInterval(1000);
    Reopen();
    EXPECT_EQ(Window()->IdleClock().SecondsPerTick(), 1);
    m_master->CheckTimer()->setInterval(20);
    Window()->cbClearAfter->setCurrentIndex(1);
    Generate(kMaster, kMnemonic);
    EXPECT_TRUE(QTest::qWaitFor([this] { return FieldsCleared(); }, 10000));
}

TEST_F(PwdGenWindow, MaskAndResetFollowTheirBoxes) {
    Window()->cbxMask->click();
    EXPECT_EQ(Window()->ledMPwd->echoMode(), QLineEdit::Normal);
    Window()->cbxMask->click();
    EXPECT_EQ(Window()->ledMPwd->echoMode(), QLineEdit::Password);

    Generate(kMaster, kMnemonic);
    Window()->cbxMask->setChecked(false);
    Window()->cbxRemPwd->setChecked(true);
    Window()->cbClearAfter->setCurrentIndex(5);
    Ticks(3);
    Window()->btnReSet->click();
    EXPECT_TRUE(Window()->ledMPwd->text().isEmpty());
    EXPECT_EQ(Window()->ledMPwd->echoMode(), QLineEdit::Password);
    EXPECT_TRUE(Window()->cbxMask->isChecked());
    EXPECT_FALSE(Window()->cbxRemPwd->isChecked());
    EXPECT_EQ(Window()->cbClearAfter->currentIndex(), 4);
    EXPECT_EQ(Window()->IdleClock().Limit(), 120u);
    EXPECT_EQ(Window()->IdleClock().IdleSeconds(), 0u);
    EXPECT_EQ(Boxes(), QStringList(6, QString()));
    EXPECT_EQ(Window()->ledNemo->text(), kMnemonic);
}

TEST_F(PwdGenWindow, TheMasterPasswordIsStoredOnlyWhenAskedAndLoadedMasked) {
    struct TCase {
        const char* name;
        QString master;
        bool remember;
        bool mask;
        int clearAfter;
        QByteArray stored;  // the text before scrambling
        // what the reopened window shows
        QString shownMaster;
        bool shownRemember;
        bool shownMask;
        int shownClearAfter;
    };
    const std::vector<TCase> cases = {
        {"stored, shown plain before", kMaster, true, false, 2, "Secret42|2|1|0|", kMaster, true,
         true, 2},
        {"not stored", kMaster, false, false, 5, "|5|0|0|", "", false, false, 5},
        {"stored and masked", "abc", true, true, 0, "abc|0|1|1|", "abc", true, true, 0},
        // A stored master password holding "|" splits into more fields: all is ignored.
        {"holding a bar", "ab|cd", true, false, 1, "ab|cd|1|1|0|", "", false, true, 4},
    };
    for (const TCase& test : cases) {
        SCOPED_TRACE(test.name);
        Window()->ledMPwd->setText(test.master);
        Window()->ledNemo->setText(kMnemonic);
        Window()->cbxRemPwd->setChecked(test.remember);
        Window()->cbxMask->setChecked(test.mask);
        Window()->cbClearAfter->setCurrentIndex(test.clearAfter);
        Reopen();
        const std::optional<QByteArray> stored = m_master->Stores().LoadToolState("PwdGen");
        ASSERT_TRUE(stored.has_value());
        EXPECT_EQ(DecodeSettings(*stored), test.stored);
        EXPECT_EQ(Window()->ledMPwd->text(), test.shownMaster);
        EXPECT_EQ(Window()->cbxRemPwd->isChecked(), test.shownRemember);
        EXPECT_EQ(Window()->cbxMask->isChecked(), test.shownMask);
        EXPECT_EQ(Window()->ledMPwd->echoMode(),
                  test.shownMask ? QLineEdit::Password : QLineEdit::Normal);
        EXPECT_EQ(Window()->cbClearAfter->currentIndex(), test.shownClearAfter);
        EXPECT_EQ(Window()->IdleClock().Limit(), ClearAfterLimit(test.shownClearAfter));
        EXPECT_TRUE(Window()->ledNemo->text().isEmpty());
    }

    // Across a restart of the program too.
    Window()->ledMPwd->setText(kMaster);
    Window()->cbxRemPwd->setChecked(true);
    Open(m_dir.Sub("prog"));
    EXPECT_EQ(Window()->ledMPwd->text(), kMaster);
    EXPECT_TRUE(Window()->cbxRemPwd->isChecked());
}

TEST_F(PwdGenWindow, WithoutAnInstallationKeyGenerateIsUnavailable) {
    // A fresh installation whose database is not open cannot make or keep a key.
    m_master.reset();
    m_master = std::make_unique<TMaster>(m_dir.Sub("nokey"), ToolTable());
    m_master->SetFlag(kFlagUiDatabase, false);
    m_master->SelectTool(kPwdGenIndex);
    EXPECT_TRUE(Window()->InstallKey().isEmpty());
    EXPECT_FALSE(Window()->btnGen->isEnabled());
    EXPECT_FALSE(Window()->btnKey->isEnabled());
    m_master->SetFlag(kFlagUiDatabase, true);
}

TEST_F(PwdGenWindow, ShowRecoveryKeyShowsTheKeyTheBoxesAreMadeFrom) {
    TfrmPwdGen* window = Window();
    EXPECT_EQ(window->btnKey->text(), "Show recovery key");
    EXPECT_TRUE(window->btnKey->isEnabled());
    // The button sits on the window beside the label of the passwords, clear of it.
    EXPECT_TRUE(window->rect().contains(window->btnKey->geometry()));
    EXPECT_FALSE(window->btnKey->geometry().intersects(window->lblSugg->geometry()));
    EXPECT_GE(window->btnKey->width(), window->btnKey->sizeHint().width());

    QStringList shown;
    window->ShowRecoveryText = [&](const QString& text) { shown << text; };
    window->btnKey->click();
    ASSERT_EQ(shown.size(), 1);
    EXPECT_TRUE(shown[0].startsWith("Quiva Tessaline recovery key\n")) << shown[0].toStdString();
    EXPECT_TRUE(
        shown[0].endsWith("This key together with your master password yields every "
                          "password Pwd Maker makes, so keep it somewhere safe."));
    QString error;
    EXPECT_EQ(ParseRecoveryText(shown[0].toUtf8(), error), window->InstallKey());
    EXPECT_TRUE(error.isEmpty());
}

}  // namespace
