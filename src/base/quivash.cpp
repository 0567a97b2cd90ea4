#include "base/quivash.h"

#include <QtEndian>

#include <algorithm>
#include <atomic>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QUIVASH_X86 1
#endif

namespace {

constexpr quint32 kFnvBasis = 0x811C9DC5u;
constexpr quint32 kFnvPrime = 0x01000193u;
constexpr quint32 kCrcPolynomial = 0xEDB88320u;
constexpr int kPasses = 8;

constexpr std::array<quint32, 256> MakeCrcTable() {
    std::array<quint32, 256> table{};
    for (quint32 i = 0; i < 256; ++i) {
        quint32 value = i;
        for (int bit = 0; bit < 8; ++bit) {
            value = (value & 1) ? (value >> 1) ^ kCrcPolynomial : value >> 1;
        }
        table[i] = value;
    }
    return table;
}

constexpr std::array<quint32, 256> kCrcTable = MakeCrcTable();

// The start of a pass seeded with s: the FNV basis lowered by the table entry.
constexpr quint32 PassStart(quint32 seed) {
    return kFnvBasis - kCrcTable[seed];
}

TQuivashDigest Pack(const quint32 (&words)[kPasses]) {
    TQuivashDigest digest;
    for (int k = 0; k < kPasses; ++k) {
        qToLittleEndian(words[k], digest.data() + 4 * k);
    }
    return digest;
}

QByteArray ToHex(const TQuivashDigest& digest) {
    return QByteArray(reinterpret_cast<const char*>(digest.data()), kQuivashDigestSize)
        .toHex()
        .toUpper();
}

std::atomic<bool> g_vectorAllowed{true};

#ifdef QUIVASH_X86

// The vector unit digests kGroupBlocks blocks at once: one 32-bit lane per block, eight
// lanes per register, kChains registers in flight so that the multiplier's latency is
// hidden. The blocks are first rearranged so that the eight bytes the lanes of one
// register take at one position lie side by side; each of the eight passes then streams
// through that copy, widening eight bytes to eight lanes straight from memory.
constexpr int kLanes = 8;
constexpr int kChains = 8;
constexpr int kGroupBlocks = kLanes * kChains;
static_assert(kGroupBlocks == kQuivashGroupBlocks);
constexpr qsizetype kWordsPerBlock = kQuivashBlockSize / 4;
constexpr qsizetype kWorkBytes = kQuivashBlockSize * kGroupBlocks;
// Bytes of the copy per run of four positions: 32 for each chain.
constexpr qsizetype kWorkStride = 32 * kChains;

alignas(64) const uchar kZeroBlock[kQuivashBlockSize] = {};

bool CpuHasAvx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}

// Rearranges the eight blocks of one chain. For the run of positions 4q .. 4q + 3 the copy
// holds, at q * kWorkStride + chain * 32 + j * 8 + lane, byte 4q + j of the lane's block.
__attribute__((target("avx2"))) void TransposeChain(const uchar* const* blocks, int chain,
                                                    uchar* work) {
    // Within each 128-bit half (four blocks' words): byte i of word j goes to 4j + i.
    const __m256i byteOrder =
        _mm256_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15,  //
                         0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
    // Interleaves the halves so that each position's eight bytes follow one another.
    const __m256i halves = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    for (qsizetype q = 0; q < kWordsPerBlock; q += kLanes) {
        __m256i r[kLanes];
        for (int i = 0; i < kLanes; ++i) {
            r[i] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(blocks[i] + 4 * q));
        }
        const __m256i t0 = _mm256_unpacklo_epi32(r[0], r[1]);
        const __m256i t1 = _mm256_unpackhi_epi32(r[0], r[1]);
        const __m256i t2 = _mm256_unpacklo_epi32(r[2], r[3]);
        const __m256i t3 = _mm256_unpackhi_epi32(r[2], r[3]);
        const __m256i t4 = _mm256_unpacklo_epi32(r[4], r[5]);
        const __m256i t5 = _mm256_unpackhi_epi32(r[4], r[5]);
        const __m256i t6 = _mm256_unpacklo_epi32(r[6], r[7]);
        const __m256i t7 = _mm256_unpackhi_epi32(r[6], r[7]);
        const __m256i u0 = _mm256_unpacklo_epi64(t0, t2);
        const __m256i u1 = _mm256_unpackhi_epi64(t0, t2);
        const __m256i u2 = _mm256_unpacklo_epi64(t1, t3);
        const __m256i u3 = _mm256_unpackhi_epi64(t1, t3);
        const __m256i u4 = _mm256_unpacklo_epi64(t4, t6);
        const __m256i u5 = _mm256_unpackhi_epi64(t4, t6);
        const __m256i u6 = _mm256_unpacklo_epi64(t5, t7);
        const __m256i u7 = _mm256_unpackhi_epi64(t5, t7);
        // words[k]: word q + k of each of the eight blocks.
        const __m256i words[kLanes] = {
            _mm256_permute2x128_si256(u0, u4, 0x20), _mm256_permute2x128_si256(u1, u5, 0x20),
            _mm256_permute2x128_si256(u2, u6, 0x20), _mm256_permute2x128_si256(u3, u7, 0x20),
            _mm256_permute2x128_si256(u0, u4, 0x31), _mm256_permute2x128_si256(u1, u5, 0x31),
            _mm256_permute2x128_si256(u2, u6, 0x31), _mm256_permute2x128_si256(u3, u7, 0x31),
        };
        uchar* out = work + q * kWorkStride + chain * 32;
        for (int k = 0; k < kLanes; ++k) {
            const __m256i bytes =
                _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(words[k], byteOrder), halves);
            _mm256_store_si256(reinterpret_cast<__m256i*>(out + k * kWorkStride), bytes);
        }
    }
}

// One FNV-1 step of eight lanes on the eight bytes at `bytes`.
__attribute__((target("avx2"), always_inline)) inline __m256i FnvStep(__m256i h, __m256i prime,
                                                                      const uchar* bytes) {
    const __m256i widened =
        _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(bytes)));
    return _mm256_xor_si256(_mm256_mullo_epi32(h, prime), widened);
}

// One pass over the rearranged group: every lane runs FNV-1 from its start value.
__attribute__((target("avx2"))) void PassAvx2(const uchar* work, quint32* lanes) {
    static_assert(kChains == 8);
    const __m256i prime = _mm256_set1_epi32(static_cast<int>(kFnvPrime));
    __m256i* state = reinterpret_cast<__m256i*>(lanes);
    __m256i h0 = _mm256_load_si256(state + 0);
    __m256i h1 = _mm256_load_si256(state + 1);
    __m256i h2 = _mm256_load_si256(state + 2);
    __m256i h3 = _mm256_load_si256(state + 3);
    __m256i h4 = _mm256_load_si256(state + 4);
    __m256i h5 = _mm256_load_si256(state + 5);
    __m256i h6 = _mm256_load_si256(state + 6);
    __m256i h7 = _mm256_load_si256(state + 7);
    const uchar* const end = work + kWorkBytes;
    for (const uchar* p = work; p < end; p += kWorkStride) {
        for (int j = 0; j < 4; ++j) {
            const uchar* at = p + 8 * j;
            h0 = FnvStep(h0, prime, at + 0 * 32);
            h1 = FnvStep(h1, prime, at + 1 * 32);
            h2 = FnvStep(h2, prime, at + 2 * 32);
            h3 = FnvStep(h3, prime, at + 3 * 32);
            h4 = FnvStep(h4, prime, at + 4 * 32);
            h5 = FnvStep(h5, prime, at + 5 * 32);
            h6 = FnvStep(h6, prime, at + 6 * 32);
            h7 = FnvStep(h7, prime, at + 7 * 32);
        }
    }
    _mm256_store_si256(state + 0, h0);
    _mm256_store_si256(state + 1, h1);
    _mm256_store_si256(state + 2, h2);
    _mm256_store_si256(state + 3, h3);
    _mm256_store_si256(state + 4, h4);
    _mm256_store_si256(state + 5, h5);
    _mm256_store_si256(state + 6, h6);
    _mm256_store_si256(state + 7, h7);
}

// Digests `count` (1 .. kGroupBlocks) full blocks starting at `data`; unused lanes run on
// a block of zeros and are dropped.
void GroupAvx2(const uchar* data, int count, quint8 s0, uchar* work,
               std::vector<TQuivashDigest>& out) {
    const uchar* blocks[kGroupBlocks];
    for (int i = 0; i < kGroupBlocks; ++i) {
        blocks[i] = i < count ? data + i * kQuivashBlockSize : kZeroBlock;
    }
    for (int chain = 0; chain < kChains; ++chain) {
        TransposeChain(blocks + chain * kLanes, chain, work);
    }
    alignas(32) quint32 lanes[kGroupBlocks];
    quint32 words[kGroupBlocks][kPasses];
    quint32 seeds[kGroupBlocks];
    std::fill(std::begin(seeds), std::end(seeds), s0);
    for (int k = 0; k < kPasses; ++k) {
        for (int i = 0; i < kGroupBlocks; ++i) {
            lanes[i] = PassStart(seeds[i]);
        }
        PassAvx2(work, lanes);
        for (int i = 0; i < kGroupBlocks; ++i) {
            words[i][k] = lanes[i];
            seeds[i] = lanes[i] % 255;
        }
    }
    for (int i = 0; i < count; ++i) {
        out.push_back(Pack(words[i]));
    }
}

#endif  // QUIVASH_X86

}  // namespace

TQuivashDigest QuivashBlock(const uchar* data, qsizetype size, quint8 s0) {
    quint32 words[kPasses];
    quint32 seed = s0;
    for (int k = 0; k < kPasses; ++k) {
        quint32 h = PassStart(seed);
        for (qsizetype i = 0; i < size; ++i) {
            h = (h * kFnvPrime) ^ data[i];
        }
        words[k] = h;
        seed = h % 255;
    }
    return Pack(words);
}

TQuivash::TQuivash(quint64 totalLength) : m_seed(QuivashSeed(totalLength)) {
    m_groupBlocks = VectorGroupBlocks();
    m_vector = m_groupBlocks > 0 && g_vectorAllowed.load();
    if (!m_vector) {
        m_groupBlocks = 1;
    }
}

TQuivash::~TQuivash() = default;

int TQuivash::VectorGroupBlocks() {
#ifdef QUIVASH_X86
    return CpuHasAvx2() ? kGroupBlocks : 0;
#else
    return 0;
#endif
}

void TQuivash::AllowVectorForTesting(bool allowed) {
    g_vectorAllowed.store(allowed);
}

void TQuivash::Absorb(const uchar* data, qsizetype size) {
    const qsizetype groupBytes = m_groupBlocks * kQuivashBlockSize;
    while (size > 0) {
        if (m_staged == 0 && size >= groupBytes) {
            // Whole groups are digested in place, without a copy.
            DigestGroup(data, m_groupBlocks);
            data += groupBytes;
            size -= groupBytes;
            continue;
        }
        if (!m_stage) {
            m_stage = std::make_unique_for_overwrite<uchar[]>(groupBytes);
        }
        const qsizetype take = std::min(size, groupBytes - m_staged);
        std::memcpy(m_stage.get() + m_staged, data, take);
        m_staged += take;
        data += take;
        size -= take;
        if (m_staged == groupBytes) {
            DigestStaged();
        }
    }
}

void TQuivash::DigestGroup(const uchar* data, int blocks) {
#ifdef QUIVASH_X86
    if (m_vector && blocks > 1) {
        if (!m_work) {
            m_work = std::make_unique_for_overwrite<uchar[]>(kWorkBytes + 64);
        }
        auto* work = reinterpret_cast<uchar*>((reinterpret_cast<quintptr>(m_work.get()) + 63) &
                                              ~quintptr(63));
        std::vector<TQuivashDigest> digests;
        digests.reserve(blocks);
        GroupAvx2(data, blocks, m_seed, work, digests);
        for (const TQuivashDigest& digest : digests) {
            Append(0, digest);
        }
        return;
    }
#endif
    for (int i = 0; i < blocks; ++i) {
        Append(0, QuivashBlock(data + i * kQuivashBlockSize, kQuivashBlockSize, m_seed));
    }
}

void TQuivash::DigestStaged() {
    const int full = static_cast<int>(m_staged / kQuivashBlockSize);
    const qsizetype tail = m_staged % kQuivashBlockSize;
    if (full > 0) {
        DigestGroup(m_stage.get(), full);
    }
    if (tail > 0) {
        Append(0, QuivashBlock(m_stage.get() + full * kQuivashBlockSize, tail, m_seed));
    }
    m_staged = 0;
}

void TQuivash::Append(size_t level, const TQuivashDigest& digest) {
    if (m_levels.size() <= level) {
        m_levels.resize(level + 1);
        m_flushed.resize(level + 1, 0);
    }
    QByteArray& held = m_levels[level];
    held.append(reinterpret_cast<const char*>(digest.data()), kQuivashDigestSize);
    if (held.size() == kQuivashBlockSize) {
        // A full piece of the next reduce round: its digest is known now.
        const TQuivashDigest reduced =
            QuivashBlock(reinterpret_cast<const uchar*>(held.constData()), held.size(), m_seed);
        held.clear();
        ++m_flushed[level];
        Append(level + 1, reduced);
    }
}

QByteArray TQuivash::Finish() {
    DigestStaged();
    QByteArray last;
    for (size_t level = 0;; ++level) {
        if (m_levels.size() <= level) {
            break;  // nothing was absorbed at all
        }
        const QByteArray rest = m_levels[level];
        if (m_flushed[level] == 0 && rest.size() <= kQuivashDigestSize) {
            last = rest;
            break;
        }
        if (!rest.isEmpty()) {
            m_levels[level].clear();
            Append(level + 1, QuivashBlock(reinterpret_cast<const uchar*>(rest.constData()),
                                           rest.size(), m_seed));
        }
    }
    m_levels.clear();
    m_flushed.clear();
    return ToHex(
        QuivashBlock(reinterpret_cast<const uchar*>(last.constData()), last.size(), m_seed));
}

QByteArray TextQuivash(const QByteArray& text) {
    const quint8 seed = QuivashSeed(static_cast<quint64>(text.size()));
    const TQuivashDigest first =
        QuivashBlock(reinterpret_cast<const uchar*>(text.constData()), text.size(), seed);
    return ToHex(QuivashBlock(first.data(), kQuivashDigestSize, seed));
}
