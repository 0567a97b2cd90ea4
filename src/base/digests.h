// The digests the kit computes: CRC-32, MD5, SHA-1 and SHA-256 (zlib and OpenSSL) and the
// kit's own Quivash, as stream forms over a whole file and text forms for other tools.
#pragma once

#include "base/quivash.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>

class QIODevice;

// The digests in the order the checksummer shows them (rows 0-4).
enum TDigestKind : int {
    kDigestCrc32 = 0,
    kDigestMd5 = 1,
    kDigestSha1 = 2,
    kDigestSha256 = 3,
    kDigestQuivash = 4,
};
constexpr int kDigestCount = 5;

// A set of digests as bits (1 << kind).
using TDigestSet = unsigned;
constexpr TDigestSet kAllDigests = (1u << kDigestCount) - 1;
constexpr TDigestSet DigestBit(TDigestKind kind) {
    return 1u << kind;
}

// The row label of a digest: "CRC32", "MD5", "SHA1", "SHA256", "Quivash".
QString DigestLabel(TDigestKind kind);

// The status text shown once a digest's row is filled: "CRC Updated", "MD5 Updated",
// "SHA1 Updated", "SHA 256 Updated"; empty for Quivash, after which the calculation is done.
QString DigestUpdatedText(TDigestKind kind);

// The digest a name stands for, ignoring case: "crc32", "md5", "sha1", "sha256",
// "quivash". None for any other name.
std::optional<TDigestKind> DigestKindFromName(const QString& name);

// One digest computed over bytes fed in order. Update raises EQuiva when the library
// fails; Final returns the upper-case hex text and spends the object.
// Thread safety: one object per thread.
class TDigester {
public:
    virtual ~TDigester();
    virtual void Update(const uchar* data, qsizetype size) = 0;
    virtual QByteArray Final() = 0;
};

// A digester of the kind for an input of `totalLength` bytes (Quivash's seed needs the
// length up front; the others ignore it).
std::unique_ptr<TDigester> MakeDigester(TDigestKind kind, quint64 totalLength);

// The stream forms: each puts the open stream at 0, takes its size and reads it in blocks
// of up to 65 536 bytes until the size is consumed. Results: CRC-32 as 8 hex digits, MD5
// 32, SHA-1 40, SHA-256 64 (the standard form) and Quivash 64, all upper case. A stream
// that cannot be read, or ends before its size, raises EQuiva with the reason.
// Thread safety: any thread, one stream per thread.
QByteArray StreamCrc32(QIODevice& stream);
QByteArray StreamMd5(QIODevice& stream);
QByteArray StreamSha1(QIODevice& stream);
QByteArray StreamSha256(QIODevice& stream);
QByteArray StreamQuivash(QIODevice& stream);
QByteArray StreamDigest(QIODevice& stream, TDigestKind kind);

// SHA-256 of the text's bytes as 32 raw bytes: the eight 32-bit words H0 .. H7, each
// stored least significant byte first (so every group of four is the reverse of the
// standard digest's bytes). Thread safety: any thread.
QByteArray TextSha256(const QByteArray& text);

// Reads exactly `size` bytes from the stream's current position into `buffer`. Raises
// EQuiva with the device's error text, or "Stream read error" when it ends early.
void ReadExactly(QIODevice& stream, char* buffer, qint64 size);
