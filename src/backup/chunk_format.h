// The chunked version format: the content-defined chunker that cuts a file where its
// bytes say (so that an edit moves only the cuts near it), the keys derived from the
// password and the store's salt, the keyed chunk identities, and the sealed records of a
// chunk and of a version's reference list. docs/backup-format.md describes the bytes.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <array>
#include <optional>

// Chunk sizes: a cut is never made before the minimum nor after the maximum; the rolling
// hash places it around the average. A file shorter than the minimum is one chunk.
constexpr qint64 kChunkMin = 256 * 1024;
constexpr qint64 kChunkAverage = 1024 * 1024;
constexpr qint64 kChunkMax = 4 * 1024 * 1024;

// The method byte of a version blob that holds a sealed reference list.
constexpr quint8 kMethodChunked = 2;

// Finds the cut points of a byte stream (FastCDC: a gear rolling hash with a stricter
// mask before the average size and a looser one after it).
class TChunker {
public:
    // The length of the chunk that starts at data: at most `length`; when `length` is
    // less than kChunkMax it is taken as the end of the stream and may all be one chunk.
    // Any thread.
    static qint64 Cut(const uchar* data, qint64 length);
};

// What the store keeps to derive keys: a random salt and the Argon2id costs.
struct TKeySalt {
    QByteArray salt;         // 16 bytes
    qint64 opsLimit = 0;     // Argon2id passes
    qint64 memoryBytes = 0;  // Argon2id memory
    QByteArray checksum;     // BLAKE2b-256 of the salt and costs, to find a damaged row

    // A new random salt with the given costs.
    static TKeySalt Fresh(qint64 opsLimit, qint64 memoryBytes);
    // The checksum the row should carry.
    QByteArray ExpectedChecksum() const;
    bool IsIntact() const { return checksum == ExpectedChecksum() && salt.size() == 16; }
};

// The default costs of a new store's key derivation: 3 passes over 64 MiB (about 0.2 s).
constexpr qint64 kKeyOpsLimit = 3;
constexpr qint64 kKeyMemoryBytes = 64LL * 1024 * 1024;

// The keys of one password under one salt.
struct TStoreKeys {
    std::array<uchar, 32> seal{};      // XChaCha20-Poly1305 key of chunks and lists
    std::array<uchar, 32> identity{};  // BLAKE2b key of chunk identities
    QByteArray check;                  // 16 bytes: tells this password's lists apart

    // Argon2id of the password with the salt's costs. None when the derivation fails
    // (too little memory). Slow by design: once per run. Any thread.
    static std::optional<TStoreKeys> Derive(const QByteArray& password, const TKeySalt& salt);
};

// The identity of a chunk: BLAKE2b-256 of its bytes keyed with the identity key.
QByteArray ChunkIdentity(const TStoreKeys& keys, const char* data, qint64 length);

// Seals a chunk: zstd when it shrinks the bytes (and `tryCompress`), then
// XChaCha20-Poly1305 with a random nonce and the identity as associated data. Any thread.
QByteArray SealChunk(const TStoreKeys& keys, const QByteArray& identity, const char* data,
                     qint64 length, bool tryCompress);

// Opens a sealed chunk and checks that its bytes have the identity and the length.
// Raises "Invalid backup data" for anything else. Any thread.
QByteArray OpenChunk(const TStoreKeys& keys, const QByteArray& identity, const QByteArray& record,
                     qint64 length);

// One entry of a reference list: the chunk's row in Chunks, its length and identity.
struct TChunkRef {
    qint64 chunkId = 0;
    qint64 length = 0;
    QByteArray identity;
};

struct TReferenceList {
    qint64 size = 0;  // the file's size: the sum of the lengths
    QList<TChunkRef> chunks;
};

// The version blob of a chunked version: the method byte 2, the password's check value,
// then the list sealed with the version id and size as associated data. Any thread.
QByteArray SealReferenceList(const TStoreKeys& keys, int versionId, const TReferenceList& list);

// Opens the version blob of a chunked version made as version `versionId`. Raises
// "Invalid encryption password" when it was sealed under another password, "Invalid
// backup data" when it is damaged (also when its lengths do not add up to `size`, when
// `size` is not negative). Any thread.
TReferenceList OpenReferenceList(const TStoreKeys& keys, int versionId, const QByteArray& blob,
                                 qint64 size = -1);

// True when the blob was sealed under these keys' password (its check value matches);
// a damaged check value reads as another password. Any thread.
bool IsSealedUnder(const TStoreKeys& keys, const QByteArray& blob);
