// The digests: published vectors, Quivash against a plain reading of its definition (with
// the vector unit on and off, across block, group and reduce boundaries), and the published
// digests cross-checked with Debian's tools and Python's zlib on real files.
#include "base/digests.h"
#include "base/errors.h"
#include "support/test_dir.h"
#include "tools/checksummer/checksummer.h"

#include <QBuffer>
#include <QFile>
#include <QProcess>

#include <gtest/gtest.h>

#include <random>

namespace {

// ---- Quivash as its definition reads, one step at a time -------------------------------

quint32 RefTable(quint32 i) {
    for (int bit = 0; bit < 8; ++bit) {
        i = (i & 1) ? (i >> 1) ^ 0xEDB88320u : i >> 1;
    }
    return i;
}

QByteArray RefBlock(const QByteArray& block, quint32 s0) {
    QByteArray out;
    quint32 s = s0;
    for (int k = 0; k < 8; ++k) {
        quint32 h = 0x811C9DC5u - RefTable(s);
        for (const char byte : block) {
            h = h * 0x01000193u;
            h ^= static_cast<uchar>(byte);
        }
        for (int i = 0; i < 4; ++i) {
            out.append(static_cast<char>((h >> (8 * i)) & 0xFF));
        }
        s = h % 255;
    }
    return out;
}

QByteArray RefQuivash(const QByteArray& message) {
    const quint32 s0 = static_cast<quint32>(message.size() % 255);
    QByteArray accumulator;
    for (qsizetype at = 0; at < message.size(); at += 65536) {
        accumulator += RefBlock(message.mid(at, 65536), s0);
    }
    while (accumulator.size() > 32) {
        const QByteArray x = accumulator;
        accumulator.clear();
        for (qsizetype at = 0; at < x.size(); at += 65536) {
            accumulator += RefBlock(x.mid(at, 65536), s0);
        }
    }
    return RefBlock(accumulator, s0).toHex().toUpper();
}

QByteArray RandomBytes(qsizetype size, unsigned seed) {
    std::mt19937 generator(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char& byte : bytes) {
        byte = static_cast<char>(generator() & 0xFF);
    }
    return bytes;
}

QByteArray StreamOf(TDigestKind kind, const QByteArray& content) {
    QBuffer buffer;
    buffer.setData(content);
    buffer.open(QIODevice::ReadOnly);
    return StreamDigest(buffer, kind);
}

// Switches Quivash's vector unit for one scope.
class VectorSwitch {
public:
    explicit VectorSwitch(bool allowed) { TQuivash::AllowVectorForTesting(allowed); }
    ~VectorSwitch() { TQuivash::AllowVectorForTesting(true); }
};

// ---- published vectors -------------------------------------------------------------------

struct Vector {
    const char* name;
    QByteArray input;
    std::array<const char*, kDigestCount> expected;
};

const Vector kVectors[] = {
    {"empty",
     "",
     {"00000000", "D41D8CD98F00B204E9800998ECF8427E", "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709",
      "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855",
      "C59D1C812F6D150AC1336924B9BB657DFFC36B1B37F512EB85A45FD4D22049F4"}},
    {"abc",
     "abc",
     {"352441C2", "900150983CD24FB0D6963F7D28E17F72", "A9993E364706816ABA3E25717850C26C9CD0D89D",
      "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD",
      "B74A41E9E0AF052824210D54B874D2E9515F1CC0F8148390837CF920F7A08D1B"}},
};

TEST(Digests, PublishedVectorsThroughEveryStreamForm) {
    for (const Vector& vector : kVectors) {
        QBuffer buffer;
        buffer.setData(vector.input);
        ASSERT_TRUE(buffer.open(QIODevice::ReadOnly));
        buffer.seek(buffer.size());  // every stream form starts from 0 itself
        EXPECT_EQ(StreamCrc32(buffer), vector.expected[kDigestCrc32]) << vector.name;
        EXPECT_EQ(StreamMd5(buffer), vector.expected[kDigestMd5]) << vector.name;
        EXPECT_EQ(StreamSha1(buffer), vector.expected[kDigestSha1]) << vector.name;
        EXPECT_EQ(StreamSha256(buffer), vector.expected[kDigestSha256]) << vector.name;
        EXPECT_EQ(StreamQuivash(buffer), vector.expected[kDigestQuivash]) << vector.name;
    }
}

TEST(Digests, TextForms) {
    EXPECT_EQ(TextQuivash(""), "00E94223A19109ACCA00F5FBD71936FF0BE932019A5D2ECE4557013BA6985588");
    EXPECT_EQ(TextQuivash("abc"),
              "B74A41E9E0AF052824210D54B874D2E9515F1CC0F8148390837CF920F7A08D1B");

    // TextSha256 keeps the eight words least significant byte first.
    const QByteArray digest = TextSha256("abc");
    ASSERT_EQ(digest.size(), 32);
    EXPECT_EQ(digest.left(4), QByteArray::fromHex("BF1678BA"));
    const QByteArray standard =
        QByteArray::fromHex("BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD");
    for (int word = 0; word < 8; ++word) {
        QByteArray reversed = standard.mid(4 * word, 4);
        std::reverse(reversed.begin(), reversed.end());
        EXPECT_EQ(digest.mid(4 * word, 4), reversed) << "word " << word;
    }
    EXPECT_EQ(TextSha256("").size(), 32);
}

// ---- Quivash across its boundaries ---------------------------------------------------------

TEST(Quivash, MatchesItsDefinitionAcrossBlockAndGroupBoundaries) {
    const qsizetype block = kQuivashBlockSize;
    const qsizetype group = kQuivashGroupBlocks * block;
    const qsizetype sizes[] = {1,     254,       255,           block - 1,
                               block, block + 1, 3 * block + 7, group - 1,
                               group, group + 1, group + block, 2 * group + 5 * block + 77};
    unsigned seed = 1;
    for (const qsizetype size : sizes) {
        const QByteArray content = RandomBytes(size, seed++);
        const QByteArray expected = RefQuivash(content);
        EXPECT_EQ(StreamOf(kDigestQuivash, content), expected) << "size " << size;
        {
            VectorSwitch scalarOnly(false);
            EXPECT_EQ(StreamOf(kDigestQuivash, content), expected) << "scalar, size " << size;
        }
        // Block boundaries count from the first byte, however the input is split.
        TQuivash pieces(static_cast<quint64>(size));
        const auto* bytes = reinterpret_cast<const uchar*>(content.constData());
        for (qsizetype at = 0; at < size; at += 1000003) {
            pieces.Absorb(bytes + at, std::min<qsizetype>(1000003, size - at));
        }
        EXPECT_EQ(pieces.Finish(), expected) << "pieces, size " << size;
    }
}

TEST(Quivash, TextFormIsOneBlockUnlikeTheStreamForm) {
    // The same bytes as a text and as a stream agree while they fit one block ...
    const QByteArray small = RandomBytes(500, 7);
    EXPECT_EQ(TextQuivash(small), StreamOf(kDigestQuivash, small));
    // ... and the empty text is digested once more than the empty stream.
    EXPECT_NE(TextQuivash(""), StreamOf(kDigestQuivash, ""));
}

// ---- files, and the published digests against the standard tools ------------------------

// Debian's own Python starts faster than a shim in front of another one.
QString Python() {
    static const QString path =
        QFile::exists("/usr/bin/python3") ? QStringLiteral("/usr/bin/python3") : "python3";
    return path;
}

QByteArray RunTool(const QString& program, const QStringList& args) {
    QProcess process;
    process.start(program, args);
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        return {};
    }
    return process.readAllStandardOutput().trimmed();
}

// The digest as Debian's tools (and Python's zlib for CRC-32) print it, upper case.
QByteArray PeerDigest(TDigestKind kind, const QString& path) {
    static const char* const kCrcScript =
        "import sys, zlib\n"
        "crc = 0\n"
        "with open(sys.argv[1], 'rb') as f:\n"
        "    for chunk in iter(lambda: f.read(1 << 20), b''):\n"
        "        crc = zlib.crc32(chunk, crc)\n"
        "print('%08X' % crc)\n";
    QByteArray output;
    switch (kind) {
        case kDigestCrc32:
            output = RunTool(Python(), {"-c", kCrcScript, path});
            break;
        case kDigestMd5:
            output = RunTool("md5sum", {path});
            break;
        case kDigestSha1:
            output = RunTool("sha1sum", {path});
            break;
        case kDigestSha256:
            output = RunTool("sha256sum", {path});
            break;
        case kDigestQuivash:
            break;
    }
    return output.split(' ').value(0).toUpper();
}

std::array<QByteArray, kDigestCount> FileDigests(const QString& path) {
    std::array<QByteArray, kDigestCount> results;
    ComputeFileDigests(path, kAllDigests,
                       [&](TDigestKind kind, const QByteArray& hex) { results[kind] = hex; });
    return results;
}

// A sparse file of `size` bytes: zeros with a few marks, so that blocks differ.
QString WriteSparse(TestDir& dir, const QString& name, qint64 size) {
    const QString path = dir.Sub(name);
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    EXPECT_TRUE(file.resize(size));
    file.seek(0);
    file.write("Quivash");
    file.seek(1000 * kQuivashBlockSize + 5);
    file.write("block");
    file.seek(size - 1);
    file.write("\x5A");
    return path;
}

TEST(Digests, PublishedDigestsAgreeWithTheStandardTools) {
    TestDir dir;
    const qint64 block = kQuivashBlockSize;
    const qint64 chunk = kQuivashGroupBlocks * block;
    const qint64 sizes[] = {0, 1, block, block + 1, chunk + 3, 2 * chunk + 12345};
    unsigned seed = 100;
    for (const qint64 size : sizes) {
        const QString path =
            dir.Write(QStringLiteral("random%1").arg(size), RandomBytes(size, seed++));
        const auto ours = FileDigests(path);
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        for (const TDigestKind kind : {kDigestCrc32, kDigestMd5, kDigestSha1, kDigestSha256}) {
            const QByteArray peer = PeerDigest(kind, path);
            ASSERT_FALSE(peer.isEmpty()) << "peer tool for " << qPrintable(DigestLabel(kind));
            EXPECT_EQ(ours[kind], peer) << qPrintable(DigestLabel(kind)) << ", size " << size;
            EXPECT_EQ(StreamDigest(file, kind), peer) << qPrintable(DigestLabel(kind));
        }
        EXPECT_EQ(ours[kDigestQuivash], StreamQuivash(file));
    }
}

// Values computed with an independent Python reading of Quivash's definition.
TEST(Digests, TwoBlocksAndTheReduceThreshold) {
    TestDir dir;
    QByteArray pattern(65537, Qt::Uninitialized);
    for (qsizetype i = 0; i < pattern.size(); ++i) {
        pattern[i] = static_cast<char>((i * 7 + 3) & 0xFF);
    }
    struct Case {
        QString path;
        const char* quivash;
    };
    const Case cases[] = {
        // two blocks in the absorb step, one reduce round
        {dir.Write("p65537", pattern),
         "F7E41030AE9C7628870EAAC6DC20EBC578E0BB5AFE9ADD5790394EE835B6F711"},
        // 2048 blocks: the block digests fill exactly one reduce block
        {WriteSparse(dir, "s2048", 2048 * kQuivashBlockSize),
         "C3E1C32049F499D0FB974F8631360C73BCB1242DECDE74EEC88008964E0FD948"},
        // 2049 blocks: past the threshold, two reduce rounds
        {WriteSparse(dir, "s2049", 2048 * kQuivashBlockSize + 1),
         "9A0369FFED7FB957D573EF5E893341F0513BCBFC15B083E9E8494C95D3AFE1A0"},
    };
    for (const Case& c : cases) {
        const auto ours = FileDigests(c.path);
        EXPECT_EQ(ours[kDigestQuivash], c.quivash) << qPrintable(c.path);
        QFile file(c.path);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(StreamQuivash(file), c.quivash) << qPrintable(c.path);
        for (const TDigestKind kind : {kDigestCrc32, kDigestMd5, kDigestSha1, kDigestSha256}) {
            EXPECT_EQ(ours[kind], PeerDigest(kind, c.path))
                << qPrintable(DigestLabel(kind)) << " " << qPrintable(c.path);
        }
    }
}

// ---- failures --------------------------------------------------------------------------------

// A device that claims more bytes than it holds, like a file cut short while it is read.
class ShortDevice : public QBuffer {
public:
    ShortDevice(const QByteArray& content, qint64 claimed) : m_claimed(claimed) {
        setData(content);
        open(QIODevice::ReadOnly);
    }
    qint64 size() const override { return m_claimed; }

private:
    qint64 m_claimed;
};

TEST(Digests, AStreamEndingBeforeItsSizeFails) {
    for (int kind = 0; kind < kDigestCount; ++kind) {
        ShortDevice device(RandomBytes(100000, 3), 200000);
        try {
            StreamDigest(device, static_cast<TDigestKind>(kind));
            ADD_FAILURE() << "no failure for " << qPrintable(DigestLabel(TDigestKind(kind)));
        } catch (const EQuiva& error) {
            EXPECT_EQ(error.Message(), "Stream read error");
        }
    }
}

}  // namespace
