// The Checksummer window driven headless in a real main window: choosing a file,
// Calculate with its rows and status texts in order, copying rows, failures, settings.
#include "app/tool_table.h"
#include "base/digests.h"
#include "base/settings_codec.h"
#include "shell/master_window.h"
#include "shell/status_panel.h"
#include "support/test_dir.h"
#include "tools/common/file_tool_test_support.h"
#include "ui/ell_path.h"
#include "windows/checksummer/hash_window.h"

#include <QClipboard>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTableWidget>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <QtTest/QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <ostream>

#include <sys/stat.h>

// Readable QString values in failure messages.
void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace {

constexpr int kHashIndex = 10;
constexpr int kWaitMs = 120000;

struct TShown {
    QString text;
    bool hold;
    int kind;
    int filledRows;  // rows of the Checksummer holding a result when the text was shown
};

// A main window that also records every status text it is asked to show, with how many
// rows of the Checksummer were filled at that moment.
class TRecordingMaster : public TMaster {
public:
    using TMaster::TMaster;
    void ShowStatus(const QString& text, bool hold, int kind) override {
        int filled = -1;
        if (auto* window = dynamic_cast<TfrmHash*>(CurrentWindow())) {
            filled = 0;
            for (int row = 0; row < kDigestCount; ++row) {
                filled += window->Result(row).isEmpty() ? 0 : 1;
            }
        }
        shown.append({text, hold, kind, filled});
        TMaster::ShowStatus(text, hold, kind);
    }
    QList<TShown> shown;
};

QByteArray RandomBytes(qsizetype size, quint32 seed) {
    QRandomGenerator random(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char& byte : bytes) {
        byte = static_cast<char>(random.bounded(256));
    }
    return bytes;
}

QByteArray Hex(const QByteArray& bytes) {
    return bytes.toHex().toUpper();
}

class HashWindow : public ::testing::Test {
protected:
    void SetUp() override {
        // A hash left on the clipboard would be taken into the Verify field.
        QGuiApplication::clipboard()->clear();
        Open();
    }
    void TearDown() override { m_master.reset(); }

    void Open() {
        m_master = std::make_unique<TRecordingMaster>(m_dir.Sub("prog"), ToolTable());
        m_master->SelectTool(kHashIndex);
    }
    TfrmHash* Window() const { return dynamic_cast<TfrmHash*>(m_master->CurrentWindow()); }

    // Answers the open-file dialog with `path` and presses the browse button.
    void Choose(const QString& path) {
        Window()->AskSourceFile = [path](const QString&, const QString&, const QString&) {
            return path;
        };
        Window()->sbnSBrowse->click();
    }
    // Presses Calculate and waits until the busy state has ended.
    void Calculate() {
        Window()->btnCalc->click();
        ASSERT_TRUE(QTest::qWaitFor([this] { return !Window()->Calculating(); }, kWaitMs));
    }
    QStringList Results() const {
        QStringList results;
        for (int row = 0; row < kDigestCount; ++row) {
            results << QString::fromLatin1(Window()->Result(row));
        }
        return results;
    }
    void ClickRow(int row, int column = 1) {
        QTableWidget* grid = Window()->dgHash;
        const QRect cell = grid->visualItemRect(grid->item(row, column));
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, Qt::NoModifier, cell.center());
    }
    QString Status() const { return m_master->StatusPanel()->Text(); }
    int Kind() const { return m_master->StatusPanel()->Kind(); }

    TestDir m_dir;
    std::unique_ptr<TRecordingMaster> m_master;
};

TEST_F(HashWindow, OpensWithItsControlsAndTitle) {
    TfrmHash* window = Window();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(Status(), "Checksum Calculator");
    EXPECT_EQ(HelpContextOf(window), 310);
    EXPECT_TRUE(QFile::exists(":/help/310.html"));
    EXPECT_EQ(window->size(), QSize(401, 242));
    EXPECT_EQ(window->lblSource->text(), "Source File");
    EXPECT_EQ(window->btnClear->text(), "Clear");
    EXPECT_EQ(window->btnCalc->text(), "Calculate");
    EXPECT_EQ(window->sbnSBrowse->toolTip(), "Browse");
    EXPECT_EQ(window->sbnSBrowse->statusTip(), "Select file to be split");
    EXPECT_EQ(window->dgHash->toolTip(), "");
    EXPECT_EQ(window->dgHash->statusTip(), "Click to copy to clipboard");
    ASSERT_EQ(window->dgHash->rowCount(), 5);
    ASSERT_EQ(window->dgHash->columnCount(), 2);
    const QStringList labels{"CRC32", "MD5", "SHA1", "SHA256", "Quivash"};
    for (int row = 0; row < 5; ++row) {
        EXPECT_EQ(window->dgHash->item(row, 0)->text(), labels[row]);
        EXPECT_TRUE(window->Result(row).isEmpty());
    }
    EXPECT_TRUE(window->stSource->Caption().isEmpty());
    EXPECT_EQ(window->PathSlots[0], QDir::homePath() + "/");
}

TEST_F(HashWindow, BrowseTakesTheFileAndItsFolderAndKeepsTheResults) {
    const QString first = m_dir.Write("a/first.bin", "abc");
    const QString second = m_dir.Write("b/.hidden", "abcd");
    QStringList asked;
    Window()->AskSourceFile = [&](const QString& title, const QString& filter,
                                  const QString& folder) {
        asked << title << filter << folder;
        return first;
    };
    Window()->sbnSBrowse->click();
    EXPECT_EQ(asked, QStringList({"Select Source File", "*.* (*)", QDir::homePath() + "/"}));
    EXPECT_EQ(Window()->stSource->Caption(), first);
    EXPECT_EQ(Window()->PathSlots[2], first);
    EXPECT_EQ(Window()->PathSlots[0], m_dir.Sub("a") + "/");
    Calculate();
    const QStringList results = Results();
    ASSERT_FALSE(results[0].isEmpty());

    // Choosing another file (a hidden one here) starts the dialog in the last folder and
    // leaves the rows of the first file alone.
    asked.clear();
    Choose(second);
    EXPECT_EQ(Window()->PathSlots[2], second);
    EXPECT_EQ(Window()->PathSlots[0], m_dir.Sub("b") + "/");
    EXPECT_EQ(Results(), results);

    // A cancelled dialog changes nothing.
    Choose(QString());
    EXPECT_EQ(Window()->PathSlots[2], second);
    EXPECT_EQ(Window()->stSource->Caption(), second);
}

// A file of three read chunks and a bit (4 MiB chunks), so that the digests see several
// pieces and a last short block.
TEST_F(HashWindow, CalculateFillsTheRowsInOrderWithTheStandardDigests) {
    const QByteArray content = RandomBytes(3 * 4 * 1024 * 1024 + 65537, 20240605);
    const QString path = m_dir.Write("data.bin", content);
    Choose(path);
    m_master->shown.clear();

    Window()->btnCalc->click();
    // Busy until the results are in: tree and controls disabled but Calculate, which is
    // Stop meanwhile; the held text shown.
    EXPECT_TRUE(Window()->Calculating());
    EXPECT_FALSE(m_master->ToolTree()->isEnabled());
    EXPECT_TRUE(Window()->btnCalc->isEnabled());
    EXPECT_EQ(Window()->btnCalc->text(), "Stop");
    EXPECT_FALSE(Window()->btnClear->isEnabled());
    EXPECT_FALSE(Window()->sbnSBrowse->isEnabled());
    EXPECT_EQ(Status(), "Calculating...");
    ASSERT_TRUE(QTest::qWaitFor([this] { return !Window()->Calculating(); }, kWaitMs));
    EXPECT_EQ(Window()->btnCalc->text(), "Calculate");

    // Progress texts come first, fading, rising, and never once a row is filled.
    int lastPercent = -1;
    while (!m_master->shown.isEmpty() && m_master->shown.first().text.endsWith("% Done")) {
        const TShown progress = m_master->shown.takeFirst();
        const int percent = progress.text.chopped(6).toInt();
        EXPECT_GT(percent, lastPercent) << progress.text.toStdString();
        EXPECT_LE(percent, 100);
        EXPECT_FALSE(progress.hold);
        EXPECT_EQ(progress.filledRows, 0);
        lastPercent = percent;
    }
    // Each row is shown as soon as it is filled, in row order, with its held text.
    ASSERT_EQ(m_master->shown.size(), 4);
    const QStringList texts{"CRC Updated", "MD5 Updated", "SHA1 Updated", "SHA 256 Updated"};
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(texts[i].toStdString());
        EXPECT_EQ(m_master->shown[i].text, texts[i]);
        EXPECT_TRUE(m_master->shown[i].hold);
        EXPECT_EQ(m_master->shown[i].kind, kStatusInfo);
        EXPECT_EQ(m_master->shown[i].filledRows, i + 1);
    }
    EXPECT_EQ(Status(), "Done!");
    EXPECT_EQ(Kind(), kStatusCompletion);
    EXPECT_TRUE(m_master->ToolTree()->isEnabled());
    EXPECT_TRUE(Window()->btnCalc->isEnabled());
    EXPECT_TRUE(Window()->btnClear->isEnabled());
    EXPECT_EQ(m_master->focusWidget(), Window()->dgHash);

    // The rows equal the standard digests, computed here one by one.
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QStringList expected{
        QString::fromLatin1(StreamCrc32(file)),
        QString::fromLatin1(Hex(QCryptographicHash::hash(content, QCryptographicHash::Md5))),
        QString::fromLatin1(Hex(QCryptographicHash::hash(content, QCryptographicHash::Sha1))),
        QString::fromLatin1(Hex(QCryptographicHash::hash(content, QCryptographicHash::Sha256))),
        QString::fromLatin1(StreamQuivash(file)),
    };
    EXPECT_EQ(Results(), expected);
}

TEST_F(HashWindow, AnEmptyFileGivesTheEmptyDigests) {
    Choose(m_dir.Write("empty", ""));
    Calculate();
    EXPECT_EQ(Results(),
              QStringList({"00000000", "D41D8CD98F00B204E9800998ECF8427E",
                           "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709",
                           "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855",
                           "C59D1C812F6D150AC1336924B9BB657DFFC36B1B37F512EB85A45FD4D22049F4"}));
    EXPECT_EQ(Status(), "Done!");
}

TEST_F(HashWindow, ClickingAFilledRowCopiesItAndAnEmptyRowDoesNothing) {
    QClipboard* clipboard = QGuiApplication::clipboard();
    Choose(m_dir.Write("abc", "abc"));
    Calculate();
    const QStringList results = Results();

    struct TCase {
        int row;
        const char* label;
    };
    for (const TCase& test : {TCase{1, "MD5"}, TCase{0, "CRC32"}, TCase{4, "Quivash"},
                              TCase{4, "Quivash"} /* the cell already selected */}) {
        SCOPED_TRACE(test.label);
        clipboard->setText("before");
        ClickRow(test.row);
        EXPECT_EQ(clipboard->text(), results[test.row]);
        EXPECT_EQ(Status(), QString("%1 copied to clipboard").arg(test.label));
        EXPECT_EQ(Kind(), kStatusInfo);
    }

    // Moving with the keyboard selects too.
    clipboard->setText("before");
    QTest::keyClick(Window()->dgHash, Qt::Key_Up);
    EXPECT_EQ(clipboard->text(), results[3]);
    EXPECT_EQ(Status(), "SHA256 copied to clipboard");

    // The label column cannot be selected.
    clipboard->setText("before");
    m_master->shown.clear();
    ClickRow(2, 0);
    EXPECT_EQ(clipboard->text(), "before");
    EXPECT_TRUE(m_master->shown.isEmpty());

    // After Clear every row is empty: clicks copy nothing and show nothing.
    Window()->btnClear->click();
    EXPECT_TRUE(Window()->stSource->Caption().isEmpty());
    EXPECT_TRUE(Window()->PathSlots[2].isEmpty());
    EXPECT_EQ(Results(), QStringList(5, QString()));
    for (int row : {1, 1, 2}) {
        ClickRow(row);
    }
    EXPECT_EQ(clipboard->text(), "before");
    EXPECT_TRUE(m_master->shown.isEmpty());
}

TEST_F(HashWindow, FailuresEndTheBusyStateWithTheirMessageAndKeepTheRows) {
    const QString path = m_dir.Write("gone.bin", "some bytes");
    Choose(path);
    Calculate();
    const QStringList results = Results();
    ASSERT_FALSE(results[4].isEmpty());

    struct TCase {
        const char* name;
        std::function<QString()> prepare;  // makes the failure, returns the message
    };
    const std::vector<TCase> cases = {
        {"no source file",
         [&] {
             Window()->SetPath(2, QString());
             return QString("Please select a source file");
         }},
        {"file deleted",
         [&] {
             Window()->SetPath(2, path);
             QFile::remove(path);
             return path + " not accessible";
         }},
        {"folder in its place",
         [&] {
             QDir().mkpath(path);
             return path + " not accessible";
         }},
    };
    for (const TCase& test : cases) {
        SCOPED_TRACE(test.name);
        const QString message = test.prepare();
        Window()->btnCalc->click();
        EXPECT_FALSE(Window()->Calculating());
        EXPECT_EQ(Status(), message);
        EXPECT_EQ(Kind(), kStatusError);
        EXPECT_TRUE(m_master->ToolTree()->isEnabled());
        EXPECT_TRUE(Window()->btnCalc->isEnabled());
        EXPECT_EQ(Results(), results);
    }
}

TEST_F(HashWindow, TheSourceFileIsStoredAndTakenBackWhileItExists) {
    // A name holding "|" comes back whole.
    const QString path = m_dir.Write("keep/with|bar.txt", "kept");
    m_dir.Write("keep/with", "a different file");
    Choose(path);
    Calculate();

    m_master->SelectTool(kHashIndex);
    const std::optional<QByteArray> stored = m_master->Stores().LoadToolState("Hash");
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(QString::fromUtf8(DecodeSettings(*stored)), path + "|");
    EXPECT_EQ(Window()->PathSlots[2], path);
    EXPECT_EQ(Window()->stSource->Caption(), path);
    EXPECT_EQ(Window()->PathSlots[0], m_dir.Sub("keep") + "/");
    // Results are not stored.
    EXPECT_EQ(Results(), QStringList(5, QString()));

    // Across a restart too.
    m_master.reset();
    Open();
    EXPECT_EQ(Window()->PathSlots[2], path);

    // A file that has gone is not taken back.
    QFile::remove(path);
    m_master->SelectTool(kHashIndex);
    EXPECT_TRUE(Window()->PathSlots[2].isEmpty());
    EXPECT_TRUE(Window()->stSource->Caption().isEmpty());
    EXPECT_EQ(Window()->PathSlots[0], QDir::homePath() + "/");
}

TEST_F(HashWindow, ANameThatIsNotUtf8IsCalculatedStoredAndTakenBack) {
    using namespace file_tool_test;
    m_dir.MakeDir("raw");
    const QString path = m_dir.Sub("raw/" + Latin1Name());
    ASSERT_TRUE(WriteNative(path, "abc"));
    Choose(path);
    EXPECT_EQ(Window()->PathSlots[0], m_dir.Sub("raw") + "/");
    Calculate();
    EXPECT_EQ(Status(), "Done!");
    EXPECT_EQ(Results()[3], "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD");

    m_master->SelectTool(kHashIndex);
    EXPECT_EQ(Window()->PathSlots[2], path);
    EXPECT_EQ(Window()->stSource->Caption(), path);
}

TEST_F(HashWindow, ASpecialFileChosenIsSaidAndNotTaken) {
    const QString file = m_dir.Write("file.bin", "abc");
    const QString fifo = m_dir.Sub("fifo");
    ASSERT_EQ(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    Choose(file);
    Choose(fifo);
    EXPECT_EQ(Status(), fifo + " not accessible");
    EXPECT_EQ(Kind(), kStatusError);
    EXPECT_EQ(Window()->PathSlots[2], file);
    EXPECT_EQ(Window()->stSource->Caption(), file);
}

// A sparse file large enough (256 MiB by default) that its digests take a while.
QString MakeBigFile(const TestDir& dir, qint64 size = 256LL * 1024 * 1024) {
    const QString path = dir.Sub("big.bin");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !file.resize(size)) {
        return QString();
    }
    return path;
}

TEST_F(HashWindow, TheWindowKeepsHandlingEventsWhileItCalculates) {
    const QString path = MakeBigFile(m_dir);
    ASSERT_FALSE(path.isEmpty());
    Choose(path);
    Window()->btnCalc->click();
    int handledWhileBusy = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        if (Window()->Calculating()) {
            ++handledWhileBusy;
        }
    });
    ticker.start(0);
    ASSERT_TRUE(QTest::qWaitFor([this] { return !Window()->Calculating(); }, kWaitMs));
    ticker.stop();
    EXPECT_GT(handledWhileBusy, 0);
    EXPECT_EQ(Status(), "Done!");
    EXPECT_EQ(Window()->Result(kDigestMd5), "1F5039E50BD66B290C56684D8550C6C2");
}

TEST_F(HashWindow, ClosingWhileCalculatingStopsAndWaitsForTheWork) {
    const QString path = MakeBigFile(m_dir);
    ASSERT_FALSE(path.isEmpty());
    Choose(path);
    Window()->btnCalc->click();
    ASSERT_TRUE(Window()->Calculating());
    // Another tool replaces the window mid-way; then the program closes.
    m_master->SelectTool(kHashIndex);
    ASSERT_NE(Window(), nullptr);
    EXPECT_FALSE(Window()->Calculating());
    EXPECT_TRUE(m_master->ToolTree()->isEnabled());
    EXPECT_TRUE(Window()->btnCalc->isEnabled());
    EXPECT_EQ(Window()->PathSlots[2], path);
    QCoreApplication::processEvents();
    Window()->btnCalc->click();
    m_master.reset();
    QCoreApplication::processEvents();
}

// The fill colour of a result cell as drawn, read off the grid's picture above the text.
QColor CellColour(TfrmHash* window, int row) {
    QTableWidget* grid = window->dgHash;
    const QRect cell = grid->visualItemRect(grid->item(row, 1));
    return grid->viewport()->grab().toImage().pixelColor(cell.center().x(), cell.top() + 3);
}

const QString kAbcMd5 = "900150983CD24FB0D6963F7D28E17F72";
const QString kAbcSha256 = "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";
const QString kAbcQuivash = "B74A41E9E0AF052824210D54B874D2E9515F1CC0F8148390837CF920F7A08D1B";

TEST_F(HashWindow, VerifyMarksTheMatchingRowOrTheRowsThatDiffer) {
    using M = TfrmHash::TRowMark;
    const M none = TfrmHash::kMarkNone;
    const M match = TfrmHash::kMarkMatch;
    const M differs = TfrmHash::kMarkMismatch;
    EXPECT_EQ(Window()->lblVerify->text(), "Verify");
    EXPECT_EQ(Window()->edtVerify->text(), "");
    struct Case {
        const char* name;
        QString text;
        QList<M> marks;
        QString status;
        int kind;
    };
    const Case cases[] = {
        {"sha256, lower case with blanks",
         "  " + kAbcSha256.toLower() + " ",
         {none, none, none, match, none},
         "Verified: the file's SHA256 matches",
         kStatusCompletion},
        {"quivash",
         kAbcQuivash,
         {none, none, none, none, match},
         "Verified: the file's Quivash matches",
         kStatusCompletion},
        {"crc32",
         "352441c2",
         {match, none, none, none, none},
         "Verified: the file's CRC32 matches",
         kStatusCompletion},
        {"md5 differs",
         "0" + kAbcMd5.mid(1),
         {none, differs, none, none, none},
         "Mismatch: the file's MD5 does not match",
         kStatusError},
        {"64 digits that match neither",
         "0" + kAbcSha256.mid(1),
         {none, none, none, differs, differs},
         "Mismatch: neither the file's SHA256 nor its Quivash matches",
         kStatusError},
        {"a length no hash has",
         kAbcMd5.left(31),
         {none, none, none, none, none},
         "No match possible: 31 hexadecimal digits fit no hash (8, 32, 40 or 64)",
         kStatusNotice},
        {"not hexadecimal",
         "not a hash",
         {none, none, none, none, none},
         "No match possible: the Verify text is not hexadecimal",
         kStatusNotice},
        {"nothing to verify", "", {none, none, none, none, none}, "Done!", kStatusCompletion},
    };
    Choose(m_dir.Write("abc", "abc"));
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        Window()->edtVerify->setText(test.text);
        Calculate();
        QList<M> marks;
        for (int row = 0; row < kDigestCount; ++row) {
            marks << Window()->RowMark(row);
        }
        EXPECT_EQ(marks, test.marks);
        EXPECT_EQ(Status(), test.status);
        EXPECT_EQ(Kind(), test.kind);
        EXPECT_TRUE(Window()->btnCalc->isEnabled());
        EXPECT_TRUE(m_master->ToolTree()->isEnabled());
    }

    // The marks are drawn: green for a match, red for a difference, white otherwise.
    Window()->edtVerify->setText(kAbcMd5);
    Calculate();
    EXPECT_EQ(CellColour(Window(), 1), QColor(192, 255, 192));
    EXPECT_EQ(CellColour(Window(), 2), QColor(Qt::white));
    Window()->edtVerify->setText("352441C3");
    Calculate();
    EXPECT_EQ(CellColour(Window(), 0), QColor(255, 192, 192));
    EXPECT_EQ(CellColour(Window(), 1), QColor(Qt::white));
}

TEST_F(HashWindow, VerifyTakesAHashFromTheClipboardButNotARowItCopied) {
    QClipboard* clipboard = QGuiApplication::clipboard();
    const QString abc = m_dir.Write("abc", "abc");
    Choose(abc);

    // An empty field takes the hash on the clipboard.
    clipboard->setText("\t" + kAbcSha256.toLower() + "\n");
    Calculate();
    EXPECT_EQ(Window()->edtVerify->text(), kAbcSha256.toLower());
    EXPECT_EQ(Status(), "Verified: the file's SHA256 matches");
    EXPECT_EQ(Window()->RowMark(kDigestSha256), TfrmHash::kMarkMatch);

    // A field holding text keeps it; a clipboard holding no hash gives nothing.
    clipboard->setText(kAbcMd5);
    Calculate();
    EXPECT_EQ(Window()->edtVerify->text(), kAbcSha256.toLower());
    Window()->edtVerify->clear();
    clipboard->setText("just words");
    Calculate();
    EXPECT_EQ(Window()->edtVerify->text(), "");
    EXPECT_EQ(Status(), "Done!");

    // A row copied from this window is not taken as the hash to verify the next file by.
    ClickRow(kDigestMd5);
    ASSERT_EQ(clipboard->text(), kAbcMd5);
    Choose(m_dir.Write("abd", "abd"));
    Calculate();
    EXPECT_EQ(Window()->edtVerify->text(), "");
    EXPECT_EQ(Status(), "Done!");

    // Editing the field clears the marks; Enter compares again.
    Window()->edtVerify->setText(QString::fromLatin1(Window()->Result(kDigestSha1)));
    QTest::keyClick(Window()->edtVerify, Qt::Key_Return);
    EXPECT_EQ(Window()->RowMark(kDigestSha1), TfrmHash::kMarkMatch);
    EXPECT_EQ(Status(), "Verified: the file's SHA1 matches");
    QTest::keyClick(Window()->edtVerify, Qt::Key_0);
    EXPECT_EQ(Window()->RowMark(kDigestSha1), TfrmHash::kMarkNone);
    QTest::keyClick(Window()->edtVerify, Qt::Key_Return);
    EXPECT_EQ(Status(), "No match possible: 41 hexadecimal digits fit no hash (8, 32, 40 or 64)");
    EXPECT_EQ(Kind(), kStatusNotice);

    // Clear empties the field with the rows.
    Window()->btnClear->click();
    EXPECT_EQ(Window()->edtVerify->text(), "");
    EXPECT_EQ(Window()->RowMark(kDigestSha1), TfrmHash::kMarkNone);
    clipboard->clear();
}

// A sparse file of 4 GiB: far more than the pieces the digests may have in flight, so its
// progress shows before any row, and Stop chosen at the first progress comes long before
// the end. Stop ends the read whichever way it is chosen.
TEST_F(HashWindow, ProgressShowsAndStopEndsTheReadCleanly) {
    const QString path = MakeBigFile(m_dir, 4LL * 1024 * 1024 * 1024);
    ASSERT_FALSE(path.isEmpty());
    // Shown and active, for Esc; the first show greets with the welcome window.
    m_master->show();
    m_master->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(m_master.get()));
    m_master->SelectTool(kHashIndex);
    Choose(path);
    struct TCase {
        const char* name;
        std::function<void()> stop;
    };
    const TCase cases[] = {
        {"the Stop button", [this] { Window()->btnCalc->click(); }},
        {"Esc", [this] { QTest::keyClick(Window()->btnCalc, Qt::Key_Escape); }},
    };
    for (const TCase& test : cases) {
        SCOPED_TRACE(test.name);
        m_master->shown.clear();
        Window()->btnCalc->click();
        ASSERT_TRUE(Window()->Calculating());
        ASSERT_TRUE(QTest::qWaitFor(
            [this] {
                return std::any_of(m_master->shown.begin(), m_master->shown.end(),
                                   [](const TShown& s) { return s.text.endsWith("% Done"); });
            },
            kWaitMs));
        EXPECT_TRUE(QRegularExpression("^\\d+% Done$").match(Status()).hasMatch())
            << Status().toStdString();
        test.stop();
        ASSERT_TRUE(QTest::qWaitFor([this] { return !Window()->Calculating(); }, kWaitMs));
        EXPECT_EQ(Status(), "Calculation stopped");
        EXPECT_EQ(Kind(), kStatusInfo);
        EXPECT_EQ(Results(), QStringList(5, QString()));
        EXPECT_EQ(Window()->btnCalc->text(), "Calculate");
        EXPECT_TRUE(Window()->btnCalc->isEnabled());
        EXPECT_TRUE(Window()->btnClear->isEnabled());
        EXPECT_TRUE(Window()->sbnSBrowse->isEnabled());
        EXPECT_TRUE(m_master->ToolTree()->isEnabled());
        EXPECT_FALSE(m_master->IsBusy());
    }
    // Esc while nothing runs does nothing.
    QTest::keyClick(Window()->btnCalc, Qt::Key_Escape);
    EXPECT_EQ(Status(), "Calculation stopped");
}

}  // namespace
