// `quiva checksum` end to end: the row format, --algo's lines and order, failures, and
// file names that are not UTF-8 or hold line breaks, printed as sha256sum prints them.
#include "support/run_program.h"
#include "support/test_dir.h"
#include "tools/common/file_tool_test_support.h"

#include <QProcess>

#include <gtest/gtest.h>

namespace {

struct Outcome {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

Outcome RunQuiva(const QStringList& args) {
    QProcess process;
    process.start(QStringLiteral(QUIVA_CLI_PATH), args);
    Outcome outcome;
    if (process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit) {
        outcome.exitCode = process.exitCode();
    }
    outcome.out = process.readAllStandardOutput();
    outcome.err = process.readAllStandardError();
    return outcome;
}

constexpr const char* kEmptyRows =
    "CRC32 00000000\n"
    "MD5 D41D8CD98F00B204E9800998ECF8427E\n"
    "SHA1 DA39A3EE5E6B4B0D3255BFEF95601890AFD80709\n"
    "SHA256 E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855\n"
    "Quivash C59D1C812F6D150AC1336924B9BB657DFFC36B1B37F512EB85A45FD4D22049F4\n";
constexpr const char* kAbcRows =
    "CRC32 352441C2\n"
    "MD5 900150983CD24FB0D6963F7D28E17F72\n"
    "SHA1 A9993E364706816ABA3E25717850C26C9CD0D89D\n"
    "SHA256 BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD\n"
    "Quivash B74A41E9E0AF052824210D54B874D2E9515F1CC0F8148390837CF920F7A08D1B\n";

TEST(ChecksumCommand, FiveRowsPerFileWithABlankLineBetween) {
    TestDir dir;
    const QString empty = dir.Write("empty", "");
    const QString abc = dir.Write("a b c", "abc");
    const Outcome outcome = RunQuiva({"checksum", empty, abc});
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err.constData();
    EXPECT_EQ(outcome.out, QByteArray(kEmptyRows) + "\n" + kAbcRows);
    EXPECT_TRUE(outcome.err.isEmpty());
}

TEST(ChecksumCommand, AlgoPrintsHexAndFileInTheOrderGiven) {
    TestDir dir;
    const QString abc = dir.Write("abc", "abc");
    const QString empty = dir.Write("empty", "");
    const Outcome outcome = RunQuiva({"checksum", "--algo", "SHA256,crc32,sha256", abc, empty});
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err.constData();
    EXPECT_EQ(outcome.out,
              "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD  " + abc.toUtf8() +
                  "\n352441C2  " + abc.toUtf8() +
                  "\nE3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855  " +
                  empty.toUtf8() + "\n00000000  " + empty.toUtf8() + "\n");
}

TEST(ChecksumCommand, AnUnreadableFileFailsButTheOthersArePrinted) {
    TestDir dir;
    const QString missing = dir.Sub("missing");
    const QString abc = dir.Write("abc", "abc");
    const Outcome outcome = RunQuiva({"checksum", missing, abc, dir.Path()});
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_EQ(outcome.out, QByteArray(kAbcRows));
    EXPECT_EQ(outcome.err,
              missing.toUtf8() + " not accessible\n" + dir.Path().toUtf8() + " not accessible\n");
}

TEST(ChecksumCommand, UsageErrors) {
    TestDir dir;
    const QString abc = dir.Write("abc", "abc");
    const QStringList cases[] = {
        {"checksum"},
        {"checksum", "--algo", "sha512", abc},
        {"checksum", "--algo", "", abc},
        {"checksum", "--algo"},
        {"checksum", "--fast", abc},
    };
    for (const QStringList& args : cases) {
        const Outcome outcome = RunQuiva(args);
        EXPECT_EQ(outcome.exitCode, 2) << qPrintable(args.join(' '));
        EXPECT_TRUE(outcome.out.isEmpty()) << qPrintable(args.join(' '));
        EXPECT_TRUE(outcome.err.startsWith("quiva checksum: ")) << outcome.err.constData();
    }
    const Outcome help = RunQuiva({"checksum", "--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.out.startsWith("Usage: quiva checksum"));
}

TEST(ChecksumCommand, NamesAreWrittenWithTheirBytesAsSha256sumWritesThem) {
    using namespace file_tool_test;
    TestDir dir;
    // A plain name, one that is not UTF-8, and the names sha256sum escapes: a backslash,
    // a line feed, a carriage return.
    const QList<QByteArray> names = {"plain name", "caf\xE9.bin", "back\\slash", "two\nlines",
                                     "car\rriage"};
    QList<QByteArray> args{QUIVA_CLI_PATH, "checksum", "--algo", "sha256"};
    QList<QByteArray> reference{"sha256sum"};
    for (const QByteArray& name : names) {
        ASSERT_TRUE(WriteNative(dir.Sub(DecodeNativeName(name)), "abc" + name));
        args.append(name);
        reference.append(name);
    }
    const TProgramRun run = RunProgram(args, Native(dir.Path()));
    EXPECT_EQ(run.exitCode, 0) << run.err.constData();
    EXPECT_TRUE(run.err.isEmpty()) << run.err.constData();

    const TProgramRun gnu = RunProgram(reference, Native(dir.Path()));
    if (gnu.exitCode != 0) {
        GTEST_SKIP() << "sha256sum is not available: " << gnu.err.constData();
    }
    // The same lines but for the case of the hexadecimal digits.
    EXPECT_EQ(run.out.toLower(), gnu.out.toLower());
    EXPECT_EQ(run.out.count('\n'), names.size());
    EXPECT_TRUE(run.out.contains("  caf\xE9.bin\n")) << run.out.constData();
    EXPECT_TRUE(run.out.contains("  two\\nlines\n")) << run.out.constData();

    // A missing name that is not UTF-8 is reported readably.
    const TProgramRun missing =
        RunProgram({QUIVA_CLI_PATH, "checksum", "--algo", "crc32", "gone\xE9"}, Native(dir.Path()));
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(missing.err, "gone\\xE9 not accessible\n");
}

}  // namespace
