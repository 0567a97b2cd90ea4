// The Split window driven headless: a split through the buttons, its refusals in the
// status panel, the slider and quick-pick rules, reset, and the settings brought back.
#include "app/tool_table.h"
#include "platform/file_utilities.h"
#include "windows/split/split_window.h"

#include "base/settings_codec.h"
#include "base/utilities.h"
#include "shell/master_window.h"
#include "shell/status_panel.h"
#include "support/test_dir.h"
#include "ui/ell_path.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QToolButton>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include <sys/stat.h>

namespace {

constexpr int kSplitIndex = 9;

QByteArray Content(int size) {
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>('a' + i % 26);
    }
    return bytes;
}

class SplitWindow : public ::testing::Test {
protected:
    void SetUp() override { m_master = std::make_unique<TMaster>(m_dir.Sub("prog"), ToolTable()); }

    // Picks the Split node, as a click in the tree does.
    TfrmSplit* Show() {
        m_master->SelectTool(kSplitIndex);
        return dynamic_cast<TfrmSplit*>(m_master->CurrentWindow());
    }
    // Chooses the source and destination through the browse buttons.
    static void Choose(TfrmSplit* window, const QString& source, const QString& folder) {
        window->AskSourceFile = [source] { return source; };
        window->sbnSBrowse->click();
        window->AskDestFolder = [folder] { return std::optional<QString>(folder); };
        window->sbnDBrowse->click();
    }
    QString StatusText() const { return m_master->StatusPanel()->Text(); }
    int StatusKind() const { return m_master->StatusPanel()->Kind(); }
    QStringList Pieces(const QString& folder) const {
        return QDir(folder).entryList({"*.0*", "*.1*"}, QDir::Files, QDir::Name);
    }

    TestDir m_dir;
    std::unique_ptr<TMaster> m_master;
};

TEST_F(SplitWindow, SplitsThroughTheButtonsAndBringsItsInputsBack) {
    const QString source = m_dir.Write("src/movie.avi", Content(100));
    const QString out = m_dir.MakeDir("out");
    TfrmSplit* window = Show();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->size(), QSize(249, 354));
    // The help key opens the tool's own page.
    EXPECT_TRUE(QFile::exists(":/help/300.html"));
    EXPECT_EQ(window->btnSplit->text(), "Split");

    Choose(window, source, out);
    EXPECT_EQ(window->stSource->Caption(), source);
    EXPECT_EQ(window->PathSlots[0], m_dir.Sub("src"));
    EXPECT_EQ(window->stDest->Caption(), out);
    window->tbKb->setValue(0);
    window->tbB->setValue(30);
    EXPECT_EQ(window->PieceSize(), 30);
    window->tbCount->setValue(4);
    window->btnSplit->click();

    EXPECT_EQ(StatusText(), "Splitting Complete");
    EXPECT_EQ(StatusKind(), kStatusCompletion);
    EXPECT_TRUE(window->btnSplit->isEnabled());
    EXPECT_TRUE(m_master->ToolTree()->isEnabled());
    ASSERT_EQ(Pieces(out),
              QStringList({"movie.avi.001", "movie.avi.002", "movie.avi.003", "movie.avi.004"}));
    QByteArray joined;
    for (const QString& piece : Pieces(out)) {
        joined += m_dir.Read("out/" + piece);
    }
    EXPECT_EQ(joined, Content(100));
    EXPECT_EQ(m_dir.Read("out/movie.avi.004").size(), 10);

    // Picking the tool again saves this window's inputs and loads them into the new one.
    window->cbxOverwrite->setChecked(true);
    window->cbCommon->setCurrentIndex(3);
    window->tbCount->setValue(700);
    window = Show();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->stSource->Caption(), source);
    EXPECT_EQ(window->PathSlots[2], source);
    EXPECT_EQ(window->PathSlots[0], m_dir.Sub("src"));
    EXPECT_EQ(window->PathSlots[1], out);
    EXPECT_EQ(window->stDest->Caption(), out);
    EXPECT_TRUE(window->cbxOverwrite->isChecked());
    EXPECT_EQ(window->tbB->value(), 573);
    EXPECT_EQ(window->tbKb->value(), 450);
    EXPECT_EQ(window->tbMb->value(), 1);
    EXPECT_EQ(window->PieceSize(), 1509949);
    EXPECT_EQ(window->cbCommon->currentIndex(), 3);
    EXPECT_EQ(window->tbCount->value(), 700);
    EXPECT_EQ(window->lblCount->text(), "700");
    EXPECT_EQ(window->MaxCount(), 700);

    // A source and a folder that are gone are not brought back; the rest is.
    QFile::remove(source);
    QDir(out).removeRecursively();
    window = Show();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->stSource->Caption(), "");
    EXPECT_EQ(window->PathSlots[2], "");
    EXPECT_EQ(window->PathSlots[0], m_dir.Sub("src"));
    EXPECT_EQ(window->PathSlots[1], WindowsFolder());
    EXPECT_EQ(window->stDest->Caption(), WindowsFolder());
    EXPECT_TRUE(window->cbxOverwrite->isChecked());
    EXPECT_EQ(window->PieceSize(), 1509949);
}

TEST_F(SplitWindow, WriteChecksumListIsAnOptionRememberedUnderItsOwnKey) {
    const QString source = m_dir.Write("src/movie.avi", Content(100));
    const QString out = m_dir.MakeDir("out");
    TfrmSplit* window = Show();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->cbxChecksumList->text(), "Write checksum list");
    EXPECT_FALSE(window->cbxChecksumList->isChecked());
    // The window keeps its size and still gives every box its full height.
    EXPECT_EQ(window->size(), QSize(249, 354));
    for (QCheckBox* box : {window->cbxOverwrite, window->cbxChecksumList}) {
        EXPECT_GE(box->height(), box->sizeHint().height());
    }

    Choose(window, source, out);
    window->tbKb->setValue(0);
    window->tbB->setValue(40);
    window->cbxChecksumList->setChecked(true);
    window->btnSplit->click();
    EXPECT_EQ(StatusText(), "Splitting Complete");
    EXPECT_EQ(QDir(out).entryList(QDir::Files, QDir::Name),
              QStringList({"movie.avi.001", "movie.avi.002", "movie.avi.003", "movie.avi.sha256"}));
    EXPECT_TRUE(m_dir.Read("out/movie.avi.sha256").endsWith("  movie.avi\n"));

    // Saved under "SplitList"; the state under "Split" keeps its eight fields.
    window = Show();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->cbxChecksumList->isChecked());
    EXPECT_EQ(DecodeSettings(*m_master->Stores().LoadToolState("SplitList")), "1|");
    EXPECT_EQ(DecodeSettings(*m_master->Stores().LoadToolState("Split")).count('|'), 8);

    // A list that is already there stops the split (overwrite off) before any piece.
    QDir(out).removeRecursively();
    m_dir.Write("out/movie.avi.sha256", "old");
    window->btnSplit->click();
    EXPECT_EQ(StatusText(), QStringLiteral("%1 already exists").arg(out + "/movie.avi.sha256"));
    EXPECT_EQ(StatusKind(), kStatusError);
    EXPECT_EQ(QDir(out).entryList(QDir::Files), QStringList({"movie.avi.sha256"}));

    window->btnReset->click();
    EXPECT_FALSE(window->cbxChecksumList->isChecked());
}

TEST_F(SplitWindow, StoredTextWithTheWrongFieldCountLeavesTheDefaults) {
    const QString folder = m_dir.MakeDir("dest");
    for (const QByteArray& text : {QByteArray("|" + folder.toUtf8() + "|1|5|6|7|0|"),
                                   QByteArray("|" + folder.toUtf8() + "|1|5|6|7|0|20|9|")}) {
        // Free the shown window first: it would save its own state over the text.
        m_master->ShowPanelWindow(nullptr, 0, kStatusInfo, QString());
        m_master->Stores().SaveToolState("Split", EncodeSettings(text));
        TfrmSplit* window = Show();
        ASSERT_NE(window, nullptr);
        EXPECT_EQ(window->PathSlots[1], WindowsFolder()) << text.constData();
        EXPECT_FALSE(window->cbxOverwrite->isChecked()) << text.constData();
        EXPECT_EQ(window->PieceSize(), 131072) << text.constData();
        EXPECT_EQ(window->tbCount->value(), 16) << text.constData();
    }
}

TEST_F(SplitWindow, RefusalsStayInTheStatusPanelAsErrors) {
    struct Case {
        const char* name;
        bool chooseSource;
        std::function<void(TfrmSplit*)> setup;
        QString message;  // "%1" is the folder of the pieces
        QStringList pieces;
    };
    const QList<Case> cases = {
        {"no source", false, [](TfrmSplit*) {}, "Could not open source file", {}},
        {"zero piece size",
         true,
         [](TfrmSplit* w) { w->tbKb->setValue(0); },
         "Piece size cannot be 0 bytes",
         {}},
        {"too many pieces",
         true,
         [](TfrmSplit* w) {
             w->tbKb->setValue(0);
             w->tbB->setValue(30);
             w->tbCount->setValue(3);
         },
         "Split would create too many files",
         {}},
        {"piece as large as the file",
         true,
         [](TfrmSplit* w) {
             w->tbKb->setValue(0);
             w->tbB->setValue(100);
         },
         "File too small to split!",
         {}},
        {"existing piece without overwrite",
         true,
         [this](TfrmSplit* w) {
             m_dir.Write("out/movie.avi.003", "old");
             w->tbKb->setValue(0);
             w->tbB->setValue(30);
         },
         "%1/movie.avi.003 already exists",
         {"movie.avi.001", "movie.avi.002", "movie.avi.003"}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        const QString source = m_dir.Write("src/movie.avi", Content(100));
        const QString out = m_dir.MakeDir("out");
        TfrmSplit* window = Show();
        ASSERT_NE(window, nullptr);
        window->DoReset();
        Choose(window, test.chooseSource ? source : QString(), out);
        test.setup(window);
        window->btnSplit->click();
        EXPECT_EQ(StatusText(), QString(test.message).replace("%1", out));
        EXPECT_EQ(StatusKind(), kStatusError);
        EXPECT_TRUE(window->btnSplit->isEnabled());
        EXPECT_TRUE(window->tbB->isEnabled());
        EXPECT_EQ(Pieces(out), test.pieces);
        if (!test.pieces.isEmpty()) {
            EXPECT_EQ(m_dir.Read("out/movie.avi.003"), "old");
        }
        QDir(out).removeRecursively();
    }
}

// The slider, label and list rules need no main window.
TEST_F(SplitWindow, ASpecialFileChosenAsTheSourceIsSaidAndNotTaken) {
    const QString source = m_dir.Write("movie.avi", Content(100));
    const QString fifo = m_dir.Sub("fifo");
    ASSERT_EQ(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    TfrmSplit* window = Show();
    ASSERT_NE(window, nullptr);
    Choose(window, source, m_dir.Path());
    window->AskSourceFile = [fifo] { return fifo; };
    window->sbnSBrowse->click();
    EXPECT_EQ(StatusText(), "Could not open source file");
    EXPECT_EQ(StatusKind(), kStatusError);
    EXPECT_EQ(window->PathSlots[2], source);
    EXPECT_EQ(window->stSource->Caption(), source);
}

TEST(SplitWindowRules, SizeLabelFollowsTheSliderMovedAndQuickPicksReturnToCustom) {
    struct Step {
        std::function<void(TfrmSplit&)> act;
        QString label;
        int pick;
        qint64 size;
    };
    struct Case {
        const char* name;
        QList<Step> steps;
    };
    const auto slider = [](QSlider* TfrmSplit::*member, int value) {
        return [member, value](TfrmSplit& w) { (w.*member)->setValue(value); };
    };
    const auto pick = [](int index) {
        return [index](TfrmSplit& w) { w.cbCommon->setCurrentIndex(index); };
    };
    const QList<Case> cases = {
        {"kilobytes then bytes",
         {{slider(&TfrmSplit::tbKb, 512), "512.00 Kb", 0, 524288},
          {slider(&TfrmSplit::tbB, 1), "524289 bytes", 0, 524289}}},
        {"megabytes in four decimals", {{slider(&TfrmSplit::tbMb, 3), "3.1250 Mb", 0, 3276800}}},
        {"floppy pick, then a slider back to Custom",
         {{pick(3), "1.4400 Mb", 3, 1509949},
          {slider(&TfrmSplit::tbB, 574), "1509950 bytes", 0, 1509950}}},
        {"CD pick sets the megabytes alone",
         {{pick(5), "700.0000 Mb", 5, 734003200}, {pick(1), "1.0000 Mb", 1, 1048576}}},
        {"Custom changes nothing",
         {{pick(2), "1.2000 Mb", 2, 1258291}, {pick(0), "1.2000 Mb", 0, 1258291}}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        TfrmSplit window(nullptr, TToolContext{});
        EXPECT_EQ(window.lblSize->text(), "128 Kb");
        EXPECT_EQ(window.cbCommon->itemText(0), "Custom");
        for (const Step& step : test.steps) {
            step.act(window);
            EXPECT_EQ(window.lblSize->text(), step.label);
            EXPECT_EQ(window.cbCommon->currentIndex(), step.pick);
            EXPECT_EQ(window.PieceSize(), step.size);
            EXPECT_EQ(window.PieceSize(), window.tbB->value() + window.tbKb->value() * 1024LL +
                                              window.tbMb->value() * 1048576LL);
        }
    }
}

TEST(SplitWindowRules, CountSliderKeepsItsRange) {
    const struct {
        int value;
        int count;
    } cases[] = {{16, 16}, {1, 2}, {1022, 1022}, {5000, 1022}, {300, 300}};
    TfrmSplit window(nullptr, TToolContext{});
    EXPECT_EQ(window.lblCount->text(), "16");
    for (const auto& test : cases) {
        window.tbCount->setValue(test.value);
        EXPECT_EQ(window.MaxCount(), test.count) << test.value;
        EXPECT_EQ(window.lblCount->text(), QString::number(test.count)) << test.value;
    }
}

TEST(SplitWindowRules, ResetPutsEveryInputBack) {
    TestDir dir;
    const QString source = dir.Write("a/file.bin", "x");
    TfrmSplit window(nullptr, TToolContext{});
    window.AskSourceFile = [&] { return source; };
    window.sbnSBrowse->click();
    window.AskDestFolder = [&] { return std::optional<QString>(dir.Path()); };
    window.sbnDBrowse->click();
    window.cbxOverwrite->setChecked(true);
    window.cbCommon->setCurrentIndex(4);
    window.tbCount->setValue(99);

    window.btnReset->click();
    EXPECT_EQ(window.stSource->Caption(), "");
    EXPECT_EQ(window.PathSlots[2], "");
    EXPECT_EQ(window.PathSlots[0], WindowsFolder());
    EXPECT_EQ(window.PathSlots[1], WindowsFolder());
    EXPECT_EQ(window.stDest->Caption(), WindowsFolder());
    EXPECT_FALSE(window.cbxOverwrite->isChecked());
    EXPECT_EQ(window.tbB->value(), 0);
    EXPECT_EQ(window.tbKb->value(), 128);
    EXPECT_EQ(window.tbMb->value(), 0);
    EXPECT_EQ(window.PieceSize(), 131072);
    EXPECT_EQ(window.lblSize->text(), "128.00 Kb");
    EXPECT_EQ(window.cbCommon->currentIndex(), 0);
    EXPECT_EQ(window.tbCount->value(), 16);
    EXPECT_EQ(window.lblCount->text(), "16");
}

TEST(SplitWindowRules, CancelledDialogsChangeNothing) {
    TfrmSplit window(nullptr, TToolContext{});
    window.AskSourceFile = [] { return QString(); };
    window.sbnSBrowse->click();
    window.AskDestFolder = [] { return std::optional<QString>(); };
    window.sbnDBrowse->click();
    // A folder that does not exist is not taken either.
    window.AskDestFolder = [] { return std::optional<QString>("/no/such/folder"); };
    window.sbnDBrowse->click();
    EXPECT_EQ(window.PathSlots[2], "");
    EXPECT_EQ(window.PathSlots[0], WindowsFolder());
    EXPECT_EQ(window.PathSlots[1], WindowsFolder());
    EXPECT_EQ(window.stDest->Caption(), WindowsFolder());
}

}  // namespace
