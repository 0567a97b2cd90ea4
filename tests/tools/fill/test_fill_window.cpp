// The Fill window driven headless: fills through the buttons, the refusals and failures
// in the status panel, the pattern and size rules, reset, and the settings brought back.
#include "app/tool_table.h"
#include "platform/file_utilities.h"
#include "windows/fill/fill_window.h"

#include "base/utilities.h"
#include "shell/master_window.h"
#include "shell/status_panel.h"
#include "support/test_dir.h"
#include "ui/ell_path.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QTreeWidget>
#include <QtTest/QTest>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace {

constexpr int kFillIndex = 5;

class FillWindow : public ::testing::Test {
protected:
    void SetUp() override { m_master = std::make_unique<TMaster>(m_dir.Sub("prog"), ToolTable()); }

    TfrmFill* Show() {
        m_master->SelectTool(kFillIndex);
        auto* window = dynamic_cast<TfrmFill*>(m_master->CurrentWindow());
        if (window != nullptr) {
            window->NoticePauseMs = 0;
        }
        return window;
    }
    static void ChooseDest(TfrmFill* window, const QString& path) {
        window->AskDestFile = [path] { return path; };
        window->bbnBrowse->click();
    }
    static void SetSize(TfrmFill* window, int bytes, int kilobytes, int megabytes) {
        window->tbB->setValue(bytes);
        window->tbKb->setValue(kilobytes);
        window->tbMb->setValue(megabytes);
    }
    QString StatusText() const { return m_master->StatusPanel()->Text(); }
    int StatusKind() const { return m_master->StatusPanel()->Kind(); }

    TestDir m_dir;
    std::unique_ptr<TMaster> m_master;
};

TEST_F(FillWindow, FillsThroughTheButtonsAndBringsItsInputsBack) {
    const QString dest = m_dir.Sub("out/test.bin");
    m_dir.MakeDir("out");
    TfrmFill* window = Show();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->size(), QSize(248, 314));
    // The help key opens the tool's own page.
    EXPECT_TRUE(QFile::exists(":/help/260.html"));
    EXPECT_EQ(window->btnFill->text(), "Fill");

    ChooseDest(window, dest);
    EXPECT_EQ(window->stDest->Caption(), dest);
    EXPECT_EQ(window->PathSlots[1], m_dir.Sub("out") + "/");
    SetSize(window, 10, 0, 0);
    window->btnFill->click();
    EXPECT_EQ(StatusText(), "Filling complete");
    EXPECT_EQ(StatusKind(), kStatusCompletion);
    EXPECT_TRUE(window->btnFill->isEnabled());
    EXPECT_TRUE(m_master->ToolTree()->isEnabled());
    EXPECT_EQ(m_dir.Read("out/test.bin"), QByteArray::fromHex("CAFEBABECAFEBABECAFE"));

    // A random range with From = To over the existing file, 256 bytes by quick pick.
    window->cbxOverwrite->setChecked(true);
    window->cbPattern->setCurrentIndex(1);
    window->edtFrom->setText("7f");
    window->edtTo->setText("7F");
    window->cbCommon->setCurrentIndex(1);
    EXPECT_EQ(window->FileSize(), 256);
    window->btnFill->click();
    EXPECT_EQ(StatusText(), "Filling complete");
    EXPECT_EQ(m_dir.Read("out/test.bin"), QByteArray(256, '\x7F'));

    window->edtSeq->setText("0a0B");
    window = Show();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->PathSlots[3], dest);
    EXPECT_EQ(window->stDest->Caption(), dest);
    EXPECT_EQ(window->PathSlots[1], m_dir.Sub("out"));
    EXPECT_TRUE(window->cbxOverwrite->isChecked());
    EXPECT_EQ(window->edtSeq->text(), "0A0B");
    EXPECT_EQ(window->edtFrom->text(), "7F");
    EXPECT_EQ(window->edtTo->text(), "7F");
    EXPECT_EQ(window->tbB->value(), 256);
    EXPECT_EQ(window->tbKb->value(), 0);
    EXPECT_EQ(window->tbMb->value(), 0);
    EXPECT_EQ(window->cbCommon->currentIndex(), 1);
    EXPECT_EQ(window->cbPattern->currentIndex(), 1);
    EXPECT_FALSE(window->pnlRange->isHidden());
    EXPECT_FALSE(window->edtSeq->isEnabled());

    // The full byte sequence writes 256 bytes whatever the size.
    window->cbPattern->setCurrentIndex(2);
    SetSize(window, 0, 0, 1);
    window->btnFill->click();
    EXPECT_EQ(StatusText(), "Filling complete");
    QByteArray all(256, '\0');
    for (int i = 0; i < 256; ++i) {
        all[i] = static_cast<char>(i);
    }
    EXPECT_EQ(m_dir.Read("out/test.bin"), all);

    // A destination whose folder is gone is not brought back.
    QDir(m_dir.Sub("out")).removeRecursively();
    window = Show();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->PathSlots[3], "");
    EXPECT_EQ(window->stDest->Caption(), "");
    EXPECT_EQ(window->PathSlots[1], WindowsFolder());
    EXPECT_EQ(window->cbPattern->currentIndex(), 2);
    EXPECT_TRUE(window->pnlRange->isHidden());
    EXPECT_EQ(window->FileSize(), 1048576);
}

TEST_F(FillWindow, RefusalsAndFailuresLeaveNothingBehind) {
    struct Case {
        const char* name;
        QString dest;  // inside the test folder; "old" exists
        int bytes;
        int pattern;
        QString sequence, from, to;
        bool overwrite;
        QString message;  // "%1" is the test folder
    };
    const QList<Case> cases = {
        {"no destination", "", 10, 0, "CAFEBABE", "00", "FF", false,
         "Destination filename required"},
        {"destination exists", "old", 10, 0, "CAFEBABE", "00", "FF", false,
         "Destination file already exists"},
        {"size 0", "new", 0, 0, "CAFEBABE", "00", "FF", false,
         "Destination filesize cannot be 0 bytes"},
        {"size 0 for all bytes", "new", 0, 2, "CAFEBABE", "00", "FF", false,
         "Destination filesize cannot be 0 bytes"},
        {"odd sequence", "new", 10, 0, "ABC", "00", "FF", false, "Sequence length must be even"},
        {"not hexadecimal", "new", 10, 0, "0G", "00", "FF", false,
         "Sequence string must be hexadecimal"},
        {"empty sequence", "new", 10, 0, "", "00", "FF", false,
         "Hexadecimal sequence cannot be empty"},
        {"range upside down", "new", 10, 1, "CAFEBABE", "10", "0F", false, "Invalid range"},
        {"range not hexadecimal", "new", 10, 1, "CAFEBABE", "00", "X1", false,
         "X1 is not valid hexadecimal"},
        {"shorter than the sequence", "new", 3, 0, "CAFEBABE", "00", "FF", false,
         "Filesize cannot be smaller than sequence length"},
        {"shorter than the sequence, over an old file", "old", 3, 0, "CAFEBABE", "00", "FF", true,
         "Filesize cannot be smaller than sequence length"},
        {"folder missing", "none/new", 10, 0, "CAFEBABE", "00", "FF", false,
         "Cannot write %1/none/new"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        m_dir.Write("old", "previous content");
        TfrmFill* window = Show();
        ASSERT_NE(window, nullptr);
        window->DoReset();
        if (!test.dest.isEmpty()) {
            ChooseDest(window, m_dir.Sub(test.dest));
        }
        SetSize(window, test.bytes, 0, 0);
        window->cbPattern->setCurrentIndex(test.pattern);
        window->edtSeq->setText(test.sequence);
        window->edtFrom->setText(test.from);
        window->edtTo->setText(test.to);
        window->cbxOverwrite->setChecked(test.overwrite);
        window->btnFill->click();
        EXPECT_EQ(StatusText(), QString(test.message).replace("%1", m_dir.Path()));
        EXPECT_EQ(StatusKind(), kStatusError);
        EXPECT_TRUE(window->btnFill->isEnabled());
        EXPECT_TRUE(m_master->ToolTree()->isEnabled());
        EXPECT_EQ(m_dir.Read("old"), "previous content");
        EXPECT_FALSE(QFile::exists(m_dir.Sub("new")));
        for (const QString& name : QDir(m_dir.Path()).entryList(QDir::Files | QDir::Hidden)) {
            EXPECT_FALSE(name.startsWith('.')) << name.toStdString();
        }
    }
}

// The pattern, size and reset rules need no main window.
TEST(FillWindowRules, PatternShowsTheRangeOrTheSequence) {
    const struct {
        int pattern;
        bool rangeShown;
        bool sequenceEnabled;
    } cases[] = {{1, true, false}, {2, false, false}, {0, false, true}, {1, true, false}};
    TfrmFill window(nullptr, TToolContext{});
    EXPECT_TRUE(window.pnlRange->isHidden());
    EXPECT_TRUE(window.edtSeq->isEnabled());
    for (const auto& test : cases) {
        window.cbPattern->setCurrentIndex(test.pattern);
        EXPECT_EQ(!window.pnlRange->isHidden(), test.rangeShown) << test.pattern;
        EXPECT_EQ(window.edtSeq->isEnabled(), test.sequenceEnabled) << test.pattern;
    }
}

TEST(FillWindowRules, QuickPicksSetTheSlidersAndLabel) {
    const struct {
        int pick;
        int bytes, kilobytes, megabytes;
        const char* label;
    } cases[] = {
        {1, 256, 0, 0, "0.25 Kb"},  // from 128 Kb: the kilobytes slider moved last
        {3, 0, 1, 0, "1.00 Kb"},
        {4, 0, 0, 1, "1.0000 Mb"},
        {2, 512, 0, 0, "0.50 Kb"},
    };
    for (const auto& test : cases) {
        TfrmFill window(nullptr, TToolContext{});
        window.cbCommon->setCurrentIndex(test.pick);
        EXPECT_EQ(window.tbB->value(), test.bytes) << test.pick;
        EXPECT_EQ(window.tbKb->value(), test.kilobytes) << test.pick;
        EXPECT_EQ(window.tbMb->value(), test.megabytes) << test.pick;
        EXPECT_EQ(window.lblSize->text(), test.label) << test.pick;
        EXPECT_EQ(window.cbCommon->currentIndex(), test.pick);
        window.tbB->setValue(window.tbB->value() + 1);
        EXPECT_EQ(window.cbCommon->currentIndex(), 0) << test.pick;
    }
}

TEST(FillWindowRules, HexBoxesTakeUpperCaseUpToTheirLength) {
    TfrmFill window(nullptr, TToolContext{});
    window.edtSeq->clear();
    QTest::keyClicks(window.edtSeq, "deadbeef0123456789");
    EXPECT_EQ(window.edtSeq->text(), "DEADBEEF01234567");
    window.edtFrom->clear();
    QTest::keyClicks(window.edtFrom, "a0f");
    EXPECT_EQ(window.edtFrom->text(), "A0");
}

TEST(FillWindowRules, ResetPutsEveryInputBack) {
    TestDir dir;
    TfrmFill window(nullptr, TToolContext{});
    window.AskDestFile = [&] { return dir.Sub("x.bin"); };
    window.bbnBrowse->click();
    window.cbxOverwrite->setChecked(true);
    window.cbCommon->setCurrentIndex(4);
    window.cbPattern->setCurrentIndex(2);
    window.edtSeq->setText("00");
    window.edtFrom->setText("01");
    window.edtTo->setText("02");
    // A cancelled dialog changes nothing.
    window.AskDestFile = [] { return QString(); };
    window.bbnBrowse->click();
    EXPECT_EQ(window.PathSlots[3], dir.Sub("x.bin"));

    window.btnReset->click();
    EXPECT_EQ(window.PathSlots[3], "");
    EXPECT_EQ(window.stDest->Caption(), "");
    EXPECT_EQ(window.PathSlots[1], WindowsFolder());
    EXPECT_FALSE(window.cbxOverwrite->isChecked());
    EXPECT_EQ(window.FileSize(), 131072);
    EXPECT_EQ(window.tbKb->value(), 128);
    EXPECT_EQ(window.lblSize->text(), "128.00 Kb");
    EXPECT_EQ(window.cbCommon->currentIndex(), 0);
    EXPECT_EQ(window.cbPattern->currentIndex(), 0);
    EXPECT_EQ(window.edtSeq->text(), "CAFEBABE");
    EXPECT_EQ(window.edtFrom->text(), "00");
    EXPECT_EQ(window.edtTo->text(), "FF");
    EXPECT_TRUE(window.edtSeq->isEnabled());
    EXPECT_TRUE(window.pnlRange->isHidden());
}

}  // namespace
