// The settings codec and the kit's small hashes.
#include "base/bar_list.h"
#include "base/random.h"
#include "base/settings_codec.h"

#include <QBuffer>

#include <gtest/gtest.h>

namespace {

TEST(Digest64, ReferenceValues) {
    EXPECT_EQ(Digest64(""), "811C9DC500000000");
    EXPECT_EQ(Digest64("abc"), "09DCA64384F09160");
}

TEST(Digest64, FoldsHighNibbleBackIntoLowBits) {
    // Eight or more bytes push bits into the top nibble, where the first hash folds them.
    const QByteArray text(64, '\xFF');
    const QByteArray digest = Digest64(text);
    ASSERT_EQ(digest.size(), 16);
    EXPECT_NE(digest, Digest64(QByteArray(63, '\xFF')));
    EXPECT_EQ(digest.left(1), "0");  // the fold always clears the top nibble
}

TEST(Hash32, ReferenceValuesAndPathForm) {
    EXPECT_EQ(Hash32(QByteArray("abc")), 0x439C2F4Bu);
    EXPECT_EQ(Hash32(QByteArray()), 0x811C9DC5u);
    EXPECT_EQ(PathHash32(QStringLiteral("abc")), 0x439C2F4Bu);
    EXPECT_EQ(PathHash32(QStringLiteral("/home/ü")), Hash32(QStringLiteral("/home/ü").toUtf8()));
}

TEST(EncodeSettings, LengthIs29PlusTwicePerByte) {
    SeedRandom(7);
    for (const QByteArray& text : {QByteArray(), QByteArray("a"), QByteArray(100, 'z')}) {
        EXPECT_EQ(EncodeSettings(text).size(), 29 + 2 * text.size());
    }
}

TEST(EncodeSettings, RoundTrips) {
    SeedRandom(11);
    const QByteArray cases[] = {
        "",
        "|",
        "C:/x|1|0|42|",
        QStringLiteral("Grüße/файл/日本|").toUtf8(),
        QByteArray("\x00\x01\x7F\x80\xFE\xFF", 6),
    };
    for (const QByteArray& text : cases) {
        for (int round = 0; round < 30; ++round) {  // many alphabets and paddings
            const QByteArray encoded = EncodeSettings(text);
            for (const char c : encoded) {
                EXPECT_TRUE(c >= 0x21 && c <= 0x7E && c != '|') << "unsafe symbol " << int(c);
            }
            EXPECT_EQ(DecodeSettings(encoded), text);
        }
    }
}

TEST(EncodeSettings, TwoEncodingsDifferButDecodeAlike) {
    SeedRandom(3);
    const QByteArray a = EncodeSettings("same text|");
    const QByteArray b = EncodeSettings("same text|");
    EXPECT_NE(a, b);
    EXPECT_EQ(DecodeSettings(a), DecodeSettings(b));
}

TEST(DecodeSettings, AnySingleChangedCharacterGivesEmpty) {
    SeedRandom(5);
    const QByteArray text = "folder/|1|";
    const QByteArray encoded = EncodeSettings(text);
    const qsizetype bodyStart = 16 + 6;
    const qsizetype marker = encoded.size() - 7;
    struct Case {
        const char* where;
        qsizetype position;
    };
    const Case cases[] = {
        {"digest first", 0},
        {"digest last", 15},
        {"leading padding", 16},
        {"body first", bodyStart},
        {"body middle", bodyStart + 5},
        {"marker", marker},
        {"trailing padding", encoded.size() - 1},
    };
    for (const Case& c : cases) {
        for (const char replacement : {'0', 'A', '~', '#'}) {
            QByteArray damaged = encoded;
            if (damaged[c.position] == replacement) {
                continue;
            }
            damaged[c.position] = replacement;
            EXPECT_EQ(DecodeSettings(damaged), QByteArray()) << c.where;
        }
    }
}

TEST(DecodeSettings, ShortOrMalformedTextsGiveEmpty) {
    EXPECT_EQ(DecodeSettings(""), QByteArray());
    EXPECT_EQ(DecodeSettings("811C9DC500000000"), QByteArray());  // 16 characters
    // A correct digest over too little to hold padding and a marker.
    const QByteArray rest = "abc";
    EXPECT_EQ(DecodeSettings(Digest64(rest) + rest), QByteArray());
    // A correct digest over a text whose marker belongs to no alphabet.
    const QByteArray noMarker =
        "000000"
        "00"
        "|"
        "000000";
    EXPECT_EQ(DecodeSettings(Digest64(noMarker) + noMarker), QByteArray());
    // Truncated and extended texts fail the digest.
    const QByteArray encoded = EncodeSettings("abc|");
    EXPECT_EQ(DecodeSettings(encoded.left(encoded.size() - 1)), QByteArray());
    EXPECT_EQ(DecodeSettings(encoded + "x"), QByteArray());
}

TEST(StreamDigest64, ChunksOf64KiBAndKeepsPosition) {
    QByteArray data(65537, 'q');
    data[65536] = 'r';
    QBuffer buffer(&data);
    ASSERT_TRUE(buffer.open(QIODevice::ReadOnly));
    buffer.seek(1234);
    const QByteArray digest = StreamDigest64(buffer);
    EXPECT_EQ(digest.size(), 32);
    EXPECT_EQ(digest.left(16), Digest64(data.left(65536)));
    EXPECT_EQ(digest.mid(16), Digest64("r"));
    EXPECT_EQ(buffer.pos(), 1234);

    QByteArray empty;
    QBuffer emptyBuffer(&empty);
    ASSERT_TRUE(emptyBuffer.open(QIODevice::ReadOnly));
    EXPECT_EQ(StreamDigest64(emptyBuffer), QByteArray());

    QByteArray exact(65536, 'q');
    QBuffer exactBuffer(&exact);
    ASSERT_TRUE(exactBuffer.open(QIODevice::ReadOnly));
    EXPECT_EQ(StreamDigest64(exactBuffer), Digest64(exact));
}

TEST(TBarList, SplitsAtBarsAndDropsTheTail) {
    struct Case {
        QByteArray text;
        QList<QByteArray> fields;
    };
    const Case cases[] = {
        {"", {}},
        {"abc", {}},
        {"a|", {"a"}},
        {"a|b|c", {"a", "b"}},
        {"|||", {"", "", ""}},
        {"x||y|", {"x", "", "y"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TBarList(c.text).Fields(), c.fields) << c.text.constData();
    }
    const TBarList list("12|x|1|0|");
    EXPECT_EQ(list.Int(0, -1), 12);
    EXPECT_EQ(list.Int(1, -1), -1);
    EXPECT_TRUE(list.Flag(2));
    EXPECT_FALSE(list.Flag(3));
    EXPECT_EQ(TBarList::Join({"a", "", "b"}), "a||b|");
}

}  // namespace
