// The comparison at the heart of Compare: two files read side by side over their common
// length, cut into segments; each segment gets a similarity letter ("A" when equal, later
// letters the more its bytes differ), and the differing bytes are listed in file order.
// Used by the Compare window (files up to 4 MiB) and by `quiva compare` (any size,
// streamed).
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>

// The first differences the window's report lists.
inline constexpr int kReportedDifferences = 64;

// The segment size for a common length in bytes: 8 up to 96 bytes, 16 up to 256, 32 up to
// 1024, 128 up to 4096, and from there the largest power of two that makes at most 32
// segments (256 up to 8192, ..., 131072 up to 4 MiB, and on in the same steps for the
// longer files of the command line). 0 and negative lengths give 8.
qint64 SegmentSize(qint64 commonLength);

// The letter of a segment whose bytes differ by `sum` in all (the sum of |a - b|): "A"
// for 0, else the character of code 74 + round(log2(sum / 255)): "B" for a single
// difference of 1, "J" for differences summing to 255; held at "~" for sums so large that
// the code would leave printable ASCII.
char SimilarityLetter(quint64 sum);

struct TDifference {
    qint64 offset = 0;
    uchar a = 0;
    uchar b = 0;
    bool operator==(const TDifference&) const = default;
};

// A difference as the report shows it: the offset in upper-case hexadecimal with at least
// `offsetDigits` digits, the two bytes as two digits each.
QString OffsetHex(qint64 offset, int offsetDigits = 8);
QString ByteHex(uchar value);

// Thread safety: one thread at a time.
class TSegmentComparer {
public:
    // Compares `length` bytes in segments of `segmentSize`, listing at most `listLimit`
    // differences (all of them when negative). With `start` (a multiple of the segment
    // size) the comparer takes the bytes from that offset up to `length` only, so that
    // parts of one comparison can run side by side and be joined in order.
    TSegmentComparer(qint64 length, qint64 segmentSize, qint64 listLimit = kReportedDifferences,
                     qint64 start = 0);

    // Called for each listed difference, in file order (may be empty).
    std::function<void(const TDifference&)> onDifference;
    // Called when a segment ends, with its letter (may be empty).
    std::function<void(char letter)> onLetter;

    // Feeds the next `n` bytes of both files (the same count from each, in order). Bytes
    // past the length are ignored.
    void Feed(const uchar* a, const uchar* b, qint64 n);

    qint64 Length() const { return m_length; }
    qint64 SegmentBytes() const { return m_segment; }
    // The offset of the next byte to feed.
    qint64 Fed() const { return m_fed; }
    // The similarity index so far: one letter per finished segment.
    const QByteArray& Index() const { return m_index; }
    // The listed differences (also given to onDifference).
    const QList<TDifference>& Listed() const { return m_listed; }
    // True when any byte fed so far differed.
    bool AnyDifference() const { return m_differing > 0; }
    // How many bytes fed so far differed.
    qint64 DifferingBytes() const { return m_differing; }

private:
    void FeedWithinSegment(const uchar* a, const uchar* b, qint64 n);
    void EndSegment();

    qint64 m_length;
    qint64 m_segment;
    qint64 m_listLimit;
    qint64 m_fed = 0;
    qint64 m_inSegment = 0;
    quint64 m_sum = 0;
    qint64 m_differing = 0;
    QByteArray m_index;
    QList<TDifference> m_listed;
};
