// `quiva compare` end to end: equal, different and unreadable files with cmp's exit codes,
// the window's texts, and every difference checked against `cmp -l` on random files.
#include "support/run_program.h"
#include "support/test_dir.h"
#include "tools/common/file_tool_test_support.h"

#include <gtest/gtest.h>

#include <random>

namespace {

TProgramRun Quiva(const QList<QByteArray>& args) {
    QList<QByteArray> argv{QUIVA_CLI_PATH, "compare"};
    argv += args;
    return RunProgram(argv);
}

QByteArray N(const QString& path) {
    return file_tool_test::Native(path);
}

TEST(CompareCommand, EqualDifferentAndUnreadable) {
    TestDir dir;
    const QString same1 = dir.Write("same1", "0123456789");
    const QString same2 = dir.Write("same2", "0123456789");
    TProgramRun run = Quiva({N(same1), N(same2)});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, "Segment Size: 8 Bytes\nQuivix: AA\n");

    QByteArray forty(40, 'x');
    const QString a = dir.Write("a", forty);
    forty[5] = 'y';
    // A name that is not UTF-8 reaches the file by its bytes.
    const QString b = dir.Sub(file_tool_test::Latin1Name());
    ASSERT_TRUE(file_tool_test::WriteNative(b, forty));
    run = Quiva({N(a), N(b)});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out,
              "Segment Size: 8 Bytes\n"
              "Offset    File A File B\n"
              "00000005  78     79\n"
              "Quivix: BAAAA\n");

    const QString longer = dir.Write("longer", QByteArray(40, 'x') + "more");
    run = Quiva({N(longer), N(a)});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.out.endsWith("Quivix: AAAAA\nFile A is longer: 40 of 44 bytes compared\n"))
        << run.out.constData();

    // Nothing in common: no segment size and no index, as the window shows none.
    const QString empty = dir.Write("empty", "");
    const QString empty2 = dir.Write("empty2", "");
    run = Quiva({N(empty), N(empty2)});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, "");
    run = Quiva({N(empty), N(same1)});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, "File B is longer: 0 of 10 bytes compared\n");

    run = Quiva({N(a), N(dir.Sub("missing"))});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.err, "quiva compare: " + N(dir.Sub("missing")) + ": No such file or directory\n");
    EXPECT_TRUE(run.out.isEmpty());
    run = Quiva({N(a), N(dir.Path())});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_TRUE(run.err.endsWith(": Not a regular file\n")) << run.err.constData();

    for (const QList<QByteArray>& args :
         {QList<QByteArray>{N(a)}, {N(a), N(a), N(a)}, {"--every", N(a), N(a)}}) {
        run = Quiva(args);
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_TRUE(run.err.endsWith("Try 'quiva compare --help' for more information.\n"))
            << run.err.constData();
    }
    run = Quiva({"--help"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(run.out.startsWith("Usage: quiva compare"));
}

// cmp -l prints every differing byte as "OFFSET A B": the offset from 1 in decimal, the
// bytes in octal. Our lines say the same in hexadecimal, from 0.
QByteArray FromCmp(const QByteArray& cmpOutput) {
    QByteArray lines;
    for (const QByteArray& line : cmpOutput.split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() != 3) {
            continue;
        }
        char text[64];
        std::snprintf(text, sizeof text, "%08llX  %02X     %02X\n", fields[0].toULongLong() - 1,
                      fields[1].toUInt(nullptr, 8), fields[2].toUInt(nullptr, 8));
        lines += text;
    }
    return lines;
}

TEST(CompareCommand, EveryDifferenceAsCmpListsIt) {
    TestDir dir;
    std::mt19937 generator(99);
    for (const int size : {1000, 300000, 5 << 20}) {
        SCOPED_TRACE(size);
        QByteArray a(size, Qt::Uninitialized);
        for (char& c : a) {
            c = static_cast<char>(generator());
        }
        QByteArray b = a;
        for (int i = 0; i < 150; ++i) {
            const int at = generator() % size;
            b[at] = static_cast<char>(b[at] ^ (1 + generator() % 255));
        }
        const QString pathA = dir.Write("a.bin", a);
        const QString pathB = dir.Write("b.bin", b);
        const TProgramRun cmp = RunProgram({"cmp", "-l", N(pathA), N(pathB)});
        ASSERT_EQ(cmp.exitCode, 1);
        const QByteArray expected = FromCmp(cmp.out);

        TProgramRun run = Quiva({N(pathA), N(pathB), "--all"});
        EXPECT_EQ(run.exitCode, 1);
        const QList<QByteArray> lines = run.out.split('\n');
        ASSERT_GE(lines.size(), 4);
        EXPECT_EQ(lines[1], "Offset    File A File B");
        const qsizetype tableStart = run.out.indexOf('\n', run.out.indexOf("File B")) + 1;
        const qsizetype tableEnd = run.out.indexOf("Quivix: ");
        EXPECT_EQ(run.out.mid(tableStart, tableEnd - tableStart), expected);

        // Without --all, the first 64 of them.
        run = Quiva({N(pathA), N(pathB)});
        EXPECT_EQ(run.exitCode, 1);
        const QList<QByteArray> firstLines = expected.split('\n').mid(0, 64);
        EXPECT_EQ(run.out.mid(tableStart, run.out.indexOf("Quivix: ") - tableStart),
                  firstLines.join('\n') + '\n');
    }
}

}  // namespace
