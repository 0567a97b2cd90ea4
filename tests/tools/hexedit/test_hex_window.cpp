// The HexEdit window driven headless: loading through the browse button, the scroll
// buttons and the wheel, typing over bytes in both grids, the inspector and its copy,
// Add and Delete with their refusals, Save, the timestamp warning, Reset, the settings
// brought back (the remembered file loaded again), the unsaved-changes question on every
// way out, and the keyboard over the grids.
#include "app/tool_table.h"
#include "windows/hexedit/hex_window.h"

#include "shell/master_window.h"
#include "shell/status_panel.h"
#include "support/test_dir.h"
#include "tools/common/file_tool_test_support.h"
#include "ui/byte_grid.h"
#include "ui/ell_path.h"
#include "ui/quick_button.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDateTime>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QTreeWidget>
#include <QtTest/QTest>

#include <gtest/gtest.h>

#include <memory>

namespace {

constexpr int kHexIndex = 6;

QByteArray Bytes(int count) {
    QByteArray bytes(count, '\0');
    for (int i = 0; i < count; ++i) {
        bytes[i] = static_cast<char>(i);
    }
    return bytes;
}

class HexWindow : public ::testing::Test {
protected:
    void SetUp() override { m_master = std::make_unique<TMaster>(m_dir.Sub("prog"), ToolTable()); }

    // Shows the window; the unsaved-changes question, where a test does not answer it
    // itself, is answered Discard and counted.
    TfrmHex* Show() {
        m_master->SelectTool(kHexIndex);
        auto* window = dynamic_cast<TfrmHex*>(m_master->CurrentWindow());
        if (window != nullptr) {
            window->AskUnsaved = [this](const QString&) {
                ++m_questions;
                return TUnsavedAnswer::kDiscard;
            };
        }
        return window;
    }
    static void Open(TfrmHex* window, const QString& path) {
        window->AskSourceFile = [path] { return path; };
        window->sbnSBrowse->click();
    }
    // Types keys into an edit box; the posted commits run afterwards.
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
    int m_questions = 0;
};

TEST_F(HexWindow, LoadsAndScrollsThroughAFile) {
    TfrmHex* window = Show();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->size(), QSize(610, 480));
    EXPECT_TRUE(QFile::exists(":/help/270.html"));
    EXPECT_FALSE(window->btnSave->isEnabled());
    EXPECT_FALSE(window->btnRefresh->isEnabled());
    EXPECT_FALSE(window->sbnEnd->isEnabled());

    const QString path = m_dir.Write("data/f.bin", Bytes(257));
    Open(window, path);
    EXPECT_EQ(window->stSource->Caption(), path);
    EXPECT_EQ(window->PathSlots[0], m_dir.Sub("data") + "/");
    EXPECT_EQ(window->lblSize->text(), "[257 Bytes]");
    EXPECT_TRUE(m_master->ToolTree()->isEnabled());
    EXPECT_TRUE(window->sbnLineDn->isEnabled());
    EXPECT_TRUE(window->sbnEnd->isEnabled());
    EXPECT_FALSE(window->sbnPgDn->isEnabled());
    EXPECT_FALSE(window->sbnHome->isEnabled());
    EXPECT_FALSE(window->sbnPgUp->isEnabled());

    window->sbnEnd->click();
    EXPECT_EQ(window->Document().TopRow(), 1);
    EXPECT_EQ(window->Document().RowOffsetText(15), "00000100");
    EXPECT_TRUE(window->sbnHome->isEnabled());
    EXPECT_FALSE(window->sbnEnd->isEnabled());
    window->WheelStep(true, {});
    EXPECT_EQ(window->Document().TopRow(), 0);
    window->WheelStep(true, {});
    EXPECT_EQ(window->Document().TopRow(), 0);
    window->WheelStep(false, {});
    EXPECT_EQ(window->Document().TopRow(), 1);
    window->sbnHome->click();
    EXPECT_EQ(window->Document().TopRow(), 0);

    // A 20-byte file: two rows, nothing below, and the wheel does not move it.
    Open(window, m_dir.Write("small.bin", Bytes(20)));
    for (TQuickButton* button : window->scroll.buttons) {
        EXPECT_FALSE(button->isEnabled());
    }
    window->WheelStep(false, {});
    EXPECT_EQ(window->Document().TopRow(), 0);
    EXPECT_EQ(window->Document().HexCell(1, 3), "13");
    EXPECT_EQ(window->Document().HexCell(1, 4), " ");

    // A failed load says why and gives the controls back.
    Open(window, m_dir.Write("empty.bin", ""));
    EXPECT_EQ(StatusText(), "The file is empty!");
    EXPECT_EQ(StatusKind(), kStatusError);
    EXPECT_TRUE(m_master->ToolTree()->isEnabled());
    EXPECT_TRUE(window->sbnSBrowse->isEnabled());
    EXPECT_FALSE(window->Document().Loaded());
}

TEST_F(HexWindow, TypingOverBytesAndCharactersAndSaving) {
    const QString path = m_dir.Write("e.bin", QByteArray::fromHex("003C4142"));
    TfrmHex* window = Show();
    ASSERT_NE(window, nullptr);
    Open(window, path);

    ASSERT_TRUE(window->dgData->SelectCell(1, 0));
    EXPECT_FALSE(window->edtData->isHidden());
    EXPECT_FALSE(window->edtText->isHidden());  // the text grid follows
    EXPECT_EQ(window->edtData->text(), "3C");
    EXPECT_EQ(window->edtText->text(), "<");
    Type(window->edtData, "7");
    EXPECT_EQ(window->Document().PageHex(), "007C4142");
    EXPECT_EQ(window->edtText->text(), "|");
    EXPECT_TRUE(window->btnSave->isEnabled());
    EXPECT_TRUE(window->btnRefresh->isEnabled());
    Type(window->edtData, "1");
    EXPECT_EQ(window->Document().PageHex(), "00714142");
    Type(window->edtData, "g");  // swallowed
    EXPECT_EQ(window->edtData->text(), "71");
    EXPECT_EQ(window->Document().PageHex(), "00714142");

    // A cell beyond the file cannot be selected.
    EXPECT_FALSE(window->dgData->SelectCell(4, 0));
    EXPECT_TRUE(window->edtData->isHidden());

    ASSERT_TRUE(window->dgText->SelectCell(3, 0));
    EXPECT_EQ(window->edtText->text(), "B");
    window->edtText->selectAll();
    Type(window->edtText, "z");
    EXPECT_EQ(window->Document().PageHex(), "0071417A");
    EXPECT_EQ(window->edtData->text(), "7A");

    // Save over the file itself.
    window->AskSaveFile = [path] { return path; };
    window->btnSave->click();
    EXPECT_EQ(m_dir.Read("e.bin"), QByteArray::fromHex("0071417A"));
    EXPECT_FALSE(window->btnSave->isEnabled());
    EXPECT_FALSE(window->btnRefresh->isEnabled());
    EXPECT_TRUE(m_master->ToolTree()->isEnabled());

    // A destination that may not be replaced is refused by name.
    m_dir.MakeDir("folder");
    ASSERT_TRUE(window->dgData->SelectCell(0, 0));
    Type(window->edtData, "FF");
    window->AskSaveFile = [this] { return m_dir.Sub("folder"); };
    window->btnSave->click();
    EXPECT_EQ(StatusText(), "Cannot delete folder");
    EXPECT_EQ(StatusKind(), kStatusError);
    EXPECT_TRUE(window->btnSave->isEnabled());
    EXPECT_EQ(window->stSource->Caption(), path);
}

TEST_F(HexWindow, InspectorShowsAndCopiesValues) {
    TfrmHex* window = Show();
    ASSERT_NE(window, nullptr);
    Open(window, m_dir.Write("i.bin", QByteArray::fromHex("41000000C07F")));
    ASSERT_TRUE(window->dgData->SelectCell(0, 0));
    EXPECT_EQ(window->Values()[0].text, "65");
    EXPECT_EQ(window->Values()[2].text, "A");
    window->cbInter->setCurrentIndex(kInterpretWord);
    EXPECT_EQ(window->Values()[0].text, "65");
    // The check box's mouse-up recomputes, after its state changed.
    QTest::mouseClick(window->cbxBigEnd, Qt::LeftButton);
    QCoreApplication::processEvents();
    ASSERT_TRUE(window->cbxBigEnd->isChecked());
    EXPECT_EQ(window->Values()[0].text, "16640");
    EXPECT_EQ(window->Values()[2].text, QString(QChar(0x4100)));

    window->cbxBigEnd->setChecked(false);
    window->cbInter->setCurrentIndex(kInterpretDword);
    ASSERT_TRUE(window->dgData->SelectCell(2, 0));
    EXPECT_EQ(window->Values()[2].text, "NAN");
    EXPECT_FALSE(window->Values()[2].valid);  // drawn red

    // Clicking a value copies it.
    ASSERT_TRUE(window->dgInfo->SelectCell(1, 0));
    EXPECT_EQ(QApplication::clipboard()->text(), window->Values()[0].text);
    EXPECT_EQ(StatusText(), "Value copied to clipboard");
    EXPECT_FALSE(window->dgInfo->SelectCell(0, 1));
}

TEST_F(HexWindow, AddDeleteAndTheirRefusals) {
    TfrmHex* window = Show();
    ASSERT_NE(window, nullptr);
    const QString path = m_dir.Write("a.bin", Bytes(40));
    Open(window, path);
    window->btnAdd->click();
    EXPECT_EQ(StatusText(), "First select a start position!");
    EXPECT_EQ(StatusKind(), kStatusError);

    window->tbNBytes->setValue(3);
    window->tbVByte->setValue(255);
    EXPECT_EQ(window->lblNBytes->text(), "3 Bytes");
    EXPECT_EQ(window->lblVByte->text(), "$FF");
    ASSERT_TRUE(window->dgData->SelectCell(0, 1));
    window->btnAdd->click();
    EXPECT_EQ(window->lblSize->text(), "[43 Bytes]");
    EXPECT_EQ(window->Document().PageHex().mid(32, 8), "FFFFFF10");
    EXPECT_TRUE(window->btnSave->isEnabled());
    EXPECT_EQ(m_dir.Read("a.bin"), Bytes(40));  // only Save writes the file

    window->tbNBytes->setValue(16);
    ASSERT_TRUE(window->dgData->SelectCell(0, 0));
    window->btnDelete->click();
    EXPECT_EQ(window->lblSize->text(), "[27 Bytes]");
    window->tbNBytes->setValue(1);
    EXPECT_EQ(window->lblNBytes->text(), "1 Byte");

    Open(window, m_dir.Write("four.bin", Bytes(4)));
    EXPECT_EQ(m_questions, 1);  // the edits of the file before were asked about
    window->tbNBytes->setValue(4);
    ASSERT_TRUE(window->dgData->SelectCell(0, 0));
    window->btnDelete->click();
    EXPECT_EQ(StatusText(), "Deletion would create an empty file");
    EXPECT_EQ(window->lblSize->text(), "[4 Bytes]");
}

TEST_F(HexWindow, TimestampWarningResetAndSettings) {
    const QString path = m_dir.Write("t/w.bin", Bytes(300));
    m_dir.SetTimes("t/w.bin", QDateTime::currentDateTime().addSecs(-100));
    TfrmHex* window = Show();
    ASSERT_NE(window, nullptr);
    Open(window, path);
    window->cbInter->setCurrentIndex(kInterpretQword);
    window->cbxBigEnd->setChecked(true);
    window->tbNBytes->setValue(7);
    window->tbVByte->setValue(0x2A);
    ASSERT_TRUE(window->dgData->SelectCell(0, 0));
    Type(window->edtData, "AA");
    window->AskSaveFile = [this] { return m_dir.Sub("t/copy.bin"); };
    window->btnSave->click();  // the save folder becomes t/
    EXPECT_EQ(window->PathSlots[1], m_dir.Sub("t") + "/");
    EXPECT_EQ(m_dir.Read("t/copy.bin"), QByteArray(1, '\xAA') + Bytes(300).mid(1));
    const QString source = window->PathSlots[2];
    EXPECT_EQ(source, m_dir.Sub("t/copy.bin"));

    window->PeriodicCheck();
    EXPECT_FALSE(window->btnRefresh->isEnabled());
    m_dir.SetTimes("t/copy.bin", QDateTime::currentDateTime().addSecs(5));
    window->PeriodicCheck();
    EXPECT_EQ(StatusText(), "The file timestamp has changed");
    EXPECT_TRUE(window->btnRefresh->isEnabled());
    window->btnRefresh->click();
    EXPECT_FALSE(window->btnRefresh->isEnabled());

    // Shown again, the window takes its inputs back and loads the file once running.
    window = Show();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->stSource->Caption(), source);
    EXPECT_EQ(window->cbInter->currentIndex(), kInterpretQword);
    EXPECT_TRUE(window->cbxBigEnd->isChecked());
    EXPECT_EQ(window->tbNBytes->value(), 7);
    EXPECT_EQ(window->lblVByte->text(), "$2A");
    EXPECT_EQ(window->PathSlots[0], m_dir.Sub("t") + "/");
    EXPECT_FALSE(window->Document().Loaded());
    QTRY_VERIFY(window->Document().Loaded());
    EXPECT_EQ(window->lblSize->text(), "[300 Bytes]");

    window->btnClear->click();
    EXPECT_FALSE(window->Document().Loaded());
    EXPECT_EQ(window->stSource->Caption(), "");
    EXPECT_EQ(window->cbInter->currentIndex(), 0);
    EXPECT_EQ(window->tbNBytes->value(), 1);
    EXPECT_FALSE(window->pnlInfo->isEnabled());
    EXPECT_FALSE(window->btnClear->isEnabled());
    EXPECT_FALSE(window->dgData->SelectCell(0, 0));
    // A new load gives the inspector back.
    Open(window, path);
    EXPECT_TRUE(window->pnlInfo->isEnabled());
    EXPECT_TRUE(window->btnClear->isEnabled());
}

// Every way out with unsaved edits asks "Save changes to NAME?": Save writes the edits,
// Discard lets them go, Cancel keeps the window, the file and the edits as they were.
TEST_F(HexWindow, UnsavedEditsAreAskedAboutOnEveryWayOut) {
    enum TWay { kTool, kFile, kReset, kReload, kClose };
    const struct {
        const char* name;
        TWay way;
    } ways[] = {{"another tool", kTool},
                {"another file", kFile},
                {"Reset", kReset},
                {"Reload", kReload},
                {"closing the program", kClose}};
    for (const auto& way : ways) {
        for (const TUnsavedAnswer answer :
             {TUnsavedAnswer::kSave, TUnsavedAnswer::kDiscard, TUnsavedAnswer::kCancel}) {
            SCOPED_TRACE(testing::Message() << way.name << ", answer " << int(answer));
            const QString path = m_dir.Write("u/edit.bin", Bytes(64));
            const QString other = m_dir.Write("u/other.bin", Bytes(32));
            TfrmHex* window = Show();
            ASSERT_NE(window, nullptr);
            QCoreApplication::processEvents();  // the remembered file's load
            Open(window, path);
            ASSERT_TRUE(window->dgData->SelectCell(0, 0));
            Type(window->edtData, "AA");
            ASSERT_TRUE(window->btnSave->isEnabled());
            QStringList asked;
            window->AskUnsaved = [&](const QString& name) {
                asked.append(name);
                return answer;
            };
            window->AskSaveFile = [path] { return path; };
            bool left = false;
            switch (way.way) {
                case kTool:
                    m_master->SelectTool(0);
                    left = m_master->CurrentWindow() != window;
                    break;
                case kFile:
                    Open(window, other);
                    left = window->Document().SourcePath() == other;
                    break;
                case kReset:
                    window->btnClear->click();
                    left = !window->Document().Loaded();
                    break;
                case kReload:
                    window->btnRefresh->click();
                    left = !window->Document().Modified();
                    break;
                case kClose:
                    left = m_master->close();
                    break;
            }
            EXPECT_EQ(asked, QStringList{"edit.bin"});
            EXPECT_EQ(left, answer != TUnsavedAnswer::kCancel);
            const QByteArray edited = QByteArray(1, '\xAA') + Bytes(64).mid(1);
            EXPECT_EQ(m_dir.Read("u/edit.bin"),
                      answer == TUnsavedAnswer::kSave ? edited : Bytes(64));
            if (answer == TUnsavedAnswer::kCancel) {
                EXPECT_TRUE(window->Document().Modified());
                EXPECT_EQ(window->Document().Content().Read(0, 1), "\xAA");
                EXPECT_EQ(m_master->CurrentWindow(), window);
                // Let it go for the next case.
                window->AskUnsaved = [](const QString&) { return TUnsavedAnswer::kDiscard; };
            }
            m_master->SelectTool(0);
        }
    }
}

// Arrows, PageUp/PageDown and Ctrl+Home/Ctrl+End move the selected byte and the page, in
// the byte grid's editor and in the text grid's.
TEST_F(HexWindow, TheKeyboardMovesTheSelectionAndThePage) {
    TfrmHex* window = Show();
    ASSERT_NE(window, nullptr);
    Open(window, m_dir.Write("k/keys.bin", Bytes(1000)));
    ASSERT_TRUE(window->dgData->SelectCell(0, 0));
    const auto selected = [window] {
        return window->Document().TopRow() * 16 + (window->Document().HexPosition() - 1) / 2;
    };
    const struct {
        int key;
        Qt::KeyboardModifiers modifiers;
        qint64 byte;
        qint64 topRow;
    } steps[] = {
        {Qt::Key_Right, Qt::NoModifier, 1, 0},       {Qt::Key_Down, Qt::NoModifier, 17, 0},
        {Qt::Key_Left, Qt::NoModifier, 16, 0},       {Qt::Key_PageDown, Qt::NoModifier, 272, 16},
        {Qt::Key_End, Qt::ControlModifier, 999, 47}, {Qt::Key_Right, Qt::NoModifier, 999, 47},
        {Qt::Key_Down, Qt::NoModifier, 999, 47},     {Qt::Key_PageUp, Qt::NoModifier, 743, 31},
        {Qt::Key_Up, Qt::NoModifier, 727, 31},       {Qt::Key_Home, Qt::ControlModifier, 0, 0},
        {Qt::Key_Up, Qt::NoModifier, 0, 0},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.byte);
        QTest::keyClick(window->edtData, Qt::Key(step.key), step.modifiers);
        EXPECT_EQ(selected(), step.byte);
        EXPECT_EQ(window->Document().TopRow(), step.topRow);
        EXPECT_FALSE(window->edtData->isHidden());
    }
    // The text grid's editor moves the same way.
    ASSERT_TRUE(window->dgText->SelectCell(3, 0));
    QTest::keyClick(window->edtText, Qt::Key_Down);
    EXPECT_EQ(window->Document().TextPosition(), 20);
    // Typing over a byte still goes into it after moving there.
    QTest::keyClick(window->edtText, Qt::Key_Right);
    ASSERT_EQ(window->Document().TextPosition(), 21);
    window->edtText->selectAll();
    Type(window->edtText, "Z");
    EXPECT_EQ(window->Document().Content().Read(20, 1), "Z");
}

}  // namespace
