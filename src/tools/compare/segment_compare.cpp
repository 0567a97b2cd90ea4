#include "tools/compare/segment_compare.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

namespace {

// Bytes compared as one piece: a piece that memcmp finds equal is skipped whole.
constexpr qint64 kPiece = 4096;

// The sum of |a[i] - b[i]| and the count of differing bytes over a piece.
void SumDifferences(const uchar* a, const uchar* b, qint64 n, quint64& sum, qint64& count) {
    quint64 s = 0;
    qint64 c = 0;
    for (qint64 i = 0; i < n; ++i) {
        const int d = int(a[i]) - int(b[i]);
        s += static_cast<quint64>(d < 0 ? -d : d);
        c += d != 0;
    }
    sum += s;
    count += c;
}

}  // namespace

qint64 SegmentSize(qint64 commonLength) {
    if (commonLength <= 96) {
        return 8;
    }
    if (commonLength <= 256) {
        return 16;
    }
    if (commonLength <= 1024) {
        return 32;
    }
    if (commonLength <= 4096) {
        return 128;
    }
    // From 4097 bytes on: the next power of two at or above the length, divided by 32.
    return static_cast<qint64>(std::bit_ceil(static_cast<quint64>(commonLength)) / 32);
}

char SimilarityLetter(quint64 sum) {
    if (sum == 0) {
        return 'A';
    }
    const long code = 74 + std::lround(std::log2(static_cast<double>(sum) / 255.0));
    return static_cast<char>(std::min<long>(code, '~'));
}

QString OffsetHex(qint64 offset, int offsetDigits) {
    return QStringLiteral("%1")
        .arg(static_cast<qulonglong>(offset), offsetDigits, 16, QLatin1Char('0'))
        .toUpper();
}

QString ByteHex(uchar value) {
    return QStringLiteral("%1").arg(value, 2, 16, QLatin1Char('0')).toUpper();
}

TSegmentComparer::TSegmentComparer(qint64 length, qint64 segmentSize, qint64 listLimit,
                                   qint64 start)
    : m_length(std::max<qint64>(0, length)),
      m_segment(std::max<qint64>(1, segmentSize)),
      m_listLimit(listLimit),
      m_fed(std::clamp<qint64>(start, 0, m_length)) {}

void TSegmentComparer::Feed(const uchar* a, const uchar* b, qint64 n) {
    n = std::min(n, m_length - m_fed);
    while (n > 0) {
        const qint64 step = std::min(n, m_segment - m_inSegment);
        FeedWithinSegment(a, b, step);
        a += step;
        b += step;
        n -= step;
        m_fed += step;
        m_inSegment += step;
        if (m_inSegment == m_segment || m_fed == m_length) {
            EndSegment();
        }
    }
}

void TSegmentComparer::FeedWithinSegment(const uchar* a, const uchar* b, qint64 n) {
    for (qint64 at = 0; at < n; at += kPiece) {
        const qint64 piece = std::min(kPiece, n - at);
        if (std::memcmp(a + at, b + at, piece) == 0) {
            continue;
        }
        SumDifferences(a + at, b + at, piece, m_sum, m_differing);
        if (m_listLimit >= 0 && m_listed.size() >= m_listLimit) {
            continue;
        }
        for (qint64 i = 0; i < piece; ++i) {
            if (a[at + i] == b[at + i]) {
                continue;
            }
            const TDifference difference{m_fed + at + i, a[at + i], b[at + i]};
            if (m_listLimit >= 0) {
                m_listed.append(difference);
            }
            if (onDifference) {
                onDifference(difference);
            }
            if (m_listLimit >= 0 && m_listed.size() >= m_listLimit) {
                break;
            }
        }
    }
}

void TSegmentComparer::EndSegment() {
    const char letter = SimilarityLetter(m_sum);
    m_index.append(letter);
    m_sum = 0;
    m_inSegment = 0;
    if (onLetter) {
        onLetter(letter);
    }
}
