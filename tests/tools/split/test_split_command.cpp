// `quiva split --manifest` and `quiva splice` end to end: the checksum list beside the
// pieces is one that sha256sum -c passes where it lies, and splice checks the pieces and
// the joined file with it.
#include "support/run_program.h"
#include "support/test_dir.h"
#include "tools/common/file_tool_test_support.h"

#include <QCryptographicHash>

#include <gtest/gtest.h>

namespace {

using namespace file_tool_test;

// The SHA-256 of bytes in upper-case hex, as the checksum list holds it.
QByteArray Sha256Hex(const QByteArray& bytes) {
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex().toUpper();
}

QByteArray Content(int size) {
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 7919) >> 3);
    }
    return bytes;
}

TProgramRun Quiva(const TestDir& dir, QList<QByteArray> args) {
    args.prepend(QUIVA_CLI_PATH);
    return RunProgram(args, Native(dir.Path()), {"XDG_DATA_HOME=" + Native(dir.Sub("xdg"))});
}

TProgramRun Sha256sum(const QString& folder, const QList<QByteArray>& args) {
    return RunProgram(QList<QByteArray>{"sha256sum"} + args, Native(folder));
}

TEST(SplitCommand, TheChecksumListServesSha256sumAndSplice) {
    TestDir dir;
    // A name that is not UTF-8, so that the list's names are bytes too.
    const QByteArray name = "m\xE9movie.avi";
    const QByteArray content = Content(3000);
    ASSERT_TRUE(WriteNative(dir.Sub(DecodeNativeName(name)), content));
    dir.MakeDir("out");
    const TProgramRun split =
        Quiva(dir, {"split", name, "out", "--size", "1K", "--manifest", "--progress"});
    ASSERT_EQ(split.exitCode, 0) << split.err.constData();
    EXPECT_EQ(split.err, "33% Done\n67% Done\n100% Done\nSplitting Complete\n");
    EXPECT_EQ(NativeNames(dir.Sub("out")),
              QList<QByteArray>({name + ".001", name + ".002", name + ".003", name + ".sha256"}));
    const QByteArray list = ReadNative(dir.Sub("out/" + DecodeNativeName(name + ".sha256")));
    EXPECT_EQ(list.count('\n'), 4);

    // sha256sum passes the list as it is written, in the pieces' folder: the whole file's
    // line is a comment it does not read.
    EXPECT_TRUE(list.endsWith("\n# " + Sha256Hex(content) + "  " + name + "\n"))
        << list.constData();
    const TProgramRun before = Sha256sum(dir.Sub("out"), {"-c", name + ".sha256"});
    if (before.exitCode < 0) {
        GTEST_SKIP() << "sha256sum is not available";
    }
    EXPECT_EQ(before.exitCode, 0) << before.out.constData() << before.err.constData();
    EXPECT_EQ(before.out, name + ".001: OK\n" + name + ".002: OK\n" + name + ".003: OK\n");
    EXPECT_TRUE(before.err.isEmpty()) << before.err.constData();
    EXPECT_EQ(Sha256sum(dir.Sub("out"), {"-c", "--strict", name + ".sha256"}).exitCode, 0);

    // Splice checks each piece, joins them beside the list, and sha256sum agrees.
    const QByteArray out = "out/" + name;
    const TProgramRun splice =
        Quiva(dir, {"splice", out, out + ".001", out + ".002", out + ".003", "--progress"});
    ASSERT_EQ(splice.exitCode, 0) << splice.err.constData();
    EXPECT_EQ(splice.err,
              "out/m\\xE9movie.avi.001: OK\nout/m\\xE9movie.avi.002: OK\n"
              "out/m\\xE9movie.avi.003: OK\nout/m\\xE9movie.avi.001\n"
              "out/m\\xE9movie.avi.002\nout/m\\xE9movie.avi.003\nSplicing Complete\n");
    EXPECT_EQ(ReadNative(dir.Sub(DecodeNativeName(out))), content);
    const TProgramRun after = Sha256sum(dir.Sub("out"), {"-c", name + ".sha256"});
    EXPECT_EQ(after.exitCode, 0) << after.out.constData();
    // The joined file against the whole file's line: splice refuses a damaged one.
    const QString listPath = dir.Sub("out/" + DecodeNativeName(name + ".sha256"));
    QByteArray spoiled = list;
    spoiled.replace("# " + Sha256Hex(content), "# " + Sha256Hex("other bytes"));
    ASSERT_TRUE(WriteNative(listPath, spoiled));
    const TProgramRun mismatch =
        Quiva(dir, {"splice", "whole", out + ".001", out + ".002", out + ".003"});
    EXPECT_EQ(mismatch.exitCode, 1);
    EXPECT_EQ(mismatch.err,
              "quiva splice: The joined file does not match the checksum in "
              "out/m\\xE9movie.avi.sha256\n");
    EXPECT_FALSE(QFile::exists(dir.Sub("whole")));
    ASSERT_TRUE(WriteNative(listPath, list));

    // A damaged piece: splice names it and writes nothing; sha256sum sees it too.
    QByteArray damaged = content.mid(1024, 1024);
    damaged[10] = static_cast<char>(damaged[10] ^ 1);
    ASSERT_TRUE(WriteNative(dir.Sub(DecodeNativeName(out + ".002")), damaged));
    const TProgramRun refused =
        Quiva(dir, {"splice", "joined", out + ".001", out + ".002", out + ".003"});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.err,
              "quiva splice: out/m\\xE9movie.avi.002 is damaged: its checksum does not match "
              "out/m\\xE9movie.avi.sha256\n");
    EXPECT_FALSE(QFile::exists(dir.Sub("joined")));
    EXPECT_TRUE(
        Sha256sum(dir.Sub("out"), {"-c", name + ".sha256"}).out.contains(name + ".002: FAILED\n"));

    // Without --manifest no list is written, and the help says what the option does.
    dir.MakeDir("plain");
    ASSERT_EQ(Quiva(dir, {"split", name, "plain", "--size", "1K"}).exitCode, 0);
    EXPECT_EQ(NativeNames(dir.Sub("plain")).size(), 3);
    EXPECT_TRUE(Quiva(dir, {"split", "--help"}).out.contains("--manifest"));
}

}  // namespace
