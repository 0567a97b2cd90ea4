// The version blob: method choice, length field, word scrambling, zlib format and the
// decoder's refusals.
#include "backup/version_blob.h"
#include "base/errors.h"
#include "base/settings_codec.h"

#include <QFile>
#include <QRandomGenerator>
#include <QtEndian>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <gtest/gtest.h>

namespace {

const TBlobKeys kKeys = TBlobKeys::FromPassword("vompa7");

QByteArray Compressible(qsizetype size) {
    return QByteArray(size, 'a');
}

QByteArray Incompressible(qsizetype size, quint32 seed = 7) {
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator random(seed);
    for (char& byte : bytes) {
        byte = static_cast<char>(random.bounded(256));
    }
    return bytes;
}

QByteArray Encode(const QString& name, const QByteArray& content) {
    return EncodeVersion(content, ShouldTryCompress(name, content.size()), kKeys);
}

QString ErrorOf(const QByteArray& blob, const TBlobKeys& keys, qint64 expected = -1) {
    try {
        DecodeVersion(blob, keys, expected);
    } catch (const EQuiva& error) {
        return error.Message();
    }
    return QString();
}

TEST(VersionBlob, KeysComeFromThePasswordHash) {
    EXPECT_EQ(kKeys.dataKey, Hash32(QByteArray("vompa7")));
    EXPECT_EQ(kKeys.lengthKey, kKeys.dataKey ^ kLengthKeyMask);
    EXPECT_EQ(TBlobKeys::FromHash(kKeys.dataKey).lengthKey, kKeys.lengthKey);
}

TEST(VersionBlob, MethodFollowsSizeAndExtension) {
    struct Case {
        const char* name;
        QByteArray content;
        int method;
    };
    const Case cases[] = {
        {"small.txt", Compressible(48), kMethodStored},   // under the floor
        {"edge.txt", Compressible(49), kMethodZlib},      // stream shorter than 49 bytes
        {"edge.bin", Incompressible(49), kMethodStored},  // stream not shorter
        {"report.GZ", Compressible(1000), kMethodStored},
        {"x.z", Compressible(1000), kMethodStored},  // ".z" occurs in ".zip"
        {"y.g", Compressible(1000), kMethodStored},  // ".g" occurs in ".gz"
        {"photo.png", Compressible(1000), kMethodStored},
        {"a.tar", Compressible(1000), kMethodZlib},
        {"noextension", Compressible(1000), kMethodZlib},
        {"/folder.gz/inner", Compressible(1000), kMethodZlib},  // the folder's dot is no extension
        // A larger file is tried on its first 8 KiB first: when deflate cannot shrink them,
        // the file is stored as it is, however well the rest would compress.
        {"late.dat", Incompressible(8192) + Compressible(100000), kMethodStored},
        {"early.dat", Compressible(8192) + Incompressible(100000), kMethodZlib},
        {"whole.dat", Incompressible(8192), kMethodStored},
        // Bytes of all values in even shares, but repeated: deflate shrinks the first block.
        {"repeats.dat", Incompressible(1024).repeated(100), kMethodZlib},
    };
    for (const Case& c : cases) {
        const QByteArray blob = Encode(c.name, c.content);
        EXPECT_EQ(BlobMethod(blob), c.method) << c.name;
        EXPECT_EQ(DecodeVersion(blob, kKeys, c.content.size()), c.content) << c.name;
    }
}

TEST(VersionBlob, EmptyFileIsAFiveByteBlobThatCannotBeRead) {
    const QByteArray blob = Encode("empty.txt", QByteArray());
    ASSERT_EQ(blob.size(), 5);
    EXPECT_EQ(BlobMethod(blob), kMethodStored);
    EXPECT_EQ(qFromLittleEndian<quint32>(blob.constData() + 1), 0u ^ kKeys.lengthKey);
    EXPECT_EQ(ErrorOf(blob, kKeys), "Invalid backup data");
}

TEST(VersionBlob, TenBytePayloadScramblesTwoWordsAndKeepsTheTail) {
    const QByteArray content("0123456789");
    const QByteArray blob = Encode("ten.txt", content);
    ASSERT_EQ(blob.size(), 15);
    EXPECT_EQ(BlobMethod(blob), kMethodStored);
    EXPECT_EQ(qFromLittleEndian<quint32>(blob.constData() + 1), 10u ^ kKeys.lengthKey);
    const quint32 w0 = qFromLittleEndian<quint32>(content.constData());
    const quint32 w1 = qFromLittleEndian<quint32>(content.constData() + 4);
    EXPECT_EQ(qFromLittleEndian<quint32>(blob.constData() + 5), w0 ^ kKeys.dataKey);
    EXPECT_EQ(qFromLittleEndian<quint32>(blob.constData() + 9), w1 ^ (kKeys.dataKey >> 1));
    EXPECT_EQ(blob.mid(13), QByteArray("89"));
}

TEST(VersionBlob, ScramblingKeyShiftRepeatsEvery32Words) {
    QByteArray payload(4 * 40, '\0');
    ScramblePayload(payload.data(), payload.size(), 0xF0000000u);
    EXPECT_EQ(qFromLittleEndian<quint32>(payload.constData() + 4 * 31), 0xF0000000u >> 31);
    EXPECT_EQ(qFromLittleEndian<quint32>(payload.constData() + 4 * 32), 0xF0000000u);
    EXPECT_EQ(qFromLittleEndian<quint32>(payload.constData() + 4 * 33), 0xF0000000u >> 1);
}

TEST(VersionBlob, StoredPayloadFollowsTheWordRuleAtEveryLength) {
    // Lengths around the 32-word period of the key shifts and the tail of 1 to 3 bytes.
    for (const qsizetype length : {1, 3, 4, 5, 127, 128, 129, 131, 255, 256, 260, 4099, 70001}) {
        const QByteArray content = Incompressible(length, static_cast<quint32>(length));
        const QByteArray blob = EncodeVersion(content, false, kKeys);
        ASSERT_EQ(blob.size(), kBlobHeaderSize + length);
        QByteArray expected = content;
        for (qsizetype i = 0; i + 4 <= length; i += 4) {
            const quint32 word = qFromLittleEndian<quint32>(content.constData() + i);
            qToLittleEndian(word ^ (kKeys.dataKey >> ((i / 4) % 32)), expected.data() + i);
        }
        EXPECT_EQ(blob.mid(kBlobHeaderSize), expected) << length;
        QByteArray inPlace = content;
        ScramblePayload(inPlace.data(), inPlace.size(), kKeys.dataKey);
        EXPECT_EQ(inPlace, expected) << length;
    }
}

TEST(VersionBlob, CompressedPayloadIsAStandardZlibStream) {
    const QByteArray content = Compressible(5000) + Incompressible(300);
    QByteArray blob = Encode("mixed.dat", content);
    ASSERT_EQ(BlobMethod(blob), kMethodZlib);
    QByteArray payload = blob.mid(kBlobHeaderSize);
    ScramblePayload(payload.data(), payload.size(), kKeys.dataKey);
    EXPECT_EQ(static_cast<quint8>(payload[0]), 0x78);  // deflate, 32 KiB window
    QByteArray out(content.size(), '\0');
    uLongf outLength = static_cast<uLongf>(out.size());
    ASSERT_EQ(uncompress(reinterpret_cast<Bytef*>(out.data()), &outLength,
                         reinterpret_cast<const Bytef*>(payload.constData()),
                         static_cast<uLong>(payload.size())),
              Z_OK);
    EXPECT_EQ(out, content);
}

TEST(VersionBlob, RoundTripsByteEqual) {
    for (const QByteArray& content : {Compressible(3 * 65536 + 3), Incompressible(100003),
                                      Incompressible(1), QByteArray("x")}) {
        const QByteArray blob = Encode("file.dat", content);
        EXPECT_EQ(DecodeVersion(blob, kKeys, content.size()), content);
        EXPECT_EQ(DecodeVersion(blob, kKeys), content);
    }
}

TEST(VersionBlob, DecoderRefusesWrongKeysAndDamage) {
    const QByteArray content = Compressible(4000);
    const QByteArray blob = Encode("file.txt", content);
    EXPECT_EQ(ErrorOf(blob, TBlobKeys::FromPassword("other")), "Invalid encryption password");
    EXPECT_EQ(ErrorOf(blob.left(3), kKeys), "Invalid backup data");
    // The payload shortened and the length field made to match: the stream ends early.
    QByteArray cut = blob.left(blob.size() - 4);
    qToLittleEndian<quint32>(static_cast<quint32>(cut.size() - 5) ^ kKeys.lengthKey,
                             cut.data() + 1);
    EXPECT_EQ(ErrorOf(cut, kKeys), "Invalid backup data");
    QByteArray flipped = blob;
    flipped[10] = static_cast<char>(flipped[10] ^ 0x55);
    EXPECT_EQ(ErrorOf(flipped, kKeys), "Invalid backup data");
    QByteArray unknown = blob;
    unknown[0] = 7;
    EXPECT_EQ(ErrorOf(unknown, kKeys), "Invalid backup data");
    // A stream that inflates to more (or less) than the stored size is refused.
    EXPECT_EQ(ErrorOf(blob, kKeys, content.size() - 1), "Invalid backup data");
    EXPECT_EQ(ErrorOf(blob, kKeys, content.size() + 1), "Invalid backup data");
    const QByteArray raw = Encode("raw.zip", content);
    EXPECT_EQ(ErrorOf(raw, kKeys, content.size() + 1), "Invalid backup data");
}

// A blob as the writer makes it around any payload: method byte, length field and the
// scrambled payload.
QByteArray Craft(int method, const QByteArray& payload) {
    QByteArray blob(kBlobHeaderSize, '\0');
    blob[0] = static_cast<char>(method);
    qToLittleEndian<quint32>(static_cast<quint32>(payload.size()) ^ kKeys.lengthKey,
                             blob.data() + 1);
    QByteArray scrambled = payload;
    ScramblePayload(scrambled.data(), scrambled.size(), kKeys.dataKey);
    return blob + scrambled;
}

QByteArray ZlibStream(const QByteArray& content) {
    uLongf length = compressBound(static_cast<uLong>(content.size()));
    QByteArray stream(static_cast<qsizetype>(length), Qt::Uninitialized);
    EXPECT_EQ(compress2(reinterpret_cast<Bytef*>(stream.data()), &length,
                        reinterpret_cast<const Bytef*>(content.constData()),
                        static_cast<uLong>(content.size()), 9),
              Z_OK);
    stream.resize(static_cast<qsizetype>(length));
    return stream;
}

TEST(VersionBlob, ImpossibleStatedSizesAndDamagedStreamsFailLoudly) {
    const QByteArray content = Compressible(100000) + Incompressible(5000);
    const QByteArray stream = ZlibStream(content);
    const QByteArray blob = Craft(kMethodZlib, stream);
    ASSERT_EQ(DecodeVersion(blob, kKeys, content.size()), content);
    struct Case {
        const char* what;
        QByteArray blob;
        qint64 stated;
    };
    const QByteArray tiny = ZlibStream(QByteArray(20, 'z'));
    const Case cases[] = {
        {"more than deflate can inflate to", Craft(kMethodZlib, tiny), 1032 * tiny.size() + 1},
        {"more than any version", blob, 65 * 1024 * 1024},
        {"4 GiB claimed by a few bytes", Craft(kMethodZlib, tiny), 0xFFFFFFFFLL},
        {"a stream holding more than stated", blob, content.size() - 1},
        {"a stream holding less than stated", blob, content.size() + 1},
        {"cut after the header", Craft(kMethodZlib, stream.left(2)), content.size()},
        {"cut in the middle", Craft(kMethodZlib, stream.left(stream.size() / 2)), content.size()},
        {"cut before the checksum", Craft(kMethodZlib, stream.left(stream.size() - 4)),
         content.size()},
        {"cut and size unknown", Craft(kMethodZlib, stream.left(stream.size() - 1)), -1},
        {"stored, shorter than stated", Craft(kMethodStored, "0123456789"), 11},
        {"stored, longer than stated", Craft(kMethodStored, "0123456789"), 9},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ErrorOf(c.blob, kKeys, c.stated), "Invalid backup data") << c.what;
    }
}

TEST(VersionBlob, AHugeStatedSizeTakesNoRoomBeforeItIsRefused) {
    // In a child whose address space cannot hold 4 GiB: a decoder that made room for the
    // stated size first would fail to allocate instead of refusing the blob.
    const QByteArray tiny = ZlibStream(QByteArray(20, 'z'));
    const QByteArray blob = Craft(kMethodZlib, tiny);
    ASSERT_EQ(blob.size(), kBlobHeaderSize + tiny.size());
    qint64 vmKb = 0;
    QFile status("/proc/self/status");
    ASSERT_TRUE(status.open(QIODevice::ReadOnly));
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmSize:")) {
            vmKb = line.mid(7).trimmed().split(' ').first().toLongLong();
        }
    }
    ASSERT_GT(vmKb, 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        struct rlimit limit;
        limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(vmKb + 1024 * 1024) * 1024;
        if (setrlimit(RLIMIT_AS, &limit) != 0) {
            _exit(10);
        }
        try {
            DecodeVersion(blob, kKeys, 0xFFFFFFFFLL);
        } catch (const EQuiva& error) {
            _exit(error.Message() == QLatin1String("Invalid backup data") ? 0 : 11);
        } catch (...) {
            _exit(12);
        }
        _exit(13);
    }
    int status_ = 0;
    ASSERT_EQ(waitpid(child, &status_, 0), child);
    ASSERT_TRUE(WIFEXITED(status_)) << "the decoder died: signal " << WTERMSIG(status_);
    EXPECT_EQ(WEXITSTATUS(status_), 0);
}

}  // namespace
