#include "backup/chunk_format.h"

#include "base/errors.h"

#include <QtEndian>

#include <cstring>
#include <mutex>

#include <sodium.h>
#include <zstd.h>

namespace {

constexpr int kSaltBytes = 16;
constexpr int kIdentityBytes = 32;
constexpr int kCheckBytes = 16;
constexpr int kNonceBytes = crypto_aead_xchacha20poly1305_ietf_NPUBBYTES;
constexpr int kTagBytes = crypto_aead_xchacha20poly1305_ietf_ABYTES;

// A sealed chunk: format byte, nonce, then the sealed method byte and payload.
constexpr quint8 kChunkRecordFormat = 1;
constexpr quint8 kChunkRaw = 0;
constexpr quint8 kChunkZstd = 1;
constexpr int kChunkRecordHead = 1 + kNonceBytes;

// A reference list: method byte, check value, nonce, then the sealed list.
constexpr quint8 kListFormat = 1;
constexpr int kListHead = 1 + kCheckBytes + kNonceBytes;
constexpr int kListEntryBytes = 8 + 4 + kIdentityBytes;
constexpr int kListPlainHead = 1 + 8 + 4;

// zstd's level for chunks; a chunk is first tried on a sample at the fastest level, and
// when that does not shrink it the chunk is kept as it is.
constexpr int kZstdLevel = 3;
constexpr int kProbeLevel = 1;
constexpr qint64 kProbeBytes = 64 * 1024;
constexpr double kProbeMostRatio = 0.97;

// The masks of the cut test: more bits before the average (fewer early cuts), fewer bits
// after it (more cuts before the maximum). The hash's high bits hold the most history.
constexpr int kStrictBits = 22;
constexpr int kLooseBits = 18;
constexpr quint64 kStrictMask = ~quint64(0) << (64 - kStrictBits);
constexpr quint64 kLooseMask = ~quint64(0) << (64 - kLooseBits);

const char kCheckText[] = "quiva-tessaline chunked version check";
const char kListLabel[] = "QVRL";

struct TGearTable {
    quint64 values[256];
    TGearTable() {
        // splitmix64 from a fixed seed: the table must never change, or cuts would move.
        quint64 state = 0x51A7E5CA11AB1EULL;
        for (quint64& value : values) {
            state += 0x9E3779B97F4A7C15ULL;
            quint64 z = state;
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
            value = z ^ (z >> 31);
        }
    }
};

const TGearTable& Gear() {
    static const TGearTable table;
    return table;
}

void EnsureSodium() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (sodium_init() < 0) {
            RaiseError(QStringLiteral("The encryption library could not start"));
        }
    });
}

[[noreturn]] void ChunkDataInvalid() {
    RaiseError(QStringLiteral("Invalid backup data"));
}

struct TZstdContexts {
    ZSTD_CCtx* compress = ZSTD_createCCtx();
    ZSTD_DCtx* decompress = ZSTD_createDCtx();
    ~TZstdContexts() {
        ZSTD_freeCCtx(compress);
        ZSTD_freeDCtx(decompress);
    }
};

TZstdContexts& Zstd() {
    thread_local TZstdContexts contexts;
    return contexts;
}

// True when zstd seems able to shrink the bytes: a sample of a large chunk is tried at
// the fastest level first, so that random or compressed content costs little.
bool WorthCompressing(const char* data, qint64 length) {
    if (length <= kProbeBytes * 2) {
        return true;
    }
    QByteArray out(static_cast<qsizetype>(ZSTD_compressBound(kProbeBytes)), Qt::Uninitialized);
    const size_t got =
        ZSTD_compressCCtx(Zstd().compress, out.data(), out.size(), data, kProbeBytes, kProbeLevel);
    return !ZSTD_isError(got) && static_cast<double>(got) < kProbeBytes * kProbeMostRatio;
}

void PutU32(QByteArray& out, quint32 value) {
    char bytes[4];
    qToLittleEndian(value, bytes);
    out.append(bytes, 4);
}

void PutU64(QByteArray& out, quint64 value) {
    char bytes[8];
    qToLittleEndian(value, bytes);
    out.append(bytes, 8);
}

QByteArray ListAssociatedData(int versionId) {
    QByteArray ad(kListLabel, 4);
    PutU32(ad, static_cast<quint32>(versionId));
    return ad;
}

QByteArray CheckValue(const std::array<uchar, 32>& identityKey) {
    QByteArray check(kCheckBytes, Qt::Uninitialized);
    crypto_generichash(reinterpret_cast<uchar*>(check.data()), kCheckBytes,
                       reinterpret_cast<const uchar*>(kCheckText), sizeof kCheckText - 1,
                       identityKey.data(), identityKey.size());
    return check;
}

}  // namespace

// ---- the chunker ---------------------------------------------------------------------

qint64 TChunker::Cut(const uchar* data, qint64 length) {
    if (length <= kChunkMin) {
        return length;
    }
    const qint64 end = std::min(length, kChunkMax);
    const qint64 normal = std::min(end, kChunkAverage);
    const quint64* gear = Gear().values;
    quint64 hash = 0;
    qint64 i = kChunkMin;
    for (; i < normal; ++i) {
        hash = (hash << 1) + gear[data[i]];
        if ((hash & kStrictMask) == 0) {
            return i + 1;
        }
    }
    for (; i < end; ++i) {
        hash = (hash << 1) + gear[data[i]];
        if ((hash & kLooseMask) == 0) {
            return i + 1;
        }
    }
    return end;
}

// ---- keys ----------------------------------------------------------------------------

TKeySalt TKeySalt::Fresh(qint64 opsLimit, qint64 memoryBytes) {
    EnsureSodium();
    TKeySalt salt;
    salt.salt.resize(kSaltBytes);
    randombytes_buf(salt.salt.data(), kSaltBytes);
    salt.opsLimit = opsLimit;
    salt.memoryBytes = memoryBytes;
    salt.checksum = salt.ExpectedChecksum();
    return salt;
}

QByteArray TKeySalt::ExpectedChecksum() const {
    EnsureSodium();
    QByteArray input = salt;
    PutU64(input, static_cast<quint64>(opsLimit));
    PutU64(input, static_cast<quint64>(memoryBytes));
    QByteArray sum(32, Qt::Uninitialized);
    crypto_generichash(reinterpret_cast<uchar*>(sum.data()), sum.size(),
                       reinterpret_cast<const uchar*>(input.constData()), input.size(), nullptr, 0);
    return sum;
}

std::optional<TStoreKeys> TStoreKeys::Derive(const QByteArray& password, const TKeySalt& salt) {
    EnsureSodium();
    if (salt.salt.size() != kSaltBytes || salt.opsLimit < crypto_pwhash_OPSLIMIT_MIN ||
        salt.memoryBytes < static_cast<qint64>(crypto_pwhash_MEMLIMIT_MIN)) {
        return std::nullopt;
    }
    uchar derived[64];
    if (crypto_pwhash(derived, sizeof derived, password.constData(),
                      static_cast<unsigned long long>(password.size()),
                      reinterpret_cast<const uchar*>(salt.salt.constData()),
                      static_cast<unsigned long long>(salt.opsLimit),
                      static_cast<size_t>(salt.memoryBytes), crypto_pwhash_ALG_ARGON2ID13) != 0) {
        return std::nullopt;
    }
    TStoreKeys keys;
    std::memcpy(keys.seal.data(), derived, 32);
    std::memcpy(keys.identity.data(), derived + 32, 32);
    sodium_memzero(derived, sizeof derived);
    keys.check = CheckValue(keys.identity);
    return keys;
}

// ---- chunks --------------------------------------------------------------------------

QByteArray ChunkIdentity(const TStoreKeys& keys, const char* data, qint64 length) {
    EnsureSodium();
    QByteArray identity(kIdentityBytes, Qt::Uninitialized);
    crypto_generichash(reinterpret_cast<uchar*>(identity.data()), kIdentityBytes,
                       reinterpret_cast<const uchar*>(data),
                       static_cast<unsigned long long>(length), keys.identity.data(),
                       keys.identity.size());
    return identity;
}

QByteArray SealChunk(const TStoreKeys& keys, const QByteArray& identity, const char* data,
                     qint64 length, bool tryCompress) {
    EnsureSodium();
    QByteArray plain;
    if (tryCompress && length > 0 && WorthCompressing(data, length)) {
        plain.resize(static_cast<qsizetype>(1 + ZSTD_compressBound(static_cast<size_t>(length))));
        const size_t got = ZSTD_compressCCtx(Zstd().compress, plain.data() + 1, plain.size() - 1,
                                             data, static_cast<size_t>(length), kZstdLevel);
        if (!ZSTD_isError(got) && static_cast<qint64>(got) < length) {
            plain[0] = static_cast<char>(kChunkZstd);
            plain.resize(static_cast<qsizetype>(1 + got));
        } else {
            plain.clear();
        }
    }
    if (plain.isEmpty()) {
        plain.reserve(length + 1);
        plain.append(static_cast<char>(kChunkRaw));
        plain.append(data, length);
    }
    QByteArray record(kChunkRecordHead + plain.size() + kTagBytes, Qt::Uninitialized);
    record[0] = static_cast<char>(kChunkRecordFormat);
    auto* nonce = reinterpret_cast<uchar*>(record.data() + 1);
    randombytes_buf(nonce, kNonceBytes);
    unsigned long long sealedLength = 0;
    crypto_aead_xchacha20poly1305_ietf_encrypt(
        reinterpret_cast<uchar*>(record.data() + kChunkRecordHead), &sealedLength,
        reinterpret_cast<const uchar*>(plain.constData()), plain.size(),
        reinterpret_cast<const uchar*>(identity.constData()), identity.size(), nullptr, nonce,
        keys.seal.data());
    record.resize(static_cast<qsizetype>(kChunkRecordHead + sealedLength));
    return record;
}

QByteArray OpenChunk(const TStoreKeys& keys, const QByteArray& identity, const QByteArray& record,
                     qint64 length) {
    EnsureSodium();
    if (record.size() < kChunkRecordHead + kTagBytes + 1 ||
        static_cast<quint8>(record[0]) != kChunkRecordFormat || identity.size() != kIdentityBytes ||
        length < 0 || length > kChunkMax) {
        ChunkDataInvalid();
    }
    QByteArray plain(record.size() - kChunkRecordHead - kTagBytes, Qt::Uninitialized);
    unsigned long long plainLength = 0;
    if (crypto_aead_xchacha20poly1305_ietf_decrypt(
            reinterpret_cast<uchar*>(plain.data()), &plainLength, nullptr,
            reinterpret_cast<const uchar*>(record.constData() + kChunkRecordHead),
            static_cast<unsigned long long>(record.size() - kChunkRecordHead),
            reinterpret_cast<const uchar*>(identity.constData()), identity.size(),
            reinterpret_cast<const uchar*>(record.constData() + 1), keys.seal.data()) != 0 ||
        plainLength < 1) {
        ChunkDataInvalid();
    }
    QByteArray content;
    const auto method = static_cast<quint8>(plain[0]);
    if (method == kChunkRaw) {
        content = plain.mid(1, static_cast<qsizetype>(plainLength - 1));
    } else if (method == kChunkZstd) {
        content.resize(static_cast<qsizetype>(length));
        const size_t got =
            ZSTD_decompressDCtx(Zstd().decompress, content.data(), static_cast<size_t>(length),
                                plain.constData() + 1, static_cast<size_t>(plainLength - 1));
        if (ZSTD_isError(got) || static_cast<qint64>(got) != length) {
            ChunkDataInvalid();
        }
    } else {
        ChunkDataInvalid();
    }
    if (content.size() != length ||
        ChunkIdentity(keys, content.constData(), content.size()) != identity) {
        ChunkDataInvalid();
    }
    return content;
}

// ---- reference lists -----------------------------------------------------------------

QByteArray SealReferenceList(const TStoreKeys& keys, int versionId, const TReferenceList& list) {
    EnsureSodium();
    QByteArray plain;
    plain.reserve(kListPlainHead + list.chunks.size() * kListEntryBytes);
    plain.append(static_cast<char>(kListFormat));
    PutU64(plain, static_cast<quint64>(list.size));
    PutU32(plain, static_cast<quint32>(list.chunks.size()));
    for (const TChunkRef& chunk : list.chunks) {
        PutU64(plain, static_cast<quint64>(chunk.chunkId));
        PutU32(plain, static_cast<quint32>(chunk.length));
        plain.append(chunk.identity.left(kIdentityBytes));
    }
    const QByteArray ad = ListAssociatedData(versionId);
    QByteArray blob(kListHead + plain.size() + kTagBytes, Qt::Uninitialized);
    blob[0] = static_cast<char>(kMethodChunked);
    std::memcpy(blob.data() + 1, keys.check.constData(), kCheckBytes);
    auto* nonce = reinterpret_cast<uchar*>(blob.data() + 1 + kCheckBytes);
    randombytes_buf(nonce, kNonceBytes);
    unsigned long long sealedLength = 0;
    crypto_aead_xchacha20poly1305_ietf_encrypt(
        reinterpret_cast<uchar*>(blob.data() + kListHead), &sealedLength,
        reinterpret_cast<const uchar*>(plain.constData()), plain.size(),
        reinterpret_cast<const uchar*>(ad.constData()), ad.size(), nullptr, nonce,
        keys.seal.data());
    blob.resize(static_cast<qsizetype>(kListHead + sealedLength));
    return blob;
}

bool IsSealedUnder(const TStoreKeys& keys, const QByteArray& blob) {
    return blob.size() >= kListHead && blob.mid(1, kCheckBytes) == keys.check;
}

TReferenceList OpenReferenceList(const TStoreKeys& keys, int versionId, const QByteArray& blob,
                                 qint64 size) {
    EnsureSodium();
    if (blob.size() < kListHead + kTagBytes + kListPlainHead ||
        static_cast<quint8>(blob[0]) != kMethodChunked) {
        ChunkDataInvalid();
    }
    const QByteArray ad = ListAssociatedData(versionId);
    QByteArray plain(blob.size() - kListHead - kTagBytes, Qt::Uninitialized);
    unsigned long long plainLength = 0;
    const bool opened = crypto_aead_xchacha20poly1305_ietf_decrypt(
                            reinterpret_cast<uchar*>(plain.data()), &plainLength, nullptr,
                            reinterpret_cast<const uchar*>(blob.constData() + kListHead),
                            static_cast<unsigned long long>(blob.size() - kListHead),
                            reinterpret_cast<const uchar*>(ad.constData()), ad.size(),
                            reinterpret_cast<const uchar*>(blob.constData() + 1 + kCheckBytes),
                            keys.seal.data()) == 0;
    if (!opened) {
        // Another password's list does not open, and neither does a damaged one: the
        // check value tells them apart.
        if (!IsSealedUnder(keys, blob)) {
            RaiseError(QStringLiteral("Invalid encryption password"));
        }
        ChunkDataInvalid();
    }
    if (!IsSealedUnder(keys, blob)) {
        ChunkDataInvalid();  // the list opened, so its check value was changed
    }
    const auto* bytes = reinterpret_cast<const uchar*>(plain.constData());
    if (plainLength < kListPlainHead || bytes[0] != kListFormat) {
        ChunkDataInvalid();
    }
    TReferenceList list;
    list.size = static_cast<qint64>(qFromLittleEndian<quint64>(bytes + 1));
    const quint32 count = qFromLittleEndian<quint32>(bytes + 9);
    if (plainLength != kListPlainHead + static_cast<unsigned long long>(count) * kListEntryBytes ||
        list.size < 0 || (size >= 0 && list.size != size)) {
        ChunkDataInvalid();
    }
    list.chunks.reserve(count);
    qint64 total = 0;
    const uchar* entry = bytes + kListPlainHead;
    for (quint32 i = 0; i < count; ++i, entry += kListEntryBytes) {
        TChunkRef chunk;
        chunk.chunkId = static_cast<qint64>(qFromLittleEndian<quint64>(entry));
        chunk.length = qFromLittleEndian<quint32>(entry + 8);
        chunk.identity = QByteArray(reinterpret_cast<const char*>(entry + 12), kIdentityBytes);
        if (chunk.length <= 0 || chunk.length > kChunkMax) {
            ChunkDataInvalid();
        }
        total += chunk.length;
        list.chunks.append(std::move(chunk));
    }
    if (total != list.size) {
        ChunkDataInvalid();
    }
    return list;
}
