// `quiva checksum` end to end: the row format, --algo's lines and order, failures, and
// file names that are not UTF-8 or hold line breaks, printed as sha256sum prints them;
// --tag and --check, answered as sha256sum, md5sum and sha1sum answer on the same lists.
#include "support/run_program.h"
#include "support/test_dir.h"
#include "tools/common/file_tool_test_support.h"

#include <QFile>
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
    EXPECT_EQ(outcome.err, "quiva checksum: " + missing.toUtf8() + ": No such file or directory\n" +
                               "quiva checksum: " + dir.Path().toUtf8() + ": Is a directory\n");
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
    EXPECT_EQ(missing.err, "quiva checksum: gone\\xE9: No such file or directory\n");
}

// The lines of a text that hold "WARNING", each after the program's own prefix.
QList<QByteArray> Warnings(const QByteArray& err) {
    QList<QByteArray> warnings;
    for (const QByteArray& line : err.split('\n')) {
        if (const qsizetype at = line.indexOf("WARNING"); at >= 0) {
            warnings.append(line.mid(at));
        }
    }
    return warnings;
}

// --check on lists that GNU tools wrote and on lists that quiva wrote: the same report,
// the same count of failures and the same exit code as the GNU tool on the same list.
TEST(ChecksumCommand, CheckAnswersAsTheGnuToolsAnswer) {
    using namespace file_tool_test;
    struct Tool {
        const char* program;
        const char* algo;
    };
    for (const Tool& tool :
         {Tool{"sha256sum", "sha256"}, Tool{"md5sum", "md5"}, Tool{"sha1sum", "sha1"}}) {
        SCOPED_TRACE(tool.program);
        TestDir dir;
        // A file that stays, one damaged and one removed after listing, and names that are
        // not UTF-8, hold a line feed or a backslash.
        const QList<QByteArray> names = {"good",        "damaged",    "missing",
                                         "caf\xE9.bin", "two\nlines", "back\\slash"};
        QList<QByteArray> gnuList{tool.program};
        QList<QByteArray> ourList{QUIVA_CLI_PATH, "checksum", "--algo", tool.algo};
        for (const QByteArray& name : names) {
            ASSERT_TRUE(WriteNative(dir.Sub(DecodeNativeName(name)), "content of " + name));
            gnuList.append(name);
            ourList.append(name);
        }
        const TProgramRun gnuSums = RunProgram(gnuList, Native(dir.Path()));
        if (gnuSums.exitCode != 0) {
            GTEST_SKIP() << tool.program << " is not available: " << gnuSums.err.constData();
        }
        const TProgramRun ourSums = RunProgram(ourList, Native(dir.Path()));
        ASSERT_EQ(ourSums.exitCode, 0) << ourSums.err.constData();
        // One list as the GNU tool wrote it with a malformed line and a comment, and one as
        // quiva writes it (upper-case digits).
        ASSERT_TRUE(
            WriteNative(dir.Sub("gnu.sums"), gnuSums.out + "not a checksum line\n# a comment\n"));
        ASSERT_TRUE(WriteNative(dir.Sub("our.sums"), ourSums.out));
        ASSERT_TRUE(WriteNative(dir.Sub("damaged"), "changed"));
        ASSERT_TRUE(QFile::remove(dir.Sub("missing")));

        for (const char* list : {"gnu.sums", "our.sums"}) {
            SCOPED_TRACE(list);
            const TProgramRun gnu = RunProgram({tool.program, "-c", list}, Native(dir.Path()));
            const TProgramRun ours =
                RunProgram({QUIVA_CLI_PATH, "checksum", "--check", list}, Native(dir.Path()));
            EXPECT_EQ(ours.out, gnu.out);
            EXPECT_EQ(ours.exitCode, gnu.exitCode);
            EXPECT_EQ(ours.exitCode, 1);
            EXPECT_EQ(Warnings(ours.err), Warnings(gnu.err));
            EXPECT_TRUE(ours.err.contains("quiva checksum: missing: No such file or directory\n"))
                << ours.err.constData();
        }
        // The lines themselves, for the record.
        const TProgramRun ours =
            RunProgram({QUIVA_CLI_PATH, "checksum", "--check", "our.sums"}, Native(dir.Path()));
        EXPECT_EQ(ours.out,
                  "good: OK\ndamaged: FAILED\nmissing: FAILED open or read\n"
                  "caf\xE9.bin: OK\n\\two\\nlines: OK\nback\\slash: OK\n");
        EXPECT_TRUE(
            ours.err.endsWith("quiva checksum: WARNING: 1 listed file could not be read\n"
                              "quiva checksum: WARNING: 1 computed checksum did NOT "
                              "match\n"))
            << ours.err.constData();
    }
}

TEST(ChecksumCommand, TaggedListsRoundTripAndGnuTakesThem) {
    using namespace file_tool_test;
    TestDir dir;
    const QList<QByteArray> files = {"abc", "caf\xE9", "new\nline"};
    for (const QByteArray& file : files) {
        ASSERT_TRUE(WriteNative(dir.Sub(DecodeNativeName(file)), file.left(3)));
    }

    // All five digests of each file as tagged lines, checked back: five OKs per file.
    const TProgramRun tagged = RunProgram(
        QList<QByteArray>{QUIVA_CLI_PATH, "checksum", "--tag"} + files, Native(dir.Path()));
    ASSERT_EQ(tagged.exitCode, 0) << tagged.err.constData();
    EXPECT_TRUE(tagged.out.startsWith(  // the digests of "abc"
        "CRC32 (abc) = 352441C2\nMD5 (abc) = 900150983CD24FB0D6963F7D28E17F72\n"
        "SHA1 (abc) = A9993E364706816ABA3E25717850C26C9CD0D89D\n"
        "SHA256 (abc) = BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD\n"
        "QUIVASH (abc) = B74A41E9E0AF052824210D54B874D2E9515F1CC0F8148390837CF920F7A08D1B\n"))
        << tagged.out.constData();
    EXPECT_TRUE(tagged.out.contains("\\SHA1 (new\\nline) = ")) << tagged.out.constData();
    ASSERT_TRUE(WriteNative(dir.Sub("all.tags"), tagged.out));
    const TProgramRun checked =
        RunProgram({QUIVA_CLI_PATH, "checksum", "--check", "all.tags"}, Native(dir.Path()));
    EXPECT_EQ(checked.exitCode, 0) << checked.err.constData();
    EXPECT_EQ(checked.out, QByteArray("abc: OK\n").repeated(5) +
                               QByteArray("caf\xE9: OK\n").repeated(5) +
                               QByteArray("\\new\\nline: OK\n").repeated(5));
    EXPECT_TRUE(checked.err.isEmpty()) << checked.err.constData();

    // sha256sum takes quiva's tagged SHA256 lines, and quiva takes sha256sum's.
    const TProgramRun ourSha = RunProgram(
        QList<QByteArray>{QUIVA_CLI_PATH, "checksum", "--tag", "--algo", "sha256"} + files,
        Native(dir.Path()));
    ASSERT_TRUE(WriteNative(dir.Sub("our.tags"), ourSha.out));
    const TProgramRun gnuTags =
        RunProgram(QList<QByteArray>{"sha256sum", "--tag"} + files, Native(dir.Path()));
    if (gnuTags.exitCode != 0) {
        GTEST_SKIP() << "sha256sum is not available";
    }
    EXPECT_EQ(ourSha.out.toLower(), gnuTags.out.toLower());
    ASSERT_TRUE(WriteNative(dir.Sub("gnu.tags"), gnuTags.out));
    const TProgramRun gnuChecks = RunProgram({"sha256sum", "-c", "our.tags"}, Native(dir.Path()));
    EXPECT_EQ(gnuChecks.exitCode, 0) << gnuChecks.err.constData();
    const TProgramRun ourChecks =
        RunProgram({QUIVA_CLI_PATH, "checksum", "--check", "gnu.tags"}, Native(dir.Path()));
    EXPECT_EQ(ourChecks.exitCode, 0) << ourChecks.err.constData();
    EXPECT_EQ(ourChecks.out, gnuChecks.out);
}

TEST(ChecksumCommand, CheckOfListsThatCannotServe) {
    using namespace file_tool_test;
    TestDir dir;
    ASSERT_TRUE(WriteNative(dir.Sub("abc"), "abc"));
    ASSERT_TRUE(WriteNative(dir.Sub("garbage"), "no checksum here\n\n"));

    // A list without one checksum line, as sha256sum says it; a list that is not there.
    const TProgramRun garbage = RunProgram(
        {QUIVA_CLI_PATH, "checksum", "--check", "garbage", "absent"}, Native(dir.Path()));
    EXPECT_EQ(garbage.exitCode, 1);
    EXPECT_TRUE(garbage.out.isEmpty());
    EXPECT_EQ(garbage.err,
              "quiva checksum: absent: No such file or directory\n"
              "quiva checksum: garbage: no properly formatted checksum lines found\n");
    const TProgramRun gnu = RunProgram({"sha256sum", "-c", "garbage"}, Native(dir.Path()));
    if (gnu.exitCode >= 0) {
        EXPECT_EQ(gnu.exitCode, 1);
        EXPECT_TRUE(gnu.err.endsWith("garbage: no properly formatted checksum lines found\n"));
    }

    // A Quivash list checks only with --algo quivash: 64 untagged digits are SHA-256 else.
    const TProgramRun quivash =
        RunProgram({QUIVA_CLI_PATH, "checksum", "--algo", "quivash", "abc"}, Native(dir.Path()));
    ASSERT_TRUE(WriteNative(dir.Sub("quivash.sums"), quivash.out));
    const TProgramRun asQuivash =
        RunProgram({QUIVA_CLI_PATH, "checksum", "--check", "--algo", "quivash", "quivash.sums"},
                   Native(dir.Path()));
    EXPECT_EQ(asQuivash.exitCode, 0) << asQuivash.err.constData();
    EXPECT_EQ(asQuivash.out, "abc: OK\n");
    const TProgramRun asSha =
        RunProgram({QUIVA_CLI_PATH, "checksum", "--check", "quivash.sums"}, Native(dir.Path()));
    EXPECT_EQ(asSha.exitCode, 1);
    EXPECT_EQ(asSha.out, "abc: FAILED\n");

    // "-" is standard input.
    QProcess process;
    process.setWorkingDirectory(dir.Path());
    process.start(QStringLiteral(QUIVA_CLI_PATH), {"checksum", "--check", "-"});
    ASSERT_TRUE(process.waitForStarted(10000));
    process.write("900150983cd24fb0d6963f7d28e17f72  abc\n");
    process.closeWriteChannel();
    ASSERT_TRUE(process.waitForFinished(60000));
    EXPECT_EQ(process.exitCode(), 0);
    EXPECT_EQ(process.readAllStandardOutput(), "abc: OK\n");

    // Usage errors.
    for (const QStringList& args :
         {QStringList{"checksum", "--check"}, QStringList{"checksum", "--check", "--tag", "x"},
          QStringList{"checksum", "--check", "--algo", "md5,sha1", "x"}}) {
        const Outcome usage = RunQuiva(args);
        EXPECT_EQ(usage.exitCode, 2) << qPrintable(args.join(' '));
        EXPECT_TRUE(usage.err.startsWith("quiva checksum: ")) << usage.err.constData();
    }
}

}  // namespace
