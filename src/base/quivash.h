// Quivash, the kit's own 256-bit digest: eight chained FNV-1 passes over each 64 KiB block,
// the block digests reduced the same way until one remains, and a last pass over that.
#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <array>
#include <memory>
#include <vector>

// Input is cut into blocks of this many bytes, counted from its first byte.
constexpr qsizetype kQuivashBlockSize = 65536;
// A block digest and the final digest are this many bytes.
constexpr int kQuivashDigestSize = 32;
// Blocks digested together on the vector unit; feeding whole groups avoids a copy.
constexpr int kQuivashGroupBlocks = 64;

using TQuivashDigest = std::array<uchar, kQuivashDigestSize>;

// The block function B: eight FNV-1 passes over `size` bytes (at most kQuivashBlockSize),
// the first started from the seed s0 and each later one from the previous pass's result;
// the eight pass results, least significant byte first. Thread safety: any thread.
TQuivashDigest QuivashBlock(const uchar* data, qsizetype size, quint8 s0);

// The seed of an input of `length` bytes: length mod 255.
constexpr quint8 QuivashSeed(quint64 length) {
    return static_cast<quint8>(length % 255);
}

// Quivash of a whole input fed in pieces of any size. Full blocks are digested several at
// a time with the CPU's vector unit where it has one (AVX2), otherwise one by one; the
// result is the same either way. Block digests are reduced as soon as 65 536 bytes of
// them are held, so memory stays bounded whatever the input's length.
// Thread safety: one object per thread; different objects may run in parallel.
class TQuivash {
public:
    // `totalLength` is the length of the whole input; it fixes the seed of every block.
    explicit TQuivash(quint64 totalLength);
    ~TQuivash();
    TQuivash(const TQuivash&) = delete;
    TQuivash& operator=(const TQuivash&) = delete;

    // Takes the next `size` bytes of the input. The block boundaries fall every 65 536
    // bytes from the first byte ever given, however the input is split between calls.
    void Absorb(const uchar* data, qsizetype size);

    // Digests what is pending, reduces and finishes; returns 64 upper-case hex digits.
    // The object is spent afterwards.
    QByteArray Finish();

    // The number of blocks digested together on the vector unit (0 when there is none).
    static int VectorGroupBlocks();

    // Lets tests switch the vector unit off (and on again) to compare both paths.
    // Affects objects made afterwards.
    static void AllowVectorForTesting(bool allowed);

private:
    void DigestGroup(const uchar* data, int blocks);
    void DigestStaged();
    void Append(size_t level, const TQuivashDigest& digest);

    quint8 m_seed;
    bool m_vector;
    int m_groupBlocks;
    std::unique_ptr<uchar[]> m_stage;  // bytes of not yet digested blocks
    qsizetype m_staged = 0;
    std::unique_ptr<uchar[]> m_work;  // the vector unit's rearranged copy of a group
    // m_levels[0] holds block digests of the input; m_levels[n + 1] the digests of the
    // full 65 536-byte pieces of m_levels[n], taken as soon as a piece is complete.
    std::vector<QByteArray> m_levels;
    std::vector<quint64> m_flushed;  // pieces taken from each level so far
};

// Quivash of a text as one block (also when empty); 64 upper-case hex digits. Texts
// longer than one block are digested as a single longer block.
QByteArray TextQuivash(const QByteArray& text);
