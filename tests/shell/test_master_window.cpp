// The main window, the tool window base and the status panel, driven headless.
#include "app/tool_table.h"
#include "base/errors.h"
#include "base/settings_codec.h"
#include "shell/help_viewer.h"
#include "shell/master_window.h"
#include "shell/status_panel.h"
#include "shell/welcome_window.h"
#include "support/test_dir.h"
#include "ui/form_base.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusTipEvent>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QtTest/QTest>

#include <functional>
#include <new>
#include <stdexcept>

#include <gtest/gtest.h>

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
