// HexEdit's engine on real files: loading in place, pages and their last top rows, editing
// and write-back, insert and delete, the inspector, saving in place safely, a source
// changed by another program, the timestamp watch, stored settings, and sparse files
// beyond 4 GiB and of 1 TiB.
#include "tools/hexedit/hex_document.h"

#include "base/errors.h"
#include "platform/file_system.h"
#include "support/test_dir.h"
#include "tools/common/file_tool_test_support.h"
#include "tools/hexedit/hex_settings.h"

#include <QDateTime>
#include <QLocale>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>

namespace {

using file_tool_test::ErrorOf;

QByteArray Bytes(int count, int first = 0) {
    QByteArray bytes(count, '\0');
    for (int i = 0; i < count; ++i) {
        bytes[i] = static_cast<char>((first + i) & 0xFF);
    }
    return bytes;
}

// The edited content as hexadecimal text.
QByteArray CopyText(const THexDocument& doc) {
    return BytesToHexText(doc.Content().Read(0, doc.ByteSize()));
}

class HexDocument : public ::testing::Test {
protected:
    THexDocument Loaded(const QString& name, const QByteArray& content) {
        THexDocument doc;
        doc.SetSourcePath(m_dir.Write(name, content));
        doc.Load();
        return doc;
    }
    TestDir m_dir;
};

TEST_F(HexDocument, LoadReadsTheFirstPageInPlace) {
    THexDocument doc;
    doc.SetSourcePath(m_dir.Write("data.bin", QByteArray::fromHex("3C00FF7F41")));
    const QStringList temporary = file_tool_test::Names(QDir::tempPath());
    doc.Load();
    ASSERT_TRUE(doc.Loaded());
    EXPECT_EQ(CopyText(doc), "3C00FF7F41");
    EXPECT_EQ(doc.SizeText(), QStringLiteral("[5 Bytes]"));
    EXPECT_EQ(doc.PageHex(), "3C00FF7F41");
    EXPECT_EQ(doc.PageText(), QByteArray("<.\xFF\x7F"
                                         "A"));
    EXPECT_TRUE(doc.Printable(0));
    EXPECT_FALSE(doc.Printable(1));
    EXPECT_EQ(doc.HexCell(0, 0), "3C");
    EXPECT_EQ(doc.HexCell(0, 5), " ");
    EXPECT_EQ(doc.TextCell(0, 1), ".");
    EXPECT_EQ(doc.TextCell(0, 3), ".");  // a C1 control draws as a dot, though printable
    EXPECT_EQ(doc.TextCell(0, 4), "A");
    EXPECT_EQ(doc.RowOffsetText(1), "00000010");
    EXPECT_FALSE(doc.Modified());
    // Nothing is copied anywhere: the file is read where it is.
    EXPECT_EQ(file_tool_test::Names(QDir::tempPath()), temporary);
    doc.Reset();
    EXPECT_FALSE(doc.Loaded());
}

TEST_F(HexDocument, PagesAndScrollRulesFollowTheFileSize) {
    const struct {
        int bytes;
        qint64 lastTopRow;
        qsizetype firstPageChars;
        bool down, pageDown;
    } cases[] = {
        {20, 0, 40, false, false},    // two rows and a blank rest
        {240, 0, 480, false, false},  // 15 full rows
        {256, 0, 512, false, false},  // exactly one page
        {257, 1, 512, true, false},   // one row more
        {16 * 40, 24, 512, true, true},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.bytes);
        THexDocument doc = Loaded("f.bin", Bytes(test.bytes));
        EXPECT_EQ(doc.LastTopRow(), test.lastTopRow);
        EXPECT_EQ(doc.PageLength(), test.firstPageChars);
        EXPECT_FALSE(doc.CanGoUp());
        EXPECT_EQ(doc.CanGoDown(), test.down);
        EXPECT_EQ(doc.CanPageDown(), test.pageDown);
        doc.ShowPage(doc.LastTopRow());
        EXPECT_EQ(doc.CanGoUp(), test.lastTopRow > 0);
        EXPECT_FALSE(doc.CanGoDown());
        // The last byte of the file is on the page's last used cell.
        const int last = test.bytes - 1 - int(doc.TopRow()) * 16;
        EXPECT_EQ(doc.HexCell(last / 16, last % 16),
                  QString::fromLatin1(Bytes(test.bytes).right(1).toHex().toUpper()));
    }
    // A 257-byte file at its end shows rows 1 to 16.
    THexDocument doc = Loaded("g.bin", Bytes(257));
    doc.ShowPage(doc.LastTopRow());
    EXPECT_EQ(doc.RowOffsetText(0), "00000010");
    EXPECT_EQ(doc.RowOffsetText(15), "00000100");
    EXPECT_EQ(doc.HexCell(15, 0), "00");  // byte 256
    EXPECT_EQ(doc.HexCell(15, 1), " ");
}

TEST_F(HexDocument, LoadRefusalsLeaveNothingLoaded) {
    m_dir.Write("empty.bin", "");
    m_dir.MakeDir("folder");
    ASSERT_TRUE(file_tool_test::MakeFifo(m_dir.Sub("fifo")));
    const struct {
        const char* name;
        QString path;
        const char* message;
    } cases[] = {
        {"no path", "", "No file"},
        {"missing", m_dir.Sub("missing.bin"), "Could not access file"},
        {"folder", m_dir.Sub("folder"), "Could not access file"},
        {"fifo", m_dir.Sub("fifo"), "Could not access file"},
        {"empty", m_dir.Sub("empty.bin"), "The file is empty!"},
    };
    THexDocument doc;
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        doc.SetSourcePath(m_dir.Write("ok.bin", "abc"));
        doc.Load();
        doc.SetSourcePath(test.path);
        EXPECT_EQ(ErrorOf([&] { doc.Load(); }), test.message);
        EXPECT_FALSE(doc.Loaded());
        EXPECT_TRUE(doc.PageHex().isEmpty());
    }
}

// Sequences of edits, inserts and deletes give, after Save, exactly what the same steps do
// to a plain copy of the file: at both ends, over inserted bytes, and across pieces.
TEST_F(HexDocument, EditSequencesSaveExactlyWhatAModelOfTheFileHolds) {
    enum TKind { kType, kAdd, kDelete };
    struct TStep {
        TKind kind;
        qint64 offset;  // the selected byte
        int count;      // bytes added or deleted
        quint8 value;   // the byte typed or added
    };
    const struct {
        const char* name;
        int size;
        std::vector<TStep> steps;
    } cases[] = {
        {"type at both ends", 300, {{kType, 0, 0, 0xAA}, {kType, 299, 0, 0xBB}}},
        {"add before the first and the last byte", 300, {{kAdd, 0, 2, 0x11}, {kAdd, 301, 3, 0x22}}},
        {"delete from the last byte on", 300, {{kDelete, 299, 16, 0}}},
        {"delete spanning inserted bytes",
         300,
         {{kAdd, 100, 4, 0xEE}, {kAdd, 102, 2, 0xDD}, {kDelete, 98, 10, 0}}},
        {"type over inserted bytes and around them",
         100,
         {{kAdd, 50, 3, 0x01}, {kType, 51, 0, 0x7F}, {kType, 49, 0, 0x80}, {kType, 53, 0, 0x81}}},
        {"delete a page and add it back",
         1000,
         {{kDelete, 256, 16, 0}, {kDelete, 256, 16, 0}, {kAdd, 256, 16, 0x5A}, {kType, 0, 0, 0}}},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        const QString path = m_dir.Write("m.bin", Bytes(test.size, 7));
        THexDocument doc;
        doc.SetSourcePath(path);
        doc.Load();
        QByteArray model = Bytes(test.size, 7);
        for (const TStep& step : test.steps) {
            doc.ShowPage(step.offset / 16);
            const qint64 onPage = step.offset - doc.TopRow() * 16;
            ASSERT_TRUE(doc.SelectData(int(onPage / 16), int(onPage % 16)));
            switch (step.kind) {
                case kType:
                    doc.CommitHex(QString::fromLatin1(QByteArray(1, char(step.value)).toHex()));
                    model[step.offset] = char(step.value);
                    break;
                case kAdd:
                    doc.Add(step.count, step.value);
                    model.insert(step.offset, QByteArray(step.count, char(step.value)));
                    break;
                case kDelete:
                    doc.Delete(step.count);
                    model.remove(step.offset, step.count);
                    break;
            }
            ASSERT_EQ(doc.ByteSize(), model.size());
        }
        EXPECT_TRUE(doc.Modified());
        doc.Save(path);
        EXPECT_EQ(m_dir.Read("m.bin"), model);
        // The view continues on the saved file, unedited.
        EXPECT_FALSE(doc.Modified());
        EXPECT_EQ(doc.Content().PieceCount(), 1);
        EXPECT_EQ(CopyText(doc), model.toHex().toUpper());
    }
}

// A sparse file of 1 TiB opens at once and takes edits, inserts and deletes in its middle
// and at its end without copying it.
TEST_F(HexDocument, ATerabyteFileOpensAndIsEditedInPlace) {
    const qint64 size = qint64(1) << 40;
    const QString huge = m_dir.Sub("huge.bin");
    if (!file_tool_test::MakeSparse(huge, size, "end")) {
        GTEST_SKIP() << "this file system cannot hold a sparse file of 1 TiB";
    }
    const QStringList temporary = file_tool_test::Names(QDir::tempPath());
    THexDocument doc;
    doc.SetSourcePath(huge);
    doc.Load();
    EXPECT_EQ(doc.ByteSize(), size);
    doc.ShowPage(size / 32);
    ASSERT_TRUE(doc.SelectData(0, 0));
    doc.Add(2, 0x41);
    ASSERT_TRUE(doc.SelectData(0, 4));
    doc.Delete(1);
    ASSERT_TRUE(doc.SelectData(0, 5));
    doc.CommitHex("42");
    EXPECT_EQ(doc.ByteSize(), size + 1);
    EXPECT_EQ(doc.Content().Read(size / 2, 6), QByteArray("AA\0\0\0B", 6));
    doc.ShowPage(doc.LastTopRow());
    EXPECT_EQ(doc.Content().Read(size - 2, 3), "end");
    EXPECT_EQ(file_tool_test::Names(QDir::tempPath()), temporary);
}

// A file written by another program while it is open refuses Save (its old and new bytes
// would mix); a file replaced under its name is reported, and saves what was edited.
TEST_F(HexDocument, ASourceChangedOutsideIsToldApartBeforeSave) {
    const QString path = m_dir.Write("c.bin", Bytes(64));
    THexDocument doc;
    doc.SetSourcePath(path);
    doc.Load();
    ASSERT_TRUE(doc.SelectData(0, 0));
    doc.CommitHex("AA");
    EXPECT_EQ(doc.SourceState(), TSourceState::kUnchanged);

    // Replaced: a new file renamed over the name; the open file still holds the old bytes.
    m_dir.Write("new.bin", Bytes(10, 100));
    ASSERT_EQ(rename(file_tool_test::Native(m_dir.Sub("new.bin")).constData(),
                     file_tool_test::Native(path).constData()),
              0);
    EXPECT_EQ(doc.SourceState(), TSourceState::kReplaced);
    const QString other = m_dir.Sub("other.bin");
    doc.Save(other);
    QByteArray expected = Bytes(64);
    expected[0] = '\xAA';
    EXPECT_EQ(m_dir.Read("other.bin"), expected);

    // Written in place: refused, and nothing is written.
    ASSERT_TRUE(doc.SelectData(0, 1));
    doc.CommitHex("BB");
    {
        QFile file(other);
        ASSERT_TRUE(file.open(QIODevice::Append));
        file.write("more");
    }
    EXPECT_EQ(doc.SourceState(), TSourceState::kChangedInPlace);
    const QString third = m_dir.Sub("third.bin");
    EXPECT_TRUE(ErrorOf([&] {
                    doc.Save(third);
                }).startsWith("other.bin was changed by another program while it was open"));
    EXPECT_FALSE(QFile::exists(third));
    EXPECT_TRUE(doc.Modified());
}

TEST_F(HexDocument, TypingOverAByteReplacesItsDigits) {
    const struct {
        const char* name;
        QStringList keys;  // the byte editor's text after each key
        const char* byte;
    } cases[] = {
        {"one digit replaces the high nibble", {"7"}, "7C"},
        {"a second digit replaces the byte", {"7", "71"}, "71"},
        {"lower case is read as upper", {"a"}, "AC"},
        {"not hexadecimal changes nothing", {"G"}, "3C"},
        {"three characters change nothing", {"123"}, "3C"},
        {"an empty text changes nothing", {""}, "3C"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        THexDocument doc = Loaded("e.bin", QByteArray::fromHex("003C41"));
        ASSERT_TRUE(doc.SelectData(0, 1));
        ASSERT_TRUE(doc.SelectText(0, 1));
        QString shown;
        for (const QString& text : test.keys) {
            shown = doc.CommitHex(text);
        }
        EXPECT_EQ(doc.PageHex().mid(2, 2), test.byte);
        EXPECT_EQ(CopyText(doc).mid(2, 2), test.byte);
        EXPECT_EQ(doc.Modified(), QByteArray(test.byte) != "3C");
        const uchar value = QByteArray::fromHex(test.byte)[0];
        EXPECT_EQ(shown, QString(TextCellChar(value)));
    }
}

TEST_F(HexDocument, ModifiedStaysSetUntilSaveAndTextEditsWriteTheCharactersCode) {
    const QString path = m_dir.Write("m.bin", QByteArray::fromHex("3C3D3E"));
    THexDocument doc;
    doc.SetSourcePath(path);
    doc.Load();
    ASSERT_TRUE(doc.SelectData(0, 0));
    doc.CommitHex("7C");
    EXPECT_TRUE(doc.Modified());
    doc.CommitHex("3C");  // back to the old value: the copy equals the file again
    EXPECT_TRUE(doc.Modified());

    // The text editor: the character's code replaces the byte.
    ASSERT_TRUE(doc.SelectText(0, 2));
    EXPECT_EQ(doc.CommitText("A"), "41");
    EXPECT_EQ(CopyText(doc), "3C3D41");
    // A character that is not one byte, and an empty text, change nothing.
    EXPECT_EQ(doc.CommitText(QString(QChar(0x20AC))), std::nullopt);
    EXPECT_EQ(doc.CommitText(""), std::nullopt);
    EXPECT_EQ(CopyText(doc), "3C3D41");

    doc.Save(path);
    EXPECT_FALSE(doc.Modified());
    EXPECT_EQ(m_dir.Read("m.bin"), QByteArray::fromHex("3C3D41"));
    // Unmodified again, an edit that leaves the bytes as saved keeps it so; a real change
    // sets it.
    ASSERT_TRUE(doc.SelectData(0, 2));
    doc.CommitHex("41");
    EXPECT_FALSE(doc.Modified());
    doc.CommitHex("4");
    EXPECT_FALSE(doc.Modified());
    doc.CommitHex("42");
    EXPECT_TRUE(doc.Modified());
}

TEST_F(HexDocument, AddAndDeleteRuns) {
    // Add 3 x FF at offset 0x10: before the selected byte.
    THexDocument doc = Loaded("a.bin", Bytes(40));
    EXPECT_EQ(ErrorOf([&] { doc.Add(3, 0xFF); }), "First select a start position!");
    EXPECT_EQ(ErrorOf([&] { doc.Delete(3); }), "First select a start position!");
    ASSERT_TRUE(doc.SelectData(1, 0));
    doc.Add(3, 0xFF);
    EXPECT_EQ(doc.ByteSize(), 43);
    EXPECT_EQ(doc.SizeText(), "[43 Bytes]");
    EXPECT_TRUE(doc.Modified());
    QByteArray expected = Bytes(40);
    expected.insert(16, QByteArray(3, '\xFF'));
    EXPECT_EQ(CopyText(doc), expected.toHex().toUpper());
    EXPECT_EQ(doc.PageHex(), expected.toHex().toUpper());
    EXPECT_EQ(doc.HexPosition(), 0);  // the selection is gone with the old page

    // Delete 16 bytes from the second-to-last byte of a 100-byte file: 98 are left.
    THexDocument hundred = Loaded("h.bin", Bytes(100));
    ASSERT_TRUE(hundred.SelectData(6, 2));  // byte 98
    hundred.Delete(16);
    EXPECT_EQ(hundred.ByteSize(), 98);
    EXPECT_EQ(CopyText(hundred), Bytes(98).toHex().toUpper());

    // Delete of everything is refused.
    THexDocument four = Loaded("4.bin", Bytes(4));
    ASSERT_TRUE(four.SelectData(0, 0));
    EXPECT_EQ(ErrorOf([&] { four.Delete(4); }), "Deletion would create an empty file");
    EXPECT_EQ(ErrorOf([&] { four.Delete(16); }), "Deletion would create an empty file");
    EXPECT_EQ(four.ByteSize(), 4);
    four.Delete(3);
    EXPECT_EQ(CopyText(four), "03");

    // A delete that shortens the file below the page shown brings the view back onto it.
    THexDocument long_ = Loaded("l.bin", Bytes(1024));
    long_.ShowPage(long_.LastTopRow());   // 48
    ASSERT_TRUE(long_.SelectData(0, 0));  // byte 768
    long_.Delete(16);
    long_.ShowPage(long_.TopRow());
    EXPECT_EQ(long_.LastTopRow(), 47);
    EXPECT_EQ(long_.TopRow(), 47);
    EXPECT_EQ(long_.PageLength(), 512);
}

TEST_F(HexDocument, InspectorRows) {
    // Each case: page bytes, selected byte index, interpretation, big endian, rows.
    const struct {
        const char* name;
        const char* hex;
        int byte;
        int interpretation;
        bool bigEndian;
        QStringList rows;
        QList<bool> valid;
    } cases[] = {
        {"byte A", "41", 0, kInterpretByte, false, {"65", "65", "A"}, {true, true, true}},
        {"byte FF", "FF", 0, kInterpretByte, false, {"255", "-1", "\u00FF"}, {true, true, true}},
        {"byte space", "20", 0, kInterpretByte, false, {"32", "32", "."}, {true, true, false}},
        {"word little endian",
         "4100",
         0,
         kInterpretWord,
         false,
         {"65", "65", "A"},
         {true, true, true}},
        {"word big endian",
         "4100",
         0,
         kInterpretWord,
         true,
         {"16640", "16640", "\u4100"},
         {true, true, true}},
        {"word E000",
         "00E0",
         0,
         kInterpretWord,
         false,
         {"57344", "-8192", "."},
         {true, true, false}},
        {"dword NAN",
         "0000C07F",
         0,
         kInterpretDword,
         false,
         {"2143289344", "2143289344", "NAN"},
         {true, true, false}},
        {"dword 1.5",
         "0000C03F",
         0,
         kInterpretDword,
         false,
         {"1069547520", "1069547520", "1.5"},
         {true, true, true}},
        {"dword -INF",
         "000080FF",
         0,
         kInterpretDword,
         false,
         {"4286578688", "-8388608", "-INF"},
         {true, true, false}},
        {"qword",
         "000000000000F03F",
         0,
         kInterpretQword,
         false,
         {"4607182418800017408", "1", ""},
         {true, true, false}},
        {"qword big endian",
         "3FF0000000000000",
         0,
         kInterpretQword,
         true,
         {"4607182418800017408", "1", ""},
         {true, true, false}},
        {"word past the page's bytes",
         "41",
         0,
         kInterpretWord,
         false,
         {"", "", ""},
         {false, false, false}},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        const TInspectorRows rows =
            Interpret(test.hex, 2 * test.byte + 1, test.interpretation, test.bigEndian);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(rows[i].text, test.rows[i]) << i;
            EXPECT_EQ(rows[i].valid, test.valid[i]) << i;
        }
    }
    // Only bytes of the page count: on a full page, the last byte has no Word, DWORD or
    // QWORD; column C of the last row has a Word and a DWORD but no QWORD.
    THexDocument doc = Loaded("p.bin", Bytes(600));
    ASSERT_TRUE(doc.SelectData(15, 15));
    EXPECT_FALSE(doc.Values(kInterpretByte, false)[0].text.isEmpty());
    for (int interpretation : {kInterpretWord, kInterpretDword, kInterpretQword}) {
        EXPECT_TRUE(doc.Values(interpretation, false)[0].text.isEmpty()) << interpretation;
    }
    ASSERT_TRUE(doc.SelectData(15, 12));
    EXPECT_EQ(doc.Values(kInterpretWord, false)[0].text, QString::number(0xFC | (0xFD << 8)));
    EXPECT_FALSE(doc.Values(kInterpretDword, false)[0].text.isEmpty());
    EXPECT_TRUE(doc.Values(kInterpretQword, false)[0].text.isEmpty());
    // Without a selection nothing shows.
    doc.ShowPage(0);
    EXPECT_TRUE(doc.Values(kInterpretByte, false)[0].text.isEmpty());
}

TEST(HexInspector, GeneralFormat) {
    const struct {
        double value;
        int precision;
        const char* text;
    } cases[] = {
        {0, 7, "0"},
        {1, 7, "1"},
        {1.5, 7, "1.5"},
        {-2.25, 15, "-2.25"},
        {1234567, 7, "1234567"},
        {12345678, 7, "1.234568E+7"},
        {0.00001, 7, "0.00001"},
        {0.000001, 7, "1E-6"},
        {1.0 / 3.0, 7, "0.3333333"},
        {1.0 / 3.0, 15, "0.333333333333333"},
        {1e300, 15, "1E+300"},
        {std::numeric_limits<double>::quiet_NaN(), 7, "NAN"},
        {std::numeric_limits<double>::infinity(), 7, "INF"},
        {-std::numeric_limits<double>::infinity(), 15, "-INF"},
    };
    for (const auto& test : cases) {
        EXPECT_EQ(FormatGeneral(test.value, test.precision), test.text) << test.text;
    }
    EXPECT_EQ(FormatGeneral(1.5, 7, QLatin1Char(',')), "1,5");
}

TEST_F(HexDocument, SaveReplacesTheFileOnlyWhenComplete) {
    const QString path = m_dir.Write("s.bin", Bytes(300));
    ASSERT_EQ(chmod(file_tool_test::Native(path).constData(), 0640), 0);
    THexDocument doc;
    doc.SetSourcePath(path);
    doc.Load();
    ASSERT_TRUE(doc.SelectData(0, 0));
    doc.CommitHex("AB");

    // A failing write leaves the file, the document and its modified flag as they were.
    {
        const file_tool_test::TWriteLimit limit(100);
        const QString message = ErrorOf([&] { doc.Save(path); });
        EXPECT_TRUE(message.startsWith("Error \"")) << message.toStdString();
        EXPECT_TRUE(message.endsWith("\" while saving " + path)) << message.toStdString();
    }
    EXPECT_EQ(m_dir.Read("s.bin"), Bytes(300));
    EXPECT_TRUE(doc.Modified());
    EXPECT_EQ(file_tool_test::Names(m_dir.Path()), QStringList{"s.bin"});

    QList<int> percents;
    doc.Save(path, [&](int percent) { percents.append(percent); });
    QByteArray expected = Bytes(300);
    expected[0] = '\xAB';
    EXPECT_EQ(m_dir.Read("s.bin"), expected);
    EXPECT_EQ(file_tool_test::ModeOf(path), 0640);
    EXPECT_EQ(percents.last(), 100);
    EXPECT_FALSE(doc.Modified());
    EXPECT_EQ(doc.ReferenceTime(), LastWriteTime(path).value());

    // Saving elsewhere makes that file the source.
    const QString other = m_dir.Sub("other.bin");
    doc.Save(other);
    EXPECT_EQ(doc.SourcePath(), other);
    EXPECT_EQ(m_dir.Read("other.bin"), expected);

    // What may not be replaced is refused by name.
    m_dir.MakeDir("dir");
    ASSERT_TRUE(file_tool_test::MakeFifo(m_dir.Sub("pipe")));
    EXPECT_EQ(ErrorOf([&] { doc.Save(m_dir.Sub("dir")); }), "Cannot delete dir");
    EXPECT_EQ(ErrorOf([&] { doc.Save(m_dir.Sub("pipe")); }), "Cannot delete pipe");
    EXPECT_EQ(file_tool_test::KindOf(m_dir.Sub("pipe")), S_IFIFO);
    EXPECT_EQ(doc.SourcePath(), other);
}

TEST_F(HexDocument, TimestampWarningOnTheFirstTickAndEveryFourthAfter) {
    const QString path = m_dir.Write("t.bin", "content");
    m_dir.SetTimes("t.bin", QDateTime::currentDateTime().addSecs(-100));
    THexDocument doc;
    doc.SetSourcePath(path);
    doc.Load();
    EXPECT_FALSE(doc.CheckTimestamp());
    m_dir.SetTimes("t.bin", QDateTime::currentDateTime());
    QList<bool> ticks;
    for (int i = 0; i < 9; ++i) {
        ticks.append(doc.CheckTimestamp());
    }
    EXPECT_EQ(ticks, (QList<bool>{true, false, false, false, true, false, false, false, true}));
    EXPECT_TRUE(doc.TimestampChanged());
    // A load takes a new reference.
    doc.Load();
    EXPECT_FALSE(doc.TimestampChanged());
    EXPECT_FALSE(doc.CheckTimestamp());
    // Nothing is watched without a loaded file.
    doc.Reset();
    EXPECT_FALSE(doc.CheckTimestamp());
}

TEST(HexSettings, StoredFieldsRoundTripAndDamagedOnesKeepDefaults) {
    TestDir dir;
    const QString file = dir.Write("sub/file.bin", "x");
    THexSettings settings;
    settings.source = file;
    settings.saveFolder = dir.Path() + "/";
    settings.interpretation = 2;
    settings.bigEndian = true;
    settings.runBytes = 5;
    settings.byteValue = 200;
    const QByteArray text = HexSettingsText(settings);
    EXPECT_EQ(text, EncodeNativeName(file) + "|" + EncodeNativeName(dir.Path()) + "/|2|1|5|200|0|");
    const std::optional<THexSettings> back = ParseHexSettings(text);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->source, file);
    EXPECT_EQ(back->openFolder, dir.Sub("sub") + "/");
    EXPECT_EQ(back->saveFolder, dir.Path() + "/");
    EXPECT_EQ(back->interpretation, 2);
    EXPECT_TRUE(back->bigEndian);
    EXPECT_EQ(back->runBytes, 5);
    EXPECT_EQ(back->byteValue, 200);

    EXPECT_FALSE(ParseHexSettings("a|b|0|0|1|0|"));      // six fields
    EXPECT_FALSE(ParseHexSettings("a|b|0|0|1|0|0|0|"));  // eight
    const std::optional<THexSettings> odd =
        ParseHexSettings(EncodeNativeName(dir.Sub("gone.bin")) + "|/nowhere|9|x|99|-4|0|");
    ASSERT_TRUE(odd);
    EXPECT_EQ(odd->source, "");
    EXPECT_EQ(odd->openFolder, dir.Path() + "/");  // the folder of a file that is gone
    EXPECT_EQ(odd->saveFolder, "");
    EXPECT_EQ(odd->interpretation, 0);
    EXPECT_FALSE(odd->bigEndian);
    EXPECT_EQ(odd->runBytes, 16);
    EXPECT_EQ(odd->byteValue, 0);
}

// A sparse file above 4 GiB opens with 64-bit offsets; moving to its end reads one page.
TEST(HexDocumentLarge, ASparseFileAbove4GiBShowsItsLastRowsOffsets) {
    TestDir dir;
    const qint64 size = (qint64(1) << 32) + 32;
    const QString path = dir.Sub("big.bin");
    const QByteArray tail = Bytes(32, 0xE0);
    if (!file_tool_test::MakeSparse(path, size, tail)) {
        GTEST_SKIP() << "this file system cannot hold a sparse file of 4 GiB";
    }
    THexDocument doc;
    doc.SetSourcePath(path);
    doc.Load();
    EXPECT_EQ(doc.ByteSize(), size);
    EXPECT_EQ(doc.LastTopRow(), size / 16 - 16);
    doc.ShowPage(doc.LastTopRow());
    EXPECT_EQ(doc.RowOffsetText(15), "100000010");
    EXPECT_EQ(doc.RowOffsetText(0), "FFFFFF20");
    EXPECT_EQ(doc.HexCell(14, 0), "E0");
    EXPECT_EQ(doc.HexCell(15, 15), "FF");
    EXPECT_EQ(doc.TextCell(15, 15), QString(QChar(0xFF)));
    // Editing at the end changes the content at its 64-bit position.
    ASSERT_TRUE(doc.SelectData(15, 15));
    doc.CommitHex("12");
    EXPECT_EQ(doc.Content().Read(size - 1, 1), "\x12");
    EXPECT_TRUE(doc.Modified());
}

}  // namespace
