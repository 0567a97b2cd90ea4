// File names as bytes: every byte string survives the trip through the text form, and the
// platform's listing and reading reach a file whose name is not UTF-8.
#include "platform/file_access.h"
#include "platform/native_name.h"
#include "support/test_dir.h"

#include <QFile>

#include <fcntl.h>
#include <unistd.h>

#include <random>

#include <gtest/gtest.h>

namespace {

struct TNameCase {
    const char* label;
    QByteArray bytes;
    bool raw;  // holds bytes that are not UTF-8
};

TEST(NativeName, EveryKindOfNameRoundTrips) {
    const TNameCase cases[] = {
        {"ascii", "report.txt", false},
        {"utf8", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80.txt", false},
        {"latin1", "caf\xE9.txt", true},
        {"lone continuation", "a\x80z", true},
        {"truncated sequence", "a\xE2\x82", true},
        {"overlong slash", "a\xC0\xAF", true},
        {"encoded surrogate", "a\xED\xB2\x80", true},
        {"past U+10FFFF", "\xF4\x90\x80\x80", true},
        {"all high bytes", "\xFF\xFE\xFD", true},
        {"line break", "two\nlines", false},
    };
    for (const TNameCase& c : cases) {
        SCOPED_TRACE(c.label);
        const QString text = DecodeNativeName(c.bytes);
        EXPECT_EQ(EncodeNativeName(text), c.bytes);
        EXPECT_EQ(HasRawBytes(text), c.raw);
        if (!c.raw) {
            EXPECT_EQ(text, QString::fromUtf8(c.bytes));
        }
    }
}

TEST(NativeName, RandomBytesRoundTrip) {
    std::mt19937 random(20261210);
    std::uniform_int_distribution<int> byte(1, 255);
    std::uniform_int_distribution<int> length(1, 40);
    for (int round = 0; round < 5000; ++round) {
        QByteArray bytes;
        for (int i = length(random); i > 0; --i) {
            bytes += static_cast<char>(byte(random));
        }
        ASSERT_EQ(EncodeNativeName(DecodeNativeName(bytes)), bytes) << bytes.toHex().constData();
    }
}

TEST(NativeName, PrintableFormIsOneLineAndKeepsOrdinaryNames) {
    EXPECT_EQ(PrintableName(QStringLiteral("My file (1).txt")), "My file (1).txt");
    EXPECT_EQ(PrintableName(QString::fromUtf8("caf\xC3\xA9")), QString::fromUtf8("caf\xC3\xA9"));
    EXPECT_EQ(PrintableName(DecodeNativeName(QByteArray("caf\xE9.txt"))), "caf\\xE9.txt");
    EXPECT_EQ(PrintableName(QStringLiteral("a\nb\rc\td\x01")), "a\\nb\\rc\\td\\x01");
}

TEST(NativeName, ListingAndReadingReachANameThatIsNotUtf8) {
    TestDir dir;
    const QByteArray name("caf\xE9\n.txt");
    const QByteArray path = QFile::encodeName(dir.Path()) + '/' + name;
    const int fd = open(path.constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "latin", 5), 5);
    close(fd);

    QList<TFolderEntry> entries;
    ASSERT_TRUE(ListFolder(dir.Path(), entries));
    ASSERT_EQ(entries.size(), 1);
    EXPECT_EQ(EncodeNativeName(entries[0].name), name);
    EXPECT_EQ(entries[0].kind, kEntryFile);

    QByteArray content;
    EXPECT_EQ(ReadRegularFile(dir.Path() + '/' + entries[0].name, 100, content), kReadOk);
    EXPECT_EQ(content, "latin");
}

}  // namespace
