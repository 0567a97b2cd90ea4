// Split: piece sizes and names, the refusals and their order, failures part-way, the
// quick picks and the stored settings.
#include "base/bar_list.h"
#include "base/settings_codec.h"
#include "support/test_dir.h"
#include "support/test_host.h"
#include "tools/common/file_io.h"
#include "tools/common/file_tool_test_support.h"
#include "tools/split/splitter.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>

#include <sys/stat.h>

#include <gtest/gtest.h>

namespace {

using namespace file_tool_test;

QByteArray Content(int size) {
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>('a' + i % 26);
    }
    return bytes;
}

TSplitRequest Request(const TestDir& dir, qint64 pieceSize, int maxCount = kDefaultFileCount) {
    TSplitRequest request;
    request.source = dir.Sub("src/movie.avi");
    request.destFolder = dir.Sub("out");
    request.pieceSize = pieceSize;
    request.maxCount = maxCount;
    return request;
}

TEST(Split, PieceSizesCountsAndRefusals) {
    struct Case {
        const char* name;
        int sourceSize;
        qint64 pieceSize;
        int maxCount;
        QList<int> pieces;    // sizes of .001, .002, ...; empty when refused
        QList<int> progress;  // the percentages reported
        const char* message;  // the refusal, or nullptr
    };
    const Case cases[] = {
        {"rest in the last piece", 100, 30, 16, {30, 30, 30, 10}, {25, 50, 75, 100}, nullptr},
        {"exact multiple", 90, 30, 16, {30, 30, 30}, {33, 67, 100}, nullptr},
        {"count at the limit", 100, 30, 4, {30, 30, 30, 10}, {25, 50, 75, 100}, nullptr},
        {"halves round to even",
         800,
         100,
         16,
         {100, 100, 100, 100, 100, 100, 100, 100},
         {12, 25, 38, 50, 62, 75, 88, 100},
         nullptr},
        {"too many pieces", 100, 30, 3, {}, {}, kSplitTooManyMessage},
        {"piece as big as the source", 100, 100, 16, {}, {}, kSplitTooSmallMessage},
        {"piece bigger than the source", 100, 200, 16, {}, {}, kSplitTooSmallMessage},
        {"empty source", 0, 10, 16, {}, {}, kSplitTooSmallMessage},
        {"piece size 0", 100, 0, 16, {}, {}, kSplitZeroPieceMessage},
        {"piece size 0, empty source", 0, 0, 16, {}, {}, kSplitZeroPieceMessage},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestDir dir;
        const QByteArray content = Content(c.sourceSize);
        dir.Write("src/movie.avi", content);
        dir.MakeDir("out");
        QList<int> progress;
        const QString error = ErrorOf([&] {
            EXPECT_EQ(Split(Request(dir, c.pieceSize, c.maxCount),
                            [&](int percent) { progress << percent; }),
                      c.pieces.size());
        });
        EXPECT_EQ(error, c.message ? QString(c.message) : QString());
        EXPECT_EQ(progress, c.progress);
        QStringList expectedNames;
        QByteArray joined;
        for (int n = 1; n <= c.pieces.size(); ++n) {
            const QString name = QStringLiteral("movie.avi.%1").arg(n, 3, 10, QChar('0'));
            expectedNames << name;
            EXPECT_EQ(dir.Read("out/" + name).size(), c.pieces[n - 1]) << name.toStdString();
            joined += dir.Read("out/" + name);
        }
        EXPECT_EQ(Names(dir.Sub("out")), expectedNames);
        if (!c.pieces.isEmpty()) {
            EXPECT_EQ(joined, content);
        }
        EXPECT_EQ(dir.Read("src/movie.avi"), content);
    }
}

TEST(Split, SourceThatCannotBeRead) {
    TestDir dir;
    dir.MakeDir("out");
    dir.MakeDir("src/folder");
    ASSERT_TRUE(MakeFifo(dir.Sub("src/fifo")));
    for (const QString& source :
         {QString(), dir.Sub("src/missing"), dir.Sub("src/folder"), dir.Sub("src/fifo")}) {
        TSplitRequest request = Request(dir, 0);  // the source is checked first
        request.source = source;
        EXPECT_EQ(ErrorOf([&] { Split(request); }), kSplitNoSourceMessage) << source.toStdString();
    }
    EXPECT_TRUE(Names(dir.Sub("out")).isEmpty());
}

TEST(Split, SizesAreSixtyFourBits) {
    // 4 GiB + 10 bytes in 1 MiB pieces is 4097 pieces; read as 32 bits it would be one
    // 10-byte "file too small".
    TestDir dir;
    dir.MakeDir("out");
    dir.MakeDir("src");
    ASSERT_TRUE(MakeSparse(dir.Sub("src/movie.avi"), 4294967306LL, "tail"));
    EXPECT_EQ(PieceCount(4294967306LL, kMegabyte), 4097);
    EXPECT_EQ(ErrorOf([&] { Split(Request(dir, kMegabyte, kMaxFileCount)); }),
              kSplitTooManyMessage);
    EXPECT_TRUE(Names(dir.Sub("out")).isEmpty());
}

TEST(Split, ExistingPieceStopsWithoutOverwrite) {
    TestDir dir;
    dir.Write("src/movie.avi", Content(100));
    const QString third = dir.Write("out/movie.avi.003", "keep me");
    const QString error = ErrorOf([&] { Split(Request(dir, 30)); });
    EXPECT_EQ(error, QStringLiteral("%1 already exists").arg(third));
    EXPECT_EQ(Names(dir.Sub("out")),
              QStringList({"movie.avi.001", "movie.avi.002", "movie.avi.003"}));
    EXPECT_EQ(dir.Read("out/movie.avi.003"), "keep me");

    // With overwrite the old piece is replaced; a stale .005 from an earlier split stays.
    dir.Write("out/movie.avi.005", "stale");
    TSplitRequest request = Request(dir, 30);
    request.overwrite = true;
    EXPECT_EQ(Split(request), 4);
    EXPECT_EQ(dir.Read("out/movie.avi.003"), Content(100).mid(60, 30));
    EXPECT_EQ(dir.Read("out/movie.avi.005"), "stale");
}

TEST(Split, PieceNames) {
    EXPECT_EQ(PieceName("/media/out", "/home/u/movie.avi", 1), "/media/out/movie.avi.001");
    EXPECT_EQ(PieceName("/media/out/", "/home/u/movie.avi", 12), "/media/out/movie.avi.012");
    EXPECT_EQ(PieceName("/", "/home/u/movie.avi", 1), "/movie.avi.001");
    EXPECT_EQ(PieceName("/out", "movie", 999), "/out/movie.999");
    EXPECT_EQ(PieceName("/out", "movie", 1000), "/out/movie.1000");
}

TEST(Split, ThousandthPieceHasFourDigits) {
    TestDir dir;
    dir.Write("src/movie.avi", Content(1001));
    dir.MakeDir("out");
    EXPECT_EQ(Split(Request(dir, 1, kMaxFileCount)), 1001);
    EXPECT_EQ(dir.Read("out/movie.avi.999"), Content(1001).mid(998, 1));
    EXPECT_EQ(dir.Read("out/movie.avi.1000"), Content(1001).mid(999, 1));
    EXPECT_EQ(dir.Read("out/movie.avi.1001"), Content(1001).mid(1000, 1));
    EXPECT_EQ(Names(dir.Sub("out")).size(), 1001);
}

TEST(Split, PieceThatCannotBeWritten) {
    TestDir dir;
    dir.Write("src/movie.avi", Content(100));

    // No destination folder: the first piece fails and nothing is written.
    EXPECT_EQ(ErrorOf([&] { Split(Request(dir, 30)); }),
              QStringLiteral("Could not write %1: No such file or directory")
                  .arg(dir.Sub("out/movie.avi.001")));

    // A folder in the place of piece .002, with and without overwrite.
    dir.MakeDir("out/movie.avi.002");
    for (bool overwrite : {false, true}) {
        TSplitRequest request = Request(dir, 30);
        request.overwrite = overwrite;
        EXPECT_EQ(
            ErrorOf([&] { Split(request); }),
            QStringLiteral("Could not write %1: Is a directory").arg(dir.Sub("out/movie.avi.002")));
        EXPECT_EQ(Names(dir.Sub("out")), QStringList({"movie.avi.001", "movie.avi.002"}));
    }
}

TEST(Split, FailedPieceLeavesNoPartialFile) {
    TestDir dir;
    dir.Write("src/movie.avi", Content(5000));
    dir.MakeDir("out");
    {
        // A write limit below one piece: the first piece fails part-way.
        TWriteLimit limit(1500);
        // The system's reason is named with the piece.
        EXPECT_EQ(
            ErrorOf([&] { Split(Request(dir, 2000)); }),
            QStringLiteral("Could not write %1: File too large").arg(dir.Sub("out/movie.avi.001")));
    }
    EXPECT_TRUE(Names(dir.Sub("out")).isEmpty());

    // The source shrinks after the first piece: reading fails, the piece being written is
    // not left behind, the first piece stays.
    const QString source = dir.Sub("src/movie.avi");
    const QString error =
        ErrorOf([&] { Split(Request(dir, 2000), [&](int) { QFile::resize(source, 2500); }); });
    EXPECT_EQ(error, QStringLiteral("Error \"Unexpected end of file\" while splitting %1")
                         .arg(dir.Sub("out/movie.avi.002")));
    EXPECT_EQ(Names(dir.Sub("out")), QStringList({"movie.avi.001"}));
}

TEST(Split, NamesThatAreNotUtf8) {
    TestDir dir;
    const QString folder = dir.Sub(Latin1Name("out", ""));
    ASSERT_EQ(mkdir(Native(folder).constData(), 0700), 0);
    TSplitRequest request;
    request.source = dir.Sub(Latin1Name());
    request.destFolder = folder;
    request.pieceSize = 30;
    ASSERT_TRUE(WriteNative(request.source, Content(100)));

    EXPECT_EQ(Split(request), 4);
    // The pieces carry the source name's own bytes.
    EXPECT_EQ(NativeNames(folder), QList<QByteArray>({"caf\xE9.bin.001", "caf\xE9.bin.002",
                                                      "caf\xE9.bin.003", "caf\xE9.bin.004"}));
    EXPECT_EQ(ReadNative(PieceName(folder, request.source, 2)), Content(100).mid(30, 30));
    EXPECT_EQ(ReadNative(PieceName(folder, request.source, 4)), Content(100).mid(90));
    // A message shows the name readably, its raw byte as \xE9.
    EXPECT_EQ(ErrorOf([&] { Split(request); }),
              QStringLiteral("%1/out\\xE9/caf\\xE9.bin.001 already exists").arg(dir.Path()));
}

TEST(Split, NeverReplacesASpecialFileInThePlaceOfAPiece) {
    for (const bool fifo : {true, false}) {
        SCOPED_TRACE(fifo ? "fifo" : "socket");
        TestDir dir;
        dir.Write("src/movie.avi", Content(100));
        dir.MakeDir("out");
        const QString piece = dir.Sub("out/movie.avi.002");
        ASSERT_TRUE(fifo ? MakeFifo(piece) : MakeSocket(piece));
        TSplitRequest request = Request(dir, 30);
        request.overwrite = true;
        EXPECT_EQ(ErrorOf([&] { Split(request); }),
                  QStringLiteral("Could not write %1: Not a regular file").arg(piece));
        EXPECT_EQ(KindOf(piece), fifo ? S_IFIFO : S_IFSOCK);
        EXPECT_EQ(Names(dir.Sub("out")), QStringList({"movie.avi.001", "movie.avi.002"}));
    }
}

// The SHA-256 of bytes in upper-case hex, as the checksum list holds it.
QByteArray Sha256Hex(const QByteArray& bytes) {
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex().toUpper();
}

TEST(Split, ChecksumListHoldsEveryPieceThenTheWholeFile) {
    TestDir dir;
    const QByteArray content = Content(100);
    dir.Write("src/movie.avi", content);
    dir.MakeDir("out");
    TSplitRequest request = Request(dir, 30);
    request.checksumList = true;
    QList<int> progress;
    EXPECT_EQ(Split(request, [&](int percent) { progress << percent; }), 4);
    EXPECT_EQ(progress, QList<int>({25, 50, 75, 100}));
    EXPECT_EQ(Names(dir.Sub("out")), QStringList({"movie.avi.001", "movie.avi.002", "movie.avi.003",
                                                  "movie.avi.004", "movie.avi.sha256"}));
    EXPECT_EQ(dir.Read("out/movie.avi.sha256"),
              Sha256Hex(content.mid(0, 30)) + "  movie.avi.001\n" + Sha256Hex(content.mid(30, 30)) +
                  "  movie.avi.002\n" + Sha256Hex(content.mid(60, 30)) + "  movie.avi.003\n" +
                  Sha256Hex(content.mid(90)) + "  movie.avi.004\n# " + Sha256Hex(content) +
                  "  movie.avi\n");
    EXPECT_EQ(dir.Read("out/movie.avi.004"), content.mid(90));
    EXPECT_EQ(ChecksumListName(dir.Sub("out") + "/", "/x/y.bin"), dir.Sub("out/y.bin.sha256"));

    // With overwrite a later split replaces the list; without the option none is written.
    const QByteArray other = Content(70);
    dir.Write("src/movie.avi", other);
    request.overwrite = true;
    EXPECT_EQ(Split(request), 3);
    EXPECT_TRUE(
        dir.Read("out/movie.avi.sha256").endsWith("\n# " + Sha256Hex(other) + "  movie.avi\n"));
    dir.MakeDir("plain");
    request.destFolder = dir.Sub("plain");
    request.checksumList = false;
    EXPECT_EQ(Split(request), 3);
    EXPECT_EQ(Names(dir.Sub("plain")),
              QStringList({"movie.avi.001", "movie.avi.002", "movie.avi.003"}));
}

TEST(Split, AChecksumListThatMayNotBeWrittenStopsTheSplitBeforeAnyPiece) {
    TestDir dir;
    dir.Write("src/movie.avi", Content(100));
    const QString list = dir.Write("out/movie.avi.sha256", "old list");
    TSplitRequest request = Request(dir, 30);
    request.checksumList = true;
    EXPECT_EQ(ErrorOf([&] { Split(request); }), QStringLiteral("%1 already exists").arg(list));
    EXPECT_EQ(Names(dir.Sub("out")), QStringList({"movie.avi.sha256"}));
    EXPECT_EQ(dir.Read("out/movie.avi.sha256"), "old list");

    // A folder, or a FIFO, in the list's place is never replaced, even with overwrite.
    ASSERT_TRUE(QFile::remove(list));
    dir.MakeDir("out/movie.avi.sha256");
    request.overwrite = true;
    EXPECT_EQ(ErrorOf([&] { Split(request); }),
              QStringLiteral("Could not write %1: Is a directory").arg(list));
    EXPECT_EQ(Names(dir.Sub("out")), QStringList({"movie.avi.sha256"}));
    ASSERT_TRUE(QDir(list).removeRecursively());
    ASSERT_TRUE(MakeFifo(list));
    EXPECT_EQ(ErrorOf([&] { Split(request); }),
              QStringLiteral("Could not write %1: Not a regular file").arg(list));
    EXPECT_EQ(KindOf(list), S_IFIFO);

    // A split that stops at a piece writes no list.
    ASSERT_TRUE(QFile::remove(list));
    dir.Write("out/movie.avi.003", "keep me");
    request.overwrite = false;
    EXPECT_EQ(ErrorOf([&] { Split(request); }),
              QStringLiteral("%1 already exists").arg(dir.Sub("out/movie.avi.003")));
    EXPECT_EQ(Names(dir.Sub("out")),
              QStringList({"movie.avi.001", "movie.avi.002", "movie.avi.003"}));
}

TEST(Split, ChecksumListNamesThePiecesByTheirBytes) {
    TestDir dir;
    dir.MakeDir("out");
    for (const QByteArray& name : {QByteArray("caf\xE9.bin"), QByteArray("two\nlines")}) {
        SCOPED_TRACE(name.toStdString());
        TSplitRequest request;
        request.source = dir.Sub(DecodeNativeName(name));
        request.destFolder = dir.Sub("out");
        request.pieceSize = 60;
        request.checksumList = true;
        ASSERT_TRUE(WriteNative(request.source, Content(100)));
        EXPECT_EQ(Split(request), 2);
        const QByteArray list = ReadNative(ChecksumListName(request.destFolder, request.source));
        const QByteArray shown = name.contains('\n') ? "\\" : "";
        const QByteArray written = QByteArray(name).replace("\n", "\\n");
        EXPECT_EQ(list, shown + Sha256Hex(Content(60)) + "  " + written + ".001\n" + shown +
                            Sha256Hex(Content(100).mid(60)) + "  " + written + ".002\n# " + shown +
                            Sha256Hex(Content(100)) + "  " + written + "\n");
    }
}

TEST(Split, QuickPicks) {
    struct Case {
        int index;
        const char* text;
        qint64 bytes;
        TSizeParts parts;  // bytes, kilobytes, megabytes
    };
    const Case cases[] = {
        {1, "1Mb USB Drive", 1048576, {0, 0, 1}},
        {2, "1.2 Mb Floppy Disk", 1258291, {819, 204, 1}},
        {3, "1.44 Mb Floppy Disk", 1509949, {573, 450, 1}},
        {4, "640 Mb CD", 671088640, {0, 0, 640}},
        {5, "700 Mb CD", 734003200, {0, 0, 700}},
    };
    EXPECT_STREQ(kSplitQuickPicks[0].text, "Custom");
    for (const Case& c : cases) {
        EXPECT_STREQ(kSplitQuickPicks[c.index].text, c.text);
        EXPECT_EQ(kSplitQuickPicks[c.index].bytes, c.bytes) << c.text;
        EXPECT_EQ(SplitIntoParts(c.bytes), c.parts) << c.text;
    }
}

TEST(SplitSettings, TextAndLoadRules) {
    TestDir dir;
    const QString source = dir.Write("src/movie.avi", "x");
    const QString dest = dir.MakeDir("dest");
    TSplitSettings settings;
    settings.source = source;
    settings.destFolder = dest;
    settings.overwrite = true;
    settings.parts = {1, 2, 3};
    settings.quickPick = 3;
    settings.maxCount = 500;
    const QByteArray text = SplitSettingsText(settings);
    EXPECT_EQ(text, (source + "|" + dest + "|1|1|2|3|3|500|").toUtf8());

    const std::optional<TSplitSettings> back = ParseSplitSettings(text);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->source, source);
    EXPECT_EQ(back->sourceFolder, dir.Sub("src"));
    EXPECT_EQ(back->destFolder, dest);
    EXPECT_TRUE(back->overwrite);
    EXPECT_EQ(back->parts, (TSizeParts{1, 2, 3}));
    EXPECT_EQ(back->quickPick, 3);
    EXPECT_EQ(back->maxCount, 500);

    // Seven or nine fields: ignored entirely.
    EXPECT_FALSE(ParseSplitSettings(text.left(text.size() - 4)).has_value());
    EXPECT_FALSE(ParseSplitSettings(text + "x|").has_value());
    EXPECT_FALSE(ParseSplitSettings("").has_value());
}

TEST(SplitSettings, NamesThatAreNotUtf8ComeBack) {
    TestDir dir;
    TSplitSettings settings;
    settings.source = dir.Sub(Latin1Name());
    settings.destFolder = dir.Sub(Latin1Name("out", ""));
    ASSERT_TRUE(WriteNative(settings.source, "x"));
    ASSERT_EQ(mkdir(Native(settings.destFolder).constData(), 0700), 0);
    const QByteArray text = SplitSettingsText(settings);
    // An ordinary name is stored as UTF-8; this one as its own bytes.
    EXPECT_TRUE(text.startsWith(Native(settings.source) + '|' + Native(settings.destFolder) + '|'));
    const std::optional<TSplitSettings> back = ParseSplitSettings(text);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->source, settings.source);
    EXPECT_EQ(back->sourceFolder, dir.Path());
    EXPECT_EQ(back->destFolder, settings.destFolder);
}

TEST(SplitSettings, FieldRules) {
    TestDir dir;
    const QString folder = dir.MakeDir("src");
    struct Case {
        const char* name;
        QByteArray text;
        bool sourceKept;
        bool sourceFolderKept;
        bool destKept;
        TSizeParts parts;
        int quickPick;
        int maxCount;
    };
    const QByteArray gone = (folder + "/gone.avi").toUtf8();
    const QByteArray missingFolder = dir.Sub("nowhere").toUtf8();
    const Case cases[] = {
        {"missing source in an existing folder",
         gone + "|" + folder.toUtf8() + "|0|0|128|0|0|16|",
         false,
         true,
         true,
         {0, 128, 0},
         0,
         16},
        {"missing folders",
         missingFolder + "/a|" + missingFolder + "|0|5|6|7|2|16|",
         false,
         false,
         false,
         {5, 6, 7},
         2,
         16},
        {"numbers that are not numbers", "||1|x|y|z|q|w|", false, false, false, {0, 0, 0}, 0, 16},
        {"parts beyond the sliders",
         "||0|-1|5000|1023|1|16|",
         false,
         false,
         false,
         {0, 1023, 1023},
         1,
         16},
        {"quick pick above the list", "||0|0|0|0|6|16|", false, false, false, {0, 0, 0}, 0, 16},
        {"count above the slider", "||0|0|0|0|0|1023|", false, false, false, {0, 0, 0}, 0, 2},
        {"count below the slider", "||0|0|0|0|0|1|", false, false, false, {0, 0, 0}, 0, 2},
        {"count at the top", "||0|0|0|0|0|1022|", false, false, false, {0, 0, 0}, 0, 1022},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::optional<TSplitSettings> s = ParseSplitSettings(c.text);
        ASSERT_TRUE(s.has_value());
        EXPECT_EQ(!s->source.isEmpty(), c.sourceKept);
        EXPECT_EQ(!s->sourceFolder.isEmpty(), c.sourceFolderKept);
        EXPECT_EQ(!s->destFolder.isEmpty(), c.destKept);
        EXPECT_EQ(s->parts, c.parts);
        EXPECT_EQ(s->quickPick, c.quickPick);
        EXPECT_EQ(s->maxCount, c.maxCount);
    }
}

TEST(SplitSettings, StoredThroughTheHost) {
    TestDir dir;
    TTestHost host;
    host.OpenStores(dir.Sub("prog"));
    EXPECT_FALSE(LoadSplitSettings(host.Stores()).has_value());
    TSplitSettings settings;
    settings.destFolder = dir.Path();
    settings.maxCount = 40;
    settings.quickPick = 4;
    SaveSplitSettings(host.Stores(), settings);
    const std::optional<TSplitSettings> back = LoadSplitSettings(host.Stores());
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->destFolder, dir.Path());
    EXPECT_EQ(back->maxCount, 40);
    EXPECT_EQ(back->quickPick, 4);
    // The stored text is scrambled, not the plain fields.
    const std::optional<QByteArray> stored = host.LoadToolState(kSplitSettingsKey);
    ASSERT_TRUE(stored.has_value());
    EXPECT_FALSE(stored->contains(dir.Path().toUtf8()));
}

TEST(SplitSettings, TheChecksumListOptionHasAKeyOfItsOwn) {
    TestDir dir;
    TTestHost host;
    host.OpenStores(dir.Sub("prog"));
    EXPECT_FALSE(LoadSplitListSetting(host.Stores()));
    SaveSplitSettings(host.Stores(), TSplitSettings{});
    SaveSplitListSetting(host.Stores(), true);
    EXPECT_TRUE(LoadSplitListSetting(host.Stores()));
    // The state under "Split" keeps its eight fields.
    EXPECT_EQ(TBarList(DecodeSettings(*host.LoadToolState(kSplitSettingsKey))).Count(), 8);
    EXPECT_TRUE(LoadSplitSettings(host.Stores()).has_value());
    EXPECT_EQ(DecodeSettings(*host.LoadToolState(kSplitListSettingsKey)), "1|");
    SaveSplitListSetting(host.Stores(), false);
    EXPECT_FALSE(LoadSplitListSetting(host.Stores()));
    // A damaged or other text reads as off.
    host.SaveToolState(kSplitListSettingsKey, EncodeSettings("1|1|"));
    EXPECT_FALSE(LoadSplitListSetting(host.Stores()));
}

}  // namespace
