// The EquiSize window driven headless: the three routes through the buttons, size labels,
// refusals, a rewrite failing part-way, reset, and the settings brought back.
#include "app/tool_table.h"
#include "windows/equisize/equalize_window.h"

#include "base/utilities.h"
#include "shell/master_window.h"
#include "shell/status_panel.h"
#include "support/test_dir.h"
#include "tools/common/file_tool_test_support.h"
#include "ui/ell_path.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QToolButton>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <memory>

#include <unistd.h>

namespace {

constexpr int kEqualizeIndex = 4;

class EqualizeWindow : public ::testing::Test {
protected:
    void SetUp() override { m_master = std::make_unique<TMaster>(m_dir.Sub("prog"), ToolTable()); }

    TfrmEqualizer* Show() {
        m_master->SelectTool(kEqualizeIndex);
        return dynamic_cast<TfrmEqualizer*>(m_master->CurrentWindow());
    }
    static void Choose(TfrmEqualizer* window, const QString& a, const QString& b) {
        window->AskFile = [a, b](int index) { return index == 0 ? a : b; };
        window->sbnSrcA->click();
        window->sbnSrcB->click();
    }
    QString StatusText() const { return m_master->StatusPanel()->Text(); }
    int StatusKind() const { return m_master->StatusPanel()->Kind(); }

    TestDir m_dir;
    std::unique_ptr<TMaster> m_master;
};

TEST_F(EqualizeWindow, EqualizesThroughTheButtonsAndBringsItsInputsBack) {
    const QString a = m_dir.WriteSized("one/a.bin", 1234567, 'a');
    const QString b = m_dir.Write("two/b.bin", "ABCD");
    TfrmEqualizer* window = Show();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->size(), QSize(377, 245));
    // The help key opens the tool's own page.
    EXPECT_TRUE(QFile::exists(":/help/250.html"));
    EXPECT_EQ(window->rgRoute->ItemIndex(), 1);
    EXPECT_EQ(window->rgRoute->Item(2)->text(), "Truncate bigger");

    Choose(window, a, b);
    EXPECT_EQ(window->stSrcA->Caption(), a);
    EXPECT_EQ(window->stSrcB->Caption(), b);
    EXPECT_EQ(window->lblSizeA->text(), FormatThousands("[", 1234567, " Bytes]"));
    EXPECT_EQ(window->lblSizeB->text(), "[4 Bytes]");
    EXPECT_EQ(window->PathSlots[0], m_dir.Sub("one"));
    window->btnEqualize->click();

    EXPECT_EQ(StatusText(), "Done!");
    EXPECT_EQ(StatusKind(), kStatusInfo);
    EXPECT_TRUE(window->btnEqualize->isEnabled());
    EXPECT_TRUE(m_master->ToolTree()->isEnabled());
    const QByteArray padded = m_dir.Read("two/b.bin");
    EXPECT_EQ(padded.size(), 1234567);
    EXPECT_EQ(padded.left(4), "ABCD");
    EXPECT_EQ(padded.mid(4), QByteArray(1234563, '\0'));
    EXPECT_EQ(QFileInfo(a).size(), 1234567);
    EXPECT_EQ(window->lblSizeB->text(), window->lblSizeA->text());
    EXPECT_EQ(window->RecordedSize(1), 1234567);

    window->btnEqualize->click();
    EXPECT_EQ(StatusText(), "The two files have the same size!");
    EXPECT_EQ(StatusKind(), kStatusInfo);

    window->rgRoute->Item(2)->click();
    window = Show();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->File(0), a);
    EXPECT_EQ(window->File(1), b);
    EXPECT_EQ(window->stSrcA->Caption(), a);
    EXPECT_EQ(window->lblSizeA->text(), "[1234567 Bytes]");
    EXPECT_EQ(window->lblSizeB->text(), "[1234567 Bytes]");
    EXPECT_EQ(window->RecordedSize(0), 1234567);
    EXPECT_EQ(window->rgRoute->ItemIndex(), 2);
    EXPECT_EQ(window->PathSlots[0], m_dir.Sub("one"));

    // A file that is gone is not brought back.
    QFile::remove(b);
    window = Show();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->File(0), a);
    EXPECT_EQ(window->File(1), "");
    EXPECT_EQ(window->stSrcB->Caption(), "");
    EXPECT_EQ(window->lblSizeB->text(), "");
}

TEST_F(EqualizeWindow, EachRouteRewritesItsTarget) {
    const struct {
        const char* name;
        int route;
        QByteArray a, b;        // before
        QByteArray newA, newB;  // after
        int target;
    } cases[] = {
        {"prefix smaller", 0, "0123456789", "ABCD", "0123456789", QByteArray(6, '\0') + "ABCD", 1},
        {"postfix smaller", 1, "0123456789", "ABCD", "0123456789", "ABCD" + QByteArray(6, '\0'), 1},
        {"truncate bigger", 2, "0123456789", "ABCD", "0123", "ABCD", 0},
        {"smaller file is A", 1, "xy", "0123456789", "xy" + QByteArray(8, '\0'), "0123456789", 0},
        {"empty file with truncate", 2, "0123456789", "", "", "", 0},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        const QString a = m_dir.Write("a", test.a);
        const QString b = m_dir.Write("b", test.b);
        TfrmEqualizer* window = Show();
        ASSERT_NE(window, nullptr);
        Choose(window, a, b);
        window->rgRoute->Item(test.route)->click();
        const QString otherLabel = (test.target == 0 ? window->lblSizeB : window->lblSizeA)->text();
        window->btnEqualize->click();
        EXPECT_EQ(StatusText(), "Done!");
        EXPECT_EQ(m_dir.Read("a"), test.newA);
        EXPECT_EQ(m_dir.Read("b"), test.newB);
        EXPECT_EQ(window->lblSizeA->text(), otherLabel);
        EXPECT_EQ(window->lblSizeB->text(), otherLabel);
        EXPECT_EQ(window->RecordedSize(0), test.newA.size());
        EXPECT_EQ(window->RecordedSize(1), test.newB.size());
    }
}

TEST_F(EqualizeWindow, RefusalsAndAFailedRewriteKeepBothFiles) {
    const QString a = m_dir.WriteSized("a", 300000, 'a');
    const QString b = m_dir.Write("b", "ABCD");
    const QString link = m_dir.Sub("link");
    ASSERT_EQ(::link(QFile::encodeName(b).constData(), QFile::encodeName(link).constData()), 0);
    const QString gone = m_dir.Write("gone", "xyz");
    const struct {
        const char* name;
        QString a, b;
        bool goneBeforeEqualize;
        QString message;
    } cases[] = {
        {"nothing chosen", "", "", false, "First select the files to be equalized!"},
        {"B missing", a, "", false, "First select the files to be equalized!"},
        {"same path", b, b, false, "FileA is the same as FileB!"},
        {"same file through a hard link", link, b, false, "FileA is the same as FileB!"},
        {"file gone since it was chosen", a, gone, true, "Could not open gone"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        TfrmEqualizer* window = Show();
        ASSERT_NE(window, nullptr);
        window->DoReset();
        Choose(window, test.a, test.b);
        if (test.goneBeforeEqualize) {
            QFile::remove(gone);
        }
        window->btnEqualize->click();
        EXPECT_EQ(StatusText(), test.message);
        EXPECT_EQ(StatusKind(), kStatusError);
        EXPECT_TRUE(window->btnEqualize->isEnabled());
        EXPECT_EQ(m_dir.Read("b"), "ABCD");
        EXPECT_EQ(QFileInfo(a).size(), 300000);
    }

    // The new content of b cannot be written in full: b keeps its content, the error
    // stays, and the controls come back.
    TfrmEqualizer* window = Show();
    ASSERT_NE(window, nullptr);
    Choose(window, a, b);
    {
        file_tool_test::TWriteLimit limit(100000);
        window->btnEqualize->click();
    }
    EXPECT_EQ(StatusText(), "File too large");
    EXPECT_EQ(StatusKind(), kStatusError);
    EXPECT_TRUE(window->btnEqualize->isEnabled());
    EXPECT_TRUE(window->sbnSrcA->isEnabled());
    EXPECT_TRUE(m_master->ToolTree()->isEnabled());
    EXPECT_EQ(m_dir.Read("b"), "ABCD");
    EXPECT_EQ(window->lblSizeB->text(), "[4 Bytes]");
    EXPECT_EQ(window->RecordedSize(1), 4);
    for (const QString& name : QDir(m_dir.Path()).entryList(QDir::Files | QDir::Hidden)) {
        EXPECT_FALSE(name.startsWith('.')) << name.toStdString();
    }
}

TEST_F(EqualizeWindow, ASpecialFileChosenIsSaidAndNotTaken) {
    using namespace file_tool_test;
    const QString a = m_dir.Write("a", "0123456789");
    ASSERT_TRUE(MakeSocket(m_dir.Sub("socket")));
    TfrmEqualizer* window = Show();
    ASSERT_NE(window, nullptr);
    Choose(window, a, m_dir.Sub("socket"));
    EXPECT_EQ(StatusText(), "Could not open socket");
    EXPECT_EQ(StatusKind(), kStatusError);
    EXPECT_EQ(window->lblSizeA->text(), "[10 Bytes]");
    EXPECT_EQ(window->lblSizeB->text(), "");
    EXPECT_EQ(window->stSrcB->Caption(), "");
    EXPECT_EQ(window->File(1), "");
}

TEST(EqualizeWindowRules, ResetClearsBothFilesAndTheRoute) {
    TestDir dir;
    const QString a = dir.Write("a", "1");
    TfrmEqualizer window(nullptr, TToolContext{});
    window.AskFile = [&](int) { return a; };
    window.sbnSrcA->click();
    window.sbnSrcB->click();
    window.rgRoute->SetItemIndex(0);
    // A cancelled dialog changes nothing.
    window.AskFile = [](int) { return QString(); };
    window.sbnSrcB->click();
    EXPECT_EQ(window.File(1), a);

    window.btnReset->click();
    for (int index : {0, 1}) {
        EXPECT_EQ(window.File(index), "");
        EXPECT_EQ(window.RecordedSize(index), 0);
    }
    EXPECT_EQ(window.stSrcA->Caption(), "");
    EXPECT_EQ(window.stSrcB->Caption(), "");
    EXPECT_EQ(window.lblSizeA->text(), "");
    EXPECT_EQ(window.lblSizeB->text(), "");
    EXPECT_EQ(window.rgRoute->ItemIndex(), 1);
}

}  // namespace
