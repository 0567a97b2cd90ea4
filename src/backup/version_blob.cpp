#include "backup/version_blob.h"

#include "base/errors.h"
#include "base/settings_codec.h"

#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include <libdeflate.h>
#include <zlib.h>

namespace {

constexpr int kZlibLevel = 1;
// No version inflates to more than this: classic versions hold files of at most 16 MiB.
constexpr qint64 kInflateCap = kClassicLargestContent;
// The first piece of room for the inflated content; it doubles as the stream fills it.
constexpr qint64 kInflateStep = 32 * 1024;
// Deflate cannot compress better than 1032:1, whatever the input.
constexpr qint64 kMostInflateRatio = 1032;

const char kCompressedTypes[] = ".zip:.png:.cab:.7z:.lzh:.gz";

[[noreturn]] void InvalidData() {
    RaiseError(QStringLiteral("Invalid backup data"));
}

// Small files go through zlib's own deflate (level 1, window bits 15, memory level 8):
// libdeflate's fastest level stores inputs of a few dozen bytes without compressing them.
constexpr qint64 kSmallFile = 4096;
constexpr int kZlibWindowBits = 15;
constexpr int kZlibMemoryLevel = 8;

// The key shifts of the scrambling repeat every 32 words.
constexpr int kKeyShifts = 32;

// A larger file is first tried on its first block: when deflate cannot shrink that, the
// file is stored as it is without compressing the rest. Already compressed content
// (photos, archives, media) is thus refused for the price of one block; a file whose
// first block is incompressible but whose rest is not is stored as it is too, which
// costs room, never content.
constexpr qint64 kProbeSize = 8 * 1024;
// The trial is skipped when the block's byte counts alone show that deflate shrinks it:
// Huffman codes made from those counts need fewer bits a byte than this, and the half
// bit saved on each of its bytes is far more than a block header costs. Text needs far
// fewer; compressed or encrypted bytes need about 8.
constexpr double kClearlyCompressibleBits = 7.5;

// One zlib deflate state per thread, reset between files.
class TZlibDeflater {
public:
    TZlibDeflater() {
        std::memset(&m_stream, 0, sizeof m_stream);
        m_ready = deflateInit2(&m_stream, kZlibLevel, Z_DEFLATED, kZlibWindowBits, kZlibMemoryLevel,
                               Z_DEFAULT_STRATEGY) == Z_OK;
    }
    ~TZlibDeflater() {
        if (m_ready) {
            deflateEnd(&m_stream);
        }
    }
    TZlibDeflater(const TZlibDeflater&) = delete;
    TZlibDeflater& operator=(const TZlibDeflater&) = delete;

    // Deflates `input` into `output` (capacity bytes). Returns the stream's length, or -1
    // when it does not fit.
    qint64 Deflate(const char* input, qint64 length, char* output, qint64 capacity) {
        if (!m_ready || deflateReset(&m_stream) != Z_OK) {
            return -1;
        }
        m_stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input));
        m_stream.avail_in = static_cast<uInt>(length);
        m_stream.next_out = reinterpret_cast<Bytef*>(output);
        m_stream.avail_out = static_cast<uInt>(capacity);
        if (deflate(&m_stream, Z_FINISH) != Z_STREAM_END) {
            return -1;
        }
        return static_cast<qint64>(m_stream.total_out);
    }

private:
    z_stream m_stream;
    bool m_ready = false;
};

// One compressor per thread, kept between files: setting one up costs more than
// compressing a small file. libdeflate writes the same zlib format (RFC 1950) as zlib's
// own deflate, about twice as fast at level 1.
class TDeflater {
public:
    TDeflater() : m_compressor(libdeflate_alloc_compressor(kZlibLevel)) {}
    ~TDeflater() { libdeflate_free_compressor(m_compressor); }
    TDeflater(const TDeflater&) = delete;
    TDeflater& operator=(const TDeflater&) = delete;

    // The most bytes Deflate may need for `length` bytes of input.
    qint64 Bound(qint64 length) const {
        return m_compressor == nullptr ? 0
                                       : static_cast<qint64>(libdeflate_zlib_compress_bound(
                                             m_compressor, static_cast<size_t>(length)));
    }

    // Deflates `input` into `output` (Bound(length) bytes) as a zlib stream. Returns the
    // stream's length, or -1 on failure. (With less room than Bound, libdeflate may give
    // up on a stream that would have fitted.)
    qint64 Deflate(const char* input, qint64 length, char* output, qint64 capacity) {
        if (m_compressor == nullptr) {
            return -1;
        }
        const size_t written =
            libdeflate_zlib_compress(m_compressor, input, static_cast<size_t>(length), output,
                                     static_cast<size_t>(capacity));
        return written == 0 ? -1 : static_cast<qint64>(written);
    }

    // True when the first `length` bytes of `input` deflate to fewer bytes.
    bool Shrinks(const char* input, qint64 length) {
        if (m_compressor == nullptr) {
            return false;
        }
        const qint64 bound = Bound(length);
        if (static_cast<qint64>(m_probe.size()) < bound) {
            m_probe.resize(static_cast<size_t>(bound));
        }
        const qint64 written = Deflate(input, length, m_probe.data(), bound);
        return written >= 0 && written < length;
    }

private:
    libdeflate_compressor* m_compressor;
    std::vector<char> m_probe;
};

// Copies `length` bytes from `from` to `to` (the same place, or places that do not
// overlap), XORing each complete little-endian word i with dataKey >> (i mod 32) on the
// way: one pass over the bytes, 32 words at a time so that the compiler can use vectors.
void ScrambleInto(char* to, const char* from, qint64 length, quint32 dataKey) {
    quint32 keys[kKeyShifts];
    for (int i = 0; i < kKeyShifts; ++i) {
        keys[i] = dataKey >> i;
    }
    constexpr qint64 kRun = 4 * kKeyShifts;
    qint64 at = 0;
    for (; at + kRun <= length; at += kRun) {
        quint32 words[kKeyShifts];
        std::memcpy(words, from + at, kRun);
        for (int i = 0; i < kKeyShifts; ++i) {
            words[i] = qToLittleEndian(qFromLittleEndian(words[i]) ^ keys[i]);
        }
        std::memcpy(to + at, words, kRun);
    }
    for (int i = 0; at + 4 <= length; at += 4, ++i) {
        qToLittleEndian(qFromLittleEndian<quint32>(from + at) ^ keys[i], to + at);
    }
    if (to != from && at < length) {
        std::memcpy(to + at, from + at, static_cast<size_t>(length - at));
    }
}

// True when the order-0 entropy of the bytes (the bits a byte that Huffman coding by
// their own counts needs) is below kClearlyCompressibleBits.
bool ClearlyCompressible(const char* data, qint64 length) {
    quint32 counts[256] = {};
    for (qint64 i = 0; i < length; ++i) {
        ++counts[static_cast<quint8>(data[i])];
    }
    double bits = 0.0;
    const double total = static_cast<double>(length);
    for (const quint32 count : counts) {
        if (count != 0) {
            bits += count * std::log2(total / count);
        }
    }
    return bits < kClearlyCompressibleBits * total;
}

void PutLength(char* at, quint32 value) {
    qToLittleEndian(value, at);
}

}  // namespace

TBlobKeys TBlobKeys::FromHash(quint32 passwordHash) {
    return {passwordHash, passwordHash ^ kLengthKeyMask};
}

TBlobKeys TBlobKeys::FromPassword(const QByteArray& password) {
    return FromHash(Hash32(password));
}

bool ShouldTryCompress(const QString& fileName, qint64 size) {
    if (size < kCompressFloor) {
        return false;
    }
    const QString name = fileName.mid(fileName.lastIndexOf('/') + 1);
    const qsizetype dot = name.lastIndexOf('.');
    if (dot < 0) {
        return true;
    }
    const QByteArray extension = name.mid(dot).toLower().toLocal8Bit();
    return !QByteArray(kCompressedTypes).contains(extension);
}

void ScramblePayload(char* data, qint64 length, quint32 dataKey) {
    ScrambleInto(data, data, length, dataKey);
}

QByteArray EncodeVersion(const QByteArray& content, bool tryCompress, const TBlobKeys& keys) {
    const qint64 size = content.size();
    QByteArray blob;
    qint64 payload = -1;
    if (tryCompress && size > 1 && size < kSmallFile) {
        thread_local TZlibDeflater deflater;
        // Room for a stream one byte shorter than the file: a longer one is not used.
        blob = QByteArray(kBlobHeaderSize + size - 1, Qt::Uninitialized);
        payload =
            deflater.Deflate(content.constData(), size, blob.data() + kBlobHeaderSize, size - 1);
    } else if (tryCompress && size > 1) {
        thread_local TDeflater deflater;
        if (size <= kProbeSize || ClearlyCompressible(content.constData(), kProbeSize) ||
            deflater.Shrinks(content.constData(), kProbeSize)) {
            const qint64 bound = deflater.Bound(size);
            blob = QByteArray(kBlobHeaderSize + bound, Qt::Uninitialized);
            payload =
                deflater.Deflate(content.constData(), size, blob.data() + kBlobHeaderSize, bound);
            if (payload >= size) {
                payload = -1;  // not shorter than the file: stored as it is
            }
        }
    }
    if (payload >= 0) {
        blob.resize(kBlobHeaderSize + payload);
        blob[0] = static_cast<char>(kMethodZlib);
        ScramblePayload(blob.data() + kBlobHeaderSize, payload, keys.dataKey);
    } else {
        payload = size;
        if (blob.size() < kBlobHeaderSize + size) {
            blob = QByteArray(kBlobHeaderSize + size, Qt::Uninitialized);
        } else {
            blob.resize(kBlobHeaderSize + size);
        }
        blob[0] = static_cast<char>(kMethodStored);
        ScrambleInto(blob.data() + kBlobHeaderSize, content.constData(), size, keys.dataKey);
    }
    PutLength(blob.data() + 1, static_cast<quint32>(payload) ^ keys.lengthKey);
    return blob;
}

int BlobMethod(const QByteArray& blob) {
    return blob.size() < kBlobHeaderSize ? -1 : static_cast<quint8>(blob[0]);
}

QByteArray DecodeVersion(const QByteArray& blob, const TBlobKeys& keys, qint64 expectedSize) {
    const qint64 length = blob.size() - kBlobHeaderSize;
    if (length <= 0) {
        InvalidData();
    }
    const quint32 field = qFromLittleEndian<quint32>(blob.constData() + 1);
    if (field != (static_cast<quint32>(length) ^ keys.lengthKey)) {
        RaiseError(QStringLiteral("Invalid encryption password"));
    }
    const int method = BlobMethod(blob);
    if (method != kMethodStored && method != kMethodZlib) {
        InvalidData();
    }
    if (method == kMethodStored && expectedSize >= 0 && length != expectedSize) {
        InvalidData();
    }
    // No stream of `length` bytes inflates to more than kMostInflateRatio times as much:
    // a stated size beyond that (or beyond any version's) is damage, found before any
    // room is taken for it.
    if (method == kMethodZlib && expectedSize >= 0 &&
        (expectedSize > kInflateCap || expectedSize > kMostInflateRatio * length)) {
        InvalidData();
    }
    QByteArray payload = blob.mid(kBlobHeaderSize);
    ScramblePayload(payload.data(), length, keys.dataKey);
    if (method == kMethodStored) {
        return payload;
    }

    // The output grows with what the stream actually yields, never beyond the cap: one
    // byte more than the stated size shows a stream that holds more than it should.
    const qint64 cap =
        std::min(expectedSize >= 0 ? expectedSize : kInflateCap, kMostInflateRatio * length);
    z_stream stream;
    std::memset(&stream, 0, sizeof stream);
    if (inflateInit(&stream) != Z_OK) {
        InvalidData();
    }
    QByteArray out(std::min(cap, kInflateStep), Qt::Uninitialized);
    stream.next_in = reinterpret_cast<Bytef*>(payload.data());
    stream.avail_in = static_cast<uInt>(payload.size());
    int rc = Z_OK;
    while (rc == Z_OK) {
        if (static_cast<qint64>(stream.total_out) == out.size()) {
            if (out.size() >= cap) {
                if (stream.avail_in == 0) {
                    rc = Z_DATA_ERROR;  // the input ended before the stream did
                    break;
                }
                char probe;
                stream.next_out = reinterpret_cast<Bytef*>(&probe);
                stream.avail_out = 1;
                rc = inflate(&stream, Z_NO_FLUSH);
                if (stream.avail_out == 0) {
                    rc = Z_DATA_ERROR;  // more than the cap
                }
                break;
            }
            out.resize(std::min(cap, 2 * out.size()));
        }
        stream.next_out = reinterpret_cast<Bytef*>(out.data() + stream.total_out);
        stream.avail_out = static_cast<uInt>(out.size() - static_cast<qint64>(stream.total_out));
        rc = inflate(&stream, Z_NO_FLUSH);
        if (rc == Z_BUF_ERROR && stream.avail_out > 0) {
            rc = Z_DATA_ERROR;  // input ended before the stream did
        }
        if (rc == Z_BUF_ERROR) {
            rc = Z_OK;
        }
    }
    const qint64 produced = static_cast<qint64>(stream.total_out);
    inflateEnd(&stream);
    if (rc != Z_STREAM_END || (expectedSize >= 0 && produced != expectedSize)) {
        InvalidData();
    }
    out.resize(produced);
    return out;
}
