// The Compare window driven headless: comparing when both files are chosen, the index,
// segment size and report, the 4 MiB limit, editing either side with Save enabled per
// side, saving the longer file whole, clicking the index, the fourth-tick timestamp
// warning, reset and the settings brought back.
#include "app/tool_table.h"
#include "windows/compare/compare_window.h"

#include "shell/master_window.h"
#include "shell/status_panel.h"
#include "support/test_dir.h"
#include "tools/common/file_tool_test_support.h"
#include "ui/byte_grid.h"
#include "ui/ell_path.h"
#include "ui/quick_button.h"

#include <QApplication>
#include <QDateTime>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTreeWidget>
#include <QtTest/QTest>

#include <gtest/gtest.h>

#include <memory>

namespace {

constexpr int kCompareIndex = 1;

QByteArray Bytes(int count, int first = 0) {
    QByteArray bytes(count, '\0');
    for (int i = 0; i < count; ++i) {
        bytes[i] = static_cast<char>(first + i);
    }
    return bytes;
}

class CompareWindow : public ::testing::Test {
protected:
    void SetUp() override { m_master = std::make_unique<TMaster>(m_dir.Sub("prog"), ToolTable()); }

    // Shows the window; the unsaved-changes question, where a test does not answer it
    // itself, is answered Discard.
    TfrmComp* Show() {
        m_master->SelectTool(kCompareIndex);
        auto* window = dynamic_cast<TfrmComp*>(m_master->CurrentWindow());
        if (window != nullptr) {
            window->AskUnsaved = [](const QString&) { return TUnsavedAnswer::kDiscard; };
        }
        return window;
    }
    static void Choose(TfrmComp* window, const QString& a, const QString& b) {
        window->AskSourceFile = [a, b](int side) { return side == 0 ? a : b; };
        window->sbnSrcA->click();
        Wait(window);
        window->sbnSrcB->click();
        Wait(window);
    }
    // Waits for the comparison running on the worker to be shown.
    static void Wait(TfrmComp* window) {
        QTRY_VERIFY_WITH_TIMEOUT(!window->Comparing(), 20000);
        QCoreApplication::processEvents();
    }
    static void Type(QLineEdit* editor, const QString& keys) {
        for (const QChar key : keys) {
            QTest::keyClick(editor, key.toLatin1());
        }
        QCoreApplication::processEvents();
    }
    QString StatusText() const { return m_master->StatusPanel()->Text(); }
    int StatusKind() const { return m_master->StatusPanel()->Kind(); }

    TestDir m_dir;
    std::unique_ptr<TMaster> m_master;
};

TEST_F(CompareWindow, ComparesEditsAndSavesEachSide) {
    TfrmComp* window = Show();
    ASSERT_NE(window, nullptr);
    // At least the described size; wider when the font needs it to show every column.
    EXPECT_GE(window->width(), 849);
    EXPECT_EQ(window->height(), 452);
    EXPECT_TRUE(QFile::exists(":/help/220.html"));
    EXPECT_EQ(window->pgcComp->currentIndex(), 0);

    QByteArray forty(40, 'x');
    const QString a = m_dir.Write("one/a.bin", forty + "rest of A");
    forty[5] = 'y';
    const QString b = m_dir.Write("two/b.bin", forty);
    // The first file alone does not compare.
    window->AskSourceFile = [a](int) { return a; };
    window->sbnSrcA->click();
    EXPECT_EQ(window->lblSizeA->text(), "[49 Bytes]");
    EXPECT_TRUE(window->edtIndex->text().isEmpty());
    Choose(window, a, b);
    EXPECT_EQ(window->edtIndex->text(), "BAAAA");
    EXPECT_EQ(window->edtSeg->text(), "8 Bytes");
    ASSERT_EQ(window->Comparer().Report().size(), 1);
    EXPECT_EQ(window->Comparer().Report()[0].offset, 5);
    EXPECT_EQ(window->PathSlots[0], m_dir.Sub("one") + "/");
    EXPECT_EQ(window->PathSlots[1], m_dir.Sub("two") + "/");
    EXPECT_FALSE(window->sbnSaveA->isEnabled());
    EXPECT_FALSE(window->sbnSaveB->isEnabled());
    EXPECT_TRUE(m_master->ToolTree()->isEnabled());
    EXPECT_TRUE(window->btnCompare->isEnabled());

    // Selecting a byte shows it in both files; editing A enables A's Save only.
    ASSERT_TRUE(window->dgDatA->SelectCell(5, 0));
    EXPECT_FALSE(window->edtDatB->isHidden());
    EXPECT_EQ(window->edtDatA->text(), "78");
    EXPECT_EQ(window->edtDatB->text(), "79");
    EXPECT_EQ(window->edtTextB->text(), "y");
    Type(window->edtDatA, "79");
    EXPECT_EQ(window->edtTextA->text(), "y");
    EXPECT_TRUE(window->sbnSaveA->isEnabled());
    EXPECT_FALSE(window->sbnSaveB->isEnabled());
    EXPECT_FALSE(window->Comparer().Marked(0, 5));

    // Saving A writes the edit and the rest of A beyond the compared 40 bytes.
    window->AskSaveFile = [a](int) { return a; };
    window->sbnSaveA->click();
    EXPECT_EQ(m_dir.Read("one/a.bin"), forty + "rest of A");
    EXPECT_FALSE(window->sbnSaveA->isEnabled());
    EXPECT_TRUE(m_master->ToolTree()->isEnabled());

    // B through its text editor.
    ASSERT_TRUE(window->dgTextB->SelectCell(0, 0));
    window->edtTextB->selectAll();
    Type(window->edtTextB, "Q");
    EXPECT_EQ(window->edtDatB->text(), "51");
    EXPECT_TRUE(window->sbnSaveB->isEnabled());
    EXPECT_FALSE(window->sbnSaveA->isEnabled());
    window->AskSaveFile = [this](int) { return m_dir.Sub("two/b2.bin"); };
    window->sbnSaveB->click();
    EXPECT_EQ(m_dir.Read("two/b2.bin"), "Q" + forty.mid(1));
    EXPECT_EQ(window->stSrcB->Caption(), m_dir.Sub("two/b2.bin"));

    // Cancelling a file dialog while both sides have a file compares again: the edits held
    // are asked about first, and replaced when discarded.
    ASSERT_TRUE(window->dgDatA->SelectCell(0, 0));
    Type(window->edtDatA, "00");
    EXPECT_TRUE(window->sbnSaveA->isEnabled());
    QStringList asked;
    window->AskUnsaved = [&asked](const QString& name) {
        asked.append(name);
        return TUnsavedAnswer::kDiscard;
    };
    window->AskSourceFile = [](int) { return QString(); };
    window->sbnSrcB->click();
    Wait(window);
    EXPECT_EQ(asked, QStringList{"a.bin"});
    EXPECT_FALSE(window->sbnSaveA->isEnabled());
    EXPECT_EQ(window->Comparer().HexCell(0, 0, 0), "78");
    EXPECT_EQ(window->edtIndex->text(), "GAAAA");  // x against Q in byte 0: 39 apart
}

TEST_F(CompareWindow, LimitsIndexClicksAndScrolling) {
    TfrmComp* window = Show();
    ASSERT_NE(window, nullptr);
    const QString over = m_dir.Sub("over.bin");
    ASSERT_TRUE(file_tool_test::MakeSparse(over, 4194305, "z"));
    const QString small = m_dir.Write("small.bin", "abc");
    // Past the old 4 MiB limit: compared over the common length.
    Choose(window, small, over);
    EXPECT_EQ(window->Comparer().CommonLength(), 3);
    EXPECT_EQ(window->edtIndex->text(), "J");  // "abc" against zeros: 294 apart
    EXPECT_TRUE(m_master->ToolTree()->isEnabled());

    const QString a = m_dir.Write("a.bin", Bytes(4000));
    const QString b = m_dir.Write("b.bin", Bytes(4000, 1));
    Choose(window, a, b);
    EXPECT_EQ(window->edtIndex->text().size(), 32);
    EXPECT_EQ(window->Comparer().Report().size(), 64);
    window->scroll.End()->click();
    EXPECT_EQ(window->Comparer().TopRow(), 250 - 16);
    EXPECT_TRUE(window->scroll.Home()->isEnabled());
    // Clicking past the last letter shows the last segment.
    const QPoint end(window->edtIndex->width() - 3, window->edtIndex->height() / 2);
    QTest::mouseClick(window->edtIndex, Qt::LeftButton, {}, end);
    EXPECT_EQ(window->pgcComp->currentIndex(), 1);
    EXPECT_EQ(window->Comparer().TopRow(), 234);  // 31 * 128 / 16 = 248, held at the last
    window->ShowSegment(3);
    EXPECT_EQ(window->Comparer().TopRow(), 24);
    EXPECT_EQ(window->Comparer().RowOffsetText(0), "00000180");

    // Comparing two other files starts at the top again.
    Choose(window, m_dir.Write("c.bin", Bytes(200)), m_dir.Write("d.bin", Bytes(200)));
    EXPECT_EQ(window->Comparer().TopRow(), 0);
    EXPECT_EQ(window->Comparer().RowOffsetText(0), "00000000");
    EXPECT_FALSE(window->scroll.Home()->isEnabled());
    EXPECT_FALSE(window->scroll.LineUp()->isEnabled());
    // Fewer than 241 bytes: nothing below, and the wheel does not move.
    for (TQuickButton* button : window->scroll.buttons) {
        EXPECT_FALSE(button->isEnabled());
    }
    window->WheelStep(false, {});
    EXPECT_EQ(window->Comparer().TopRow(), 0);
    EXPECT_EQ(window->edtIndex->text(), QString(13, 'A'));
}

TEST_F(CompareWindow, TimestampWarningResetAndSettings) {
    const QString a = m_dir.Write("x/a.bin", Bytes(100));
    const QString b = m_dir.Write("y/b.bin", Bytes(100));
    m_dir.SetTimes("y/b.bin", QDateTime::currentDateTime().addSecs(-100));
    TfrmComp* window = Show();
    ASSERT_NE(window, nullptr);
    Choose(window, a, b);
    m_master->ShowStatus("", false, kStatusInfo);
    m_dir.SetTimes("y/b.bin", QDateTime::currentDateTime());
    for (int i = 0; i < 3; ++i) {
        window->PeriodicCheck();
        EXPECT_EQ(StatusText(), "");
    }
    window->PeriodicCheck();
    EXPECT_EQ(StatusText(), "File B timestamp has changed");

    window->pgcComp->setCurrentIndex(1);
    window = Show();  // the comparison runs at once with the stored files
    ASSERT_NE(window, nullptr);
    Wait(window);
    EXPECT_EQ(window->stSrcA->Caption(), a);
    EXPECT_EQ(window->stSrcB->Caption(), b);
    EXPECT_EQ(window->pgcComp->currentIndex(), 1);
    EXPECT_EQ(window->lblSizeA->text(), "[100 Bytes]");
    EXPECT_EQ(window->edtIndex->text(), QString(7, 'A'));  // 100 bytes in segments of 16
    EXPECT_EQ(window->PathSlots[0], m_dir.Sub("x") + "/");
    EXPECT_EQ(window->PathSlots[1], m_dir.Sub("y") + "/");

    window->btnReSet->click();
    EXPECT_FALSE(window->Comparer().Loaded(0));
    EXPECT_EQ(window->stSrcA->Caption(), "");
    EXPECT_EQ(window->lblSizeB->text(), "");
    EXPECT_TRUE(window->edtIndex->text().isEmpty());
    EXPECT_FALSE(window->dgDatA->SelectCell(0, 0));
}

// Files past 4 MiB compare on the worker; "next" reaches differences past the first 64
// listed, anywhere in the files, and "previous" comes back.
TEST_F(CompareWindow, NextAndPreviousDifferenceReachPastTheReportedOnes) {
    const qint64 size = qint64(6) << 20;
    QByteArray a(size, 'a');
    QByteArray b = a;
    for (int i = 0; i < 70; ++i) {
        b[100 + 2 * i] = 'b';
    }
    const qint64 far = qint64(5) << 20 | 0x37;
    b[far] = 'c';
    TfrmComp* window = Show();
    ASSERT_NE(window, nullptr);
    Choose(window, m_dir.Write("big/a.bin", a), m_dir.Write("big/b.bin", b));
    ASSERT_EQ(window->Comparer().CommonLength(), size);
    EXPECT_EQ(window->Comparer().Report().size(), 64);
    EXPECT_EQ(window->edtIndex->text().size(), 24);  // 6 MiB in segments of 256 KiB
    EXPECT_TRUE(window->sbnNextDiff->isEnabled());
    const auto selected = [window] {
        return window->Comparer().TopRow() * 16 + (window->Comparer().HexPosition() - 1) / 2;
    };
    for (int i = 0; i < 70; ++i) {
        window->sbnNextDiff->click();
        ASSERT_EQ(selected(), 100 + 2 * i) << i;
    }
    window->sbnNextDiff->click();
    EXPECT_EQ(selected(), far);
    EXPECT_EQ(window->pgcComp->currentIndex(), 1);
    EXPECT_EQ(window->Comparer().RowOffsetText(0), "00500030");
    EXPECT_EQ(window->edtDatB->text(), "63");
    // Nothing after the last: the view stays and says so.
    window->sbnNextDiff->click();
    EXPECT_EQ(selected(), far);
    EXPECT_EQ(StatusText(), "No difference after this byte");
    window->sbnPrevDiff->click();
    EXPECT_EQ(selected(), 100 + 2 * 69);
}

// A comparison can be stopped with Esc; nothing is shown then.
TEST_F(CompareWindow, EscStopsARunningComparison) {
    const QString a = m_dir.Write("s/a.bin", QByteArray(qint64(64) << 20, 'q'));
    TfrmComp* window = Show();
    ASSERT_NE(window, nullptr);
    window->AskSourceFile = [a](int) { return a; };
    window->sbnSrcA->click();
    Wait(window);
    window->sbnSrcB->click();  // the same file on both sides
    window->DoStop();
    Wait(window);
    EXPECT_TRUE(m_master->ToolTree()->isEnabled());
    // Stopped before its end, or done before the stop arrived: either way the window is
    // usable and consistent.
    if (StatusText() == "Comparison stopped") {
        EXPECT_TRUE(window->edtIndex->text().isEmpty());
        EXPECT_FALSE(window->Comparer().Loaded(0));
    } else {
        EXPECT_EQ(window->edtIndex->text().size(), 32);
    }
}

// Every column of both sides shows left of the scroll buttons, and the byte editor is
// wide enough for both digits, at the default font and at a larger one.
TEST_F(CompareWindow, TheDataPageShowsEveryColumnAndBothDigits) {
    const QFont before = QApplication::font();
    // Shown first: the first show puts the welcome window in the panel.
    m_master->show();
    QCoreApplication::processEvents();
    for (const int points : {0, 14}) {
        SCOPED_TRACE(points);
        if (points > 0) {
            QFont larger = before;
            larger.setPointSize(points);
            QApplication::setFont(larger);
        }
        m_master->SelectTool(0);
        TfrmComp* window = Show();
        ASSERT_NE(window, nullptr);
        window->pgcComp->setCurrentIndex(1);
        QCoreApplication::processEvents();
        const QRect textB(window->dgTextB->mapTo(window->tsView, QPoint(0, 0)),
                          window->dgTextB->size());
        const int lastRight = window->dgTextB->CellRect(15, 0).right() + textB.left();
        EXPECT_LE(lastRight, window->scroll.panel->geometry().left());
        EXPECT_LE(window->scroll.panel->geometry().right(), window->tsView->width());
        EXPECT_GE(window->dgTextB->width(), window->dgTextB->CellsWidth());
        Choose(window, m_dir.Write("w/a.bin", Bytes(64)), m_dir.Write("w/b.bin", Bytes(64, 1)));
        ASSERT_TRUE(window->dgDatA->SelectCell(15, 0));
        const QLineEdit* editor = window->edtDatA;
        EXPECT_GE(editor->width(),
                  QFontMetrics(editor->font()).horizontalAdvance(editor->text()) + 2);
        EXPECT_LE(editor->geometry().right(), window->dgDatA->width() + editor->width());
    }
    QApplication::setFont(before);
}

// The unsaved-changes question guards Reset, another tool and a new comparison.
TEST_F(CompareWindow, UnsavedEditsAreAskedAboutBeforeTheyGo) {
    for (const TUnsavedAnswer answer :
         {TUnsavedAnswer::kSave, TUnsavedAnswer::kDiscard, TUnsavedAnswer::kCancel}) {
        for (int way = 0; way < 3; ++way) {
            SCOPED_TRACE(testing::Message() << "way " << way << ", answer " << int(answer));
            const QString a = m_dir.Write("q/a.bin", Bytes(40));
            const QString b = m_dir.Write("q/b.bin", Bytes(40, 1));
            TfrmComp* window = Show();
            ASSERT_NE(window, nullptr);
            Choose(window, a, b);
            ASSERT_TRUE(window->dgDatB->SelectCell(2, 0));
            Type(window->edtDatB, "EE");
            QStringList asked;
            window->AskUnsaved = [&](const QString& name) {
                asked.append(name);
                return answer;
            };
            window->AskSaveFile = [b](int) { return b; };
            bool left = false;
            if (way == 0) {
                window->btnReSet->click();
                left = !window->Comparer().Loaded(1);
            } else if (way == 1) {
                m_master->SelectTool(0);
                left = m_master->CurrentWindow() != window;
            } else {
                window->btnCompare->click();
                Wait(window);
                left = !window->Comparer().Modified(1);
            }
            EXPECT_EQ(asked, QStringList{"b.bin"});
            EXPECT_EQ(left, answer != TUnsavedAnswer::kCancel);
            QByteArray saved = Bytes(40, 1);
            saved[2] = '\xEE';
            EXPECT_EQ(m_dir.Read("q/b.bin"),
                      answer == TUnsavedAnswer::kSave ? saved : Bytes(40, 1));
            if (answer == TUnsavedAnswer::kCancel) {
                EXPECT_TRUE(window->Comparer().Modified(1));
                window->AskUnsaved = [](const QString&) { return TUnsavedAnswer::kDiscard; };
            }
            m_master->SelectTool(0);
        }
    }
}

}  // namespace
