// The Name Control window driven headless: a run through the buttons with its rows and
// count, the refusals in the status panel, preview and undo, sorting, reset and the stored
// settings.
#include "app/tool_table.h"
#include "tools/namecontrol/renamer.h"
#include "windows/namecontrol/namecen_window.h"

#include "base/settings_codec.h"
#include "platform/file_utilities.h"
#include "shell/master_window.h"
#include "shell/status_panel.h"
#include "support/test_dir.h"
#include "ui/ell_path.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QToolButton>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <memory>

// Readable failures: a QString as its text.
void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace {

constexpr int kNameControlIndex = 7;

QStringList Column(const QTreeWidget* list, int column) {
    QStringList texts;
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        texts << list->topLevelItem(i)->text(column);
    }
    return texts;
}

class NameCenWindow : public ::testing::Test {
protected:
    void SetUp() override {
        m_master = std::make_unique<TMaster>(m_dir.Sub("prog"), ToolTable());
        LastRenameBatch().clear();
    }
    TfrmNameCen* Show() {
        m_master->SelectTool(kNameControlIndex);
        return dynamic_cast<TfrmNameCen*>(m_master->CurrentWindow());
    }
    static void Choose(TfrmNameCen* window, const QString& folder) {
        window->AskFolder = [folder] { return std::optional<QString>(folder); };
        window->sbnBrowse->click();
    }
    QString StatusText() const { return m_master->StatusPanel()->Text(); }
    int StatusKind() const { return m_master->StatusPanel()->Kind(); }
    QStringList Files(const QString& relative) const {
        return QDir(m_dir.Sub(relative)).entryList(QDir::Files, QDir::Name);
    }

    TestDir m_dir;
    std::unique_ptr<TMaster> m_master;
};

TEST_F(NameCenWindow, RenamesThroughTheButtonsPreviewsAndUndoes) {
    m_dir.Write("d/Report Final.TXT", "r");
    m_dir.Write("d/report final.txt.bak", "b");
    m_dir.Write("d/sub/Inner File.TXT", "i");
    m_dir.Write("d/Taken.TXT", "t");
    m_dir.Write("d/taken.txt", "other");
    TfrmNameCen* window = Show();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->size(), QSize(301, 392));
    EXPECT_TRUE(QFile::exists(":/help/280.html"));
    EXPECT_EQ(window->tedMask->text(), "*.*");
    EXPECT_EQ(window->cbCase->itemText(0), " Lowercase ");
    EXPECT_EQ(window->cbCase->itemText(1), " Uppercase");
    EXPECT_EQ(window->OptionBits(), kNameChangeCase);
    EXPECT_EQ(window->clbOptions->item(3)->text(), "Strip Spaces");

    Choose(window, m_dir.Sub("d"));
    EXPECT_EQ(window->stSource->Caption(), m_dir.Sub("d"));
    window->tedMask->setText("*.txt");
    window->SetOptionBits(kNameChangeCase | kNameRecurse);

    // Preview first: the rows, nothing renamed.
    window->btnPreview->click();
    EXPECT_EQ(StatusText(), "Preview: 3 Changes");
    EXPECT_EQ(StatusKind(), kStatusCompletion);
    EXPECT_EQ(Column(window->lvChanges, 0),
              QStringList({m_dir.Sub("d/sub/Inner File.TXT"), m_dir.Sub("d/Report Final.TXT"),
                           m_dir.Sub("d/Taken.TXT"), m_dir.Sub("d/taken.txt")}));
    EXPECT_EQ(Column(window->lvChanges, 1),
              QStringList({"inner file.txt", "report final.txt", "taken.txt", "taken.txt"}));
    EXPECT_EQ(Column(window->lvChanges, 2), QStringList({"", "", "", ""}));
    EXPECT_EQ(Column(window->lvChanges, 3),
              QStringList({"", "", "A file or folder of that name exists", ""}));
    EXPECT_EQ(Files("d"),
              QStringList({"Report Final.TXT", "Taken.TXT", "report final.txt.bak", "taken.txt"}));

    window->btnCCGo->click();
    EXPECT_EQ(StatusText(), "3 Changes");
    EXPECT_EQ(StatusKind(), kStatusCompletion);
    EXPECT_TRUE(window->btnCCGo->isEnabled());
    EXPECT_EQ(Column(window->lvChanges, 2), QStringList({"Y", "Y", "N", "Y"}));
    EXPECT_EQ(Files("d"),
              QStringList({"Taken.TXT", "report final.txt", "report final.txt.bak", "taken.txt"}));
    EXPECT_EQ(m_dir.Read("d/taken.txt"), "other");
    EXPECT_EQ(m_dir.Read("d/Taken.TXT"), "t");
    EXPECT_EQ(Files("d/sub"), QStringList({"inner file.txt"}));

    // Undo survives the window: another tool in between.
    m_master->SelectTool(9);
    window = Show();
    ASSERT_NE(window, nullptr);
    window->btnUndo->click();
    EXPECT_EQ(StatusText(), "Undo: 2 Changes");
    EXPECT_EQ(Files("d"),
              QStringList({"Report Final.TXT", "Taken.TXT", "report final.txt.bak", "taken.txt"}));
    EXPECT_EQ(Files("d/sub"), QStringList({"Inner File.TXT"}));
    window->btnUndo->click();
    EXPECT_EQ(StatusText(), "Nothing to undo");
    EXPECT_EQ(StatusKind(), kStatusError);

    window->btnClear->click();
    EXPECT_EQ(window->lvChanges->topLevelItemCount(), 0);
}

TEST_F(NameCenWindow, RefusalsStayInTheStatusPanel) {
    m_dir.Write("d/Keep.TXT", "k");
    TfrmNameCen* window = Show();
    ASSERT_NE(window, nullptr);
    Choose(window, m_dir.Sub("d"));
    struct Case {
        const char* mask;
        const char* extension;
        const char* message;
    };
    const Case cases[] = {
        {"", "", "File mask not specified"},
        {"*", "", "Mask MUST contain \".\""},
        {"a/b.txt", "", "\\/:<|> not allowed in mask"},
        {"*.txt", "m.d", "\\/:<|>. not allowed in extension"},
    };
    for (const Case& c : cases) {
        window->tedMask->setText(QString::fromUtf8(c.mask));
        window->tedExt->setText(QString::fromUtf8(c.extension));
        window->SetOptionBits(kNameChangeExtension);
        window->btnCCGo->click();
        EXPECT_EQ(StatusText(), QString::fromUtf8(c.message)) << c.mask;
        EXPECT_EQ(StatusKind(), kStatusError);
        EXPECT_TRUE(window->btnCCGo->isEnabled());
        EXPECT_TRUE(m_master->ToolTree()->isEnabled());
    }
    EXPECT_EQ(Files("d"), QStringList({"Keep.TXT"}));
}

TEST_F(NameCenWindow, SortingStartsDescendingAndKeepsTheOrderForAnotherColumn) {
    m_dir.Write("d/b.txt", "");
    m_dir.Write("d/a.txt", "");
    m_dir.Write("d/d.TXT", "");
    m_dir.MakeDir("d/d.txt");  // d.TXT is refused: the name is taken
    TfrmNameCen* window = Show();
    ASSERT_NE(window, nullptr);
    Choose(window, m_dir.Sub("d"));
    window->btnCCGo->click();
    ASSERT_EQ(window->lvChanges->topLevelItemCount(), 3);
    const QString d = m_dir.Sub("d/");
    emit window->lvChanges->header()->sectionClicked(0);
    EXPECT_EQ(Column(window->lvChanges, 0), QStringList({d + "d.TXT", d + "b.txt", d + "a.txt"}));
    emit window->lvChanges->header()->sectionClicked(0);
    EXPECT_EQ(Column(window->lvChanges, 0), QStringList({d + "a.txt", d + "b.txt", d + "d.TXT"}));
    emit window->lvChanges->header()->sectionClicked(2);
    EXPECT_EQ(Column(window->lvChanges, 2), QStringList({"N", "Y", "Y"}));
}

TEST_F(NameCenWindow, ResetAndStoredSettings) {
    TfrmNameCen* window = Show();
    ASSERT_NE(window, nullptr);
    Choose(window, m_dir.Path());
    window->tedMask->setText("*.log");
    window->tedExt->setText("txt");
    window->cbCase->setCurrentIndex(1);
    window->SetOptionBits(kNameChangeExtension | kNameStripSpaces);
    window = Show();  // saved and loaded again
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->PathSlots[0], m_dir.Path());
    EXPECT_EQ(window->stSource->Caption(), m_dir.Path());
    EXPECT_EQ(window->tedMask->text(), "*.log");
    EXPECT_EQ(window->tedExt->text(), "txt");
    EXPECT_EQ(window->cbCase->currentIndex(), 1);
    EXPECT_EQ(window->OptionBits(), kNameChangeExtension | kNameStripSpaces);

    window->btnReset->click();
    EXPECT_EQ(window->PathSlots[0], WindowsFolder());
    EXPECT_EQ(window->tedMask->text(), "*.*");
    EXPECT_EQ(window->tedExt->text(), "");
    EXPECT_EQ(window->cbCase->currentIndex(), 0);
    EXPECT_EQ(window->OptionBits(), kNameChangeCase);

    // A stored case index of 5 selects item 0.
    m_master->ShowPanelWindow(nullptr, 0, kStatusInfo, QString());
    m_master->Stores().SaveToolState("NameCen",
                                     EncodeSettings(m_dir.Path().toUtf8() + "|*.md|x|5|8|"));
    window = Show();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->cbCase->currentIndex(), 0);
    EXPECT_EQ(window->tedMask->text(), "*.md");
    EXPECT_EQ(window->OptionBits(), kNameStripSpaces);
}

}  // namespace
