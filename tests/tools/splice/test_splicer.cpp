// Splice: joining in order, the checks and their order, the destination kept intact
// until every source was copied, the list rules and the stored settings.
#include "support/test_dir.h"
#include "support/test_host.h"
#include "tools/common/file_tool_test_support.h"
#include "tools/splice/splicer.h"

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
        EXPECT_EQ(ErrorOf([&] {
                      Splice(dir.Sub(name), {a, b}, true);
                  }),
                  QStringLiteral("Cannot write %1").arg(dir.Sub(name)));
    }
    EXPECT_EQ(KindOf(dir.Sub("fifo")), S_IFIFO);
    EXPECT_EQ(KindOf(dir.Sub("socket")), S_IFSOCK);
    EXPECT_EQ(KindOf(dir.Sub("link-to-fifo")), S_IFLNK);
    // A socket as a source is refused like a FIFO, without blocking.
    EXPECT_EQ(ErrorOf([&] {
                  Splice(dir.Sub("out"), {a, dir.Sub("socket")}, false);
              }),
              QStringLiteral("Access to %1 failed").arg(dir.Sub("socket")));
    EXPECT_EQ(Names(dir.Path()), QStringList({"a", "b", "fifo", "link-to-fifo", "socket"}));
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
