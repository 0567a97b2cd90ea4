// Checksum list lines: written as sha256sum writes them and read as sha256sum -c reads
// them, names as bytes with GNU's escapes.
#include "tools/common/sum_list.h"

#include <gtest/gtest.h>

namespace {

const QByteArray kHex = "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";

TEST(SumList, LinesAreWrittenAsSha256sumWritesThem) {
    EXPECT_EQ(FormatSumLine(kHex, "a b"), kHex + "  a b\n");
    EXPECT_EQ(FormatSumLine(kHex, "caf\xE9"), kHex + "  caf\xE9\n");
    EXPECT_EQ(FormatSumLine(kHex, "b\\s\nn\rr"), "\\" + kHex + "  b\\\\s\\nn\\rr\n");
    EXPECT_EQ(FormatTaggedSumLine("SHA256", kHex, "a (1)"), "SHA256 (a (1)) = " + kHex + "\n");
    EXPECT_EQ(FormatTaggedSumLine("MD5", "00", "x\\y"), "\\MD5 (x\\\\y) = 00\n");
    // In a report only a line feed makes sha256sum -c escape a name.
    EXPECT_EQ(CheckReportName("b\\s\rr"), "b\\s\rr");
    EXPECT_EQ(CheckReportName("n\nb\\\r"), "\\n\\nb\\\\\\r");
}

TEST(SumList, EachLineIsReadOrSkippedOrRefused) {
    struct Case {
        const char* name;
        QByteArray text;
        TSumListReader::TResult result;
        QByteArray tag;
        QByteArray hex;
        QByteArray file;
    };
    using R = TSumListReader;
    const QByteArray lower = kHex.toLower();
    const Case cases[] = {
        {"text mode", lower + "  a b", R::kRead, "", lower, "a b"},
        {"binary mode", kHex + " *a", R::kRead, "", kHex, "a"},
        {"leading blanks and a carriage return", " \t" + kHex + "  a\r", R::kRead, "", kHex, "a"},
        {"trailing blanks belong to the name", kHex + "  a ", R::kRead, "", kHex, "a "},
        {"short digests are the caller's to judge", "00  a", R::kRead, "", "00", "a"},
        {"escaped name", "\\" + kHex + "  a\\nb\\\\c\\rd", R::kRead, "", kHex, "a\nb\\c\rd"},
        {"a name that is not UTF-8", kHex + "  caf\xE9", R::kRead, "", kHex, "caf\xE9"},
        {"tagged", "SHA256 (a b) = " + kHex, R::kRead, "SHA256", kHex, "a b"},
        {"tagged without blanks", "MD5(a)=" + lower, R::kRead, "MD5", lower, "a"},
        {"tagged name ends at the last parenthesis", "SHA256 (a (1)) = 00", R::kRead, "SHA256",
         "00", "a (1)"},
        {"tagged and escaped", "\\SHA256 (a\\nb) = 00", R::kRead, "SHA256", "00", "a\nb"},
        {"comment", "# " + kHex + "  a", R::kSkipped, "", "", ""},
        {"empty", "", R::kSkipped, "", "", ""},
        {"carriage return only", "\r", R::kSkipped, "", "", ""},
        {"digest alone", kHex, R::kMalformed, "", "", ""},
        {"no name", kHex + " ", R::kMalformed, "", "", ""},
        {"not hexadecimal", "xyz  a", R::kMalformed, "", "", ""},
        {"digest runs into the name", kHex + "g  a", R::kMalformed, "", "", ""},
        {"unknown escape", "\\" + kHex + "  a\\tb", R::kMalformed, "", "", ""},
        {"backslash at the end", "\\" + kHex + "  a\\", R::kMalformed, "", "", ""},
        {"NUL in the name", kHex + "  a" + QByteArray(1, '\0') + "b", R::kMalformed, "", "", ""},
        {"tagged without parenthesis", "SHA256 a = " + kHex, R::kMalformed, "", "", ""},
        {"tagged without digest", "SHA256 (a) = ", R::kMalformed, "", "", ""},
        {"tagged with a bad digest", "SHA256 (a) = 12z4", R::kMalformed, "", "", ""},
        {"tagged without equals", "SHA256 (a) " + kHex, R::kMalformed, "", "", ""},
        {"tagged with an empty name", "SHA256 () = 00", R::kMalformed, "", "", ""},
        {"unknown tag", "SHA512 (a) = 00", R::kMalformed, "", "", ""},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        TSumListReader reader({"MD5", "SHA256"});
        TSumLine line;
        ASSERT_EQ(reader.Read(test.text, line), test.result);
        if (test.result == R::kRead) {
            EXPECT_EQ(line.tag, test.tag);
            EXPECT_EQ(line.hex, test.hex);
            EXPECT_EQ(line.name, test.file);
        }
    }
}

TEST(SumList, TheOneBlankFormMayNotBeMixedWithTheOther) {
    // As GNU reads md5 -r output: the first line decides, so that a name with a leading
    // blank cannot pass for the other form.
    TSumListReader reversed({});
    TSumLine line;
    ASSERT_EQ(reversed.Read(kHex + " a", line), TSumListReader::kRead);
    EXPECT_EQ(line.name, "a");
    ASSERT_EQ(reversed.Read(kHex + "  b", line), TSumListReader::kRead);
    EXPECT_EQ(line.name, " b");

    TSumListReader standard({});
    ASSERT_EQ(standard.Read(kHex + "  a", line), TSumListReader::kRead);
    EXPECT_EQ(standard.Read(kHex + " b", line), TSumListReader::kMalformed);
    ASSERT_EQ(standard.Read(kHex + " *c", line), TSumListReader::kRead);
    EXPECT_EQ(line.name, "c");
}

TEST(SumList, WrittenNamesReadBackExactly) {
    const QList<QByteArray> names = {"plain",      "caf\xE9", "back\\slash", "two\nlines",
                                     "car\rriage", " lead",   "x) = y",      "\\\\n"};
    for (const QByteArray& name : names) {
        SCOPED_TRACE(name.toStdString());
        for (const QByteArray& written :
             {FormatSumLine(kHex, name), FormatTaggedSumLine("SHA256", kHex, name)}) {
            ASSERT_TRUE(written.endsWith('\n'));
            TSumListReader reader({"SHA256"});
            TSumLine line;
            ASSERT_EQ(reader.Read(written.chopped(1), line), TSumListReader::kRead);
            EXPECT_EQ(line.name, name);
            EXPECT_EQ(line.hex, kHex);
        }
    }
}

}  // namespace
