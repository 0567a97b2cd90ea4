// EquiSize: the three routes, the refusals, the target kept intact when it cannot be
// replaced, no temporary files left anywhere, the size labels and the stored settings.
#include "platform/file_system.h"
#include "support/test_dir.h"
#include "support/test_host.h"
#include "tools/common/file_tool_test_support.h"
#include "tools/equisize/equalizer.h"

#include <QDir>
#include <QLocale>

#include <sys/stat.h>

#include <gtest/gtest.h>

namespace {

using namespace file_tool_test;

// Points the temporary folder at a private one for the test's life.
class TPrivateTemp {
public:
    explicit TPrivateTemp(const QString& folder) : m_old(qgetenv("TMPDIR")) {
        QDir().mkpath(folder);
        qputenv("TMPDIR", folder.toLocal8Bit());
    }
    ~TPrivateTemp() {
        if (m_old.isEmpty()) {
            qunsetenv("TMPDIR");
        } else {
            qputenv("TMPDIR", m_old);
        }
    }

private:
    QByteArray m_old;
};

TEST(Equalize, ThreeRoutes) {
    struct Case {
        const char* name;
        int route;
        QByteArray a;  // afterwards
        QByteArray b;
        int target;
    };
    const QByteArray zeros(6, '\0');
    const Case cases[] = {
        {"postfix", kRoutePostfix, "0123456789", "ABCD" + zeros, 1},
        {"prefix", kRoutePrefix, "0123456789", zeros + "ABCD", 1},
        {"truncate", kRouteTruncate, "0123", "ABCD", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestDir dir;
        TPrivateTemp temp(dir.Sub("tmp"));
        const QString a = dir.Write("files/a", "0123456789");
        const QString b = dir.Write("files/b", "ABCD");
        const TEqualizeResult result = Equalize(a, b, c.route);
        EXPECT_TRUE(result.changed);
        EXPECT_EQ(result.target, c.target);
        EXPECT_EQ(result.sizeA, c.a.size());
        EXPECT_EQ(result.sizeB, c.b.size());
        EXPECT_EQ(dir.Read("files/a"), c.a);
        EXPECT_EQ(dir.Read("files/b"), c.b);
        EXPECT_EQ(Names(dir.Sub("files")), QStringList({"a", "b"}));
        EXPECT_TRUE(Names(dir.Sub("tmp")).isEmpty());

        // A second run finds nothing to do.
        const TEqualizeResult again = Equalize(a, b, c.route);
        EXPECT_FALSE(again.changed);
        EXPECT_EQ(again.sizeA, again.sizeB);
    }
}

TEST(Equalize, EmptyFileWithTruncateEmptiesTheOther) {
    TestDir dir;
    const QString a = dir.Write("a", "0123456789");
    const QString b = dir.Write("b", "");
    const TEqualizeResult result = Equalize(a, b, kRouteTruncate);
    EXPECT_EQ(result.target, 0);
    EXPECT_EQ(dir.Read("a"), "");
    EXPECT_EQ(FileSize64(a), 0);
}

TEST(Equalize, SizesAreSixtyFourBits) {
    // 4 GiB + 4 bytes against 4 bytes: equal in their low 32 bits, not equal here.
    TestDir dir;
    const QString a = dir.Sub("big");
    ASSERT_TRUE(MakeSparse(a, 4294967300LL, "tail"));
    const QString b = dir.Write("small", "ABCD");
    const TEqualizeCheck check = CheckEqualize(a, b);
    EXPECT_FALSE(check.sameSize);
    EXPECT_EQ(check.sizeA, 4294967300LL);
    const TEqualizeResult result = Equalize(a, b, kRouteTruncate);
    EXPECT_EQ(result.target, 0);
    EXPECT_EQ(dir.Read("big"), QByteArray(4, '\0'));
}

TEST(Equalize, Refusals) {
    TestDir dir;
    const QString a = dir.Write("a", "0123456789");
    const QString b = dir.Write("b", "ABCD");
    dir.Write("A", "other file");
    ASSERT_TRUE(MakeHardLink(a, dir.Sub("hard")));
    ASSERT_TRUE(MakeSymLink(a, dir.Sub("soft")));
    dir.MakeDir("folder");
    struct Case {
        const char* name;
        QString a;
        QString b;
        QString message;
    };
    const Case cases[] = {
        {"no file A", "", b, kEqualizeSelectMessage},
        {"no file B", a, "", kEqualizeSelectMessage},
        {"same path", a, a, kEqualizeSameFileMessage},
        {"same file by another path", a, dir.Path() + "/./a", kEqualizeSameFileMessage},
        {"hard link", dir.Sub("hard"), a, kEqualizeSameFileMessage},
        {"symbolic link", a, dir.Sub("soft"), kEqualizeSameFileMessage},
        {"missing B", a, dir.Sub("gone"), "Could not open gone"},
        {"folder A", dir.Sub("folder"), b, "Could not open folder"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ErrorOf([&] { Equalize(c.a, c.b, kRouteTruncate); }), c.message);
    }
    EXPECT_EQ(dir.Read("a"), "0123456789");
    EXPECT_EQ(dir.Read("b"), "ABCD");
    // Names differing only in case are two files here.
    EXPECT_EQ(ErrorOf([&] { Equalize(dir.Sub("A"), a, kRoutePostfix); }), QString());
    EXPECT_EQ(dir.Read("a"), "0123456789");
    EXPECT_EQ(dir.Read("A"), "other file");
}

TEST(Equalize, TargetKeptWhenItCannotBeReplaced) {
    TestDir dir;
    TPrivateTemp temp(dir.Sub("tmp"));
    const QString a = dir.WriteSized("files/a", 300000, 'a');
    const QString b = dir.Write("files/b", "ABCD");
    {
        // The new content of b cannot be written in full.
        TWriteLimit limit(100000);
        EXPECT_EQ(ErrorOf([&] { Equalize(a, b, kRoutePrefix); }), "File too large");
        EXPECT_EQ(ErrorOf([&] { Equalize(a, b, kRoutePostfix); }), "File too large");
    }
    EXPECT_EQ(dir.Read("files/b"), "ABCD");
    EXPECT_EQ(FileSize64(a), 300000);
    EXPECT_EQ(Names(dir.Sub("files")), QStringList({"a", "b"}));
    EXPECT_TRUE(Names(dir.Sub("tmp")).isEmpty());
}

TEST(Equalize, NamesThatAreNotUtf8) {
    TestDir dir;
    const QString a = dir.Sub(Latin1Name("a"));
    const QString b = dir.Sub(Latin1Name("b"));
    ASSERT_TRUE(WriteNative(a, "0123456789"));
    ASSERT_TRUE(WriteNative(b, "ABCD"));
    const TEqualizeResult result = Equalize(a, b, kRoutePostfix);
    EXPECT_TRUE(result.changed);
    EXPECT_EQ(result.target, 1);
    EXPECT_EQ(ReadNative(b), "ABCD" + QByteArray(6, '\0'));
    EXPECT_EQ(ReadNative(a), "0123456789");
    EXPECT_EQ(NativeNames(dir.Path()), QList<QByteArray>({"a\xE9.bin", "b\xE9.bin"}));
    // A missing file is named readably.
    EXPECT_EQ(ErrorOf([&] { Equalize(a, dir.Sub(Latin1Name("gone")), kRoutePrefix); }),
              "Could not open gone\\xE9.bin");
}

TEST(Equalize, SpecialFilesAreNeitherReadNorReplaced) {
    TestDir dir;
    const QString a = dir.Write("a", "0123456789");
    ASSERT_TRUE(MakeFifo(dir.Sub("fifo")));
    ASSERT_TRUE(MakeSocket(dir.Sub("socket")));
    ASSERT_TRUE(MakeSymLink(dir.Sub("fifo"), dir.Sub("link-to-fifo")));
    for (const char* name : {"fifo", "socket", "link-to-fifo"}) {
        for (const int route : {kRoutePrefix, kRouteTruncate}) {
            EXPECT_EQ(ErrorOf([&] { Equalize(a, dir.Sub(name), route); }),
                      QStringLiteral("Could not open %1").arg(name));
        }
    }
    EXPECT_EQ(dir.Read("a"), "0123456789");
    EXPECT_EQ(KindOf(dir.Sub("fifo")), S_IFIFO);
    EXPECT_EQ(KindOf(dir.Sub("socket")), S_IFSOCK);
}

TEST(EqualizeLabels, BrowsedAndLoaded) {
    const QLocale old;
    QLocale::setDefault(QLocale::c());
    EXPECT_EQ(BrowsedSizeLabel(1234567), "[1,234,567 Bytes]");
    EXPECT_EQ(BrowsedSizeLabel(4294967306LL), "[4,294,967,306 Bytes]");
    EXPECT_EQ(LoadedSizeLabel(1234567), "[1234567 Bytes]");
    EXPECT_EQ(LoadedSizeLabel(0), "[0 Bytes]");
    QLocale::setDefault(old);
}

TEST(EqualizeSettings, TextAndLoadRules) {
    TestDir dir;
    const QString a = dir.Write("files/a", "12345");
    TEqualizeSettings settings;
    settings.fileA = a;
    settings.fileB = dir.Sub("files/gone");
    settings.route = kRouteTruncate;
    const QByteArray text = EqualizeSettingsText(settings);
    EXPECT_EQ(text, (a + "|" + dir.Sub("files/gone") + "|2|").toUtf8());
    std::optional<TEqualizeSettings> back = ParseEqualizeSettings(text);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->fileA, a);
    EXPECT_EQ(back->sizeA, 5);
    EXPECT_TRUE(back->fileB.isEmpty());
    EXPECT_EQ(back->sizeB, 0);
    EXPECT_EQ(back->route, kRouteTruncate);
    EXPECT_EQ(back->folder, dir.Sub("files"));

    struct Case {
        const char* field;
        int route;
    };
    const Case cases[] = {{"0", 0}, {"1", 1}, {"2", 2}, {"3", 0}, {"-1", 0}, {"x", 1}, {"", 1}};
    for (const Case& c : cases) {
        back = ParseEqualizeSettings(QByteArray("||") + c.field + "|");
        ASSERT_TRUE(back.has_value());
        EXPECT_EQ(back->route, c.route) << c.field;
        EXPECT_TRUE(back->folder.isEmpty());
    }
    EXPECT_FALSE(ParseEqualizeSettings("a|b|").has_value());
    EXPECT_FALSE(ParseEqualizeSettings("a|b|1|2|").has_value());
}

TEST(EqualizeSettings, NamesThatAreNotUtf8ComeBack) {
    TestDir dir;
    TEqualizeSettings settings;
    settings.fileA = dir.Sub(Latin1Name("a"));
    settings.fileB = dir.Sub(Latin1Name("b"));
    ASSERT_TRUE(WriteNative(settings.fileA, "12345"));
    ASSERT_TRUE(WriteNative(settings.fileB, "12"));
    const std::optional<TEqualizeSettings> back =
        ParseEqualizeSettings(EqualizeSettingsText(settings));
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->fileA, settings.fileA);
    EXPECT_EQ(back->fileB, settings.fileB);
    EXPECT_EQ(back->sizeA, 5);
    EXPECT_EQ(back->sizeB, 2);
    EXPECT_EQ(back->folder, dir.Path());
}

TEST(EqualizeSettings, StoredThroughTheHost) {
    TestDir dir;
    TTestHost host;
    host.OpenStores(dir.Sub("prog"));
    TEqualizeSettings settings;
    settings.fileB = dir.Write("b", "xyz");
    settings.route = kRoutePrefix;
    SaveEqualizeSettings(host.Stores(), settings);
    const std::optional<TEqualizeSettings> back = LoadEqualizeSettings(host.Stores());
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->fileB, settings.fileB);
    EXPECT_EQ(back->sizeB, 3);
    EXPECT_EQ(back->route, kRoutePrefix);
}

}  // namespace
