// Compare's engines on real files: segment sizes and letters, the window's comparison
// into working copies with its report, limits, editing and saving, the fourth-tick
// timestamp rule and stored settings; and the streamed comparison of the command line,
// mapped and read, in one pass and in two halves, against a plain byte loop.
#include "tools/compare/compare_settings.h"
#include "tools/compare/file_comparer.h"
#include "tools/compare/stream_compare.h"

#include "support/test_dir.h"
#include "tools/common/file_tool_test_support.h"

#include <QDateTime>

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace {

using file_tool_test::ErrorOf;

QByteArray Pattern(qint64 count, int seed = 0) {
    QByteArray bytes(count, Qt::Uninitialized);
    std::mt19937 generator(seed);
    for (qint64 i = 0; i < count; ++i) {
        bytes[i] = static_cast<char>(generator() & 0xFF);
    }
    return bytes;
}

// The index and the differences as a plain loop over both files finds them.
struct TExpected {
    QByteArray index;
    QList<TDifference> differences;
};
TExpected Expected(const QByteArray& a, const QByteArray& b) {
    const qint64 length = std::min(a.size(), b.size());
    const qint64 segment = SegmentSize(length);
    TExpected expected;
    for (qint64 start = 0; start < length; start += segment) {
        double sum = 0;
        for (qint64 i = start; i < std::min(length, start + segment); ++i) {
            const int d = uchar(a[i]) - uchar(b[i]);
            sum += std::abs(d);
            if (d != 0) {
                expected.differences.append({i, uchar(a[i]), uchar(b[i])});
            }
        }
        expected.index.append(
            sum == 0 ? 'A' : char(std::min<long>('~', 74 + std::lround(std::log2(sum / 255)))));
    }
    return expected;
}

TEST(SegmentCompare, SegmentSizesAndLetters) {
    const struct {
        qint64 length;
        qint64 segment;
    } sizes[] = {
        {1, 8},
        {96, 8},
        {97, 16},
        {256, 16},
        {257, 32},
        {1024, 32},
        {1025, 128},
        {4096, 128},
        {4097, 256},
        {8192, 256},
        {8193, 512},
        {65536, 2048},
        {65537, 4096},
        {2097152, 65536},
        {2097153, 131072},
        {4194304, 131072},
        {4194305, 262144},
        {qint64(1) << 30, qint64(1) << 25},
        {(qint64(1) << 32) + 1, qint64(1) << 28},
    };
    for (const auto& test : sizes) {
        EXPECT_EQ(SegmentSize(test.length), test.segment) << test.length;
    }
    EXPECT_EQ(SimilarityLetter(0), 'A');
    EXPECT_EQ(SimilarityLetter(1), 'B');
    EXPECT_EQ(SimilarityLetter(255), 'J');
    EXPECT_EQ(SimilarityLetter(255ULL * 131072), '[');  // the one after Z
    EXPECT_EQ(SimilarityLetter(~0ULL), '~');
    EXPECT_EQ(OffsetHex(5), "00000005");
    EXPECT_EQ(OffsetHex(0x1ABCDEF01, 16), "00000001ABCDEF01");
    EXPECT_EQ(ByteHex(0xA), "0A");
}

class StreamCompareStop : public ::testing::Test {
protected:
    TestDir m_dir;
};

class FileComparer : public ::testing::Test {
protected:
    // Compares two contents written as files a and b.
    void Compare(const QByteArray& a, const QByteArray& b) {
        m_doc.SetPath(0, m_dir.Write("a.bin", a));
        m_doc.SetPath(1, m_dir.Write("b.bin", b));
        m_doc.Compare();
    }
    // The compared part of a side, edits included, as hexadecimal text.
    QByteArray CopyText(int side) const {
        return BytesToHexText(m_doc.Side(side).table.Read(0, m_doc.CommonLength()));
    }
    TestDir m_dir;
    TFileComparer m_doc;
};

TEST_F(FileComparer, IdenticalFilesGiveOnlyA) {
    const QByteArray content = Pattern(1000);
    m_doc.SetPath(0, m_dir.Write("a.bin", content));
    m_doc.SetPath(1, m_dir.Write("b.bin", content));
    QList<int> percents;
    m_doc.Compare([&](int percent) { percents.append(percent); });
    EXPECT_EQ(m_doc.Segment(), 32);
    EXPECT_EQ(m_doc.SegmentText(), "32 Bytes");
    EXPECT_EQ(m_doc.Index(), QByteArray(32, 'A'));
    EXPECT_TRUE(m_doc.Report().isEmpty());
    EXPECT_EQ(percents.last(), 100);
    EXPECT_FALSE(m_doc.Modified(0));
    EXPECT_FALSE(m_doc.Modified(1));
    EXPECT_EQ(CopyText(0), content.toHex().toUpper());
    for (int i = 0; i < 256; ++i) {
        EXPECT_FALSE(m_doc.Marked(0, i));
    }
}

TEST_F(FileComparer, ReportsTheSegmentsAndTheFirstDifferences) {
    const struct {
        const char* name;
        QByteArray a, b;
    } cases[] = {
        {"byte 5 differs by 1", QByteArray(40, 'x'), QByteArray(40, 'x').replace(5, 1, "y")},
        {"100 and 60 bytes", Pattern(100, 1), Pattern(60, 2)},
        {"more than 64 differences", Pattern(3000, 3), Pattern(3000, 4)},
        {"scattered", Pattern(5000, 5),
         [] {
             QByteArray b = Pattern(5000, 5);
             for (int at : {0, 17, 4095, 4999}) {
                 b[at] = char(b[at] ^ 0x80);
             }
             return b;
         }()},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        Compare(test.a, test.b);
        const TExpected expected = Expected(test.a, test.b);
        EXPECT_EQ(m_doc.Index(), expected.index);
        EXPECT_EQ(m_doc.Report(), expected.differences.mid(0, 64));
        const qint64 common = std::min(test.a.size(), test.b.size());
        EXPECT_EQ(CopyText(0), test.a.left(common).toHex().toUpper());
        EXPECT_EQ(CopyText(1), test.b.left(common).toHex().toUpper());
    }
    Compare(QByteArray(40, 'x'), QByteArray(40, 'x').replace(5, 1, "y"));
    EXPECT_EQ(m_doc.Index(), "BAAAA");
    ASSERT_EQ(m_doc.Report().size(), 1);
    EXPECT_EQ(OffsetHex(m_doc.Report()[0].offset), "00000005");
    // Both sides' text cells are marked where the bytes differ.
    EXPECT_TRUE(m_doc.Marked(0, 5));
    EXPECT_TRUE(m_doc.Marked(1, 5));
    EXPECT_FALSE(m_doc.Marked(1, 4));

    Compare(Pattern(100, 1), Pattern(60, 2));
    EXPECT_EQ(m_doc.Segment(), 8);
    EXPECT_EQ(m_doc.Index().size(), 8);
    EXPECT_EQ(m_doc.PageLength(), 120);
    EXPECT_EQ(m_doc.LastTopRow(), 0);
}

TEST_F(FileComparer, RefusalsAndFilesPastFourMegabytes) {
    const qint64 kOldLimit = 4194304;
    const QString empty = m_dir.Write("empty.bin", "");
    const QString small = m_dir.Write("small.bin", "abc");
    const QString limit = m_dir.Sub("limit.bin");
    const QString over = m_dir.Sub("over.bin");
    ASSERT_TRUE(file_tool_test::MakeSparse(limit, kOldLimit, "z"));
    ASSERT_TRUE(file_tool_test::MakeSparse(over, kOldLimit + 1, "z"));
    ASSERT_TRUE(file_tool_test::MakeFifo(m_dir.Sub("fifo")));
    const struct {
        const char* name;
        QString a, b;
        const char* message;
    } cases[] = {
        {"A empty", empty, small, "The file size cannot be zero!"},
        {"B empty", small, empty, "The file size cannot be zero!"},
        {"past the old limit", over, over, ""},
        {"B missing", small, m_dir.Sub("missing"), "The file size cannot be zero!"},
        {"B a FIFO", small, m_dir.Sub("fifo"), "The file size cannot be zero!"},
        {"at the limit", limit, limit, ""},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        m_doc.SetPath(0, test.a);
        m_doc.SetPath(1, test.b);
        EXPECT_EQ(ErrorOf([&] { m_doc.Compare(); }), test.message);
        EXPECT_EQ(m_doc.Loaded(0), QByteArray(test.message).isEmpty());
        EXPECT_EQ(m_doc.Index().isEmpty(), !QByteArray(test.message).isEmpty());
    }
    EXPECT_EQ(m_doc.Index(), QByteArray(32, 'A'));
}

TEST_F(FileComparer, AFileIsMeasuredAgainWhenTheComparisonStarts) {
    m_doc.SetPath(0, m_dir.Write("a.bin", QByteArray(100, 'a')));
    m_doc.SetPath(1, m_dir.Write("b.bin", QByteArray(100, 'a')));
    EXPECT_EQ(m_doc.Side(0).size, 100);
    // A grows to 300 bytes after it was chosen: all of it counts.
    m_dir.Write("a.bin", QByteArray(300, 'a'));
    m_dir.Write("b.bin", QByteArray(300, 'b'));
    m_doc.Compare();
    EXPECT_EQ(m_doc.Side(0).size, 300);
    EXPECT_EQ(m_doc.CommonLength(), 300);
    EXPECT_EQ(m_doc.Segment(), 32);
    EXPECT_EQ(m_doc.PlainSizeText(0), "[300 Bytes]");
}

TEST_F(FileComparer, SavingASideKeepsTheRestOfItsFile) {
    const QByteArray a = Pattern(100, 7);
    const QByteArray b = Pattern(60, 8);
    Compare(a, b);
    // Unedited, the longer side saves as an exact copy of its source.
    const QString copyA = m_dir.Sub("copy-a.bin");
    m_doc.Save(0, copyA);
    EXPECT_EQ(m_dir.Read("copy-a.bin"), a);
    EXPECT_EQ(m_doc.Side(0).path, copyA);

    // Edited in place: the edit, then the bytes beyond the compared 60.
    ASSERT_TRUE(m_doc.SelectData(0, 3, 2));  // byte 50
    ASSERT_TRUE(m_doc.SelectText(0, 3, 2));
    m_doc.CommitHex(0, "EE");
    EXPECT_TRUE(m_doc.Modified(0));
    EXPECT_FALSE(m_doc.Modified(1));
    m_doc.Save(0, copyA);
    QByteArray expected = a;
    expected[50] = '\xEE';
    EXPECT_EQ(m_dir.Read("copy-a.bin"), expected);
    EXPECT_FALSE(m_doc.Modified(0));

    // Side B through its text editor.
    ASSERT_TRUE(m_doc.SelectText(1, 0, 1));
    EXPECT_EQ(m_doc.CommitText(1, "Z"), "5A");
    EXPECT_TRUE(m_doc.Modified(1));
    m_doc.Save(1, m_dir.Sub("b.bin"));
    QByteArray expectedB = b;
    expectedB[1] = 'Z';
    EXPECT_EQ(m_dir.Read("b.bin"), expectedB);

    // A destination that may not be replaced is refused, and nothing changes.
    m_dir.MakeDir("folder");
    ASSERT_TRUE(m_doc.SelectData(1, 0, 0));
    m_doc.CommitHex(1, "00");
    EXPECT_EQ(ErrorOf([&] { m_doc.Save(1, m_dir.Sub("folder")); }), "Cannot delete folder");
    EXPECT_TRUE(m_doc.Modified(1));
    // A source removed meanwhile is still open: the side saves whole, nothing truncated.
    QFile::remove(m_dir.Sub("b.bin"));
    m_doc.Save(1, m_dir.Sub("elsewhere.bin"));
    expectedB[0] = '\0';
    EXPECT_EQ(m_dir.Read("elsewhere.bin"), expectedB);
    EXPECT_FALSE(m_doc.Modified(1));
}

TEST_F(FileComparer, TimestampWarningOnTheFourthTickWithAChange) {
    m_dir.Write("a.bin", "aaaa");
    m_dir.Write("b.bin", "bbbb");
    const QDateTime old = QDateTime::currentDateTime().addSecs(-100);
    m_dir.SetTimes("a.bin", old);
    m_dir.SetTimes("b.bin", old);
    EXPECT_EQ(m_doc.CheckTimestamps(), 0);  // before any comparison
    m_doc.SetPath(0, m_dir.Sub("a.bin"));
    m_doc.SetPath(1, m_dir.Sub("b.bin"));
    m_doc.Compare();
    EXPECT_EQ(m_doc.CheckTimestamps(), 0);
    m_dir.SetTimes("b.bin", QDateTime::currentDateTime());
    QList<int> ticks;
    for (int i = 0; i < 8; ++i) {
        ticks.append(m_doc.CheckTimestamps());
    }
    EXPECT_EQ(ticks, (QList<int>{0, 0, 0, 2, 0, 0, 0, 2}));
    m_dir.SetTimes("a.bin", QDateTime::currentDateTime());
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(m_doc.CheckTimestamps(), 0);
    }
    EXPECT_EQ(m_doc.CheckTimestamps(), 3);
    EXPECT_STREQ(kCompareTimestampTexts[3], "The timestamp for both files has changed");
    m_doc.Compare();
    EXPECT_EQ(m_doc.CheckTimestamps(), 0);
}

TEST_F(FileComparer, PagesSegmentRowsAndReset) {
    Compare(Pattern(4000, 1), Pattern(4000, 1));
    EXPECT_EQ(m_doc.LastTopRow(), 250 - 16);
    EXPECT_EQ(m_doc.SegmentRow(3), 3 * 128 / 16);
    EXPECT_EQ(m_doc.SegmentRow(32), -1);
    m_doc.ShowPage(m_doc.LastTopRow() + 5);  // held at the last top row
    EXPECT_EQ(m_doc.TopRow(), m_doc.LastTopRow());
    EXPECT_EQ(m_doc.RowOffsetText(15), "00000F90");
    EXPECT_FALSE(m_doc.CanGoDown());
    EXPECT_TRUE(m_doc.CanPageUp());
    m_doc.Reset();
    EXPECT_FALSE(m_doc.Loaded(0));
    EXPECT_TRUE(m_doc.Side(0).path.isEmpty());
    EXPECT_EQ(m_doc.TopRow(), 0);
    EXPECT_EQ(m_doc.CheckTimestamps(), 0);
}

// Files past the old 4 MiB limit: the report lists the first 64 differences, and the
// neighbouring difference of any byte is found anywhere, edits included.
TEST_F(FileComparer, DifferencesAnywhereInLargeFiles) {
    const qint64 size = qint64(8) << 20;
    QByteArray a = Pattern(size, 3);
    QByteArray b = a;
    for (int i = 1000; i < 1100; ++i) {
        b[i] = char(~b[i]);
    }
    const qint64 far = qint64(7) << 20;
    b[far] = char(b[far] + 1);
    Compare(a, b);
    EXPECT_EQ(m_doc.CommonLength(), size);
    EXPECT_EQ(m_doc.Report().size(), 64);
    EXPECT_EQ(m_doc.Report().last().offset, 1063);
    EXPECT_EQ(m_doc.Index().size(), 32);
    EXPECT_EQ(m_doc.FindDifference(-1, true), 1000);
    EXPECT_EQ(m_doc.FindDifference(1099, true), far);
    EXPECT_EQ(m_doc.FindDifference(far, true), std::nullopt);
    EXPECT_EQ(m_doc.FindDifference(far, false), 1099);
    EXPECT_EQ(m_doc.FindDifference(1000, false), std::nullopt);
    EXPECT_EQ(m_doc.RowShowing(far), far / 16);
    EXPECT_EQ(m_doc.RowShowing(size - 1), m_doc.LastTopRow());
    // An edit that makes byte 1000 equal moves the first difference on.
    m_doc.ShowPage(1000 / 16);
    ASSERT_TRUE(m_doc.SelectData(1, 0, 1000 % 16));
    m_doc.CommitHex(1, QString::fromLatin1(a.mid(1000, 1).toHex()));
    EXPECT_EQ(m_doc.FindDifference(-1, true), 1001);
    EXPECT_TRUE(m_doc.Modified(1));
}

TEST_F(StreamCompareStop, AStopAskedForEndsTheComparisonEarly) {
    const QByteArray content = Pattern(qint64(4) << 20, 1);
    TFileStreamComparer comparer(m_dir.Write("a.bin", content), m_dir.Write("b.bin", content));
    TCompareControl control;
    control.stop = true;
    comparer.Run(kReportedDifferences, {}, &control);
    EXPECT_TRUE(comparer.Stopped());
    TCompareControl counting;
    comparer.Run(kReportedDifferences, {}, &counting);
    EXPECT_FALSE(comparer.Stopped());
    EXPECT_EQ(counting.done, content.size());
}

TEST(CompareSettings, StoredFieldsRoundTrip) {
    TestDir dir;
    TCompareSettings settings;
    settings.pathA = dir.Write("x/a.bin", "a");
    settings.pathB = dir.Write("y/b.bin", "b");
    settings.page = 1;
    const std::optional<TCompareSettings> back =
        ParseCompareSettings(CompareSettingsText(settings));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->pathA, settings.pathA);
    EXPECT_EQ(back->pathB, settings.pathB);
    EXPECT_EQ(back->openFolder, dir.Sub("x") + "/");
    EXPECT_EQ(back->saveFolder, dir.Sub("y") + "/");
    EXPECT_EQ(back->page, 1);
    EXPECT_FALSE(ParseCompareSettings("a|b|1|"));
    const std::optional<TCompareSettings> odd = ParseCompareSettings("/gone/a|/gone/b|7|0|");
    ASSERT_TRUE(odd);
    EXPECT_EQ(odd->pathA, "");
    EXPECT_EQ(odd->page, 0);
}

// ---- the streamed comparison --------------------------------------------------------------

class StreamCompare : public ::testing::Test {
protected:
    TestDir m_dir;
};

TEST_F(StreamCompare, OneAndTwoHalvesAgreeWithAByteLoop) {
    // 20 MiB runs in two halves, past several read blocks; the small one in one pass.
    for (const qint64 size : {qint64(5000), qint64(20) << 20}) {
        QByteArray a = Pattern(size, 11);
        QByteArray b = a;
        std::mt19937 generator(12);
        for (int i = 0; i < 200; ++i) {
            const qint64 at = generator() % size;
            b[at] = static_cast<char>(b[at] + 1 + generator() % 200);
        }
        b.append("tail");
        const QString pathA = m_dir.Write("a.bin", a);
        const QString pathB = m_dir.Write("b.bin", b);
        const TExpected expected = Expected(a, b);
        {
            SCOPED_TRACE(QStringLiteral("%1 bytes").arg(size).toStdString());
            TFileStreamComparer comparer(pathA, pathB);
            EXPECT_EQ(comparer.Length(), size);
            EXPECT_EQ(comparer.SizeB(), size + 4);
            QList<TDifference> told;
            comparer.Run(64, [&](const TDifference& d) { told.append(d); });
            EXPECT_EQ(comparer.Index(), expected.index);
            EXPECT_EQ(comparer.Listed(), expected.differences.mid(0, 64));
            EXPECT_EQ(told, comparer.Listed());
            EXPECT_EQ(comparer.DifferingBytes(), expected.differences.size());
            EXPECT_FALSE(comparer.Equal());
            // Every difference, in order.
            TFileStreamComparer all(pathA, pathB);
            QList<TDifference> every;
            all.Run(-1, [&](const TDifference& d) { every.append(d); });
            EXPECT_EQ(every, expected.differences);
            EXPECT_EQ(all.Index(), expected.index);
        }
    }
}

TEST_F(StreamCompare, EqualFilesAndRefusals) {
    const QString a = m_dir.Write("a.bin", "same");
    const QString b = m_dir.Write("b.bin", "same");
    TFileStreamComparer equal(a, b);
    equal.Run(64);
    EXPECT_TRUE(equal.Equal());
    EXPECT_EQ(equal.Index(), "A");
    const QString e1 = m_dir.Write("e1", "");
    const QString e2 = m_dir.Write("e2", "");
    TFileStreamComparer empty(e1, e2);
    empty.Run(64);
    EXPECT_TRUE(empty.Equal());
    EXPECT_EQ(empty.Index(), "");

    m_dir.MakeDir("folder");
    EXPECT_EQ(ErrorOf([&] { TFileStreamComparer(a, m_dir.Sub("missing")); }),
              m_dir.Sub("missing") + ": No such file or directory");
    EXPECT_EQ(ErrorOf([&] { TFileStreamComparer(m_dir.Sub("folder"), a); }),
              m_dir.Sub("folder") + ": Not a regular file");
}

TEST_F(StreamCompare, AFileThatShrinksWhileComparedIsAnErrorNotGarbage) {
    {
        const QByteArray content = Pattern(qint64(3) << 20, 21);
        const QString a = m_dir.Write("a.bin", content);
        const QString b = m_dir.Write("b.bin", content);
        TFileStreamComparer comparer(a, b);
        // B is cut after both were opened and measured.
        ASSERT_EQ(truncate(file_tool_test::Native(b).constData(), 1000), 0);
        EXPECT_EQ(ErrorOf([&] { comparer.Run(64); }), b + " shrank while it was being compared");
    }
}

}  // namespace
