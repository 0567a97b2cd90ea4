// The byte format of one stored file version (the version blob): a method byte, the
// payload length scrambled with the length key, then the payload (the file's bytes or
// their zlib stream) scrambled word by word with the data key.
#pragma once

#include <QByteArray>
#include <QString>

// The two 32-bit keys of the scrambling, both derived from the preferences password.
struct TBlobKeys {
    quint32 dataKey = 0;
    quint32 lengthKey = 0;

    // Keys from the password's FNV-1 hash (the host's PasswordHash).
    static TBlobKeys FromHash(quint32 passwordHash);
    // Keys from a password as the user types it.
    static TBlobKeys FromPassword(const QByteArray& password);
};

// The fixed mask that turns the data key into the length key.
constexpr quint32 kLengthKeyMask = 0x5A3C96E1u;

enum TBlobMethod : quint8 {
    kMethodStored = 0,  // the payload is the file's bytes
    kMethodZlib = 1,    // the payload is a zlib stream (RFC 1950) of the file
};

constexpr int kBlobHeaderSize = 5;
// The largest file a classic version holds: the file and its blob are held in memory
// whole while they are written and read, and a version must read back.
constexpr qint64 kClassicLargestContent = 16LL * 1024 * 1024;

// Files shorter than this are never compressed.
constexpr qint64 kCompressFloor = 49;

// True when a file of this name and size is worth a compression attempt: at least 49
// bytes, and its lower-case extension (with the dot) does not occur in
// ".zip:.png:.cab:.7z:.lzh:.gz" (so ".z" and ".g" count as compressed too; a name
// without extension is compressed).
bool ShouldTryCompress(const QString& fileName, qint64 size);

// Builds the version blob of `content`. With tryCompress the content is deflated at level
// 1 into a zlib stream (RFC 1950, 32 KiB window) and the stream is used only when it is
// shorter than the content. Content larger than 8 KiB is stored as it is, without
// compressing it whole, when deflate cannot shrink its first 8 KiB. Contents of 4 GiB or
// more do not fit the length field: the caller keeps files far smaller. Never raises.
// Thread safety: any thread.
QByteArray EncodeVersion(const QByteArray& content, bool tryCompress, const TBlobKeys& keys);

// Scrambles (or unscrambles: the operation is its own inverse) a payload in place: word
// i of the complete 32-bit little-endian words is XORed with dataKey >> (i mod 32); the
// last length mod 4 bytes stay as they are.
void ScramblePayload(char* data, qint64 length, quint32 dataKey);

// The method byte of a blob; -1 for a blob shorter than its header.
int BlobMethod(const QByteArray& blob);

// Decodes a version blob back into the file's bytes. Raises "Invalid backup data" for a
// blob without payload (an empty file's 5-byte blob included), an unknown method, a
// damaged or cut zlib stream or, when expectedSize is not negative, content of another
// size; a stated size that the payload cannot hold (a stream inflates to at most 1032
// times its length, and no version to more than 64 MiB) is refused before any room is
// taken for it, and the room for the inflated content grows only with what the stream
// yields. "Invalid encryption password" when the length field does not match the keys.
// Any thread.
QByteArray DecodeVersion(const QByteArray& blob, const TBlobKeys& keys, qint64 expectedSize = -1);
