// `quiva compare`'s engine: two files of any size compared over their common length
// without a working copy. Both files are read in aligned blocks that stay in the core's
// cache and compared with the library's vectorised memcmp; long comparisons run in two
// halves side by side, one per core. (Reading costs less than mapping here: a mapping
// pays a page fault or a page-table entry for every 4 KiB.) A file that shrinks while it
// is compared ends the comparison with an error.
#pragma once

#include "tools/compare/segment_compare.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <atomic>
#include <functional>

// Messages: the path (or "File A"/"File B") and the system's text; a file that shrank.
inline constexpr const char* kCompareOpenMessage = "%1: %2";
inline constexpr const char* kCompareShrankMessage = "%1 shrank while it was being compared";
inline constexpr const char* kNotRegularText = "Not a regular file";

// What another thread sees of a running comparison and how it stops one: the bytes of
// the common length compared so far, and a request to stop soon (within one window).
struct TCompareControl {
    std::atomic<qint64> done{0};
    std::atomic<bool> stop{false};
};

// Thread safety: one thread at a time; Run uses a helper thread of its own.
class TFileStreamComparer {
public:
    // Opens both files for reading. Raises kCompareOpenMessage with the path and the
    // reason (a folder, FIFO, socket or device is refused without being opened).
    TFileStreamComparer(const QString& pathA, const QString& pathB);
    ~TFileStreamComparer();
    TFileStreamComparer(const TFileStreamComparer&) = delete;
    TFileStreamComparer& operator=(const TFileStreamComparer&) = delete;

    qint64 SizeA() const { return m_sizeA; }
    qint64 SizeB() const { return m_sizeB; }
    // The common length and its segment size.
    qint64 Length() const { return std::min(m_sizeA, m_sizeB); }
    qint64 Segment() const { return SegmentSize(Length()); }

    // Compares the common length. With a `listLimit` of 0 or more, the first that many
    // differences are kept (Listed); with a negative one every difference goes to
    // `onDifference` in file order as it is found. Raises kCompareShrankMessage when a
    // file becomes shorter than the common length, or kCompareOpenMessage with the
    // system's text when a read fails.
    // With a `control`, its count grows as bytes are compared, and a stop it asks for ends
    // the comparison early: Stopped() is then true and the results are incomplete.
    void Run(qint64 listLimit, const std::function<void(const TDifference&)>& onDifference = {},
             TCompareControl* control = nullptr);
    bool Stopped() const { return m_stopped; }

    const QByteArray& Index() const { return m_index; }
    const QList<TDifference>& Listed() const { return m_listed; }
    qint64 DifferingBytes() const { return m_differing; }
    // True when the files hold the same bytes (the same size, no difference).
    bool Equal() const { return m_sizeA == m_sizeB && m_differing == 0; }

private:
    QString m_pathA;
    QString m_pathB;
    int m_fdA = -1;
    int m_fdB = -1;
    qint64 m_sizeA = 0;
    qint64 m_sizeB = 0;
    QByteArray m_index;
    QList<TDifference> m_listed;
    qint64 m_differing = 0;
    bool m_stopped = false;
};
