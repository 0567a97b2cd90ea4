// The recovery text of the installation key: its shape, the key read back exactly, and
// the check that catches every mistyped group and names its line.
#include "base/errors.h"
#include "tools/common/file_tool_test_support.h"
#include "tools/pwdmaker/recovery_key.h"

#include <QRandomGenerator>
#include <QRegularExpression>

#include <gtest/gtest.h>

namespace {

using file_tool_test::ErrorOf;

QByteArray RandomKey(quint32 seed) {
    QRandomGenerator random(seed);
    QByteArray bytes(32, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(random.bounded(256));
    }
    return bytes.toHex().toUpper();
}

const QByteArray kKey = "A9E1FBB2E3D4B5EC5D34F734A8925B8BE5FCABA710E87E73C72790DE8AF6781B";

TEST(RecoveryKey, TheTextIsATitleAndFourLinesOfGroupsWithTheirCheck) {
    const QByteArray text = FormatRecoveryText(kKey);
    const QList<QByteArray> lines = text.split('\n');
    ASSERT_EQ(lines.size(), 6);  // the title, four lines, and the empty rest after the last
    EXPECT_EQ(lines[0], "Quiva Tessaline recovery key");
    const QRegularExpression shape("^([0-9A-F]{4} ){4} [0-9A-F]{4}$");
    for (int line = 1; line <= 4; ++line) {
        EXPECT_TRUE(shape.match(QString::fromLatin1(lines[line])).hasMatch())
            << lines[line].constData();
        EXPECT_TRUE(lines[line].startsWith(kKey.mid((line - 1) * 16, 4)));
    }
    EXPECT_EQ(lines[5], "");
    EXPECT_EQ(lines[1],
              "A9E1 FBB2 E3D4 B5EC  " + RecoveryCheckGroup(1, QByteArray::fromHex(kKey.left(16))));
    // The check follows the line's number: the same digits on another line check otherwise.
    EXPECT_NE(RecoveryCheckGroup(1, QByteArray(8, 'x')), RecoveryCheckGroup(2, QByteArray(8, 'x')));

    EXPECT_EQ(ErrorOf([] { FormatRecoveryText("ABC"); }),
              "This installation's key cannot be written as a recovery key");
    EXPECT_EQ(ErrorOf([] { FormatRecoveryText(QByteArray(64, 'G')); }),
              "This installation's key cannot be written as a recovery key");
}

TEST(RecoveryKey, TheKeyComesBackFromTheTextAsPeopleCopyIt) {
    for (quint32 seed : {1u, 2u, 3u, 4u}) {
        const QByteArray key = RandomKey(seed);
        const QByteArray text = FormatRecoveryText(key);
        QString error;
        EXPECT_EQ(ParseRecoveryText(text, error), key);
        EXPECT_TRUE(error.isEmpty());
        // With the advice after it, notes around it, in lower case, with dashes or without
        // any separators, and with CR LF line ends.
        QByteArray noted = "written down on 1 May\n" + text + kRecoverySafeText + "\n";
        EXPECT_EQ(ParseRecoveryText(noted, error), key);
        EXPECT_EQ(ParseRecoveryText(text.toLower(), error), key);
        EXPECT_EQ(ParseRecoveryText(QByteArray(text).replace(' ', '-'), error), key);
        EXPECT_EQ(ParseRecoveryText(QByteArray(text).replace(" ", ""), error), key);
        EXPECT_EQ(ParseRecoveryText(QByteArray(text).replace("\n", "\r\n"), error), key);
    }
}

// Every change inside one group of a line, the check group included, is caught: the check
// is a CRC-16 and a group is 16 bits.
TEST(RecoveryKey, EveryMistypedGroupIsCaught) {
    const QByteArray digits = kKey.left(16);
    for (int line = 1; line <= 4; ++line) {
        const QByteArray check = RecoveryCheckGroup(line, QByteArray::fromHex(digits));
        for (int group = 0; group < 4; ++group) {
            for (int value = 0; value < 65536; ++value) {
                const QByteArray typed =
                    QByteArray::number(value, 16).toUpper().rightJustified(4, '0');
                if (typed == digits.mid(group * 4, 4)) {
                    continue;
                }
                QByteArray changed = digits;
                changed.replace(group * 4, 4, typed);
                ASSERT_NE(RecoveryCheckGroup(line, QByteArray::fromHex(changed)), check)
                    << "line " << line << " group " << group << " typed " << typed.constData();
            }
        }
    }
}

TEST(RecoveryKey, ADamagedTextIsRefusedWithTheLineNamed) {
    const QByteArray text = FormatRecoveryText(kKey);
    QList<QByteArray> lines = text.split('\n');
    struct Case {
        const char* name;
        QByteArray text;
        const char* message;
    };
    QList<QByteArray> typo = lines;
    typo[3].replace(5, 4, "0000");  // the key's third line (after the title), second group
    QList<QByteArray> badCheck = lines;
    badCheck[4].replace(21, 4, "FFFF");
    QList<QByteArray> letter = lines;
    letter[2][2] = 'G';
    QList<QByteArray> swapped = lines;
    swapped.swapItemsAt(1, 2);
    QList<QByteArray> missing = lines;
    missing.removeAt(4);
    QList<QByteArray> shortGroup = lines;
    shortGroup[2].remove(0, 1);
    const Case cases[] = {
        {"a mistyped group", typo.join('\n'),
         "The recovery key is damaged: line 3 does not match its check group (a group is "
         "mistyped)"},
        {"a mistyped check group", badCheck.join('\n'),
         "The recovery key is damaged: line 4 does not match its check group (a group is "
         "mistyped)"},
        {"a letter that is no digit", letter.join('\n'),
         "The recovery key is damaged: line 2 holds \"G\", which is not a hexadecimal digit"},
        {"lines in the wrong order", swapped.join('\n'),
         "The recovery key is damaged: line 1 does not match its check group (a group is "
         "mistyped)"},
        {"a line missing", missing.join('\n'),
         "The recovery key is damaged: it needs four lines of five groups of four hexadecimal "
         "digits, and 3 were found"},
        {"a digit missing", shortGroup.join('\n'),
         "The recovery key is damaged: it needs four lines of five groups of four hexadecimal "
         "digits, and 3 were found"},
        {"nothing", "",
         "The recovery key is damaged: it needs four lines of five groups of four "
         "hexadecimal digits, and 0 were found"},
        {"twice", text + text,
         "The recovery key is damaged: it needs four lines of five groups "
         "of four hexadecimal digits, and 8 were found"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        QString error;
        EXPECT_FALSE(ParseRecoveryText(test.text, error).has_value());
        EXPECT_EQ(error.toStdString(), test.message);
    }
}

}  // namespace
