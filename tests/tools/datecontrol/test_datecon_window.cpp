// The Date Control window driven headless: the locked creation group, "Don't Change" and
// its group, a change through the button with the mask check script, the refusals, the
// date range by file system, the date on screen after the calendar moves, reset, and the
// stored dates brought back.
#include "app/tool_table.h"
#include "tools/datecontrol/date_changer.h"
#include "windows/datecontrol/datecon_window.h"

#include "base/settings_codec.h"
#include "platform/file_facts.h"
#include "platform/file_utilities.h"
#include "shell/master_window.h"
#include "shell/status_panel.h"
#include "support/test_dir.h"
#include "ui/ell_path.h"

#include <QCalendarWidget>
#include <QCheckBox>
#include <QFile>
#include <QGroupBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTimeEdit>
#include <QToolButton>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <memory>

// Readable failures: a QString as its text.
void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace {

constexpr int kDateControlIndex = 2;

class DateConWindow : public ::testing::Test {
protected:
    void SetUp() override { m_master = std::make_unique<TMaster>(m_dir.Sub("prog"), ToolTable()); }
    TfrmDateCon* Show() {
        m_master->SelectTool(kDateControlIndex);
        return dynamic_cast<TfrmDateCon*>(m_master->CurrentWindow());
    }
    static void Choose(TfrmDateCon* window, const QString& folder) {
        window->AskFolder = [folder] { return std::optional<QString>(folder); };
        window->sbnBrowse->click();
    }
    QString StatusText() const { return m_master->StatusPanel()->Text(); }
    int StatusKind() const { return m_master->StatusPanel()->Kind(); }
    qint64 Modified(const QString& relative) const {
        TFileFacts facts;
        EXPECT_TRUE(ReadFileFacts(m_dir.Sub(relative), facts));
        return facts.modified.seconds;
    }
    qint64 Accessed(const QString& relative) const {
        TFileFacts facts;
        EXPECT_TRUE(ReadFileFacts(m_dir.Sub(relative), facts));
        return facts.accessed.seconds;
    }

    TestDir m_dir;
    std::unique_ptr<TMaster> m_master;
};

TEST_F(DateConWindow, TheCreationGroupIsLockedAndDontChangeFollowsItsBox) {
    TfrmDateCon* window = Show();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->size(), QSize(684, 573));
    EXPECT_TRUE(QFile::exists(":/help/230.html"));
    EXPECT_EQ(window->edtMask->text(), "*.jpg");
    EXPECT_EQ(window->edtMask->maxLength(), 7);
    EXPECT_EQ(window->gbCD->title(), "Creation Date");
    EXPECT_FALSE(window->gbCD->isHidden());
    EXPECT_TRUE(window->cbxNoCD->isChecked());
    EXPECT_FALSE(window->cbxNoCD->isEnabled());
    EXPECT_FALSE(window->mcCD->isEnabled());
    EXPECT_FALSE(window->dtpCD->isEnabled());
    EXPECT_TRUE(window->cbxNoCD->statusTip().contains("creation"));
    EXPECT_EQ(window->Moment(TfrmDateCon::kAccess).date(), QDate::currentDate());

    window->cbxNoLAD->click();
    EXPECT_TRUE(window->cbxNoLAD->isChecked());
    EXPECT_FALSE(window->mcLAD->isEnabled());
    EXPECT_FALSE(window->dtpLAD->isEnabled());
    EXPECT_TRUE(window->gbLAD->isEnabled());
    EXPECT_TRUE(window->mcLMD->isEnabled());
    window->cbxNoLAD->click();
    EXPECT_TRUE(window->mcLAD->isEnabled());

    window->cbxNoLAD->click();
    window->cbxNoLMD->click();
    window->edtMask->setText("*.txt");
    window->btnReset->click();
    EXPECT_FALSE(window->cbxNoLAD->isChecked());
    EXPECT_FALSE(window->cbxNoLMD->isChecked());
    EXPECT_TRUE(window->mcLAD->isEnabled());
    EXPECT_TRUE(window->mcLMD->isEnabled());
    EXPECT_TRUE(window->cbxNoCD->isChecked());
    EXPECT_FALSE(window->mcCD->isEnabled());
    EXPECT_EQ(window->edtMask->text(), "*.jpg");
    EXPECT_EQ(window->PathSlots[0], WindowsFolder());
}

TEST_F(DateConWindow, ChangesTheTimesOfTheMatchingFiles) {
    m_dir.Write("photos/a.jpg", "a");
    m_dir.Write("photos/.b.JPG", "b");
    m_dir.Write("photos/c.txt", "c");
    const QDateTime old = QDateTime(QDate(2010, 5, 5), QTime(10, 0));
    for (const char* name : {"photos/a.jpg", "photos/.b.JPG", "photos/c.txt"}) {
        m_dir.SetTimes(name, old);
    }
    TfrmDateCon* window = Show();
    ASSERT_NE(window, nullptr);
    Choose(window, m_dir.Sub("photos"));
    EXPECT_EQ(window->stSource->Caption(), m_dir.Sub("photos"));
    window->cbxNoLAD->click();
    window->SetMoment(TfrmDateCon::kModification, QDateTime(QDate(2001, 2, 3), QTime(4, 5, 6)));
    window->btnChange->click();
    EXPECT_EQ(StatusText(), "Changed 2 of 2 files");
    EXPECT_TRUE(window->memoResults->toPlainText().isEmpty());
    EXPECT_TRUE(window->btnChange->isEnabled());
    // The real local time of that moment, daylight saving time or not.
    const qint64 wanted = QDateTime(QDate(2001, 2, 3), QTime(4, 5, 6)).toSecsSinceEpoch();
    EXPECT_EQ(Modified("photos/a.jpg"), wanted);
    EXPECT_EQ(Modified("photos/.b.JPG"), wanted);
    EXPECT_EQ(Accessed("photos/a.jpg"), old.toSecsSinceEpoch());
    EXPECT_EQ(Modified("photos/c.txt"), old.toSecsSinceEpoch());
}

TEST_F(DateConWindow, RefusalsChangeNothing) {
    m_dir.Write("photos/a.jpg", "a");
    m_dir.SetTimes("photos/a.jpg", QDateTime(QDate(2010, 5, 5), QTime(10, 0)));
    const qint64 before = Modified("photos/a.jpg");
    TfrmDateCon* window = Show();
    ASSERT_NE(window, nullptr);
    Choose(window, m_dir.Sub("photos"));
    struct Case {
        const char* name;
        std::function<void(TfrmDateCon*)> setup;
        const char* message;
    };
    const QList<Case> cases = {
        {"nothing to change",
         [](TfrmDateCon* w) {
             w->cbxNoLAD->click();
             w->cbxNoLMD->click();
         },
         "Nothing to change!"},
        {"no mask", [](TfrmDateCon* w) { w->edtMask->clear(); }, "Provide a valid file mask!"},
        {"no matching file", [](TfrmDateCon* w) { w->edtMask->setText("*.png"); },
         "No matching files here!"},
        {"refused by the mask check", [](TfrmDateCon* w) { w->edtMask->setText(".."); },
         "File mask should not be \".\" or \"..\": these name folders, not files"},
        {"folder gone",
         [this](TfrmDateCon* w) {
             const QString gone = m_dir.MakeDir("gone");
             Choose(w, gone);
             QDir(gone).removeRecursively();
         },
         "Provide a valid source directory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        window->btnReset->click();
        Choose(window, m_dir.Sub("photos"));
        c.setup(window);
        window->btnChange->click();
        EXPECT_EQ(StatusText(), QString::fromUtf8(c.message));
        EXPECT_EQ(StatusKind(), kStatusError);
        EXPECT_TRUE(window->btnChange->isEnabled());
        EXPECT_TRUE(m_master->ToolTree()->isEnabled());
        EXPECT_EQ(Modified("photos/a.jpg"), before);
    }
}

TEST_F(DateConWindow, TheDateRangeFollowsTheFileSystem) {
    TfrmDateCon* window = Show();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(StatusText(),
              "Dates outwith the range 1980..2099 may not display in Windows Explorer");
    // Only the dates the folder's file system holds (ext4 keeps 1901-12-13..2446-05-10).
    Choose(window, m_dir.Path());
    const TDateRange held = DateRangeIn(m_dir.Path(), false);
    EXPECT_GE(held.first, QDate(1900, 1, 1));
    EXPECT_LE(held.last, QDate(2599, 12, 31));
    for (QCalendarWidget* calendar : {window->mcCD, window->mcLAD, window->mcLMD}) {
        EXPECT_EQ(calendar->minimumDate(), held.first);
        EXPECT_EQ(calendar->maximumDate(), held.last);
    }
    window->IsFatFolder = [](const QString&) { return true; };
    Choose(window, m_dir.Path());
    EXPECT_EQ(StatusText(), "This disk has a File System date constraint of 1980..2099");
    EXPECT_EQ(StatusKind(), kStatusError);
    for (QCalendarWidget* calendar : {window->mcCD, window->mcLAD, window->mcLMD}) {
        EXPECT_EQ(calendar->minimumDate(), QDate(1980, 1, 1));
        EXPECT_EQ(calendar->maximumDate(), QDate(2099, 12, 31));
    }
}

TEST_F(DateConWindow, ChangeUsesTheDateOnScreenAfterTheCalendarMoves) {
    m_dir.Write("photos/a.jpg", "a");
    TfrmDateCon* window = Show();
    ASSERT_NE(window, nullptr);
    Choose(window, m_dir.Sub("photos"));
    window->cbxNoLAD->click();
    window->SetMoment(TfrmDateCon::kModification, QDateTime(QDate(2010, 3, 31), QTime(4, 5, 6)));
    QCalendarWidget* calendar = window->mcLMD;
    // A year typed into the header (click the year, type, Enter), then the next-month arrow.
    auto* yearEdit = calendar->findChild<QSpinBox*>("qt_calendar_yearedit");
    ASSERT_NE(yearEdit, nullptr);
    yearEdit->setValue(2001);
    emit yearEdit->editingFinished();
    EXPECT_EQ(calendar->yearShown(), 2001);
    EXPECT_EQ(calendar->selectedDate(), QDate(2001, 3, 31));
    auto* nextMonth = calendar->findChild<QToolButton*>("qt_calendar_nextmonth");
    ASSERT_NE(nextMonth, nullptr);
    nextMonth->click();
    EXPECT_EQ(calendar->monthShown(), 4);
    EXPECT_EQ(calendar->selectedDate(), QDate(2001, 4, 30));  // April has no 31st
    window->btnChange->click();
    EXPECT_EQ(StatusText(), "Changed 1 of 1 files");
    EXPECT_EQ(Modified("photos/a.jpg"),
              QDateTime(QDate(2001, 4, 30), QTime(4, 5, 6)).toSecsSinceEpoch());
    // The stored state keeps the date on screen too.
    window = Show();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->Moment(TfrmDateCon::kModification),
              QDateTime(QDate(2001, 4, 30), QTime(4, 5, 6)));
}

TEST_F(DateConWindow, StoredDatesAreBroughtBack) {
    TfrmDateCon* window = Show();
    ASSERT_NE(window, nullptr);
    Choose(window, m_dir.Path());
    window->edtMask->setText("*.png");
    window->SetMoment(TfrmDateCon::kAccess, QDateTime(QDate(1999, 12, 31), QTime(23, 59, 58)));
    window->cbxNoLMD->click();
    window = Show();  // saved and loaded again
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->PathSlots[0], m_dir.Path());
    EXPECT_EQ(window->edtMask->text(), "*.png");
    EXPECT_EQ(window->Moment(TfrmDateCon::kAccess),
              QDateTime(QDate(1999, 12, 31), QTime(23, 59, 58)));
    EXPECT_TRUE(window->cbxNoLMD->isChecked());
    EXPECT_FALSE(window->mcLMD->isEnabled());
    EXPECT_TRUE(window->cbxNoCD->isChecked());

    // A stored field of six parts restores its group; one of five leaves it as it is.
    m_master->ShowPanelWindow(nullptr, 0, kStatusInfo, QString());
    m_master->Stores().SaveToolState(
        "DateCon", EncodeSettings(m_dir.Path().toUtf8() +
                                  "|*.gif|2001,2,3,4,5,6|2002,3,4,5,6,7|1,2,3,4,5|2|"));
    window = Show();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->edtMask->text(), "*.gif");
    EXPECT_EQ(window->Moment(TfrmDateCon::kCreation), QDateTime(QDate(2001, 2, 3), QTime(4, 5, 6)));
    EXPECT_EQ(window->Moment(TfrmDateCon::kAccess), QDateTime(QDate(2002, 3, 4), QTime(5, 6, 7)));
    EXPECT_EQ(window->Moment(TfrmDateCon::kModification).date(), QDate::currentDate());
    EXPECT_TRUE(window->cbxNoLAD->isChecked());
    EXPECT_FALSE(window->mcLAD->isEnabled());
    EXPECT_FALSE(window->cbxNoLMD->isChecked());
    EXPECT_TRUE(window->cbxNoCD->isChecked());  // locked whatever was stored
}

}  // namespace
