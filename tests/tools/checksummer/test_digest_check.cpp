// Checking digests: the Verify text and its outcomes, and checksum lists read into digests.
#include "tools/checksummer/digest_check.h"

#include <gtest/gtest.h>

namespace {

// The digests of "abc", as the Checksummer's rows hold them.
const std::array<QByteArray, kDigestCount> kAbc = {
    "352441C2",
    "900150983CD24FB0D6963F7D28E17F72",
    "A9993E364706816ABA3E25717850C26C9CD0D89D",
    "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD",
    "B74A41E9E0AF052824210D54B874D2E9515F1CC0F8148390837CF920F7A08D1B",
};

TEST(VerifyText, LengthGivesTheDigestsAndOtherTextsSayWhyNoneFits) {
    struct Case {
        const char* name;
        QString text;
        TDigestSet digests;
        const char* problem;
    };
    const TDigestSet sha256OrQuivash = DigestBit(kDigestSha256) | DigestBit(kDigestQuivash);
    const Case cases[] = {
        {"empty asks for nothing", "", 0, ""},
        {"blanks ask for nothing", "  \t", 0, ""},
        {"crc32", "352441c2", DigestBit(kDigestCrc32), ""},
        {"md5 with blanks around", "  900150983cd24fb0d6963f7d28e17f72\n", DigestBit(kDigestMd5),
         ""},
        {"sha1", QString::fromLatin1(kAbc[2]), DigestBit(kDigestSha1), ""},
        {"64 digits are either", QString::fromLatin1(kAbc[3]).toLower(), sha256OrQuivash, ""},
        {"wrong length", "352441C", 0,
         "No match possible: 7 hexadecimal digits fit no hash (8, 32, 40 or 64)"},
        {"not hexadecimal", "352441CG", 0, "No match possible: the Verify text is not hexadecimal"},
        {"inner blank", "3524 41C2", 0, "No match possible: the Verify text is not hexadecimal"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        const TVerifyTarget target = ParseVerifyText(test.text);
        EXPECT_EQ(target.digests, test.digests);
        EXPECT_EQ(target.problem, QString::fromUtf8(test.problem));
        if (test.digests != 0) {
            EXPECT_EQ(target.hex, test.text.trimmed().toUpper().toLatin1());
        }
    }
}

TEST(VerifyText, OutcomeNamesTheDigestThatMatchedOrDiffered) {
    struct Case {
        const char* name;
        QString text;
        TDigestSet matched;
        TDigestSet mismatched;
        const char* status;
    };
    QByteArray otherSha = kAbc[3];
    otherSha[0] = '0';
    const Case cases[] = {
        {"md5 matches", QString::fromLatin1(kAbc[1]).toLower(), DigestBit(kDigestMd5), 0,
         "Verified: the file's MD5 matches"},
        {"sha256 matches", QString::fromLatin1(kAbc[3]), DigestBit(kDigestSha256), 0,
         "Verified: the file's SHA256 matches"},
        {"quivash matches", QString::fromLatin1(kAbc[4]), DigestBit(kDigestQuivash), 0,
         "Verified: the file's Quivash matches"},
        {"crc32 differs", "352441C3", 0, DigestBit(kDigestCrc32),
         "Mismatch: the file's CRC32 does not match"},
        {"64 digits match neither", QString::fromLatin1(otherSha), 0,
         DigestBit(kDigestSha256) | DigestBit(kDigestQuivash),
         "Mismatch: neither the file's SHA256 nor its Quivash matches"},
        {"no match possible", "xyz", 0, 0, "No match possible: the Verify text is not hexadecimal"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        const TVerifyOutcome outcome = VerifyDigests(ParseVerifyText(test.text), kAbc);
        EXPECT_EQ(outcome.matched, test.matched);
        EXPECT_EQ(outcome.mismatched, test.mismatched);
        EXPECT_EQ(outcome.text, QString::fromUtf8(test.status));
    }
}

TEST(DigestList, TagsAndLengthsGiveTheDigests) {
    const QByteArray text =
        "352441c2  crc\n"
        "900150983cd24fb0d6963f7d28e17f72  md5\n"
        "A9993E364706816ABA3E25717850C26C9CD0D89D *sha1\n" +
        kAbc[3] + "  sha256\n" + "QUIVASH (q) = " + kAbc[4] + "\n" +
        "# a comment\n"
        "\n"
        "MD5 (tagged md5) = " +
        kAbc[1] + "\r\n" + "SHA1 (short) = 1234\n" + "123456789  nine\n" + "not a line\n" +
        "\\SHA256 (a\\nb) = " + kAbc[3];
    const TDigestList list = ReadDigestList(text, std::nullopt);
    struct Expected {
        TDigestKind kind;
        QByteArray name;
    };
    const Expected expected[] = {
        {kDigestCrc32, "crc"},     {kDigestMd5, "md5"},   {kDigestSha1, "sha1"},
        {kDigestSha256, "sha256"}, {kDigestQuivash, "q"}, {kDigestMd5, "tagged md5"},
        {kDigestSha256, "a\nb"},
    };
    ASSERT_EQ(list.entries.size(), std::size(expected));
    for (qsizetype i = 0; i < list.entries.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(list.entries[i].kind, expected[i].kind);
        EXPECT_EQ(list.entries[i].name, expected[i].name);
        EXPECT_EQ(list.entries[i].hex, kAbc[expected[i].kind]);
    }
    // A tag with a digest of the wrong length, a length no digest has, and a stray text.
    EXPECT_EQ(list.malformed, 3);
}

TEST(DigestList, AnAlgorithmGivenTakesTheUntaggedLines) {
    const QByteArray text =
        kAbc[4] + "  q\n" + kAbc[3] + "  s\n" + "SHA256 (tagged keeps its tag) = " + kAbc[3] + "\n";
    const TDigestList quivash = ReadDigestList(text, kDigestQuivash);
    ASSERT_EQ(quivash.entries.size(), 3);
    EXPECT_EQ(quivash.entries[0].kind, kDigestQuivash);
    EXPECT_EQ(quivash.entries[1].kind, kDigestQuivash);
    EXPECT_EQ(quivash.entries[2].kind, kDigestSha256);
    EXPECT_EQ(quivash.malformed, 0);

    const TDigestList md5 = ReadDigestList(text, kDigestMd5);
    ASSERT_EQ(md5.entries.size(), 1);
    EXPECT_EQ(md5.entries[0].kind, kDigestSha256);
    EXPECT_EQ(md5.malformed, 2);
}

}  // namespace
