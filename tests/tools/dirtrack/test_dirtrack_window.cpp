// The DirTrack window driven headless on real folders: tracking through the buttons, the
// lists and their sorting, the details grid, pause, tracking that outlives the window and
// the check interval it asks for, the refusals, an overflow row, and Auto Start with Auto
// Save over a program run.
#include "app/tool_table.h"
#include "tools/dirtrack/track_help.h"
#include "windows/dirtrack/dirtrack_window.h"

#include "platform/file_utilities.h"
#include "shell/master_window.h"
#include "shell/status_panel.h"
#include "support/test_dir.h"
#include "ui/ell_path.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QSlider>
#include <QTableWidget>
#include <QToolButton>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

// Readable failures: a QString as its text.
void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace {

constexpr int kDirTrackIndex = 3;
constexpr int kSplitIndex = 9;
constexpr int kWaitMs = 10000;

void Touch(const QString& path) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Append)) << qPrintable(path);
    file.write("x");
}

QStringList Column(const QTreeWidget* list, int column) {
    QStringList texts;
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        texts << list->topLevelItem(i)->text(column);
    }
    return texts;
}

class DirTrackWindow : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir.MakeDir("watched");
        m_master = std::make_unique<TMaster>(m_dir.Sub("prog"), ToolTable());
    }
    TfrmDirTrack* Show() {
        m_master->SelectTool(kDirTrackIndex);
        return dynamic_cast<TfrmDirTrack*>(m_master->CurrentWindow());
    }
    TTrackHelp& Tracking() { return *m_master->ToolContext().tracking; }
    QString Root() const { return m_dir.Sub("watched"); }
    QString At(const QString& name) const { return Root() + "/" + name; }
    QString StatusText() const { return m_master->StatusPanel()->Text(); }
    int StatusKind() const { return m_master->StatusPanel()->Kind(); }

    // Chooses the folder and exactly the given "Track These" boxes.
    static void Choose(TfrmDirTrack* window, const QString& folder, quint16 what) {
        window->AskFolder = [folder] { return std::optional<QString>(folder); };
        window->sbnBrowse->click();
        window->cbxAdds->setChecked((what & kTrackAdditions) != 0);
        window->cbxRems->setChecked((what & kTrackDeletions) != 0);
        window->cbxNames->setChecked((what & kTrackNameChanges) != 0);
        window->cbxProps->setChecked((what & kTrackPropertyChanges) != 0);
    }

    // Lets the program idle and tick (bounded) until the condition holds, as the event
    // loop and the check timer do.
    bool RunUntil(const std::function<bool()>& done) {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < kWaitMs) {
            m_master->WhenIdle();
            if (TFormBase* shown = m_master->CurrentWindow()) {
                shown->PeriodicCheck();
            }
            if (done()) {
                return true;
            }
            if (TWatcher* tracker = Tracking().Tracker()) {
                (void)tracker->WaitForBlock(50);
            } else {
                QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
            }
        }
        return false;
    }

    TestDir m_dir;
    std::unique_ptr<TMaster> m_master;
};

TEST_F(DirTrackWindow, TracksThroughTheButtonsAndShowsDetails) {
    TfrmDirTrack* window = Show();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->size(), QSize(592, 548));
    EXPECT_TRUE(QFile::exists(":/help/240.html"));
    // Idle, with the defaults: only "Name Changes", clear at 100, the home folder.
    EXPECT_FALSE(window->IsTracking());
    EXPECT_TRUE(window->btnStart->isEnabled());
    EXPECT_FALSE(window->btnStop->isEnabled());
    EXPECT_FALSE(window->btnSave->isEnabled());
    EXPECT_TRUE(window->cbxNames->isChecked());
    EXPECT_FALSE(window->cbxAdds->isChecked());
    EXPECT_EQ(window->lblMax->text(), "Clear At:100 Entries");
    EXPECT_EQ(window->stSource->Caption(), WindowsFolder());
    window->tbMaxEnt->setValue(250);
    EXPECT_EQ(window->lblMax->text(), "Clear At:250 Entries");

    Choose(window, Root(), kTrackAdditions);
    EXPECT_EQ(window->stSource->Caption(), Root());
    window->btnStart->click();
    ASSERT_TRUE(window->IsTracking());
    EXPECT_FALSE(window->cbxAdds->isEnabled());
    EXPECT_FALSE(window->btnStart->isEnabled());
    EXPECT_TRUE(window->btnStop->isEnabled());
    EXPECT_TRUE(window->btnPause->isEnabled());
    EXPECT_EQ(m_master->CheckInterval(), 300);

    // "Save" with nothing recorded.
    window->btnSave->click();
    EXPECT_EQ(StatusText(), "Nothing to save!");
    EXPECT_EQ(StatusKind(), kStatusError);

    Touch(At("keep.txt"));
    Touch(At("gone.txt"));
    ASSERT_TRUE(QFile::remove(At("gone.txt")));
    ASSERT_TRUE(RunUntil([&] { return window->lvChanges->topLevelItemCount() == 2; }));
    EXPECT_EQ(Column(window->lvChanges, 0), QStringList({"keep.txt", "gone.txt"}));
    EXPECT_EQ(Column(window->lvChanges, 2), QStringList({"Added", "Added"}));
    EXPECT_TRUE(window->lvChanges->topLevelItem(0)->text(1).contains(
        QRegularExpression("^\\d\\d:\\d\\d:\\d\\d:\\d\\d\\d$")));
    EXPECT_EQ(Column(window->lvDetails, 1), QStringList({"Added", "Added"}));
    // The deletion is recorded, not listed: the CSV holds it.
    ASSERT_TRUE(RunUntil([&] { return !Tracking().Tracker()->Entries(kTrackRemoved).isEmpty(); }));
    window->btnSave->click();
    EXPECT_EQ(StatusKind(), kStatusCompletion);
    ASSERT_TRUE(StatusText().startsWith("Saved to " + m_master->LogsFolder() + "DirTrack "));
    QFile csv(StatusText().mid(9));
    ASSERT_TRUE(csv.open(QIODevice::ReadOnly));
    EXPECT_TRUE(csv.readAll().contains("gone.txt,"));

    // The details of a changed object.
    window->lvDetails->topLevelItem(0)->setSelected(true);
    EXPECT_EQ(window->DetailText(1), "1");
    EXPECT_EQ(window->DetailText(5), QString::fromUtf8("✓"));  // archived: a regular file
    EXPECT_EQ(window->DetailText(7), QString::fromUtf8("✗"));  // not a folder
    EXPECT_EQ(window->DetailText(8), QString::fromUtf8("✗"));  // not hidden
    EXPECT_EQ(window->DetailText(4).size(), 17);               // yy/mm/dd hh:nn:ss
    EXPECT_TRUE(window->LongDate(4).endsWith("  [Today]")) << qPrintable(window->LongDate(4));
    window->WhenMouseOver(4, 1);
    EXPECT_EQ(StatusText(), window->LongDate(4));
    EXPECT_EQ(StatusKind(), kStatusNotice);
    EXPECT_EQ(window->dgProps->item(0, 0)->text(), "Property");
    EXPECT_EQ(window->dgProps->item(11, 0)->text(), "Read Only");
    EXPECT_FALSE(window->dgProps->item(3, 0)->flags() & Qt::ItemIsSelectable);

    // Paused: recording goes on, the lists stay as they are.
    window->btnPause->click();
    EXPECT_EQ(window->btnPause->text(), "ReStart");
    Touch(At("quiet.txt"));
    ASSERT_TRUE(RunUntil([&] { return Tracking().Tracker()->Entries(kTrackAdded).size() == 3; }));
    EXPECT_EQ(window->lvChanges->topLevelItemCount(), 2);
    window->btnPause->click();
    EXPECT_EQ(window->btnPause->text(), "Pause");
    ASSERT_TRUE(RunUntil([&] { return window->lvChanges->topLevelItemCount() == 3; }));

    // Tracking goes on while another tool is shown, at the normal check interval.
    m_master->SelectTool(kSplitIndex);
    EXPECT_EQ(m_master->CheckInterval(), 2000);
    ASSERT_TRUE(Tracking().Tracking());
    Touch(At("meanwhile.txt"));
    ASSERT_TRUE(RunUntil([&] { return Tracking().Tracker()->Entries(kTrackAdded).size() == 4; }));
    window = Show();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->IsTracking());
    EXPECT_FALSE(window->IsPaused());
    EXPECT_EQ(m_master->CheckInterval(), 300);
    EXPECT_TRUE(Column(window->lvChanges, 0).contains("meanwhile.txt"));
    EXPECT_TRUE(window->cbxAdds->isChecked());
    EXPECT_FALSE(window->cbxAdds->isEnabled());
    EXPECT_EQ(window->tbMaxEnt->value(), 250);

    // Stopping and starting again while paused keeps the window paused.
    window->btnPause->click();
    window->btnStop->click();
    EXPECT_FALSE(window->IsTracking());
    EXPECT_FALSE(Tracking().Tracking());
    EXPECT_EQ(m_master->CheckInterval(), 2000);
    EXPECT_TRUE(window->cbxAdds->isEnabled());
    window->btnStart->click();
    EXPECT_TRUE(window->IsTracking());
    EXPECT_TRUE(window->IsPaused());
    EXPECT_EQ(window->lvChanges->topLevelItemCount(), 0);
    window->btnClear->click();
    window->btnStop->click();
}

TEST_F(DirTrackWindow, SortingFlipsTheColumnSortedLastAndKeepsTheOrderForAnother) {
    TfrmDirTrack* window = Show();
    ASSERT_NE(window, nullptr);
    Choose(window, Root(), kTrackAdditions | kTrackNameChanges);
    window->btnStart->click();
    Touch(At("b.txt"));
    Touch(At("a.txt"));
    ASSERT_EQ(rename(qPrintable(At("a.txt")), qPrintable(At("c.txt"))), 0);
    ASSERT_TRUE(RunUntil([&] { return window->lvChanges->topLevelItemCount() == 4; }));
    // Grouped by action, in recording order.
    EXPECT_EQ(Column(window->lvChanges, 0), QStringList({"b.txt", "a.txt", "a.txt", "c.txt"}));
    EXPECT_EQ(Column(window->lvChanges, 2), QStringList({"Added", "Added", "OldName", "NewName"}));
    EXPECT_EQ(Column(window->lvDetails, 0), QStringList({"b.txt", "a.txt", "c.txt"}));

    // Column 0 was the one sorted last at program start: the first click flips the order.
    emit window->lvChanges->header()->sectionClicked(0);
    EXPECT_EQ(Column(window->lvChanges, 0), QStringList({"c.txt", "b.txt", "a.txt", "a.txt"}));
    emit window->lvChanges->header()->sectionClicked(0);
    EXPECT_EQ(Column(window->lvChanges, 0), QStringList({"a.txt", "a.txt", "b.txt", "c.txt"}));
    emit window->lvChanges->header()->sectionClicked(2);
    EXPECT_EQ(Column(window->lvChanges, 2), QStringList({"Added", "Added", "NewName", "OldName"}));
    // The other list keeps its own state.
    emit window->lvDetails->header()->sectionClicked(0);
    EXPECT_EQ(Column(window->lvDetails, 0), QStringList({"c.txt", "b.txt", "a.txt"}));
    window->btnStop->click();
}

TEST_F(DirTrackWindow, RefusalsAndReset) {
    TfrmDirTrack* window = Show();
    ASSERT_NE(window, nullptr);
    // The program's log folder, with or without its trailing "/".
    for (const QString& logs : {m_master->LogsFolder(), m_master->LogsFolder().chopped(1)}) {
        window->AskFolder = [logs] { return std::optional<QString>(logs); };
        window->sbnBrowse->click();
        EXPECT_EQ(StatusText(), "Quiva application, data & log folders cannot be monitored");
        EXPECT_EQ(StatusKind(), kStatusError);
        EXPECT_EQ(window->PathSlots[0], WindowsFolder());
    }
    // Nothing to track: refused, and Auto Start cannot stay on.
    Choose(window, Root(), 0);
    window->cbxAutoStart->setChecked(true);
    window->btnStart->click();
    EXPECT_EQ(StatusText(), "First select something to track!");
    EXPECT_EQ(StatusKind(), kStatusError);
    EXPECT_FALSE(window->IsTracking());
    EXPECT_FALSE(window->cbxAutoStart->isChecked());
    // A folder that went away.
    const QString gone = m_dir.MakeDir("gone");
    Choose(window, gone, kTrackAdditions);
    QDir(gone).removeRecursively();
    window->btnStart->click();
    EXPECT_EQ(StatusText(), "First select a valid folder to track");
    EXPECT_FALSE(window->IsTracking());
    EXPECT_TRUE(window->btnStart->isEnabled());

    window->cbxRecurse->setChecked(true);
    window->tbMaxEnt->setValue(400);
    window->btnReSet->click();
    EXPECT_TRUE(window->cbxNames->isChecked());
    EXPECT_FALSE(window->cbxAdds->isChecked());
    EXPECT_FALSE(window->cbxRecurse->isChecked());
    EXPECT_EQ(window->tbMaxEnt->value(), 100);
    EXPECT_EQ(window->stSource->Caption(), WindowsFolder());
}

TEST_F(DirTrackWindow, AnOverflowShowsAsARow) {
    Tracking().testWatchOptions.overflowAt = 1;
    TfrmDirTrack* window = Show();
    ASSERT_NE(window, nullptr);
    Choose(window, Root(), kTrackAdditions);
    window->btnStart->click();
    Touch(At("lost.txt"));
    // The overflow shows as its own row; the walk after it may also record the lost file.
    const auto overflowRow = [&]() -> QTreeWidgetItem* {
        for (int i = 0; i < window->lvChanges->topLevelItemCount(); ++i) {
            if (window->lvChanges->topLevelItem(i)->text(2) == "Overflow") {
                return window->lvChanges->topLevelItem(i);
            }
        }
        return nullptr;
    };
    ASSERT_TRUE(RunUntil([&] { return overflowRow() != nullptr; }));
    EXPECT_EQ(overflowRow()->text(0), Root());
    EXPECT_TRUE(window->IsTracking());
    const int rows = window->lvChanges->topLevelItemCount();
    Touch(At("next.txt"));
    ASSERT_TRUE(RunUntil([&] { return window->lvChanges->topLevelItemCount() > rows; }));
    window->btnStop->click();
}

TEST_F(DirTrackWindow, AnAutomaticClearEmptiesTheLists) {
    TfrmDirTrack* window = Show();
    ASSERT_NE(window, nullptr);
    Choose(window, Root(), kTrackAdditions);
    window->tbMaxEnt->setValue(kTrackMinClearAt);
    window->cbxAutoSave->setChecked(true);
    window->btnStart->click();
    ASSERT_TRUE(window->IsTracking());
    const QString logs = m_master->LogsFolder();
    const auto saved = [&] { return QDir(logs).entryList({"DirTrack *.csv"}, QDir::Files); };
    // Two files, shown; then seven more and one beyond: the tenth entry empties the record.
    for (const char* name : {"a1", "a2"}) {
        Touch(At(name));
    }
    ASSERT_TRUE(RunUntil([&] { return window->lvChanges->topLevelItemCount() == 2; }));
    for (int i = 0; i < 8; ++i) {
        Touch(At(QStringLiteral("b%1").arg(i)));
    }
    ASSERT_TRUE(RunUntil([&] { return !saved().isEmpty(); }));
    TWatcher* tracker = Tracking().Tracker();
    ASSERT_NE(tracker, nullptr);
    // The lists follow the record: none of the rows that went to the CSV file stays.
    EXPECT_TRUE(RunUntil([&] {
        return window->lvChanges->topLevelItemCount() == tracker->Sequence().size() &&
               !tracker->NewData();
    }));
    EXPECT_FALSE(tracker->HasEntries());
    EXPECT_EQ(window->lvChanges->topLevelItemCount(), 0);
    EXPECT_EQ(window->lvDetails->topLevelItemCount(), 0);
    window->btnStop->click();
}

TEST_F(DirTrackWindow, AutoStartAtLaunchAndAutoSaveAtExit) {
    TfrmDirTrack* window = Show();
    ASSERT_NE(window, nullptr);
    Choose(window, Root(), kTrackAdditions);
    window->cbxAutoStart->setChecked(true);
    window->cbxAutoSave->setChecked(true);
    m_master->SelectTool(kSplitIndex);  // the window's settings are stored
    m_master.reset();

    m_master = std::make_unique<TMaster>(m_dir.Sub("prog"), ToolTable());
    ASSERT_TRUE(Tracking().Tracking());  // before any window exists
    window = Show();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->IsTracking());
    EXPECT_TRUE(window->cbxAutoStart->isChecked());
    Touch(At("seen.txt"));
    ASSERT_TRUE(RunUntil([&] { return window->lvChanges->topLevelItemCount() == 1; }));
    const QString logs = m_master->LogsFolder();
    m_master.reset();  // the tracker saves its record on the way out
    const QStringList saved = QDir(logs).entryList({"DirTrack *.csv"}, QDir::Files);
    ASSERT_EQ(saved.size(), 1);
    QFile csv(logs + saved[0]);
    ASSERT_TRUE(csv.open(QIODevice::ReadOnly));
    EXPECT_TRUE(csv.readAll().contains("seen.txt,"));
}

TEST_F(DirTrackWindow, TheEventLoopAloneRecordsAndRefreshes) {
    TfrmDirTrack* window = Show();
    ASSERT_NE(window, nullptr);
    Choose(window, Root(), kTrackAdditions);
    window->btnStart->click();
    Touch(At("by-itself.txt"));
    // No idle call and no tick by hand: the waiting thread wakes the main thread, whose
    // idle handler records, and the check timer refreshes the list.
    QElapsedTimer clock;
    clock.start();
    while (window->lvChanges->topLevelItemCount() == 0 && clock.elapsed() < kWaitMs) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    ASSERT_EQ(window->lvChanges->topLevelItemCount(), 1);
    EXPECT_EQ(window->lvChanges->topLevelItem(0)->text(0), "by-itself.txt");
    window->btnStop->click();
}

}  // namespace
