// The Splice window driven headless: a splice through the buttons, its refusals and a
// source failing part-way, the list rules, reset, and the settings brought back.
#include "app/tool_table.h"
#include "platform/file_utilities.h"
#include "windows/splice/splice_window.h"

#include "base/utilities.h"
#include "shell/master_window.h"
#include "shell/status_panel.h"
#include "support/test_dir.h"
#include "tools/split/splitter.h"
#include "ui/ell_path.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QListWidget>
#include <QPushButton>
#include <QToolButton>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kSpliceIndex = 8;

class SpliceWindow : public ::testing::Test {
protected:
    void SetUp() override { m_master = std::make_unique<TMaster>(m_dir.Sub("prog"), ToolTable()); }

    TfrmSplice* Show() {
        m_master->SelectTool(kSpliceIndex);
        return dynamic_cast<TfrmSplice*>(m_master->CurrentWindow());
    }
    static void Add(TfrmSplice* window, const QStringList& files) {
        window->AskSourceFiles = [files] { return files; };
        window->sbnAdd->click();
    }
    static void ChooseDest(TfrmSplice* window, const QString& path) {
        window->AskDestFile = [path] { return path; };
        window->bbnBrowse->click();
    }
    QString StatusText() const { return m_master->StatusPanel()->Text(); }
    int StatusKind() const { return m_master->StatusPanel()->Kind(); }

    TestDir m_dir;
    std::unique_ptr<TMaster> m_master;
};

TEST_F(SpliceWindow, SplicesThroughTheButtonsAndBringsItsInputsBack) {
    const QString a = m_dir.Write("in/a", "abc");
    const QString b = m_dir.Write("in/b", "");
    const QString c = m_dir.Write("more/c", "12345");
    const QString dest = m_dir.Sub("out/joined");
    m_dir.MakeDir("out");
    TfrmSplice* window = Show();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->size(), QSize(209, 338));
    // The help key opens the tool's own page.
    EXPECT_TRUE(QFile::exists(":/help/290.html"));
    EXPECT_EQ(window->btnConcat->text(), "Splice");

    Add(window, {a, b});
    Add(window, {c});
    EXPECT_EQ(window->Sources(), QStringList({a, b, c}));
    EXPECT_EQ(window->PathSlots[0], m_dir.Sub("more"));
    ChooseDest(window, dest);
    EXPECT_EQ(window->stDest->Caption(), dest);
    EXPECT_EQ(window->PathSlots[1], m_dir.Sub("out") + "/");
    window->btnConcat->click();

    EXPECT_EQ(StatusText(), "Splicing Complete");
    EXPECT_EQ(StatusKind(), kStatusCompletion);
    EXPECT_TRUE(window->btnConcat->isEnabled());
    EXPECT_TRUE(window->sbnAdd->isEnabled());
    EXPECT_FALSE(window->sbnRemove->isEnabled());
    EXPECT_TRUE(m_master->ToolTree()->isEnabled());
    EXPECT_EQ(m_dir.Read("out/joined"), "abc12345");

    // With overwrite on, the existing destination comes back with the rest.
    window->cbxMulti->setChecked(true);
    window->cbxOverwrite->setChecked(true);
    window = Show();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->Sources(), QStringList({a, b, c}));
    EXPECT_EQ(window->SelectedRow(), -1);
    EXPECT_FALSE(window->sbnMoveUp->isEnabled());
    EXPECT_EQ(window->PathSlots[0], m_dir.Sub("more"));
    EXPECT_EQ(window->PathSlots[1], m_dir.Sub("out") + "/");
    EXPECT_EQ(window->PathSlots[3], dest);
    EXPECT_EQ(window->stDest->Caption(), dest);
    EXPECT_TRUE(window->cbxMulti->isChecked());
    EXPECT_TRUE(window->cbxOverwrite->isChecked());

    // A listed file that is gone is dropped; with overwrite off, an existing destination
    // is not brought back.
    QFile::remove(b);
    window->cbxOverwrite->setChecked(false);
    window = Show();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->Sources(), QStringList({a, c}));
    EXPECT_EQ(window->PathSlots[3], "");
    EXPECT_EQ(window->stDest->Caption(), "");
    EXPECT_FALSE(window->cbxOverwrite->isChecked());
    EXPECT_TRUE(window->cbxMulti->isChecked());
}

TEST_F(SpliceWindow, PiecesWithAChecksumListAreCheckedBeforeJoining) {
    QByteArray content;
    for (int i = 0; i < 250; ++i) {
        content += static_cast<char>(i);
    }
    m_dir.Write("src/movie.avi", content);
    TSplitRequest split;
    split.source = m_dir.Sub("src/movie.avi");
    split.destFolder = m_dir.MakeDir("pieces");
    split.pieceSize = 100;
    split.checksumList = true;
    ASSERT_EQ(Split(split), 3);
    QStringList pieces;
    for (int n = 1; n <= 3; ++n) {
        pieces << PieceName(split.destFolder, split.source, n);
    }
    TfrmSplice* window = Show();
    ASSERT_NE(window, nullptr);
    Add(window, pieces);
    ChooseDest(window, m_dir.Sub("joined"));
    window->btnConcat->click();
    EXPECT_EQ(StatusText(), "Splicing Complete");
    EXPECT_EQ(m_dir.Read("joined"), content);

    // A damaged piece is named as an error and nothing is written.
    m_dir.Write("pieces/movie.avi.002", QByteArray(100, 'x'));
    ChooseDest(window, m_dir.Sub("again"));
    window->btnConcat->click();
    EXPECT_EQ(StatusText(), QStringLiteral("%1 is damaged: its checksum does not match %2")
                                .arg(pieces[1], m_dir.Sub("pieces/movie.avi.sha256")));
    EXPECT_EQ(StatusKind(), kStatusError);
    EXPECT_TRUE(window->btnConcat->isEnabled());
    EXPECT_FALSE(QFile::exists(m_dir.Sub("again")));
}

TEST_F(SpliceWindow, RefusalsAndAFailingSourceKeepTheOldDestination) {
    struct Case {
        const char* name;
        QStringList sources;  // names inside the test folder
        QString dest;         // name inside the test folder; empty for none
        bool overwrite;
        std::function<void()> before;  // runs after the inputs are chosen
        QString message;               // "%1" is the test folder
    };
    const QList<Case> cases = {
        {"no destination", {"a", "b"}, "", false, {}, "Destination filename required"},
        {"one source", {"a"}, "dest", false, {}, "Two or more files required for splicing"},
        {"destination is a listed file under another name",
         {"a", "b"},
         "link",
         true,
         [this] {
             ASSERT_EQ(link(QFile::encodeName(m_dir.Sub("b")).constData(),
                            QFile::encodeName(m_dir.Sub("link")).constData()),
                       0);
         },
         "Destination cannot be in source file list"},
        {"destination exists", {"a", "b"}, "old", false, {}, "Destination file already exists"},
        {"source gone part-way",
         {"a", "gone"},
         "old",
         true,
         [this] { QFile::remove(m_dir.Sub("gone")); },
         "Access to %1/gone failed"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        m_dir.Write("a", "AAA");
        m_dir.Write("b", "BBB");
        m_dir.Write("gone", "GGG");
        m_dir.Write("old", "previous content");
        TfrmSplice* window = Show();
        ASSERT_NE(window, nullptr);
        window->DoReset();
        QStringList sources;
        for (const QString& name : test.sources) {
            sources << m_dir.Sub(name);
        }
        Add(window, sources);
        if (!test.dest.isEmpty()) {
            ChooseDest(window, m_dir.Sub(test.dest));
        }
        window->cbxOverwrite->setChecked(test.overwrite);
        if (test.before) {
            test.before();
        }
        window->btnConcat->click();
        EXPECT_EQ(StatusText(), QString(test.message).replace("%1", m_dir.Path()));
        EXPECT_EQ(StatusKind(), kStatusError);
        EXPECT_TRUE(window->btnConcat->isEnabled());
        EXPECT_TRUE(m_master->ToolTree()->isEnabled());
        EXPECT_EQ(m_dir.Read("old"), "previous content");
        EXPECT_EQ(m_dir.Read("a"), "AAA");
        EXPECT_EQ(m_dir.Read("b"), "BBB");
        EXPECT_FALSE(QFile::exists(m_dir.Sub("dest")));
        // No half-written file is left beside the destination.
        for (const QString& name : QDir(m_dir.Path()).entryList(QDir::Files | QDir::Hidden)) {
            EXPECT_FALSE(name.startsWith('.')) << name.toStdString();
        }
        QFile::remove(m_dir.Sub("link"));
    }
}

// The list rules need no main window.
TEST_F(SpliceWindow, SpecialFilesChosenAsSourcesAreSaidAndNotListed) {
    const QString a = m_dir.Write("a", "abc");
    const QString b = m_dir.Write("b", "12345");
    const QString fifo = m_dir.Sub("fifo");
    ASSERT_EQ(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    TfrmSplice* window = Show();
    ASSERT_NE(window, nullptr);
    Add(window, {a, fifo, b});
    EXPECT_EQ(window->Sources(), QStringList({a, b}));
    EXPECT_EQ(StatusText(), QStringLiteral("Access to %1 failed").arg(fifo));
    EXPECT_EQ(StatusKind(), kStatusError);
}

TEST(SpliceWindowRules, ListButtonsReorderRemoveAndMultiples) {
    TestDir dir;
    const QString A = dir.Write("A", "1");
    const QString B = dir.Write("B", "2");
    const QString C = dir.Write("C", "3");
    const QString b = dir.Write("b", "4");
    struct Expect {
        QStringList rows;
        int selected;
        bool up, down, remove;
    };
    struct Step {
        const char* name;
        std::function<void(TfrmSplice&)> act;
        Expect expect;
    };
    const auto add = [](QStringList files) {
        return [files](TfrmSplice& w) {
            w.AskSourceFiles = [files] { return files; };
            w.sbnAdd->click();
        };
    };
    const auto select = [](int row) {
        return [row](TfrmSplice& w) { w.lbSources->setCurrentRow(row); };
    };
    const QList<Step> steps = {
        {"start", [](TfrmSplice&) {}, {{}, -1, false, false, false}},
        {"add without multiples", add({A, B, A}), {{A, B}, -1, false, false, false}},
        {"same path again", add({B}), {{A, B}, -1, false, false, false}},
        {"another case is another file", add({b}), {{A, B, b}, -1, false, false, false}},
        {"select the first", select(0), {{A, B, b}, 0, false, true, true}},
        {"move it down",
         [](TfrmSplice& w) { w.sbnMoveDown->click(); },
         {{B, A, b}, 1, true, true, true}},
        {"move it down to the end",
         [](TfrmSplice& w) { w.sbnMoveDown->click(); },
         {{B, b, A}, 2, true, false, true}},
        {"and up again",
         [](TfrmSplice& w) { w.sbnMoveUp->click(); },
         {{B, A, b}, 1, true, true, true}},
        {"remove leaves no selection",
         [](TfrmSplice& w) { w.sbnRemove->click(); },
         {{B, b}, -1, false, false, false}},
        {"multiples on",
         [](TfrmSplice& w) { w.cbxMulti->setChecked(true); },
         {{B, b}, -1, false, false, false}},
        {"repeats with multiples",
         add({A, B, A, C}),
         {{B, b, A, B, A, C}, -1, false, false, false}},
        {"select the last", select(5), {{B, b, A, B, A, C}, 5, true, false, true}},
        {"multiples off drops the repeats",
         [](TfrmSplice& w) { w.cbxMulti->setChecked(false); },
         {{B, b, A, C}, -1, false, false, false}},
        {"reset empties the list",
         [](TfrmSplice& w) { w.btnReset->click(); },
         {{}, -1, false, false, false}},
    };
    TfrmSplice window(nullptr, TToolContext{});
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        step.act(window);
        EXPECT_EQ(window.Sources(), step.expect.rows);
        EXPECT_EQ(window.SelectedRow(), step.expect.selected);
        EXPECT_EQ(window.sbnMoveUp->isEnabled(), step.expect.up);
        EXPECT_EQ(window.sbnMoveDown->isEnabled(), step.expect.down);
        EXPECT_EQ(window.sbnRemove->isEnabled(), step.expect.remove);
        EXPECT_TRUE(window.sbnAdd->isEnabled());
    }
}

TEST(SpliceWindowRules, ResetKeepsTheBoxesAndTheDestinationFolder) {
    TestDir dir;
    const QString a = dir.Write("src/a", "1");
    const QString b = dir.Write("src/b", "2");
    TfrmSplice window(nullptr, TToolContext{});
    window.AskSourceFiles = [&] { return QStringList{a, b}; };
    window.sbnAdd->click();
    window.AskDestFile = [&] { return dir.Sub("out/x"); };
    window.bbnBrowse->click();
    window.cbxMulti->setChecked(true);
    window.cbxOverwrite->setChecked(true);
    // Cancelled dialogs change nothing.
    window.AskSourceFiles = [] { return QStringList(); };
    window.sbnAdd->click();
    window.AskDestFile = [] { return QString(); };
    window.bbnBrowse->click();
    EXPECT_EQ(window.Sources(), QStringList({a, b}));
    EXPECT_EQ(window.PathSlots[3], dir.Sub("out/x"));

    window.btnReset->click();
    EXPECT_EQ(window.Sources(), QStringList());
    EXPECT_EQ(window.PathSlots[3], "");
    EXPECT_EQ(window.stDest->Caption(), "");
    EXPECT_EQ(window.PathSlots[0], WindowsFolder());
    EXPECT_EQ(window.PathSlots[1], dir.Sub("out") + "/");
    EXPECT_TRUE(window.cbxMulti->isChecked());
    EXPECT_TRUE(window.cbxOverwrite->isChecked());
}

}  // namespace
