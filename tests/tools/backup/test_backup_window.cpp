// The Backup window driven headless on real profiles, a real backups.db and real folders:
// the profile rules and key filters, the override masks, searches with their date range
// and sorting, restore and extract with their passwords, discarding, a file's history,
// the log view, monitoring that outlives the window, its stored state and its layout.
#include "app/tool_table.h"
#include "windows/backup/backup_window.h"

#include "backup/backup_log.h"
#include "backup/backup_store.h"
#include "backup/profile.h"
#include "backup/profiles.h"
#include "backup/version_blob.h"
#include "base/day_number.h"
#include "base/settings_codec.h"
#include "platform/native_name.h"
#include "shell/master_window.h"
#include "shell/status_panel.h"
#include "support/test_dir.h"
#include "ui/ell_path.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCalendarWidget>
#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

constexpr int kBackupIndex = 0;
constexpr int kSplitIndex = 9;
constexpr int kWaitMs = 20000;

QStringList Texts(const QListWidget* list) {
    QStringList texts;
    for (int i = 0; i < list->count(); ++i) {
        texts << list->item(i)->text();
    }
    return texts;
}

// The texts of one column of a report list, top to bottom.
QStringList Column(const QTreeWidget* list, int column) {
    QStringList texts;
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        texts << list->topLevelItem(i)->text(column);
    }
    return texts;
}

QTreeWidgetItem* ResultNamed(const QTreeWidget* list, const QString& file) {
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        if (list->topLevelItem(i)->text(0) == file) {
            return list->topLevelItem(i);
        }
    }
    return nullptr;
}

QListWidgetItem* ItemNamed(const QListWidget* list, const QString& text) {
    for (int i = 0; i < list->count(); ++i) {
        if (list->item(i)->text() == text) {
            return list->item(i);
        }
    }
    return nullptr;
}

class BackupWindow : public ::testing::Test {
protected:
    void SetUp() override {
        TfrmBackup::SortState() = {};
        m_tree = m_dir.MakeDir("tree") + "/";
        m_master = std::make_unique<TMaster>(m_dir.Sub("prog"), ToolTable());
        m_master->show();
    }
    void TearDown() override {
        // The window goes first (it stores the profiles), then the program.
        m_master.reset();
    }

    TfrmBackup* Show() {
        m_master->SelectTool(kBackupIndex);
        return dynamic_cast<TfrmBackup*>(m_master->CurrentWindow());
    }
    TProfiles& Profiles() { return *m_master->Backups().Profiles(); }
    TBackupStore& Store() { return *m_master->Backups().Store(); }
    QString StatusText() const { return m_master->StatusPanel()->Text(); }
    int StatusKind() const { return m_master->StatusPanel()->Kind(); }

    // A profile made through the window: Add, a name, a target folder and extensions.
    static TProfile* AddProfile(TfrmBackup* window, const QString& name, const QString& folder,
                                const QStringList& extensions) {
        window->btnAdd->click();
        TProfile* profile = window->ShownProfile();
        if (profile == nullptr) {
            return nullptr;
        }
        window->edtMoni->setText(name);
        window->btnRename->click();
        window->AskTargetFolder = [folder] { return std::optional<QString>(folder); };
        window->sbnBrowse->click();
        window->lbExts->clearSelection();
        for (const QString& extension : extensions) {
            if (QListWidgetItem* item = ItemNamed(window->lbExts, extension)) {
                item->setSelected(true);
            }
        }
        window->btnUse->click();
        return profile;
    }

    // A full backup through the window, waited for until the run has ended and the window
    // has been told.
    static bool FullBackup(TfrmBackup* window) {
        TProfile* profile = window->ShownProfile();
        if (profile == nullptr || !window->btnFullBack->isEnabled()) {
            return false;
        }
        window->btnFullBack->click();
        return QTest::qWaitFor(
            [&] { return !profile->TestBit(kBitActive) && window->pnlData->isEnabled(); }, kWaitMs);
    }

    static void Search(TfrmBackup* window, const QString& profileName) {
        window->lbPros->setCurrentItem(ItemNamed(window->lbPros, profileName));
        window->btnBrowse->click();
    }

    // Stores versions made at `when` from then on.
    void DateVersions(const QDateTime& when) {
        Store().SetClock([when] { return when; });
    }

    TestDir m_dir;
    QString m_tree;
    std::unique_ptr<TMaster> m_master;
};

TEST_F(BackupWindow, OpensOnTheBackupNodeWithItsDefaultsAndCheckInterval) {
    EXPECT_EQ(m_master->CheckInterval(), 2000);
    TfrmBackup* window = Show();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->size(), QSize(734, 500));
    EXPECT_TRUE(QFile::exists(":/help/150.html"));
    EXPECT_EQ(m_master->CheckInterval(), 30000);

    EXPECT_EQ(window->pgcBackup->tabText(0), "Profiles");
    EXPECT_EQ(window->pgcBackup->tabText(1), "Backups Manager");
    EXPECT_EQ(window->pgcBackup->tabText(2), "Backup Log");
    EXPECT_EQ(window->lbExts->count(), 157);
    EXPECT_EQ(window->lbExts->item(0)->text(), ".7z");
    EXPECT_EQ(window->lbExts->item(156)->text(), ".zip");
    EXPECT_EQ(window->edtMask->text(), "%");
    EXPECT_TRUE(window->cbxChDate->isChecked());
    EXPECT_EQ(window->edtPwd->maxLength(), 12);
    EXPECT_EQ(window->mcTo->selectedDate(), QDate::currentDate());
    EXPECT_EQ(window->mcTo->maximumDate(), QDate::currentDate().addDays(1));
    EXPECT_EQ(window->mcFrom->maximumDate(), QDate::currentDate());
    EXPECT_EQ(window->mcFrom->minimumDate(), QDate(1980, 1, 1));
    EXPECT_EQ(window->mcTo->minimumDate(), QDate(1980, 1, 2));
    EXPECT_EQ(window->cbSkip->count(), kSizeLimits);
    EXPECT_EQ(window->cbSkip->itemText(10), "4096 Kb");
    EXPECT_EQ(window->cbSkip->itemText(11), "16 MB");
    EXPECT_EQ(window->cbSkip->itemText(kNoSizeLimit), "No limit");
    EXPECT_EQ(window->cbDiscard->itemText(7), "Never discard");
    EXPECT_EQ(window->cbPrior->count(), 6);
    EXPECT_EQ(window->cbxTetu->text(), "Skip && log on failure");
    // Nothing to act on yet.
    for (QWidget* control : std::initializer_list<QWidget*>{
             window->btnRename, window->btnDelete, window->btnStop, window->btnStart,
             window->pnlData, window->btnFullBack, window->btnPrune, window->btnDiscAll}) {
        EXPECT_FALSE(control->isEnabled()) << qPrintable(control->objectName());
    }
    EXPECT_TRUE(window->btnAdd->isEnabled());
    EXPECT_EQ(window->lvResults->headerItem()->text(3), "Size");
    EXPECT_EQ(window->lvLog->headerItem()->text(1), "Event");

    // Another tool gets the interval the program had before.
    m_master->SelectTool(kSplitIndex);
    EXPECT_EQ(m_master->CheckInterval(), 2000);
}

TEST_F(BackupWindow, NothingIsCutAtTheDefaultFontAndOneAndAHalfTimesIt) {
    m_master.reset();
    const QFont original = QApplication::font();
    for (const double scale : {1.0, 1.5}) {
        QFont font = original;
        font.setPointSizeF(original.pointSizeF() * scale);
        QApplication::setFont(font);
        TMaster master(m_dir.Sub("prog"), ToolTable());
        master.show();
        master.SelectTool(kBackupIndex);
        auto* window = dynamic_cast<TfrmBackup*>(master.CurrentWindow());
        ASSERT_NE(window, nullptr);
        EXPECT_GE(window->width(), 734);
        EXPECT_GE(window->height(), 500);
        // Every page in turn, the two inner pages of the profile too.
        const QList<std::pair<int, int>> pages = {{0, 0}, {0, 1}, {1, 0}, {2, 0}};
        for (const auto& [outer, inner] : pages) {
            window->pgcBackup->setCurrentIndex(outer);
            window->pgcProfile->setCurrentIndex(inner);
            QApplication::processEvents();
            for (QWidget* control : window->findChildren<QWidget*>()) {
                // Qt's own parts of a calendar or a tab bar size themselves.
                if (control->objectName().isEmpty() ||
                    control->objectName().startsWith(QLatin1String("qt_"))) {
                    continue;
                }
                if (!control->isVisibleTo(window) ||
                    !(qobject_cast<QAbstractButton*>(control) || qobject_cast<QLabel*>(control) ||
                      qobject_cast<QComboBox*>(control) || qobject_cast<QGroupBox*>(control))) {
                    continue;
                }
                const QString where = QStringLiteral("%1 at %2x, page %3.%4")
                                          .arg(control->objectName())
                                          .arg(scale)
                                          .arg(outer)
                                          .arg(inner);
                EXPECT_GE(control->width(), control->minimumSizeHint().width())
                    << qPrintable(where);
                EXPECT_GE(control->height(), control->minimumSizeHint().height())
                    << qPrintable(where);
                const QRect inWindow(control->mapTo(window, QPoint(0, 0)), control->size());
                EXPECT_TRUE(window->rect().contains(inWindow)) << qPrintable(where);
            }
        }
    }
    QApplication::setFont(original);
}

TEST_F(BackupWindow, ProfilesAreAddedUpToTenRenamedByTheRulesAndFiltered) {
    TfrmBackup* window = Show();
    ASSERT_NE(window, nullptr);
    for (int i = 0; i < 10; ++i) {
        window->btnAdd->click();
    }
    EXPECT_EQ(Profiles().Count(), 10);
    EXPECT_EQ(window->lbProfiles->count(), 10);
    EXPECT_EQ(window->lbPros->count(), 10);
    window->btnAdd->click();
    EXPECT_EQ(StatusText(), "Only 10 profiles allowed");
    EXPECT_EQ(StatusKind(), kStatusError);
    EXPECT_EQ(Profiles().Count(), 10);

    // The name box keeps letters (of any alphabet), digits and "_" only, 24 at most, and its
    // hint says so.
    window->edtMoni->clear();
    QTest::keyClicks(window->edtMoni, "my file-2_x");
    EXPECT_EQ(window->edtMoni->text(), "myfile2_x");
    EXPECT_EQ(window->edtMoni->maxLength(), 24);
    window->edtMoni->clear();
    // (Typed text beyond ASCII goes in as an input method gives it.)
    for (const QChar c : QStringLiteral("Straße über-Ωμέγα")) {
        window->edtMoni->insert(QString(c));
    }
    EXPECT_EQ(window->edtMoni->text(), QStringLiteral("StraßeüberΩμέγα"));
    EXPECT_TRUE(window->edtMoni->statusTip().contains("letters of any alphabet"));

    TProfile* shown = window->ShownProfile();
    ASSERT_NE(shown, nullptr);
    const QString oldName = shown->Name();
    window->edtMoni->setText("abc");
    window->btnRename->click();
    EXPECT_EQ(StatusText(), "Name too short");
    EXPECT_EQ(shown->Name(), oldName);

    // What the box keeps, the rename takes and the store holds.
    window->edtMoni->setText(QStringLiteral("Straße_über"));
    window->btnRename->click();
    EXPECT_EQ(shown->Name(), QStringLiteral("Straße_über"));
    EXPECT_TRUE(
        m_master->Stores().LoadProfileBlob(QStringLiteral("Straße_über").toUtf8()).has_value());

    window->edtMoni->setText("abcd");
    window->btnRename->click();
    EXPECT_EQ(shown->Name(), "abcd");
    EXPECT_TRUE(Texts(window->lbProfiles).contains("abcd"));
    EXPECT_TRUE(Texts(window->lbPros).contains("abcd"));
    EXPECT_FALSE(Texts(window->lbProfiles).contains(oldName));
    EXPECT_TRUE(m_master->Stores().LoadProfileBlob("abcd").has_value());
    EXPECT_FALSE(m_master->Stores().LoadProfileBlob(oldName.toUtf8()).has_value());

    // The name of another profile, in any case, changes nothing and says why.
    window->lbProfiles->setCurrentItem(ItemNamed(window->lbProfiles, "New Profile_1"));
    TProfile* other = window->ShownProfile();
    ASSERT_NE(other, nullptr);
    ASSERT_EQ(other->Name(), "New Profile_1");
    m_master->ShowStatus(QString(), false, kStatusInfo);
    window->edtMoni->setText("ABCD");
    window->btnRename->click();
    EXPECT_EQ(other->Name(), "New Profile_1");
    EXPECT_EQ(StatusText(), "A profile named ABCD exists already");
    EXPECT_EQ(StatusKind(), kStatusError);
    EXPECT_TRUE(m_master->Stores().LoadProfileBlob("New Profile_1").has_value());

    // Delete asks; No keeps the profile, Yes removes it with its row.
    QStringList asked;
    bool answer = false;
    window->AskYesNo = [&](const QString& text, int) {
        asked << text;
        return answer;
    };
    window->btnDelete->click();
    EXPECT_EQ(asked, QStringList({"Delete \"New Profile_1\" and associated backups?"}));
    EXPECT_EQ(Profiles().Count(), 10);
    answer = true;
    window->btnDelete->click();
    EXPECT_EQ(Profiles().Count(), 9);
    EXPECT_EQ(Profiles().FindByName("New Profile_1"), nullptr);
    EXPECT_EQ(ItemNamed(window->lbProfiles, "New Profile_1"), nullptr);
    EXPECT_EQ(ItemNamed(window->lbPros, "New Profile_1"), nullptr);
    EXPECT_EQ(window->ShownProfile(), nullptr);
    EXPECT_FALSE(window->pnlData->isEnabled());
    EXPECT_FALSE(m_master->Stores().LoadProfileBlob("New Profile_1").has_value());

    // The question itself has No as its default: Enter keeps what it asks about.
    for (const int key : {Qt::Key_Return, Qt::Key_Escape}) {
        bool defaultIsNo = false;
        QTimer::singleShot(0, window, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            ASSERT_NE(box, nullptr);
            defaultIsNo = box->defaultButton() == box->button(QMessageBox::No);
            QTest::keyClick(box, static_cast<Qt::Key>(key));
        });
        EXPECT_FALSE(window->ConfirmYesNo("Delete \"x\" and associated backups?", 150));
        EXPECT_TRUE(defaultIsNo);
    }
}

TEST_F(BackupWindow, ExtensionsOptionsAndRulesReachTheProfile) {
    TfrmBackup* window = Show();
    ASSERT_NE(window, nullptr);
    window->btnAdd->click();
    TProfile* profile = window->ShownProfile();
    ASSERT_NE(profile, nullptr);
    // The first new profile takes the home folder; this one takes the tree.
    window->AskTargetFolder = [this] { return std::optional<QString>(m_tree); };
    window->sbnBrowse->click();
    EXPECT_EQ(profile->Target(), m_tree);
    EXPECT_EQ(window->edtTarget->Caption(), m_tree);
    EXPECT_FALSE(profile->TestBit(kBitReady));
    EXPECT_FALSE(window->btnStart->isEnabled());

    window->btnUse->click();
    EXPECT_EQ(StatusText(), "First select some file extensions to add!");
    window->btnRemove->click();
    EXPECT_EQ(StatusText(), "First select some file extensions to remove!");

    ItemNamed(window->lbExts, ".txt")->setSelected(true);
    ItemNamed(window->lbExts, ".c")->setSelected(true);
    window->btnUse->click();
    EXPECT_EQ(profile->Extensions(), QStringList({".c", ".txt"}));
    EXPECT_TRUE(profile->TestBit(kBitReady));
    EXPECT_TRUE(window->btnStart->isEnabled());
    EXPECT_TRUE(window->btnFullBack->isEnabled());
    EXPECT_TRUE(ItemNamed(window->lbProfiles, profile->Name())->font().bold());

    // A custom type: lower case, no dot or path characters, six at most.
    window->btnCustom->click();
    EXPECT_EQ(StatusText(), "First provide a custom file extension to add!");
    QTest::keyClicks(window->edtCustom, "M.d*?");
    EXPECT_EQ(window->edtCustom->text(), "md");
    window->btnCustom->click();
    EXPECT_EQ(profile->Extensions(), QStringList({".c", ".md", ".txt"}));
    EXPECT_TRUE(ItemNamed(window->lbExts, ".md") != nullptr);
    EXPECT_EQ(window->lbExts->count(), 158);
    window->btnCustom->click();
    EXPECT_EQ(StatusText(), ".md is already being monitored");
    window->edtCustom->setText("TXT");
    EXPECT_EQ(window->edtCustom->text(), "txt");
    window->btnCustom->click();
    EXPECT_EQ(StatusText(), ".txt is already being monitored");

    window->lbMasks->clearSelection();
    ItemNamed(window->lbMasks, ".c")->setSelected(true);
    window->btnRemove->click();
    EXPECT_EQ(profile->Extensions(), QStringList({".md", ".txt"}));

    // The option boxes set the profile's bits by their tags.
    window->cbxDetLog->click();
    EXPECT_TRUE(profile->TestBit(kBitDetailedLog));
    window->cbxRecurse->click();
    EXPECT_FALSE(profile->TestBit(kBitRecurse));
    window->cbSkip->setCurrentIndex(4);
    window->cbDiscard->setCurrentIndex(7);
    window->cbPrior->setCurrentIndex(3);
    EXPECT_EQ(profile->SizeLimitKb(), 50);
    EXPECT_EQ(profile->DiscardRule(), 7);
    EXPECT_EQ(profile->PriorityOrder(), 3);

    // Autostart needs a ready profile: without extensions it is refused and unticked.
    window->lbMasks->selectAll();
    window->btnRemove->click();
    EXPECT_FALSE(profile->TestBit(kBitReady));
    EXPECT_FALSE(window->btnStart->isEnabled());
    window->cbxAutoStart->click();
    EXPECT_EQ(StatusText(), "Supply a target directory & at least one file type to monitor!");
    EXPECT_FALSE(window->cbxAutoStart->isChecked());
    EXPECT_FALSE(profile->TestBit(kBitAutostart));

    // The program's own folders cannot be a target.
    window->AskTargetFolder = [this] { return std::optional<QString>(m_dir.Sub("prog/Data")); };
    window->sbnBrowse->click();
    EXPECT_EQ(StatusText(), "Quiva application, data & log folders cannot be monitored");
    EXPECT_EQ(profile->Target(), m_tree);

    // Showing another profile and this one again shows what it has.
    window->btnAdd->click();
    EXPECT_NE(window->ShownProfile(), profile);
    EXPECT_TRUE(window->lbMasks->count() == 0);
    window->lbProfiles->setCurrentItem(ItemNamed(window->lbProfiles, profile->Name()));
    EXPECT_EQ(window->ShownProfile(), profile);
    EXPECT_EQ(window->cbSkip->currentIndex(), 4);
    EXPECT_EQ(window->cbDiscard->currentIndex(), 7);
    EXPECT_EQ(window->cbPrior->currentIndex(), 3);
    EXPECT_TRUE(window->cbxDetLog->isChecked());
    EXPECT_FALSE(window->cbxRecurse->isChecked());
    EXPECT_EQ(profile->SizeLimitKb(), 50);
}

TEST_F(BackupWindow, OverrideMasksAreCheckedInOrderAndSubfoldersIgnored) {
    m_dir.MakeDir("tree/build");
    m_dir.MakeDir("tree/docs");
    m_dir.MakeDir("tree/.hidden");
    const QString longName = "long" + QString(96, 'x');
    m_dir.MakeDir("tree/" + longName);
    TfrmBackup* window = Show();
    ASSERT_NE(window, nullptr);
    TProfile* profile = AddProfile(window, "Docs", m_tree, {".txt"});
    ASSERT_NE(profile, nullptr);

    // The mask boxes drop path characters.
    QTest::keyClicks(window->edtASkip, "a:b|c<>\"/\\d");
    EXPECT_EQ(window->edtASkip->text(), "abcd");

    struct TCase {
        int tag;
        const char* mask;
        const char* status;  // empty: accepted
    };
    const TCase cases[] = {
        {kAlwaysSkip, "", "First provide an entry to add!"},
        {kAlwaysSkip, "*.*", "Pure wildcard patterns not allowed here"},
        {kAlwaysSkip, "?*", "Illegal character sequence ?*"},
        {kAlwaysSkip, "a..b", "Illegal character sequence .."},
        {kAlwaysSkip, "**x", "Illegal character sequence **"},
        {kAlwaysSkip, "x*?", "Illegal character sequence *?"},
        {kAlwaysSkip, "*.tmp", ""},
        {kAlwaysSkip, "*.TMP", "*.TMP is already included"},
        {kAlwaysBackup, "~*", ""},
        {kNeverDiscard, "report", ""},
    };
    QToolButton* add[] = {window->bbnAbA, window->sbnASA, window->sbnNDAdd};
    QLineEdit* edit[] = {window->edtABack, window->edtASkip, window->edtNevDis};
    for (const TCase& c : cases) {
        m_master->ShowStatus(QString(), false, kStatusInfo);
        edit[c.tag]->setText(QString::fromLatin1(c.mask));
        add[c.tag]->click();
        EXPECT_EQ(StatusText(), QString::fromLatin1(c.status)) << c.mask;
    }
    EXPECT_EQ(profile->OverrideList(kAlwaysSkip), QStringList({"*.tmp"}));
    EXPECT_EQ(profile->OverrideList(kAlwaysBackup), QStringList({"~*"}));
    EXPECT_EQ(profile->OverrideList(kNeverDiscard), QStringList({"report"}));
    EXPECT_EQ(Texts(window->lbASkip), QStringList({"*.tmp"}));

    window->lbASkip->clearSelection();
    window->sbnASkipR->click();
    EXPECT_EQ(StatusText(), "First select something to remove!");
    window->lbASkip->item(0)->setSelected(true);
    window->sbnASkipR->click();
    EXPECT_TRUE(profile->OverrideList(kAlwaysSkip).isEmpty());
    EXPECT_EQ(window->lbASkip->count(), 0);

    // The target's subfolders, hidden ones left out; a tick ignores one.
    EXPECT_EQ(Texts(window->clbIgFold), QStringList({"build", "docs", longName}));
    ItemNamed(window->clbIgFold, "build")->setCheckState(Qt::Checked);
    EXPECT_EQ(profile->IgnoreList(), QStringList({"build"}));
    window->btnAdd->click();
    window->lbProfiles->setCurrentItem(ItemNamed(window->lbProfiles, "Docs"));
    EXPECT_EQ(ItemNamed(window->clbIgFold, "build")->checkState(), Qt::Checked);
    EXPECT_EQ(ItemNamed(window->clbIgFold, "docs")->checkState(), Qt::Unchecked);

    // Masks are taken while the profile's stored form can hold them, and no further.
    const int before = window->lbABack->count();
    m_master->ShowStatus(QString(), false, kStatusInfo);
    for (int i = 0; i < 400 && StatusText().isEmpty(); ++i) {
        window->edtABack->setText(QStringLiteral("mask%1.keep").arg(i, 6, 10, QLatin1Char('0')));
        window->bbnAbA->click();
    }
    EXPECT_EQ(StatusText(), "The profile's settings are too long to be stored (at most 10 KiB)");
    EXPECT_GT(window->lbABack->count(), before + 100);
    EXPECT_EQ(Texts(window->lbABack), profile->OverrideList(kAlwaysBackup));
    EXPECT_NO_THROW(profile->CheckBlobFits());
    // Then a long subfolder name does not fit either, and its box goes back.
    ItemNamed(window->clbIgFold, longName)->setCheckState(Qt::Checked);
    EXPECT_EQ(profile->IgnoreList(), QStringList({"build"}));
    EXPECT_EQ(ItemNamed(window->clbIgFold, longName)->checkState(), Qt::Unchecked);
}

TEST_F(BackupWindow, ProfilesAreDrawnInTheStyleOfTheirState) {
    TfrmBackup* window = Show();
    ASSERT_NE(window, nullptr);
    m_dir.Write("tree/a.txt", "a");
    window->btnAdd->click();
    window->btnAdd->click();
    TProfile* plain = Profiles().FindByName("New Profile_1");
    ASSERT_NE(plain, nullptr);
    TProfile* profile = AddProfile(window, "Docs", m_tree, {".txt"});
    ASSERT_NE(profile, nullptr);
    auto style = [&](const TProfile* p) {
        const QListWidgetItem* item = ItemNamed(window->lbPros, p->Name());
        return std::make_pair(item->font().bold(), item->foreground().color());
    };
    EXPECT_EQ(style(plain), std::make_pair(false, QColor(0, 0, 0)));
    EXPECT_EQ(style(profile), std::make_pair(true, QColor(0, 0, 0)));

    // A one-shot run is purple until the window hears of its end (a queued call, so it
    // cannot have come yet), then bold again.
    window->btnFullBack->click();
    EXPECT_EQ(style(profile), std::make_pair(false, QColor(128, 0, 128)));
    EXPECT_FALSE(window->pnlData->isEnabled());
    EXPECT_TRUE(window->btnStop->isEnabled());
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->pnlData->isEnabled(); }, kWaitMs));
    EXPECT_EQ(style(profile), std::make_pair(true, QColor(0, 0, 0)));
    EXPECT_FALSE(window->btnStop->isEnabled());

    window->btnStart->click();
    EXPECT_TRUE(profile->TestBit(kBitActive));
    EXPECT_EQ(style(profile), std::make_pair(false, QColor(255, 0, 0)));
    EXPECT_EQ(ProfileState(*profile), kStateMonitoring);
    window->btnStop->click();
    EXPECT_FALSE(profile->TestBit(kBitActive));
    EXPECT_EQ(style(profile), std::make_pair(true, QColor(0, 0, 0)));
}

TEST_F(BackupWindow, SearchesByMaskAndDateRangeAndSortsSizesAsNumbers) {
    const QDate day = QDate::currentDate().addDays(-10);
    m_dir.Write("tree/nine.txt", QByteArray(9, 'n'));
    m_dir.Write("tree/ten.txt", QByteArray(10, 't'));
    m_dir.Write("tree/hundred.txt", QByteArray(100, 'h'));
    TfrmBackup* window = Show();
    ASSERT_NE(window, nullptr);
    TProfile* profile = AddProfile(window, "Docs", m_tree, {".txt"});
    ASSERT_NE(profile, nullptr);
    DateVersions(QDateTime(day, QTime(0, 0)));
    ASSERT_TRUE(FullBackup(window));
    // The same files once more, at noon.
    DateVersions(QDateTime(day, QTime(12, 0)));
    ASSERT_TRUE(FullBackup(window));

    // The mask box turns * and ? into SQL's wild cards.
    window->edtMask->clear();
    QTest::keyClicks(window->edtMask, "*e?.txt");
    EXPECT_EQ(window->edtMask->text(), "%e_.txt");

    window->btnBrowse->click();
    EXPECT_EQ(StatusText(), "First select a profile to browse!");

    window->edtMask->setText("%");
    window->mcFrom->setSelectedDate(day);
    window->mcTo->setSelectedDate(day);
    Search(window, "Docs");
    EXPECT_EQ(StatusText(), "6 matches");
    EXPECT_EQ(StatusKind(), kStatusCompletion);
    EXPECT_EQ(window->lvResults->topLevelItemCount(), 6);
    const QTreeWidgetItem* nine = ResultNamed(window->lvResults, "nine.txt");
    ASSERT_NE(nine, nullptr);
    EXPECT_EQ(nine->text(1), ".txt");
    EXPECT_EQ(nine->text(2), m_tree);
    EXPECT_EQ(nine->text(3), "9");
    EXPECT_EQ(nine->text(4).left(10), day.toString("yyyy/MM/dd"));

    window->edtMask->setText("n%");
    Search(window, "Docs");
    EXPECT_EQ(StatusText(), "2 matches");
    window->edtMask->setText("nothing%");
    Search(window, "Docs");
    EXPECT_EQ(StatusText(), "No Matches");
    EXPECT_EQ(window->lvResults->topLevelItemCount(), 0);
    window->edtMask->setText("a%%");
    Search(window, "Docs");
    EXPECT_EQ(StatusText(), "Illegal character sequence %%");
    window->edtMask->setText("a%_");
    Search(window, "Docs");
    EXPECT_EQ(StatusText(), "Illegal character sequence %_");

    // "and" the day before "Between": only what was made at midnight that starts it.
    window->edtMask->setText("%");
    window->mcTo->setSelectedDate(day.addDays(-1));
    Search(window, "Docs");
    EXPECT_EQ(StatusText(), "3 matches");
    for (const QString& date : Column(window->lvResults, 4)) {
        EXPECT_TRUE(date.endsWith("00:00:00")) << qPrintable(date);
    }
    window->mcTo->setSelectedDate(day.addDays(-2));
    Search(window, "Docs");
    EXPECT_EQ(StatusText(), "Invalid date range");
    EXPECT_EQ(window->lvResults->topLevelItemCount(), 3);

    // Sorting: the first click on column 0 inverts the starting order (it is the sort
    // column already); another column keeps the direction; sizes go by number.
    window->mcTo->setSelectedDate(day);
    Search(window, "Docs");
    QHeaderView* header = window->lvResults->header();
    emit header->sectionClicked(0);
    EXPECT_EQ(Column(window->lvResults, 0).first(), "ten.txt");
    EXPECT_TRUE(TfrmBackup::SortState().descending);
    emit header->sectionClicked(0);
    EXPECT_EQ(Column(window->lvResults, 0).first(), "hundred.txt");
    emit header->sectionClicked(3);
    EXPECT_EQ(Column(window->lvResults, 3), QStringList({"9", "9", "10", "10", "100", "100"}));
    emit header->sectionClicked(3);
    EXPECT_EQ(Column(window->lvResults, 3), QStringList({"100", "100", "10", "10", "9", "9"}));
    emit header->sectionClicked(4);
    EXPECT_TRUE(Column(window->lvResults, 4).first().endsWith("12:00:00"));
    EXPECT_TRUE(Column(window->lvResults, 4).last().endsWith("00:00:00"));

    // Another profile picked for browsing empties the results.
    window->btnAdd->click();
    window->lbPros->setCurrentItem(ItemNamed(window->lbPros, "New Profile"));
    EXPECT_EQ(window->lvResults->topLevelItemCount(), 0);
}

TEST_F(BackupWindow, RestoreNeedsThePasswordOfTheBackupAndGivesBackBytesAndDate) {
    // A password beyond ASCII, typed in the preferences as the user types it here.
    const QString password = QStringLiteral("pässwörd1");
    m_master->Stores().SetPreferencesPassword(password.toLocal8Bit());
    const QByteArray content = QByteArray("the first state of the file\n").repeated(40);
    const QString file = m_dir.Write("tree/sub/notes.txt", content);
    TfrmBackup* window = Show();
    ASSERT_NE(window, nullptr);
    TProfile* profile = AddProfile(window, "Docs", m_tree, {".txt"});
    ASSERT_NE(profile, nullptr);
    const QDateTime stored(QDate::currentDate().addDays(-3), QTime(14, 30, 15));
    DateVersions(stored);
    ASSERT_TRUE(FullBackup(window));
    m_dir.Write("tree/sub/notes.txt", "changed");

    window->btnRestore->click();
    EXPECT_EQ(StatusText(), "First browse for something to restore!");
    window->mcFrom->setSelectedDate(QDate(2000, 1, 1));
    Search(window, "Docs");
    ASSERT_EQ(window->lvResults->topLevelItemCount(), 1);
    window->btnRestore->click();
    EXPECT_EQ(StatusText(), "First select something to restore!");
    window->btnExtract->click();
    EXPECT_EQ(StatusText(), "First select something to extract!");
    window->lvResults->topLevelItem(0)->setSelected(true);

    // The password shows as "*" unless the user asks to see it.
    EXPECT_TRUE(window->cbxMask->isChecked());
    EXPECT_EQ(window->edtPwd->echoMode(), QLineEdit::Password);
    window->cbxMask->click();
    EXPECT_EQ(window->edtPwd->echoMode(), QLineEdit::Normal);
    window->cbxMask->click();
    EXPECT_EQ(window->edtPwd->echoMode(), QLineEdit::Password);

    window->edtPwd->clear();
    window->btnRestore->click();
    EXPECT_EQ(StatusText(), "The password at the time the backup was created is required!");
    EXPECT_EQ(m_dir.Read("tree/sub/notes.txt"), "changed");

    // The default password is not the one in force.
    window->edtPwd->setText("vompa7");
    window->btnRestore->click();
    EXPECT_EQ(StatusText(), "Invalid encryption password");
    EXPECT_EQ(StatusKind(), kStatusError);
    EXPECT_EQ(m_dir.Read("tree/sub/notes.txt"), "changed");

    // The content the restore replaces, which no version holds, is stored first.
    window->edtPwd->setText(password);
    window->btnRestore->click();
    EXPECT_TRUE(StatusText().startsWith(
        QStringLiteral("1 file restored; Kept the replaced content of \"%1\" as version ")
            .arg(file)))
        << qPrintable(StatusText());
    const QFileInfo restored(file);  // before it is read, which may move its access time
    EXPECT_EQ(restored.lastModified(), stored);
    EXPECT_EQ(restored.lastRead(), stored);
    EXPECT_EQ(m_dir.Read("tree/sub/notes.txt"), content);

    // Without "Assign Date" the file keeps the time of its writing.
    m_dir.Write("tree/sub/notes.txt", "changed again");
    window->cbxChDate->setChecked(false);
    window->btnRestore->click();
    EXPECT_EQ(m_dir.Read("tree/sub/notes.txt"), content);
    EXPECT_GT(QFileInfo(file).lastModified(), stored.addDays(1));

    // Both replaced contents are versions now, under the preferences password.
    QList<TVersionRow> rows;
    ASSERT_TRUE(Store().SearchVersions(profile->Number(), 0, "notes.txt", 1000000, rows));
    ASSERT_EQ(rows.size(), 3);
    const TBlobKeys keys = TBlobKeys::FromPassword(password.toLocal8Bit());
    EXPECT_EQ(DecodeVersion(*Store().LoadVersionData(rows[1].versionId), keys), "changed");
    EXPECT_EQ(DecodeVersion(*Store().LoadVersionData(rows[2].versionId), keys), "changed again");
}

TEST_F(BackupWindow, ExtractAsksForEachDestinationAndStopsWhenOneIsCancelled) {
    m_dir.Write("tree/one.txt", "first file");
    m_dir.Write("tree/two.c", "second file");
    TfrmBackup* window = Show();
    ASSERT_NE(window, nullptr);
    TProfile* profile = AddProfile(window, "Docs", m_tree, {".txt", ".c"});
    ASSERT_NE(profile, nullptr);
    ASSERT_TRUE(FullBackup(window));
    window->mcFrom->setSelectedDate(QDate(2000, 1, 1));
    Search(window, "Docs");
    ASSERT_EQ(window->lvResults->topLevelItemCount(), 2);
    emit window->lvResults->header()->sectionClicked(1);  // ".c" before ".txt"
    window->btnChkAll->click();
    window->edtPwd->setText("vompa7");

    const QString out = m_dir.MakeDir("out");
    struct TAsked {
        QString folder;
        QString extension;
        QString name;
    };
    QList<TAsked> asked;
    window->AskDestination = [&](const QString& folder, const QString& extension,
                                 const QString& name) {
        asked.append({folder, extension, name});
        return asked.size() == 1 ? out + "/copy.c" : QString();
    };
    window->btnExtract->click();
    ASSERT_EQ(asked.size(), 2);
    EXPECT_EQ(asked[0].folder, m_master->DataFolder());
    EXPECT_EQ(asked[0].extension, "c");
    EXPECT_EQ(asked[0].name, "two.c");
    // The next dialog opens where the last extraction went.
    EXPECT_EQ(asked[1].folder, out + "/");
    EXPECT_EQ(asked[1].extension, "txt");
    EXPECT_EQ(window->ExtractFolder(), out + "/");
    EXPECT_EQ(m_dir.Read("out/copy.c"), "second file");
    EXPECT_EQ(QDir(out).entryList(QDir::Files | QDir::Hidden), QStringList({"copy.c"}));
}

TEST_F(BackupWindow, DiscardRemovesExactlyTheCheckedVersions) {
    for (const char* name : {"a.txt", "b.txt", "c.txt", "d.txt", "e.txt"}) {
        m_dir.Write(QStringLiteral("tree/%1").arg(QLatin1String(name)), name);
    }
    TfrmBackup* window = Show();
    ASSERT_NE(window, nullptr);
    ASSERT_NE(AddProfile(window, "Docs", m_tree, {".txt"}), nullptr);

    window->btnDiscard->click();
    EXPECT_EQ(StatusText(), "The results list is empty!");
    window->btnChkAll->click();
    EXPECT_EQ(StatusText(), "The results list is empty!");

    ASSERT_TRUE(FullBackup(window));
    window->mcFrom->setSelectedDate(QDate(2000, 1, 1));
    Search(window, "Docs");
    ASSERT_EQ(window->lvResults->topLevelItemCount(), 5);
    window->btnDiscard->click();
    EXPECT_EQ(StatusText(), "First select a few backups to discard!");

    QList<int> checked;
    QList<int> kept;
    for (int i = 0; i < 5; ++i) {
        QTreeWidgetItem* item = window->lvResults->topLevelItem(i);
        const int id = window->ResultVersion(item)->versionId;
        (i == 1 || i == 3 ? checked : kept) << id;
        if (i == 1 || i == 3) {
            item->setCheckState(0, Qt::Checked);
        }
    }
    window->btnDiscard->click();
    EXPECT_EQ(window->lvResults->topLevelItemCount(), 3);
    for (const int id : checked) {
        EXPECT_FALSE(Store().FindVersion(id).has_value()) << id;
    }
    for (const int id : kept) {
        EXPECT_TRUE(Store().FindVersion(id).has_value()) << id;
    }
    EXPECT_TRUE(window->btnDiscard->isEnabled());
    EXPECT_TRUE(m_master->ToolTree()->isEnabled());

    // Un/Check All inverts every tick; Discard All Backups asks, then empties the profile.
    window->btnChkAll->click();
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(window->lvResults->topLevelItem(i)->checkState(0), Qt::Checked);
    }
    window->AskYesNo = [](const QString& text, int helpContext) {
        return text == "Delete ALL the backups under this profile?" && helpContext == 170;
    };
    window->btnDiscAll->click();
    EXPECT_EQ(window->lvResults->topLevelItemCount(), 0);
    for (const int id : kept) {
        EXPECT_FALSE(Store().FindVersion(id).has_value()) << id;
    }
}

TEST_F(BackupWindow, AFilesHistoryListsEveryVersionNewestFirstAndRestoresAnyOfThem) {
    TfrmBackup* window = Show();
    ASSERT_NE(window, nullptr);
    m_dir.Write("tree/other.txt", "another file");
    TProfile* profile = AddProfile(window, "Docs", m_tree, {".txt"});
    ASSERT_NE(profile, nullptr);
    const QList<QByteArray> states = {"state one", "state two", "state three"};
    for (const QByteArray& state : states) {
        m_dir.Write("tree/plan.txt", state);
        ASSERT_TRUE(FullBackup(window));
    }
    window->mcFrom->setSelectedDate(QDate(2000, 1, 1));
    window->edtMask->setText("plan%");
    Search(window, "Docs");
    ASSERT_EQ(window->lvResults->topLevelItemCount(), 3);
    window->edtMask->setText("%");
    Search(window, "Docs");
    ASSERT_EQ(window->lvResults->topLevelItemCount(), 6);

    // A double-click on one version of plan.txt lists all three, newest first.
    QTreeWidgetItem* item = ResultNamed(window->lvResults, "plan.txt");
    ASSERT_NE(item, nullptr);
    window->pgcBackup->setCurrentWidget(window->tsRestore);
    window->lvResults->scrollToItem(item);
    const QRect rect = window->lvResults->visualItemRect(item);
    QTest::mouseClick(window->lvResults->viewport(), Qt::LeftButton, {}, rect.center());
    QTest::mouseDClick(window->lvResults->viewport(), Qt::LeftButton, {}, rect.center());
    ASSERT_EQ(window->lvResults->topLevelItemCount(), 3);
    EXPECT_EQ(Column(window->lvResults, 0), QStringList({"plan.txt", "plan.txt", "plan.txt"}));
    QList<int> ids;
    for (int i = 0; i < 3; ++i) {
        ids << window->ResultVersion(window->lvResults->topLevelItem(i))->versionId;
    }
    EXPECT_TRUE(ids[0] > ids[1] && ids[1] > ids[2]);
    EXPECT_EQ(StatusText(), "3 versions of plan.txt, newest first");

    // The oldest state back in its place.
    window->lvResults->clearSelection();
    window->lvResults->topLevelItem(2)->setSelected(true);
    window->edtPwd->setText("vompa7");
    window->btnRestore->click();
    EXPECT_EQ(m_dir.Read("tree/plan.txt"), "state one");

    // The context menu offers the same.
    window->lvResults->setCurrentItem(window->lvResults->topLevelItem(0));
    QAction* history = window->lvResults->findChild<QAction*>("actHistory");
    ASSERT_NE(history, nullptr);
    EXPECT_TRUE(window->lvResults->actions().contains(history));
    history->trigger();
    EXPECT_EQ(window->lvResults->topLevelItemCount(), 3);
}

TEST_F(BackupWindow, TheLogShowsEveryLineAndStartsAnewWhenAsked) {
    TfrmBackup* window = Show();
    ASSERT_NE(window, nullptr);
    TBackupLog& log = Profiles().Log();
    // A log opened within the second of another continues it: the clock moves a second
    // each time it is read, so that every new log has a name of its own.
    QDateTime now = QDateTime::currentDateTime().addDays(1);
    log.SetClock([&now] { return now = now.addSecs(1); });
    log.AppendLogLine("/home/me/my notes, draft.txt", "0");
    log.AppendLogLine("/home/me/plain.txt", "-2");
    window->btnRefresh->click();
    ASSERT_EQ(window->lvLog->topLevelItemCount(), 2);
    const QTreeWidgetItem* spaced = window->lvLog->topLevelItem(0);
    EXPECT_EQ(spaced->text(1), "/home/me/my notes, draft.txt");
    EXPECT_EQ(spaced->text(2), "0");
    EXPECT_TRUE(spaced->text(0).contains(QChar(0x00A0)));
    EXPECT_EQ(window->lvLog->topLevelItem(1)->text(2), "-2");

    // The view follows the log on the check timer too.
    log.AppendLogLine("/home/me/third.txt", "1");
    window->PeriodicCheck();
    EXPECT_EQ(window->lvLog->topLevelItemCount(), 3);

    const QString oldLog = log.FileName();
    window->btnClear->click();
    EXPECT_EQ(window->lvLog->topLevelItemCount(), 0);
    EXPECT_TRUE(QFile::exists(oldLog));
    window->btnRefresh->click();
    EXPECT_EQ(window->lvLog->topLevelItemCount(), 0);

    // A log that has grown past 2047 lines is shown once more, then a new one begins.
    for (int i = 0; i < 2048; ++i) {
        log.AppendLogLine(QStringLiteral("/f%1").arg(i), "0");
    }
    const QString longLog = log.FileName();
    window->btnRefresh->click();
    EXPECT_EQ(window->lvLog->topLevelItemCount(), 2048);
    log.AppendLogLine("/after", "0");
    EXPECT_NE(log.FileName(), longLog);
    window->btnRefresh->click();
    EXPECT_EQ(window->lvLog->topLevelItemCount(), 1);
}

TEST_F(BackupWindow, MonitoringGoesOnWhenTheWindowClosesAndShowsRedAgain) {
    TfrmBackup* window = Show();
    ASSERT_NE(window, nullptr);
    TProfile* profile = AddProfile(window, "Docs", m_tree, {".txt"});
    ASSERT_NE(profile, nullptr);
    window->btnStart->click();
    ASSERT_TRUE(profile->TestBit(kBitActive));
    EXPECT_FALSE(window->pnlData->isEnabled());
    EXPECT_FALSE(window->btnStart->isEnabled());
    EXPECT_FALSE(window->btnDelete->isEnabled());
    EXPECT_FALSE(window->btnRename->isEnabled());

    m_master->SelectTool(kSplitIndex);
    EXPECT_TRUE(profile->TestBit(kBitActive));
    // The profile still stores what changes.
    m_dir.Write("tree/later.txt", "written while the window was closed");
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            QList<TVersionRow> rows;
            return Store().SearchVersions(profile->Number(), 0, "later.txt", 1000000, rows) &&
                   !rows.isEmpty();
        },
        kWaitMs));

    window = Show();
    ASSERT_NE(window, nullptr);
    const QListWidgetItem* item = ItemNamed(window->lbProfiles, "Docs");
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->foreground().color(), QColor(255, 0, 0));
    // It opens on the profile shown last, active: only Stop is offered.
    EXPECT_EQ(window->ShownProfile(), profile);
    EXPECT_TRUE(window->btnStop->isEnabled());
    EXPECT_FALSE(window->pnlData->isEnabled());
    window->btnStop->click();
    EXPECT_FALSE(profile->TestBit(kBitActive));
    EXPECT_TRUE(window->pnlData->isEnabled());
    EXPECT_TRUE(item->font().bold());
}

TEST_F(BackupWindow, ItsStateIsStoredScrambledAndBroughtBack) {
    TfrmBackup* window = Show();
    ASSERT_NE(window, nullptr);
    TProfile* profile = AddProfile(window, "Docs", m_tree, {".txt"});
    ASSERT_NE(profile, nullptr);
    window->edtCustom->setText("qz");
    window->btnCustom->click();
    window->edtMask->setText("rep%");
    window->mcFrom->setSelectedDate(QDate(2001, 2, 3));
    window->mcTo->setSelectedDate(QDate::currentDate().addDays(-1));
    window->cbxChDate->setChecked(false);

    m_master->SelectTool(kSplitIndex);
    const std::optional<QByteArray> stored = m_master->Stores().LoadToolState("Backup");
    ASSERT_TRUE(stored.has_value());
    const QByteArray text = DecodeSettings(*stored);
    EXPECT_FALSE(stored->contains("rep%"));
    const QList<QByteArray> fields = text.split('|');
    ASSERT_EQ(fields.size(), 7);  // six fields, each ended by "|"
    EXPECT_TRUE(fields[0].startsWith(".7z\r\n.a\r\n"));
    EXPECT_TRUE(fields[0].contains(".qz\r\n"));
    EXPECT_EQ(fields[1], "rep%");
    EXPECT_EQ(fields[2], QByteArray::number(profile->Number()));
    EXPECT_EQ(fields[3],
              QByteArray::number(static_cast<int>(DayNumberFromDate(QDate(2001, 2, 3)))));
    EXPECT_EQ(fields[5], "0");

    window = Show();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->lbExts->count(), 158);
    EXPECT_NE(ItemNamed(window->lbExts, ".qz"), nullptr);
    EXPECT_EQ(window->edtMask->text(), "rep%");
    EXPECT_EQ(window->mcFrom->selectedDate(), QDate(2001, 2, 3));
    EXPECT_EQ(window->mcTo->selectedDate(), QDate::currentDate().addDays(-1));
    EXPECT_FALSE(window->cbxChDate->isChecked());
    EXPECT_EQ(window->ShownProfile(), profile);
    EXPECT_EQ(window->lbProfiles->currentItem()->text(), "Docs");

    // A state with another field count leaves every default.
    m_master->ShowPanelWindow(nullptr, 0, kStatusInfo, QString());
    m_master->Stores().SaveToolState("Backup", EncodeSettings("|rep%|1|2|3|"));
    window = Show();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->edtMask->text(), "%");
    EXPECT_EQ(window->lbExts->count(), 157);
    EXPECT_EQ(window->ShownProfile(), nullptr);
}

}  // namespace
