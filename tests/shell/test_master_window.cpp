// The main window, the tool window base and the status panel, driven headless.
#include "app/tool_table.h"
#include "base/errors.h"
#include "base/settings_codec.h"
#include "shell/help_viewer.h"
#include "shell/master_window.h"
#include "shell/status_panel.h"
#include "shell/welcome_window.h"
#include "support/test_dir.h"
#include "ui/ell_path.h"
#include "ui/form_base.h"
#include "windows/checksummer/hash_window.h"
#include "windows/splice/splice_window.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusTipEvent>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QtTest/QTest>

#include <functional>
#include <new>
#include <stdexcept>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// A small tool for the tests: an edit box whose text is its stored state, and a few
// controls in a nested group, one of them disabled from the start.
class TFakeTool : public TFormBase {
public:
    TFakeTool(QWidget* panel, const TToolContext& context) : TFormBase(panel, context) {
        setFixedSize(300, 200);
        auto* layout = new QVBoxLayout(this);
        edtText = new QLineEdit(this);
        group = new QGroupBox(this);
        auto* inner = new QVBoxLayout(group);
        cbxOn = new QCheckBox(group);
        btnOff = new QPushButton(group);
        btnOff->setEnabled(false);
        inner->addWidget(cbxOn);
        inner->addWidget(btnOff);
        layout->addWidget(edtText);
        layout->addWidget(group);
        ++created;
    }
    void LoadSettings() override {
        ++loads;
        if (const auto fields = LoadFields("FakeTool", 1)) {
            edtText->setText(fields->Text(0));
        }
    }
    void SaveSettings() override {
        ++saves;
        SaveFields("FakeTool", {edtText->text().toUtf8()});
    }
    void PeriodicCheck() override { ++checks; }

    QLineEdit* edtText;
    QGroupBox* group;
    QCheckBox* cbxOn;
    QPushButton* btnOff;
    static inline int created = 0;
    static inline int loads = 0;
    static inline int saves = 0;
    static inline int checks = 0;
};

constexpr int kFakeIndex = 9;  // shown through the Split node
constexpr int kSpliceIndex = 8;
constexpr int kHashIndex = 10;

class MasterWindow : public ::testing::Test {
protected:
    void SetUp() override {
        TFakeTool::created = TFakeTool::loads = TFakeTool::saves = TFakeTool::checks = 0;
        TToolTable tools = ToolTable();
        tools[kFakeIndex].factory = &CreateTool<TFakeTool>;
        m_master = std::make_unique<TMaster>(m_dir.Sub("prog"), tools);
        m_master->Tick = [this] { return m_now; };
    }
    void TearDown() override { m_master.reset(); }
    TFakeTool* Fake() const { return dynamic_cast<TFakeTool*>(m_master->CurrentWindow()); }
    QTreeWidgetItem* Node(const QString& text) const {
        const auto found =
            m_master->ToolTree()->findItems(text, Qt::MatchExactly | Qt::MatchRecursive);
        return found.isEmpty() ? nullptr : found.first();
    }

    TestDir m_dir;
    std::unique_ptr<TMaster> m_master;
    qint64 m_now = 1000000;
};

TEST_F(MasterWindow, TreeHoldsTheSortedCategoriesAndTools) {
    EXPECT_EQ(m_master->windowTitle(), "Quiva Tessaline");
    QTreeWidget* tree = m_master->ToolTree();
    ASSERT_EQ(tree->topLevelItemCount(), 3);
    EXPECT_EQ(tree->topLevelItem(0)->text(0), "Archive Tools");
    EXPECT_EQ(tree->topLevelItem(1)->text(0), "File Tools");
    EXPECT_EQ(tree->topLevelItem(2)->text(0), "Security Tools");
    QStringList files;
    for (int i = 0; i < tree->topLevelItem(1)->childCount(); ++i) {
        files << tree->topLevelItem(1)->child(i)->text(0);
    }
    EXPECT_EQ(files, QStringList({"Compare", "Date Control", "DirTrack", "EquiSize", "Fill",
                                  "HexEdit", "Name Control", "Splice", "Split"}));
    EXPECT_EQ(tree->topLevelItem(2)->child(0)->text(0), "Checksummer");
    EXPECT_EQ(tree->topLevelItem(2)->child(1)->text(0), "Pwd Maker");
    EXPECT_EQ(tree->toolTip(), "Select tool");
    EXPECT_EQ(tree->statusTip(), "Expand relevant tool node and select a tool");
}

TEST_F(MasterWindow, CategoryNodesAndEmptyEntriesChangeNothing) {
    m_master->SelectTool(kFakeIndex);
    TFormBase* shown = m_master->CurrentWindow();
    ASSERT_NE(shown, nullptr);
    emit m_master->ToolTree()->itemClicked(Node("File Tools"), 0);
    EXPECT_EQ(m_master->CurrentWindow(), shown);
    emit m_master->ToolTree()->itemClicked(nullptr, 0);
    EXPECT_EQ(m_master->CurrentWindow(), shown);
    // A tool whose window has not been built leaves the panel empty.
    m_master->SetToolFactory(6, nullptr);
    emit m_master->ToolTree()->itemClicked(Node("HexEdit"), 0);
    EXPECT_EQ(m_master->CurrentWindow(), nullptr);
}

TEST_F(MasterWindow, PickingAToolShowsItInThePanelWithItsSettings) {
    emit m_master->ToolTree()->itemClicked(Node("Split"), 0);
    TFakeTool* tool = Fake();
    ASSERT_NE(tool, nullptr);
    EXPECT_EQ(tool->parentWidget(), m_master->ToolPanel());
    EXPECT_EQ(HelpContextOf(tool), 300);
    EXPECT_EQ(HelpContextOf(tool->cbxOn), 300);
    EXPECT_TRUE(m_master->ToolTree()->isEnabled());
    // Creation showed the tool's title, and left it in place.
    EXPECT_EQ(m_master->StatusPanel()->Text(), "File Splitter");
    EXPECT_EQ(TFakeTool::loads, 1);

    tool->edtText->setText(QStringLiteral("kept text ü"));
    // Picking the node shown recreates it: saved, then loaded again.
    emit m_master->ToolTree()->itemDoubleClicked(Node("Split"), 0);
    EXPECT_EQ(TFakeTool::saves, 1);
    EXPECT_EQ(TFakeTool::created, 2);
    ASSERT_NE(Fake(), nullptr);
    EXPECT_EQ(Fake()->edtText->text(), "kept text ü");
}

TEST_F(MasterWindow, WithoutTheScriptEngineNothingIsLoadedOrSaved) {
    m_master->SetFlag(kFlagScriptEngine, false);
    m_master->SelectTool(kFakeIndex);
    Fake()->edtText->setText("x");
    m_master->SelectTool(kFakeIndex);
    EXPECT_EQ(TFakeTool::loads, 0);
    EXPECT_EQ(TFakeTool::saves, 0);
    EXPECT_FALSE(m_master->Stores().LoadToolState("FakeTool").has_value());
}

TEST_F(MasterWindow, DamagedOrMiscountedStatesLeaveDefaults) {
    for (const QByteArray& stored :
         {QByteArray("not encoded"), EncodeSettings("a|b|"), EncodeSettings("no bar")}) {
        m_master->Stores().SaveToolState("FakeTool", stored);
        m_master->SelectTool(kFakeIndex);
        EXPECT_EQ(Fake()->edtText->text(), "");
    }
}

TEST_F(MasterWindow, BusyStateDisablesAndRestoresExactly) {
    m_master->SelectTool(kFakeIndex);
    TFakeTool* tool = Fake();
    m_master->BeginBusy("Working...", kBusyHold, kStatusInfo);
    EXPECT_FALSE(m_master->ToolTree()->isEnabled());
    for (QWidget* w : {static_cast<QWidget*>(tool->edtText), static_cast<QWidget*>(tool->group),
                       static_cast<QWidget*>(tool->cbxOn), static_cast<QWidget*>(tool->btnOff)}) {
        EXPECT_FALSE(w->isEnabled());
    }
    EXPECT_EQ(m_master->StatusPanel()->Text(), "Working...");
    EXPECT_FALSE(m_master->FadeTimer()->isActive());
    m_master->EndBusy("Done", kBusyFade, kStatusCompletion);
    EXPECT_TRUE(m_master->ToolTree()->isEnabled());
    EXPECT_TRUE(tool->edtText->isEnabled());
    EXPECT_TRUE(tool->group->isEnabled());
    EXPECT_TRUE(tool->cbxOn->isEnabled());
    EXPECT_FALSE(tool->btnOff->isEnabled());  // it was disabled before
    EXPECT_EQ(m_master->StatusPanel()->Text(), "Done");
    EXPECT_TRUE(m_master->FadeTimer()->isActive());
    // Mode 2 keeps the text and only changes the kind.
    m_master->BeginBusy("ignored", kBusyKeep, kStatusNotice);
    EXPECT_EQ(m_master->StatusPanel()->Text(), "Done");
    EXPECT_EQ(m_master->StatusPanel()->Kind(), kStatusNotice);
    m_master->EndBusy("", kBusyKeep, kStatusInfo);
}

TEST_F(MasterWindow, EndWithErrorRemovesThePartialFileAndHoldsTheError) {
    m_master->SelectTool(kFakeIndex);
    const QString partial = m_dir.Write("partial.bin", "half");
    m_master->BeginBusy("Splitting...", kBusyHold, kStatusInfo);
    Fake()->EndWithError("Disk full", partial);
    EXPECT_FALSE(QFile::exists(partial));
    EXPECT_EQ(m_master->StatusPanel()->Text(), "Disk full");
    EXPECT_EQ(m_master->StatusPanel()->Kind(), kStatusError);
    EXPECT_FALSE(m_master->FadeTimer()->isActive());
    EXPECT_TRUE(Fake()->edtText->isEnabled());
}

TEST_F(MasterWindow, AFailureNoHandlerCaughtEndsTheActionNotTheProgram) {
    m_master->SelectTool(kFakeIndex);
    TFakeTool* tool = Fake();
    struct TCase {
        std::function<void()> fail;
        QString text;
    };
    const TCase cases[] = {
        {[] { throw std::bad_alloc(); }, "Out of memory: the action was stopped"},
        {[] { RaiseError(QStringLiteral("Stream read error")); }, "Stream read error"},
        {[] { throw std::runtime_error("broken"); }, "broken"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.text.toStdString());
        // An action that goes busy and raises, delivered as an event like a click is.
        bool ran = false;
        QTimer::singleShot(0, tool, [&] {
            ran = true;
            m_master->BeginBusy("Working...", kBusyHold, kStatusInfo);
            c.fail();
        });
        ASSERT_TRUE(QTest::qWaitFor([&] { return ran; }, 5000));
        EXPECT_EQ(m_master->StatusPanel()->Text(), c.text);
        EXPECT_EQ(m_master->StatusPanel()->Kind(), kStatusError);
        EXPECT_FALSE(m_master->IsBusy());
        EXPECT_TRUE(m_master->ToolTree()->isEnabled());
        EXPECT_TRUE(tool->edtText->isEnabled());
    }
}

TEST(StatusColours, BlueOrRedFadingTowardsWhite) {
    const QColor face(212, 208, 200);
    const int steps[] = {0, 21, 43, 64, 85, 106, 128, 149, 170, 191, 213, 234};
    for (int step = 0; step < 12; ++step) {
        EXPECT_EQ(StatusColour(0, step, face), QColor(steps[step], steps[step], 255)) << step;
        EXPECT_EQ(StatusColour(2, step, face), QColor(steps[step], steps[step], 255)) << step;
        EXPECT_EQ(StatusColour(3, step, face), QColor(255, steps[step], steps[step])) << step;
    }
    for (int kind = 0; kind < 4; ++kind) {
        EXPECT_EQ(StatusColour(kind, 12, face), face);
    }
}

TEST_F(MasterWindow, StatusTextsFadeInTwelveSteps) {
    m_master->ShowStatus("Hello", false, kStatusCompletion);
    TStatusPanel* panel = m_master->StatusPanel();
    EXPECT_EQ(panel->Step(), 0);
    EXPECT_FALSE(panel->TextBold());
    EXPECT_TRUE(m_master->FadeTimer()->isActive());
    EXPECT_EQ(m_master->FadeTimer()->interval(), 400);
    for (int tick = 1; tick <= 12; ++tick) {
        m_master->WhenTime();
        EXPECT_EQ(panel->Step(), tick);
        EXPECT_EQ(m_master->FadeTimer()->isActive(), tick < 12);
    }
    m_master->ShowStatus("Held", true, kStatusNotice);
    EXPECT_TRUE(panel->TextBold());
    EXPECT_FALSE(m_master->FadeTimer()->isActive());
}

TEST_F(MasterWindow, ErrorsHoldAgainstHintsForThreeSeconds) {
    m_master->ShowStatus("Broken", false, kStatusError);
    m_now += 2999;
    m_master->WhenHint("Browse|Browse for folder");
    EXPECT_EQ(m_master->StatusPanel()->Text(), "Broken");
    m_now += 2;
    m_master->WhenHint("Browse|Browse for folder");
    EXPECT_EQ(m_master->StatusPanel()->Text(), "Browse for folder");
    EXPECT_EQ(m_master->StatusPanel()->Kind(), kStatusInfo);
    // A hint without a bar shows whole; the status-tip events of widgets arrive here too.
    QStatusTipEvent tip("Plain hint");
    QCoreApplication::sendEvent(m_master.get(), &tip);
    EXPECT_EQ(m_master->StatusPanel()->Text(), "Plain hint");
}

TEST_F(MasterWindow, FailWithShowsAndAbortsButNotWhenEmpty) {
    EXPECT_NO_THROW(m_master->FailWith(""));
    EXPECT_THROW(m_master->FailWith("Bad input"), EQuiva);
    EXPECT_EQ(m_master->StatusPanel()->Text(), "Bad input");
    EXPECT_EQ(m_master->StatusPanel()->Kind(), kStatusError);
}

TEST_F(MasterWindow, ToolboxHidesAndShowsAroundTheTool) {
    m_master->show();
    m_master->SelectTool(kFakeIndex);
    const QSize with = m_master->size();
    EXPECT_EQ(m_master->centralWidget()->width(), 135 + 300);
    m_master->ShowHideToolBox();
    EXPECT_FALSE(m_master->ShowToolboxAction()->isChecked());
    EXPECT_EQ(m_master->size().width(), with.width() - 135);
    EXPECT_EQ(m_master->size().height(), with.height());
    m_master->ShowHideToolBox();
    EXPECT_EQ(m_master->size(), with);
}

TEST_F(MasterWindow, WelcomeWindowGreetsAtStart) {
    m_master->show();
    auto* welcome = dynamic_cast<TfrmBareSplash*>(m_master->CurrentWindow());
    ASSERT_NE(welcome, nullptr);
    EXPECT_EQ(welcome->lblVer->text(), "1.01a");
    EXPECT_EQ(welcome->lblStart->text(), "Expand a node & select a tool");
    EXPECT_FALSE(welcome->imgLogo->pixmap().isNull());
    EXPECT_EQ(m_master->StatusPanel()->Text(), "Welcome to Quiva");
    EXPECT_EQ(m_master->StatusPanel()->Kind(), kStatusNotice);
    EXPECT_EQ(HelpContextOf(welcome), 10);
}

TEST_F(MasterWindow, CheckTimerDrivesPeriodicCheckAndCanBeOverridden) {
    m_master->SelectTool(kFakeIndex);
    EXPECT_EQ(m_master->CheckTimer()->interval(), 2000);
    m_master->SetCheckInterval(300);
    m_master->SetCheckInterval(100);
    EXPECT_EQ(m_master->CheckTimer()->interval(), 100);
    EXPECT_TRUE(QTest::qWaitFor([] { return TFakeTool::checks >= 2; }, 5000));
    m_master->RestoreCheckInterval();
    EXPECT_EQ(m_master->CheckTimer()->interval(), 2000);
}

TEST_F(MasterWindow, HelpOpensAtTheShownWindowsContext) {
    m_master->WhenHelp();  // nothing shown: nothing happens
    EXPECT_EQ(ShownHelpContext(), 0);
    m_master->show();
    m_master->WhenHelp();
    EXPECT_EQ(ShownHelpContext(), 10);
    EXPECT_FALSE(HelpPagePath(10).isEmpty());
    // A context without a page of its own shows the main page.
    m_master->SelectTool(kFakeIndex);
    m_master->WhenHelp();
    EXPECT_EQ(ShownHelpContext(), HelpPagePath(300).isEmpty() ? 10 : 300);
    CloseHelpViewer();
}

TEST_F(MasterWindow, IdleWorkSetsTheLowSpaceFlagAndRunsHandlers) {
    int calls = 0;
    m_master->AddIdleHandler([&calls] { return ++calls < 3; });
    m_master->WhenIdle();
    EXPECT_FALSE(m_master->IsFlagSet(kFlagLowSpace));  // the test folder has room
    EXPECT_TRUE(QTest::qWaitFor([&calls] { return calls >= 3; }, 2000));
}

TEST_F(MasterWindow, MinimisingWithoutATrayKeepsTheWindowReachable) {
    m_master->show();
    m_master->showMinimized();
    QCoreApplication::processEvents();
    if (m_master->TrayIcon() == nullptr) {
        EXPECT_TRUE(m_master->isVisible());
    }
    m_master->RestoreAndRaise();
    EXPECT_TRUE(m_master->isVisible());
    EXPECT_FALSE(m_master->isMinimized());
}

// The entries of the menu bar by their captions.
QMap<QString, QAction*> MenuEntries(TMaster& master) {
    QMap<QString, QAction*> entries;
    for (QAction* top : master.menuBar()->actions()) {
        for (QAction* entry : top->menu()->actions()) {
            if (!entry->isSeparator()) {
                entries.insert(entry->text(), entry);
            }
        }
    }
    return entries;
}

TEST_F(MasterWindow, WhileBusyTheMenusOfferOnlyExitHelpAndTheToolbox) {
    // A Checksummer run over a large sparse file: About chosen meanwhile does nothing, and
    // the run ends as it would have.
    const QString path = m_dir.Sub("big.bin");
    {
        QFile big(path);
        ASSERT_TRUE(big.open(QIODevice::WriteOnly) && big.resize(256LL * 1024 * 1024));
    }
    m_master->show();
    m_master->SelectTool(kHashIndex);
    auto* hash = dynamic_cast<TfrmHash*>(m_master->CurrentWindow());
    ASSERT_NE(hash, nullptr);
    hash->AskSourceFile = [path](const QString&, const QString&, const QString&) { return path; };
    hash->sbnSBrowse->click();
    const QMap<QString, QAction*> entries = MenuEntries(*m_master);
    const QMap<QString, bool> usableWhileBusy = {
        {"E&xit", true},
        {"Show Toolbox", true},
        {"&User Preferences", false},
        {"&Help", true},
        {"Check Current &Version", false},
        {"&About", false},
    };
    ASSERT_EQ(entries.keys(), usableWhileBusy.keys());

    hash->btnCalc->click();
    ASSERT_TRUE(hash->Calculating());
    for (auto it = usableWhileBusy.begin(); it != usableWhileBusy.end(); ++it) {
        EXPECT_EQ(entries[it.key()]->isEnabled(), it.value()) << it.key().toStdString();
    }
    entries["&About"]->trigger();
    EXPECT_EQ(m_master->CurrentWindow(), hash);
    EXPECT_TRUE(hash->Calculating());
    ASSERT_TRUE(QTest::qWaitFor([hash] { return !hash->Calculating(); }, 120000));
    EXPECT_EQ(m_master->StatusPanel()->Text(), "Done!");
    EXPECT_EQ(hash->Result(kDigestMd5), "1F5039E50BD66B290C56684D8550C6C2");
    for (QAction* entry : entries) {
        EXPECT_TRUE(entry->isEnabled()) << entry->text().toStdString();
    }

    // An entry disabled before the busy state stays disabled after it.
    entries["Check Current &Version"]->setEnabled(false);
    m_master->BeginBusy("Working...", kBusyHold, kStatusInfo);
    m_master->EndBusy("Done", kBusyFade, kStatusCompletion);
    EXPECT_FALSE(entries["Check Current &Version"]->isEnabled());
    EXPECT_TRUE(entries["&About"]->isEnabled());
}

TEST_F(MasterWindow, EnterAndSpaceOnAToolNodePickItAsAClickDoes) {
    QTreeWidget* tree = m_master->ToolTree();
    tree->expandAll();
    tree->setCurrentItem(Node("Split"));
    struct TCase {
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
    };
    int created = 0;
    for (const TCase& press :
         {TCase{Qt::Key_Return, Qt::NoModifier}, TCase{Qt::Key_Space, Qt::NoModifier},
          TCase{Qt::Key_Enter, Qt::KeypadModifier}}) {
        SCOPED_TRACE(press.key);
        QTest::keyClick(tree, press.key, press.modifiers);
        ++created;
        ASSERT_NE(Fake(), nullptr);
        EXPECT_EQ(TFakeTool::created, created);
        EXPECT_EQ(TFakeTool::loads, created);
        EXPECT_EQ(HelpContextOf(Fake()), 300);
    }
    // A category node, or moving through the tree, picks nothing.
    TFormBase* shown = m_master->CurrentWindow();
    tree->setCurrentItem(Node("File Tools"));
    for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Space}) {
        QTest::keyClick(tree, key);
    }
    tree->setCurrentItem(Node("Splice"));
    QTest::keyClick(tree, Qt::Key_Down);
    EXPECT_EQ(tree->currentItem(), Node("Split"));
    EXPECT_EQ(m_master->CurrentWindow(), shown);
    EXPECT_EQ(TFakeTool::created, created);
}

TEST_F(MasterWindow, TheUserMayEnlargeTheWindowAndTheToolFillsThePanel) {
    m_master->show();
    m_master->SelectTool(kSpliceIndex);
    auto* splice = dynamic_cast<TfrmSplice*>(m_master->CurrentWindow());
    ASSERT_NE(splice, nullptr);
    // Fitted around the tool at its own size, which is also the smallest.
    const QSize fitted = m_master->size();
    const QSize toolSize = splice->size();
    EXPECT_EQ(m_master->minimumSize(), fitted);
    EXPECT_EQ(m_master->ToolPanel()->size(), toolSize);
    const QSize list = splice->lbSources->size();
    const int path = splice->stDest->width();

    const QSize more(300, 200);
    m_master->resize(fitted + more);
    ASSERT_TRUE(QTest::qWaitFor([&] { return splice->size() == toolSize + more; }, 5000));
    EXPECT_EQ(splice->geometry(), m_master->ToolPanel()->rect());
    EXPECT_EQ(splice->lbSources->width(), list.width() + more.width());
    EXPECT_GT(splice->lbSources->height(), list.height());
    EXPECT_EQ(splice->stDest->width(), path + more.width());

    // Never smaller than the tool; picking a tool fits the window around it again.
    m_master->resize(fitted - QSize(100, 100));
    EXPECT_EQ(m_master->size(), fitted);
    m_master->resize(fitted + more);
    m_master->SelectTool(kFakeIndex);
    EXPECT_EQ(m_master->ToolPanel()->size(), QSize(300, 200));
    EXPECT_EQ(Fake()->size(), QSize(300, 200));
    m_master->SelectTool(kSpliceIndex);
    EXPECT_EQ(m_master->size(), fitted);
}

TEST_F(MasterWindow, ALongStatusTextIsShortenedWithTheWholeTextAsTooltip) {
    m_master->show();
    m_master->SelectTool(kFakeIndex);
    TStatusPanel* panel = m_master->StatusPanel();
    m_master->ShowStatus("Short", false, kStatusInfo);
    EXPECT_EQ(panel->ShownText(), "Short");
    EXPECT_EQ(panel->toolTip(), "");

    // A path a little wider than the panel: shortened in the middle, whole in the tooltip.
    QString text = "/home/user/";
    while (panel->fontMetrics().horizontalAdvance(text) < panel->width() + 100) {
        text += "folder/";
    }
    text += "file.bin not accessible";
    m_master->ShowStatus(text, false, kStatusError);
    const QString shown = panel->ShownText();
    EXPECT_NE(shown, text);
    EXPECT_TRUE(shown.startsWith("/home/user/")) << shown.toStdString();
    EXPECT_TRUE(shown.endsWith("not accessible")) << shown.toStdString();
    EXPECT_EQ(panel->toolTip(), text);

    // Once the window is wide enough the whole text shows, and the tooltip goes.
    m_master->resize(m_master->size() + QSize(panel->fontMetrics().horizontalAdvance(text), 0));
    ASSERT_TRUE(QTest::qWaitFor([&] { return panel->ShownText() == text; }, 5000));
    EXPECT_EQ(panel->toolTip(), "");
}

TEST(MasterWindowFolder, AnUnusableProgramFolderIsSaidOnceAndToolsStillOpen) {
    TestDir dir;
    struct TCase {
        const char* name;
        std::function<QString(const QString& program)> prepare;  // returns the reason
    };
    const std::vector<TCase> cases = {
        {"a file in its place",
         [&](const QString& program) {
             dir.Write("file/prog", "not a folder");
             return program + " is not a folder";
         }},
        {"a file in the place of a folder above it",
         [&](const QString&) {
             dir.Write("above/prog", "not a folder");
             return dir.Sub("above/prog") + " is not a folder";
         }},
        {"a folder in the place of the database",
         [&](const QString& program) {
             dir.MakeDir("database/prog/qvde.d");
             return program + "/qvde.d cannot be opened";
         }},
    };
    const QStringList programs = {dir.Sub("file/prog"), dir.Sub("above/prog/quiva-tessaline"),
                                  dir.Sub("database/prog")};
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        const QString reason = cases[i].prepare(programs[i]);
        TMaster master(programs[i] + "/", ToolTable());
        EXPECT_FALSE(master.IsFlagSet(kFlagUiDatabase));
        master.show();
        EXPECT_EQ(master.StatusPanel()->Text(), "Nothing will be remembered: " + reason);
        EXPECT_EQ(master.StatusPanel()->Kind(), kStatusError);
        // Said once: showing the window again says nothing more.
        master.ShowStatus("Later", false, kStatusInfo);
        master.hide();
        master.show();
        EXPECT_EQ(master.StatusPanel()->Text(), "Later");
        master.SelectTool(kFakeIndex);
        EXPECT_NE(master.CurrentWindow(), nullptr);
    }

    // A usable folder says nothing of the kind.
    TMaster usable(dir.Sub("usable") + "/", ToolTable());
    usable.show();
    EXPECT_EQ(usable.StatusPanel()->Text(), "Welcome to Quiva");
}

TEST(MasterWindowFolder, AFolderWithoutWritePermissionIsSaid) {
    if (geteuid() == 0) {
        GTEST_SKIP() << "root may write in any folder";
    }
    TestDir dir;
    const QString locked = dir.MakeDir("locked");
    ASSERT_EQ(chmod(QFile::encodeName(locked).constData(), 0500), 0);
    {
        TMaster master(locked + "/prog/", ToolTable());
        master.show();
        EXPECT_EQ(master.StatusPanel()->Text(),
                  "Nothing will be remembered: no permission to write in " + locked);
    }
    chmod(QFile::encodeName(locked).constData(), 0700);
}

TEST(MasterWindowState, ShellStateSurvivesARestart) {
    TestDir dir;
    {
        TMaster master(dir.Sub("prog"), ToolTable());
        EXPECT_EQ(master.Stores().PreferencesPassword(), "vompa7");
        master.Stores().SetPreferencesPassword("changed7");
    }
    TMaster master(dir.Sub("prog"), ToolTable());
    EXPECT_EQ(master.Stores().PreferencesPassword(), "changed7");
    EXPECT_TRUE(master.IsFlagSet(kFlagUiDatabase));
    EXPECT_TRUE(master.IsFlagSet(kFlagScriptEngine));
}

TEST(FormHelpers, HintsSplitAtTheBar) {
    QLabel label;
    SetHint(&label, "Browse|Browe for folder");
    EXPECT_EQ(label.toolTip(), "Browse");
    EXPECT_EQ(label.statusTip(), "Browe for folder");
    SetHint(&label, "|Only status");
    EXPECT_EQ(label.toolTip(), "");
    EXPECT_EQ(label.statusTip(), "Only status");
}

TEST(FormHelpers, SetChildrenEnabledPassesItDown) {
    QWidget root;
    auto* group = new QGroupBox(&root);
    auto* leaf = new QLabel(group);
    leaf->setToolTip("tip");
    auto* direct = new QLabel(&root);
    SetChildrenEnabled(&root, false);
    EXPECT_FALSE(group->isEnabled());
    EXPECT_FALSE(leaf->isEnabled());
    EXPECT_FALSE(direct->isEnabled());
    EXPECT_EQ(leaf->toolTip(), "");
    SetChildrenEnabled(&root, true);
    EXPECT_TRUE(leaf->isEnabled());
    EXPECT_EQ(leaf->toolTip(), "tip");
}

}  // namespace
