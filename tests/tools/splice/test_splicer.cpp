// Splice: joining in order, the checks and their order, the destination kept intact
// until every source was copied, the list rules and the stored settings.
#include "support/test_dir.h"
#include "support/test_host.h"
#include "tools/common/file_tool_test_support.h"
#include "tools/common/sum_list.h"
#include "tools/splice/splicer.h"

#include <QCryptographicHash>
#include <QFile>

#include <sys/stat.h>

#include <gtest/gtest.h>

namespace {

using namespace file_tool_test;

TEST(Splice, JoinsInListOrder) {
    TestDir dir;
    const QString a = dir.Write("a", "abc");
    const QString empty = dir.Write("empty", "");
    const QString b = dir.Write("b", "12345");
    QStringList shown;
    EXPECT_EQ(
        Splice(dir.Sub("out"), {a, empty, b}, false, [&](const QString& path) { shown << path; }),
        8);
    EXPECT_EQ(dir.Read("out"), "abc12345");
    EXPECT_EQ(shown, QStringList({a, empty, b}));

    // A file listed twice is copied twice; overwrite replaces the old destination.
    EXPECT_EQ(Splice(dir.Sub("out"), {b, a, b}, true), 13);
    EXPECT_EQ(dir.Read("out"), "12345abc12345");
    EXPECT_EQ(Names(dir.Path()), QStringList({"a", "b", "empty", "out"}));
}

TEST(Splice, ChecksInOrder) {
    TestDir dir;
    const QString a = dir.Write("a", "aaa");
    const QString b = dir.Write("b", "bbb");
    const QString existing = dir.Write("existing", "old");
    ASSERT_TRUE(MakeHardLink(a, dir.Sub("hard")));
    ASSERT_TRUE(MakeSymLink(b, dir.Sub("soft")));
    struct Case {
        const char* name;
        QString dest;
        QStringList sources;
        bool overwrite;
        const char* message;
    };
    const Case cases[] = {
        {"no destination", "", {}, false, kSpliceNoDestMessage},
        {"one source", dir.Sub("out"), {a}, false, kSpliceTooFewMessage},
        {"destination listed", a, {a, b}, true, kSpliceDestInListMessage},
        {"destination listed through a hard link",
         dir.Sub("hard"),
         {b, a},
         true,
         kSpliceDestInListMessage},
        {"destination listed through a symbolic link",
         dir.Sub("soft"),
         {a, b},
         true,
         kSpliceDestInListMessage},
        {"destination listed, overwrite off", a, {a, b}, false, kSpliceDestInListMessage},
        {"destination exists", existing, {a, b}, false, kSpliceDestExistsMessage},
        {"destination exists as a link", dir.Sub("soft"), {a, a}, false, kSpliceDestExistsMessage},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ErrorOf([&] { Splice(c.dest, c.sources, c.overwrite); }), c.message);
        EXPECT_EQ(ErrorOf([&] { CheckSplice(c.dest, c.sources, c.overwrite); }), c.message);
    }
    EXPECT_EQ(dir.Read("a"), "aaa");
    EXPECT_EQ(dir.Read("existing"), "old");

    // Two names differing only in case are two files here.
    const QString upper = dir.Write("A", "AAA");
    EXPECT_EQ(ErrorOf([&] { Splice(upper, {a, b}, true); }), QString());
    EXPECT_EQ(dir.Read("A"), "aaabbb");
}

TEST(Splice, FailureKeepsTheOldDestination) {
    TestDir dir;
    const QString a = dir.Write("src/a", "aaa");
    const QString b = dir.Write("src/b", "bbb");
    const QString c = dir.Write("src/c", "ccc");
    dir.MakeDir("src/folder");
    ASSERT_TRUE(MakeFifo(dir.Sub("src/fifo")));
    const QString dest = dir.Write("out/dest", "precious");
    for (const QString& bad :
         {dir.Sub("src/missing"), dir.Sub("src/folder"), dir.Sub("src/fifo")}) {
        EXPECT_EQ(ErrorOf([&] {
                      Splice(dest, {a, bad, c}, true);
                  }),
                  QStringLiteral("Access to %1 failed").arg(bad));
        EXPECT_EQ(dir.Read("out/dest"), "precious");
        EXPECT_EQ(Names(dir.Sub("out")), QStringList({"dest"}));
    }

    // A source removed while the splice runs.
    EXPECT_EQ(ErrorOf([&] {
                  Splice(dest, {a, b, c}, true, [&](const QString&) { QFile::remove(c); });
              }),
              QStringLiteral("Access to %1 failed").arg(c));
    EXPECT_EQ(dir.Read("out/dest"), "precious");

    // Writing fails part-way (a write limit standing in for a full disk).
    const QString big = dir.WriteSized("src/big", 100000);
    {
        TWriteLimit limit(50000);
        EXPECT_EQ(ErrorOf([&] {
                      Splice(dest, {a, big}, true);
                  }),
                  QStringLiteral("Error \"File too large\" while building %1").arg(dest));
    }
    EXPECT_EQ(dir.Read("out/dest"), "precious");
    EXPECT_EQ(Names(dir.Sub("out")), QStringList({"dest"}));

    // No folder for the destination.
    EXPECT_EQ(ErrorOf([&] {
                  Splice(dir.Sub("nowhere/dest"), {a, b}, false);
              }),
              QStringLiteral("Cannot write %1").arg(dir.Sub("nowhere/dest")));
    // A folder in the destination's place.
    EXPECT_EQ(ErrorOf([&] {
                  Splice(dir.Sub("src/folder"), {a, b}, true);
              }),
              QStringLiteral("Cannot write %1").arg(dir.Sub("src/folder")));
}

TEST(Splice, NamesThatAreNotUtf8) {
    TestDir dir;
    const QString a = dir.Sub(Latin1Name("a"));
    const QString b = dir.Sub(Latin1Name("b"));
    const QString dest = dir.Sub(Latin1Name());
    ASSERT_TRUE(WriteNative(a, "abc"));
    ASSERT_TRUE(WriteNative(b, "12345"));
    QStringList shown;
    EXPECT_EQ(Splice(dest, {a, b, a}, false, [&](const QString& path) { shown << path; }), 11);
    EXPECT_EQ(ReadNative(dest), "abc12345abc");
    EXPECT_EQ(shown, QStringList({a, b, a}));
    EXPECT_EQ(NativeNames(dir.Path()),
              QList<QByteArray>({"a\xE9.bin", "b\xE9.bin", "caf\xE9.bin"}));
    // The checks find the files by their bytes; messages show the names readably.
    EXPECT_EQ(ErrorOf([&] { Splice(dest, {a, b}, false); }), kSpliceDestExistsMessage);
    EXPECT_EQ(ErrorOf([&] { Splice(a, {b, a}, true); }), kSpliceDestInListMessage);
    EXPECT_EQ(ErrorOf([&] {
                  Splice(dest, {a, dir.Sub(Latin1Name("gone"))}, true);
              }),
              QStringLiteral("Access to %1/gone\\xE9.bin failed").arg(dir.Path()));
    EXPECT_EQ(ReadNative(dest), "abc12345abc");
}

TEST(Splice, NeverReplacesASpecialFile) {
    TestDir dir;
    const QString a = dir.Write("a", "aaa");
    const QString b = dir.Write("b", "bbb");
    ASSERT_TRUE(MakeFifo(dir.Sub("fifo")));
    ASSERT_TRUE(MakeSocket(dir.Sub("socket")));
    ASSERT_TRUE(MakeSymLink(dir.Sub("fifo"), dir.Sub("link-to-fifo")));
    for (const char* name : {"fifo", "socket", "link-to-fifo"}) {
        SCOPED_TRACE(name);
        // Without overwrite it exists; with overwrite it cannot be replaced.
        EXPECT_EQ(ErrorOf([&] { Splice(dir.Sub(name), {a, b}, false); }), kSpliceDestExistsMessage);
        if (std::string(name) == "link-to-fifo") {
            // The link itself is replaced; the FIFO it names stays.
            EXPECT_EQ(ErrorOf([&] { Splice(dir.Sub(name), {a, b}, true); }), "");
            continue;
        }
        EXPECT_EQ(ErrorOf([&] {
                      Splice(dir.Sub(name), {a, b}, true);
                  }),
                  QStringLiteral("Cannot write %1").arg(dir.Sub(name)));
    }
    EXPECT_EQ(KindOf(dir.Sub("fifo")), S_IFIFO);
    EXPECT_EQ(KindOf(dir.Sub("socket")), S_IFSOCK);
    EXPECT_EQ(KindOf(dir.Sub("link-to-fifo")), S_IFREG);
    EXPECT_EQ(dir.Read("link-to-fifo"), "aaabbb");
    // A socket as a source is refused like a FIFO, without blocking.
    EXPECT_EQ(ErrorOf([&] {
                  Splice(dir.Sub("out"), {a, dir.Sub("socket")}, false);
              }),
              QStringLiteral("Access to %1 failed").arg(dir.Sub("socket")));
    EXPECT_EQ(Names(dir.Path()), QStringList({"a", "b", "fifo", "link-to-fifo", "socket"}));
}

// ---- the checksum list beside the pieces --------------------------------------------------

QByteArray Sha256Hex(const QByteArray& bytes) {
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex().toUpper();
}

QByteArray Content(int size) {
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>('a' + i % 26);
    }
    return bytes;
}

// Writes the pieces "movie.avi.001", ... of `content` into the folder "p" with the list
// that Split writes beside them (and, with `wholeLine`, its last line for the whole file).
// Returns the pieces' paths.
QStringList WritePieces(TestDir& dir, const QByteArray& content, int size, bool wholeLine = true) {
    QStringList pieces;
    QByteArray list;
    for (int number = 1, at = 0; at < content.size(); ++number, at += size) {
        const QString name = QStringLiteral("movie.avi.%1").arg(number, 3, 10, QChar('0'));
        pieces << dir.Write("p/" + name, content.mid(at, size));
        list += FormatSumLine(Sha256Hex(content.mid(at, size)), name.toUtf8());
    }
    if (wholeLine) {
        list += FormatSumLine(Sha256Hex(content), "movie.avi");
    }
    dir.Write("p/movie.avi.sha256", list);
    return pieces;
}

TEST(SpliceChecksumList, PiecesAreCheckedFirstAndTheWholeFileWhileJoining) {
    TestDir dir;
    const QByteArray content = Content(100);
    const QStringList pieces = WritePieces(dir, content, 30);
    QStringList checked;
    QStringList copied;
    EXPECT_EQ(Splice(
                  dir.Sub("p/movie.avi"), pieces, false,
                  [&](const QString& path) {
                      // Every piece was checked before the first was copied.
                      EXPECT_EQ(checked.size(), pieces.size());
                      copied << path;
                  },
                  [&](const QString& path) { checked << path; }),
              100);
    EXPECT_EQ(checked, pieces);
    EXPECT_EQ(copied, pieces);
    EXPECT_EQ(dir.Read("p/movie.avi"), content);

    // Lower-case digits and sha256sum's tagged lines read the same.
    QByteArray tagged;
    for (int n = 0; n < pieces.size(); ++n) {
        tagged += "SHA256 (movie.avi.00" + QByteArray::number(n + 1) +
                  ") = " + Sha256Hex(content.mid(n * 30, 30)).toLower() + "\n";
    }
    dir.Write("p/movie.avi.sha256", tagged + "# no line for the whole file\n");
    EXPECT_EQ(Splice(dir.Sub("joined"), pieces, false), 100);
    EXPECT_EQ(dir.Read("joined"), content);
}

TEST(SpliceChecksumList, RefusalsNameTheFirstFaultAndLeaveTheDestinationAlone) {
    struct Case {
        const char* name;
        // Spoils the pieces, the list or the sources; returns the message expected.
        std::function<QString(TestDir&, QStringList&)> spoil;
    };
    const auto list = [](const TestDir& dir) { return dir.Sub("p/movie.avi.sha256"); };
    const Case cases[] = {
        {"a damaged piece",
         [&](TestDir& dir, QStringList& sources) {
             dir.Write("p/movie.avi.003", Content(30));  // the same size, other bytes
             return QStringLiteral("%1 is damaged: its checksum does not match %2")
                 .arg(sources[2], list(dir));
         }},
        {"a missing piece is found before a damaged one is read",
         [&](TestDir& dir, QStringList& sources) {
             dir.Write("p/movie.avi.002", Content(30));
             QFile::remove(sources[3]);
             return QStringLiteral("%1 is missing").arg(sources[3]);
         }},
        {"a piece left out",
         [&](TestDir&, QStringList& sources) {
             const QString left = sources.takeAt(1);
             return QStringLiteral("%1 is missing from the source list").arg(left);
         }},
        {"pieces out of order",
         [&](TestDir& dir, QStringList& sources) {
             sources.swapItemsAt(0, 1);
             return QStringLiteral("%1 is out of order: the checksum list %2 puts it elsewhere")
                 .arg(dir.Sub("p/movie.avi.001"), list(dir));
         }},
        {"a piece twice",
         [&](TestDir& dir, QStringList& sources) {
             sources << sources.last();
             return QStringLiteral("%1 is out of order: the checksum list %2 puts it elsewhere")
                 .arg(sources.last(), list(dir));
         }},
        {"a source the list does not name",
         [&](TestDir& dir, QStringList& sources) {
             sources.insert(2, dir.Write("p/extra", "x"));
             return QStringLiteral("%1 is not in the checksum list %2")
                 .arg(dir.Sub("p/extra"), list(dir));
         }},
        {"the whole file's line differs",
         [&](TestDir& dir, QStringList&) {
             QByteArray text = dir.Read("p/movie.avi.sha256");
             text.replace(Sha256Hex(Content(100)), Sha256Hex("something else"));
             dir.Write("p/movie.avi.sha256", text);
             return QStringLiteral("The joined file does not match the checksum in %1")
                 .arg(list(dir));
         }},
        {"a malformed line",
         [&](TestDir& dir, QStringList&) {
             QList<QByteArray> lines = dir.Read("p/movie.avi.sha256").split('\n');
             lines[2] = "not a checksum line";
             dir.Write("p/movie.avi.sha256", lines.join('\n'));
             return QStringLiteral("The checksum list %1 is damaged at line 3").arg(list(dir));
         }},
        {"a digest of another length",
         [&](TestDir& dir, QStringList&) {
             dir.Write("p/movie.avi.sha256", "900150983cd24fb0d6963f7d28e17f72  movie.avi.001\n");
             return QStringLiteral("The checksum list %1 is damaged at line 1").arg(list(dir));
         }},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        TestDir dir;
        QStringList sources = WritePieces(dir, Content(100), 30);
        const QString dest = dir.Write("out/movie.avi", "precious");
        const QString message = test.spoil(dir, sources);
        const QStringList before = Names(dir.Sub("p"));
        QStringList copied;
        EXPECT_EQ(ErrorOf([&] {
                      Splice(dest, sources, true, [&](const QString& path) { copied << path; });
                  }),
                  message);
        EXPECT_EQ(dir.Read("out/movie.avi"), "precious");
        EXPECT_EQ(Names(dir.Sub("out")), QStringList({"movie.avi"}));
        EXPECT_EQ(Names(dir.Sub("p")), before);
        if (QString(test.name) != "the whole file's line differs") {
            EXPECT_TRUE(copied.isEmpty());  // refused before anything was written
        }
    }
}

TEST(SpliceChecksumList, ListsThatDoNotApplyAndNamesThatAreNotUtf8) {
    TestDir dir;
    const QByteArray content = Content(100);

    // A list with only the whole file's line (as a download site gives one): the pieces
    // are joined and the result checked; a damaged piece then fails the whole.
    QStringList pieces = WritePieces(dir, content, 30, false);
    dir.Write("p/movie.avi.sha256", FormatSumLine(Sha256Hex(content), "movie.avi"));
    EXPECT_EQ(Splice(dir.Sub("joined"), pieces, false), 100);
    dir.Write("p/movie.avi.001", Content(30).toUpper());
    EXPECT_EQ(ErrorOf([&] { Splice(dir.Sub("joined"), pieces, true); }),
              QStringLiteral("The joined file does not match the checksum in %1")
                  .arg(dir.Sub("p/movie.avi.sha256")));
    EXPECT_EQ(dir.Read("joined"), content);

    // A list about other files, and a first source that is no piece: joined unchecked.
    dir.Write("p/movie.avi.sha256", FormatSumLine(Sha256Hex("x"), "other.bin"));
    EXPECT_EQ(Splice(dir.Sub("joined"), pieces, true), 100);
    const QString plain = dir.Write("p/plain", "abc");
    dir.Write("p/plain.sha256", "garbage");
    EXPECT_EQ(Splice(dir.Sub("joined"), {plain, pieces[0]}, true), 33);

    // Pieces and list named by bytes that are not UTF-8.
    dir.MakeDir("raw");
    const QString first = dir.Sub("raw/" + Latin1Name("caf", ".bin.001"));
    const QString second = dir.Sub("raw/" + Latin1Name("caf", ".bin.002"));
    ASSERT_TRUE(WriteNative(first, "abc"));
    ASSERT_TRUE(WriteNative(second, "de"));
    ASSERT_TRUE(WriteNative(dir.Sub("raw/" + Latin1Name("caf", ".bin.sha256")),
                            FormatSumLine(Sha256Hex("abc"), "caf\xE9.bin.001") +
                                FormatSumLine(Sha256Hex("XX"), "caf\xE9.bin.002")));
    EXPECT_EQ(ErrorOf([&] {
                  Splice(dir.Sub("raw/out"), {first, second}, false);
              }),
              QStringLiteral("%1/raw/caf\\xE9.bin.002 is damaged: its checksum does not match "
                             "%1/raw/caf\\xE9.bin.sha256")
                  .arg(dir.Path()));
    ASSERT_TRUE(WriteNative(second, "XX"));
    EXPECT_EQ(Splice(dir.Sub("raw/out"), {first, second}, false), 5);
    EXPECT_EQ(ReadNative(dir.Sub("raw/out")), "abcXX");
}

TEST(SpliceList, AddingWithAndWithoutMultiples) {
    QStringList list;
    EXPECT_TRUE(AddSource(list, "/d/A", false));
    EXPECT_TRUE(AddSource(list, "/d/B", false));
    EXPECT_FALSE(AddSource(list, "/d/A", false));
    EXPECT_TRUE(AddSource(list, "/d/a", false));  // another file on Linux
    EXPECT_TRUE(AddSource(list, "/d/A", true));
    EXPECT_EQ(list, QStringList({"/d/A", "/d/B", "/d/a", "/d/A"}));

    // Unchecking "Multiples" on A, B, A, C, b keeps the first of each path, in order.
    EXPECT_EQ(WithoutDuplicates({"/d/A", "/d/B", "/d/A", "/d/C", "/d/b"}),
              QStringList({"/d/A", "/d/B", "/d/C", "/d/b"}));
}

TEST(SpliceList, ButtonsAndReordering) {
    struct Case {
        int selected;
        int count;
        TListButtons buttons;  // up, down, remove
    };
    const Case cases[] = {
        {-1, 3, {false, false, false}}, {0, 3, {false, true, true}},
        {1, 3, {true, true, true}},     {2, 3, {true, false, true}},
        {0, 1, {false, false, true}},   {-1, 0, {false, false, false}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ListButtons(c.selected, c.count), c.buttons) << c.selected << "/" << c.count;
    }
    QStringList list = {"a", "b", "c"};
    EXPECT_EQ(MoveRow(list, 0, 1), 1);
    EXPECT_EQ(list, QStringList({"b", "a", "c"}));
    EXPECT_EQ(ListButtons(1, 3).moveUp, true);
    EXPECT_EQ(MoveRow(list, 0, -1), 0);
    EXPECT_EQ(MoveRow(list, 2, 1), 2);
    EXPECT_EQ(MoveRow(list, 2, -1), 1);
    EXPECT_EQ(list, QStringList({"b", "c", "a"}));
}

TEST(SpliceSettings, TextAndLoadRules) {
    TestDir dir;
    const QString a = dir.Write("a", "1");
    const QString b = dir.Write("b", "2");
    const QString existing = dir.Write("existing", "3");
    TSpliceSettings settings;
    settings.sourceFolder = dir.Path();
    settings.destFolder = dir.Sub("gone");
    settings.sources = {a, dir.Sub("deleted"), b};
    settings.destination = dir.Sub("new");
    settings.multiples = true;
    const QByteArray text = SpliceSettingsText(settings);
    EXPECT_EQ(text, (dir.Path() + "|" + dir.Sub("gone") + "|" + a + "\r\n" + dir.Sub("deleted") +
                     "\r\n" + b + "\r\n|" + dir.Sub("new") + "|1|0|")
                        .toUtf8());

    std::optional<TSpliceSettings> back = ParseSpliceSettings(text);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->sourceFolder, dir.Path());
    EXPECT_TRUE(back->destFolder.isEmpty());
    EXPECT_EQ(back->sources, QStringList({a, b}));
    EXPECT_EQ(back->destination, dir.Sub("new"));
    EXPECT_TRUE(back->multiples);
    EXPECT_FALSE(back->overwrite);

    // A destination that exists is kept only with overwrite on; one in a missing folder
    // never.
    struct Case {
        QString destination;
        bool overwrite;
        bool kept;
    };
    const Case cases[] = {{existing, false, false},
                          {existing, true, true},
                          {dir.Sub("gone/new"), true, false},
                          {QString(), true, false}};
    for (const Case& c : cases) {
        settings.destination = c.destination;
        settings.overwrite = c.overwrite;
        back = ParseSpliceSettings(SpliceSettingsText(settings));
        ASSERT_TRUE(back.has_value());
        EXPECT_EQ(back->destination, c.kept ? c.destination : QString())
            << c.destination.toStdString() << " " << c.overwrite;
    }

    EXPECT_FALSE(ParseSpliceSettings(text + "x|").has_value());
    EXPECT_FALSE(ParseSpliceSettings(text.left(text.size() - 2)).has_value());
}

TEST(SpliceSettings, NamesThatAreNotUtf8ComeBack) {
    TestDir dir;
    const QString folder = dir.Sub(Latin1Name("in", ""));
    ASSERT_EQ(mkdir(Native(folder).constData(), 0700), 0);
    TSpliceSettings settings;
    settings.sourceFolder = folder;
    settings.destFolder = folder;
    settings.sources = {folder + '/' + Latin1Name("a"), folder + '/' + Latin1Name("b")};
    settings.destination = folder + '/' + Latin1Name();
    for (const QString& source : settings.sources) {
        ASSERT_TRUE(WriteNative(source, "x"));
    }
    const QByteArray text = SpliceSettingsText(settings);
    // Field 3 too: the name's bytes, which the local 8-bit encoding would have replaced.
    EXPECT_TRUE(text.contains('|' + Native(settings.destination) + '|'));
    const std::optional<TSpliceSettings> back = ParseSpliceSettings(text);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->sourceFolder, folder);
    EXPECT_EQ(back->destFolder, folder);
    EXPECT_EQ(back->sources, settings.sources);
    EXPECT_EQ(back->destination, settings.destination);
}

TEST(SpliceSettings, StoredThroughTheHost) {
    TestDir dir;
    TTestHost host;
    host.OpenStores(dir.Sub("prog"));
    TSpliceSettings settings;
    settings.sources = {dir.Write("one", "1"), dir.Write("two", "2")};
    settings.overwrite = true;
    SaveSpliceSettings(host.Stores(), settings);
    const std::optional<TSpliceSettings> back = LoadSpliceSettings(host.Stores());
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->sources, settings.sources);
    EXPECT_TRUE(back->overwrite);
}

}  // namespace
