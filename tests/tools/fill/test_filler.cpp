// Fill: sequence and range parsing with their messages, the checks and their order, the
// three patterns' bytes, progress, safe replacement and the stored settings.
#include "base/random.h"
#include "support/test_dir.h"
#include "support/test_host.h"
#include "tools/common/file_tool_test_support.h"
#include "tools/fill/filler.h"

#include <array>

#include <sys/stat.h>

#include <gtest/gtest.h>

namespace {

using namespace file_tool_test;

TEST(FillParsing, Sequences) {
    struct Case {
        const char* text;
        QByteArray bytes;
        const char* message;
    };
    const Case cases[] = {
        {"CAFEBABE", QByteArray::fromHex("CAFEBABE"), nullptr},
        {"cafebabe", QByteArray::fromHex("CAFEBABE"), nullptr},
        {"00", QByteArray(1, '\0'), nullptr},
        {"0123456789ABCDEF", QByteArray::fromHex("0123456789ABCDEF"), nullptr},
        {"", QByteArray(), nullptr},
        {"ABC", {}, kSequenceOddMessage},
        {"0123456789ABCDEF0", {}, kSequenceOddMessage},  // odd is checked before length
        {"0123456789ABCDEF01", {}, kSequenceLongMessage},
        {"0G", {}, kSequenceHexMessage},
        {"AB 1", {}, kSequenceHexMessage},
        {"-1", {}, kSequenceHexMessage},
    };
    for (const Case& c : cases) {
        QByteArray bytes;
        const QString error = ErrorOf([&] { bytes = ParseSequence(c.text); });
        EXPECT_EQ(error, c.message ? QString(c.message) : QString()) << c.text;
        EXPECT_EQ(bytes, c.bytes) << c.text;
    }
}

TEST(FillParsing, Ranges) {
    struct Case {
        const char* from;
        const char* to;
        int low;
        int high;
        QString message;
    };
    const Case cases[] = {
        {"00", "FF", 0x00, 0xFF, {}},
        {"7F", "7F", 0x7F, 0x7F, {}},
        {"0a", "1b", 0x0A, 0x1B, {}},
        {"1FF", "FF", 0xFF, 0xFF, {}},  // held as one byte
        {"10", "0F", 0, 0, "Invalid range"},
        {"G1", "FF", 0, 0, "G1 is not valid hexadecimal"},
        {"00", "XY", 0, 0, "XY is not valid hexadecimal"},
        {"", "FF", 0, 0, " is not valid hexadecimal"},
        {"ZZ", "YY", 0, 0, "ZZ is not valid hexadecimal"},  // From is read first
    };
    for (const Case& c : cases) {
        TByteRange range{0, 0};
        const QString error = ErrorOf([&] { range = ParseRange(c.from, c.to); });
        EXPECT_EQ(error, c.message) << c.from << "-" << c.to;
        EXPECT_EQ(range.from, c.low) << c.from;
        EXPECT_EQ(range.to, c.high) << c.to;
    }
}

TEST(Fill, ChecksInOrder) {
    TestDir dir;
    const QString existing = dir.Write("existing", "old");
    struct Case {
        const char* name;
        QString dest;
        qint64 size;
        int pattern;
        const char* sequence;
        bool overwrite;
        const char* message;
    };
    const Case cases[] = {
        {"no destination", "", 0, kPatternSequence, "ABC", false, kFillNoDestMessage},
        {"destination exists", existing, 0, kPatternSequence, "ABC", false, kFillDestExistsMessage},
        {"size 0", existing, 0, kPatternSequence, "ABC", true, kFillZeroSizeMessage},
        {"size 0, all bytes", dir.Sub("new"), 0, kPatternAllBytes, "", false, kFillZeroSizeMessage},
        {"odd sequence", dir.Sub("new"), 10, kPatternSequence, "ABC", false, kSequenceOddMessage},
        {"empty sequence", dir.Sub("new"), 10, kPatternSequence, "", false, kSequenceEmptyMessage},
        {"sequence longer than the file", dir.Sub("new"), 3, kPatternSequence, "CAFEBABE", false,
         kFillShorterThanSequenceMessage},
        {"...with an old destination", existing, 3, kPatternSequence, "CAFEBABE", true,
         kFillShorterThanSequenceMessage},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TFillRequest request;
        request.destination = c.dest;
        request.size = c.size;
        request.pattern = c.pattern;
        request.sequence = c.sequence;
        request.overwrite = c.overwrite;
        EXPECT_EQ(ErrorOf([&] { Fill(request); }), c.message);
        EXPECT_EQ(Names(dir.Path()), QStringList({"existing"}));
        EXPECT_EQ(dir.Read("existing"), "old");
    }
    TFillRequest range;
    range.destination = dir.Sub("new");
    range.pattern = kPatternRange;
    range.from = "10";
    range.to = "0F";
    EXPECT_EQ(ErrorOf([&] { CheckFill(range); }), kRangeInvalidMessage);
}

QByteArray FillBytes(TestDir& dir, qint64 size, int pattern, const QString& a = {},
                     const QString& b = {}) {
    TFillRequest request;
    request.destination = dir.Sub("out");
    request.size = size;
    request.pattern = pattern;
    request.overwrite = true;
    if (pattern == kPatternSequence) {
        request.sequence = a;
    } else if (pattern == kPatternRange) {
        request.from = a;
        request.to = b;
    }
    Fill(request);
    return dir.Read("out");
}

TEST(Fill, RepeatingSequences) {
    TestDir dir;
    EXPECT_EQ(FillBytes(dir, 10, kPatternSequence, "CAFEBABE"),
              QByteArray::fromHex("CAFEBABECAFEBABECAFE"));
    EXPECT_EQ(FillBytes(dir, 2, kPatternSequence, "CAFE"), QByteArray::fromHex("CAFE"));

    // Across the chunk boundary at 65280 bytes the repetition has no seam, for every
    // sequence length (7 bytes makes a 65282-byte block).
    for (const char* sequence :
         {"AB", "ABCDEF", "0102030405", "01020304050607", "0102030405060708"}) {
        const QByteArray unit = QByteArray::fromHex(sequence);
        const qint64 size = 3 * kFillChunk + 5;
        const QByteArray bytes = FillBytes(dir, size, kPatternSequence, sequence);
        ASSERT_EQ(bytes.size(), size) << sequence;
        QByteArray expected;
        while (expected.size() < size) {
            expected += unit;
        }
        expected.truncate(size);
        EXPECT_TRUE(bytes == expected) << sequence;
    }
    const QByteArray three = FillBytes(dir, 65282, kPatternSequence, "ABCDEF");
    EXPECT_EQ(three.right(2), QByteArray::fromHex("ABCD"));
}

TEST(Fill, RandomRangeLeavesOutTo) {
    TestDir dir;
    SeedRandom(7);
    EXPECT_EQ(FillBytes(dir, 1000, kPatternRange, "7F", "7F"), QByteArray(1000, '\x7F'));

    struct Case {
        const char* from;
        const char* to;
        int low;
        int high;  // excluded
    };
    const Case cases[] = {
        {"00", "FF", 0x00, 0xFF}, {"10", "14", 0x10, 0x14}, {"FE", "FF", 0xFE, 0xFF}};
    for (const Case& c : cases) {
        const QByteArray bytes = FillBytes(dir, 1048576, kPatternRange, c.from, c.to);
        ASSERT_EQ(bytes.size(), 1048576);
        std::array<qint64, 256> counts{};
        for (char byte : bytes) {
            ++counts[static_cast<quint8>(byte)];
        }
        const double expected = 1048576.0 / (c.high - c.low);
        for (int value = 0; value < 256; ++value) {
            if (value < c.low || value >= c.high) {
                EXPECT_EQ(counts[value], 0) << c.from << "-" << c.to << " value " << value;
            } else {
                // Far inside any chance deviation for a uniform draw of a million bytes.
                EXPECT_NEAR(counts[value], expected, expected * 0.1 + 30) << "value " << value;
            }
        }
    }
}

TEST(Fill, AllBytesWhateverTheSize) {
    TestDir dir;
    QByteArray all(256, '\0');
    for (int i = 0; i < 256; ++i) {
        all[i] = static_cast<char>(i);
    }
    for (qint64 size : {1, 255, 256, 100000}) {
        EXPECT_EQ(FillBytes(dir, size, kPatternAllBytes), all) << size;
    }
}

TEST(Fill, ProgressAfterEachChunk) {
    TestDir dir;
    TFillRequest request;
    request.destination = dir.Sub("one");
    request.size = 1;
    request.sequence = "AB";
    QList<int> progress;
    Fill(request, [&](int percent) { progress << percent; });
    EXPECT_EQ(progress, QList<int>({100}));

    // Four chunks of 65280 bytes: 25, 50, 75, 100.
    request.destination = dir.Sub("four");
    request.size = 4 * kFillChunk;
    request.sequence = "CAFEBABE";
    progress.clear();
    Fill(request, [&](int percent) { progress << percent; });
    EXPECT_EQ(progress, QList<int>({25, 50, 75, 100}));

    // The all-bytes pattern reports nothing.
    request.destination = dir.Sub("all");
    request.pattern = kPatternAllBytes;
    progress.clear();
    Fill(request, [&](int percent) { progress << percent; });
    EXPECT_TRUE(progress.isEmpty());
}

TEST(Fill, ReplacesOnlyWhenComplete) {
    TestDir dir;
    const QString dest = dir.Write("dest", "old content");
    TFillRequest request;
    request.destination = dest;
    request.size = 200000;
    request.overwrite = true;
    {
        TWriteLimit limit(100000);
        // The system's reason is named with the file.
        EXPECT_EQ(ErrorOf([&] { Fill(request); }),
                  QStringLiteral("Unable to write to %1: File too large").arg(dest));
    }
    EXPECT_EQ(dir.Read("dest"), "old content");
    EXPECT_EQ(Names(dir.Path()), QStringList({"dest"}));

    EXPECT_EQ(Fill(request), 200000);
    EXPECT_EQ(dir.Read("dest").left(4), QByteArray::fromHex("CAFEBABE"));
    EXPECT_EQ(Names(dir.Path()), QStringList({"dest"}));

    request.destination = dir.Sub("nowhere/dest");
    EXPECT_EQ(ErrorOf([&] { Fill(request); }),
              QStringLiteral("Cannot write %1").arg(request.destination));
}

TEST(Fill, NamesThatAreNotUtf8) {
    TestDir dir;
    TFillRequest request;
    request.destination = dir.Sub(Latin1Name());
    request.size = 10;
    EXPECT_EQ(Fill(request), 10);
    EXPECT_EQ(ReadNative(request.destination), QByteArray::fromHex("CAFEBABECAFEBABECAFE"));
    EXPECT_EQ(NativeNames(dir.Path()), QList<QByteArray>({"caf\xE9.bin"}));
    EXPECT_EQ(ErrorOf([&] { Fill(request); }), kFillDestExistsMessage);
    request.overwrite = true;
    request.pattern = kPatternAllBytes;
    EXPECT_EQ(Fill(request), 256);
    EXPECT_EQ(ReadNative(request.destination).size(), 256);
    // Messages show the name readably.
    request.destination = dir.Sub(Latin1Name("nowhere", "/dest"));
    EXPECT_EQ(ErrorOf([&] { Fill(request); }),
              QStringLiteral("Cannot write %1/nowhere\\xE9/dest").arg(dir.Path()));
}

TEST(Fill, NeverReplacesASpecialFile) {
    TestDir dir;
    ASSERT_TRUE(MakeFifo(dir.Sub("fifo")));
    ASSERT_TRUE(MakeSocket(dir.Sub("socket")));
    ASSERT_TRUE(MakeSymLink(dir.Sub("socket"), dir.Sub("link-to-socket")));
    for (const char* name : {"fifo", "socket", "link-to-socket"}) {
        SCOPED_TRACE(name);
        TFillRequest request;
        request.destination = dir.Sub(name);
        request.size = 10;
        EXPECT_EQ(ErrorOf([&] { Fill(request); }), kFillDestExistsMessage);
        request.overwrite = true;
        if (std::string(name) == "link-to-socket") {
            // The link itself is replaced; the socket it names stays.
            EXPECT_EQ(ErrorOf([&] { Fill(request); }), "");
            continue;
        }
        EXPECT_EQ(ErrorOf([&] { Fill(request); }),
                  QStringLiteral("Cannot write %1").arg(request.destination));
    }
    EXPECT_EQ(KindOf(dir.Sub("fifo")), S_IFIFO);
    EXPECT_EQ(KindOf(dir.Sub("socket")), S_IFSOCK);
    EXPECT_EQ(KindOf(dir.Sub("link-to-socket")), S_IFREG);
    EXPECT_EQ(Names(dir.Path()), QStringList({"fifo", "link-to-socket", "socket"}));
}

TEST(Fill, QuickPicks) {
    struct Case {
        int index;
        const char* text;
        TSizeParts parts;  // bytes, kilobytes, megabytes
    };
    const Case cases[] = {
        {1, "256 Bytes", {256, 0, 0}},
        {2, "512 Bytes", {512, 0, 0}},
        {3, "1 Kilobyte", {0, 1, 0}},
        {4, "1 Megabyte", {0, 0, 1}},
    };
    EXPECT_STREQ(kFillQuickPicks[0].text, "Custom");
    for (const Case& c : cases) {
        EXPECT_STREQ(kFillQuickPicks[c.index].text, c.text);
        EXPECT_EQ(SplitIntoParts(kFillQuickPicks[c.index].bytes), c.parts) << c.text;
    }
}

TEST(FillSettings, TextAndLoadRules) {
    TestDir dir;
    TFillSettings settings;
    settings.destination = dir.Sub("not-yet.bin");
    settings.sequence = "abcd";
    settings.from = "10";
    settings.to = "20";
    settings.overwrite = true;
    settings.parts = {1, 2, 3};
    settings.quickPick = 4;
    settings.pattern = kPatternRange;
    const QByteArray text = FillSettingsText(settings);
    EXPECT_EQ(text, (dir.Sub("not-yet.bin") + "|abcd|10|20|1|1|2|3|4|1|").toUtf8());
    std::optional<TFillSettings> back = ParseFillSettings(text);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->destination, dir.Sub("not-yet.bin"));  // the file need not exist
    EXPECT_EQ(back->destFolder, dir.Path());
    EXPECT_EQ(back->sequence, "ABCD");
    EXPECT_EQ(back->from, "10");
    EXPECT_EQ(back->to, "20");
    EXPECT_TRUE(back->overwrite);
    EXPECT_EQ(back->parts, (TSizeParts{1, 2, 3}));
    EXPECT_EQ(back->quickPick, 4);
    EXPECT_EQ(back->pattern, kPatternRange);

    struct Case {
        const char* name;
        QByteArray text;
        const char* sequence;
        const char* from;
        const char* to;
        int quickPick;
        int pattern;
    };
    const Case cases[] = {
        {"damaged sequence", "|ABC|00|FF|0|0|0|0|0|0|", "CAFEBABE", "00", "FF", 0, 0},
        {"empty sequence", "||00|FF|0|0|0|0|0|0|", "CAFEBABE", "00", "FF", 0, 0},
        {"reversed range", "|01|20|10|0|0|0|0|0|0|", "01", "00", "FF", 0, 0},
        {"equal bounds", "|01|7f|7f|0|0|0|0|0|0|", "01", "7F", "7F", 0, 0},
        {"indexes above the lists", "|01|00|FF|0|0|0|0|5|3|", "01", "00", "FF", 0, 0},
        {"indexes not numbers", "|01|00|FF|0|0|0|0|x|y|", "01", "00", "FF", 0, 0},
        {"last items", "|01|00|FF|0|0|0|0|4|2|", "01", "00", "FF", 4, 2},
        {"negative pattern", "|01|00|FF|0|0|0|0|-1|-1|", "01", "00", "FF", -1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        back = ParseFillSettings(c.text);
        ASSERT_TRUE(back.has_value());
        EXPECT_EQ(back->sequence, c.sequence);
        EXPECT_EQ(back->from, c.from);
        EXPECT_EQ(back->to, c.to);
        EXPECT_EQ(back->quickPick, c.quickPick);
        EXPECT_EQ(back->pattern, c.pattern);
        EXPECT_TRUE(back->destination.isEmpty());
    }
    EXPECT_FALSE(ParseFillSettings(text + "|").has_value());
}

TEST(FillSettings, NameThatIsNotUtf8ComesBack) {
    TestDir dir;
    const QString folder = dir.Sub(Latin1Name("out", ""));
    ASSERT_EQ(mkdir(Native(folder).constData(), 0700), 0);
    TFillSettings settings;
    settings.destination = folder + '/' + Latin1Name();
    const QByteArray text = FillSettingsText(settings);
    EXPECT_TRUE(text.startsWith(Native(settings.destination) + '|'));
    const std::optional<TFillSettings> back = ParseFillSettings(text);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->destination, settings.destination);
    EXPECT_EQ(back->destFolder, folder);
}

TEST(FillSettings, StoredThroughTheHost) {
    TestDir dir;
    TTestHost host;
    host.OpenStores(dir.Sub("prog"));
    TFillSettings settings;
    settings.destination = dir.Sub("x.bin");
    settings.pattern = kPatternAllBytes;
    SaveFillSettings(host.Stores(), settings);
    const std::optional<TFillSettings> back = LoadFillSettings(host.Stores());
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->destination, dir.Sub("x.bin"));
    EXPECT_EQ(back->pattern, kPatternAllBytes);
}

}  // namespace
