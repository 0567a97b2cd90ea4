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

    TfrmComp* Show() {
        m_master->SelectTool(kCompareIndex);
        return dynamic_cast<TfrmComp*>(m_master->CurrentWindow());
    }
    static void Choose(TfrmComp* window, const QString& a, const QString& b) {
        window->AskSourceFile = [a, b](int side) { return side == 0 ? a : b; };
        window->sbnSrcA->click();
        window->sbnSrcB->click();
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
    EXPECT_EQ(window->size(), QSize(849, 452));
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

    // Cancelling a file dialog while both sides have a file compares again: edits held in
    // the working copies are replaced.
    ASSERT_TRUE(window->dgDatA->SelectCell(0, 0));
    Type(window->edtDatA, "00");
    EXPECT_TRUE(window->sbnSaveA->isEnabled());
    window->AskSourceFile = [](int) { return QString(); };
    window->sbnSrcB->click();
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
    Choose(window, small, over);
    EXPECT_EQ(StatusText(), "File sizes > 4Mb not allowed");
    EXPECT_EQ(StatusKind(), kStatusError);
    EXPECT_TRUE(window->edtIndex->text().isEmpty());
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
    EXPECT_EQ(window->stSrcA->Caption(), a);
    EXPECT_EQ(window->stSrcB->Caption(), b);
    EXPECT_EQ(window->pgcComp->currentIndex(), 1);
    EXPECT_EQ(window->lblSizeA->text(), "[100 Bytes]");
    EXPECT_EQ(window->edtIndex->text(), QString(7, 'A'));  // 100 bytes in segments of 16
    EXPECT_EQ(window->PathSlots[0], m_dir.Sub("x") + "/");
    EXPECT_EQ(window->PathSlots[1], m_dir.Sub("y") + "/");

    const QString copyA = window->Comparer().Side(0).copy.Path();
    window->btnReSet->click();
    EXPECT_FALSE(QFile::exists(copyA));
    EXPECT_EQ(window->stSrcA->Caption(), "");
    EXPECT_EQ(window->lblSizeB->text(), "");
    EXPECT_TRUE(window->edtIndex->text().isEmpty());
    EXPECT_FALSE(window->dgDatA->SelectCell(0, 0));
}

}  // namespace
