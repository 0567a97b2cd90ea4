#include "tools/compare/stream_compare.h"

#include "base/errors.h"
#include "platform/file_system.h"
#include "platform/native_name.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Bytes of each file read at a time: both blocks of a part stay in the core's L2 cache
// between the read that copies them there and the comparison.
constexpr qint64 kReadBlock = qint64(256) << 10;
// Comparisons at least this long run in two halves side by side, one per core.
constexpr qint64 kTwoHalvesFrom = qint64(8) << 20;

struct TSide {
    int fd;
    QString label;
};

// One part of a comparison, from `start` (a segment boundary) to `end`.
struct TPart {
    qint64 start = 0;
    qint64 end = 0;
    QByteArray index;
    QList<TDifference> listed;
    qint64 differing = 0;
    QString error;
    bool stopped = false;
    qint64 counted = 0;  // bytes of this part already added to the control's count
};

// A buffer aligned to the page, so that reads and vector loads start on a boundary.
struct TAlignedFree {
    void operator()(uchar* p) const { std::free(p); }
};
using TAlignedBuffer = std::unique_ptr<uchar, TAlignedFree>;

TAlignedBuffer AlignedBuffer(qint64 bytes) {
    void* at = nullptr;
    if (posix_memalign(&at, 4096, static_cast<size_t>(bytes)) != 0) {
        throw std::bad_alloc();
    }
    return TAlignedBuffer(static_cast<uchar*>(at));
}

// Reads exactly `length` bytes at `offset`; false with `error` the errno (0 when the file
// ended first).
bool ReadExactly(int fd, uchar* data, qint64 length, qint64 offset, int& error) {
    while (length > 0) {
        const ssize_t n = pread(fd, data, length, offset);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            error = n < 0 ? errno : 0;
            return false;
        }
        data += n;
        length -= n;
        offset += n;
    }
    return true;
}

// A descriptor of its own for a part run on another thread, so that each part has its
// own read-ahead state; the same open file when it cannot be reopened.
class TPartFd {
public:
    explicit TPartFd(int fd) : m_fd(fd) {
        char path[64];
        std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
        const int own = open(path, O_RDONLY | O_CLOEXEC);
        struct stat mine;
        struct stat theirs;
        if (own >= 0 && fstat(own, &mine) == 0 && fstat(fd, &theirs) == 0 &&
            mine.st_dev == theirs.st_dev && mine.st_ino == theirs.st_ino) {
            m_fd = own;
            m_own = true;
            posix_fadvise(own, 0, 0, POSIX_FADV_SEQUENTIAL);
        } else if (own >= 0) {
            close(own);
        }
    }
    ~TPartFd() {
        if (m_own) {
            close(m_fd);
        }
    }
    TPartFd(const TPartFd&) = delete;
    TPartFd& operator=(const TPartFd&) = delete;
    int Fd() const { return m_fd; }

private:
    int m_fd;
    bool m_own = false;
};

void ComparePart(const TSide& a, const TSide& b, qint64 segment, qint64 limit,
                 const std::function<void(const TDifference&)>& onDifference, TPart& part,
                 TCompareControl* control) {
    TSegmentComparer comparer(part.end, segment, limit, part.start);
    comparer.onDifference = onDifference;
    const qint64 block = std::min(kReadBlock, std::max<qint64>(part.end - part.start, 1));
    const TAlignedBuffer bufferA = AlignedBuffer(block);
    const TAlignedBuffer bufferB = AlignedBuffer(block);
    qint64 at = part.start;
    for (; at < part.end && part.error.isEmpty(); at = std::min(at + block, part.end)) {
        if (control != nullptr) {
            control->done += (at - part.start) - part.counted;
            part.counted = at - part.start;
            if (control->stop) {
                part.stopped = true;
                break;
            }
        }
        const qint64 n = std::min(block, part.end - at);
        int error = 0;
        for (const auto& [side, buffer] :
             {std::pair{&a, bufferA.get()}, std::pair{&b, bufferB.get()}}) {
            if (ReadExactly(side->fd, buffer, n, at, error)) {
                continue;
            }
            part.error = error != 0
                             ? QString::fromUtf8(kCompareOpenMessage)
                                   .arg(side->label, QString::fromLocal8Bit(std::strerror(error)))
                             : QString::fromUtf8(kCompareShrankMessage).arg(side->label);
            break;
        }
        if (part.error.isEmpty()) {
            comparer.Feed(bufferA.get(), bufferB.get(), n);
        }
    }
    if (control != nullptr) {
        control->done += (at - part.start) - part.counted;
        part.counted = at - part.start;
    }
    part.index = comparer.Index();
    part.listed = comparer.Listed();
    part.differing = comparer.DifferingBytes();
}

int OpenForCompare(const QString& path) {
    const int fd = OpenRegularFile(path);
    if (fd < 0) {
        const QString reason = errno == EINVAL ? QString::fromUtf8(kNotRegularText)
                                               : QString::fromLocal8Bit(std::strerror(errno));
        RaiseError(QString::fromUtf8(kCompareOpenMessage).arg(PrintableName(path), reason));
    }
    return fd;
}

qint64 SizeOf(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 ? static_cast<qint64>(st.st_size) : 0;
}

}  // namespace

TFileStreamComparer::TFileStreamComparer(const QString& pathA, const QString& pathB)
    : m_pathA(pathA), m_pathB(pathB) {
    m_fdA = OpenForCompare(pathA);
    try {
        m_fdB = OpenForCompare(pathB);
    } catch (...) {
        close(m_fdA);
        throw;
    }
    m_sizeA = SizeOf(m_fdA);
    m_sizeB = SizeOf(m_fdB);
    posix_fadvise(m_fdA, 0, 0, POSIX_FADV_SEQUENTIAL);
    posix_fadvise(m_fdB, 0, 0, POSIX_FADV_SEQUENTIAL);
}

TFileStreamComparer::~TFileStreamComparer() {
    close(m_fdA);
    close(m_fdB);
}

void TFileStreamComparer::Run(qint64 listLimit,
                              const std::function<void(const TDifference&)>& onDifference,
                              TCompareControl* control) {
    const qint64 length = Length();
    const qint64 segment = Segment();
    const TSide a{m_fdA, PrintableName(m_pathA)};
    const TSide b{m_fdB, PrintableName(m_pathB)};
    const qint64 segments = (length + segment - 1) / segment;
    // Every difference in order as found needs one pass; a listed few allow two halves.
    const bool halves = listLimit >= 0 && length >= kTwoHalvesFrom && segments >= 2;
    TPart first;
    first.end = length;
    TPart second;
    if (halves) {
        // The halves report their differences once joined, so that they come in order.
        const std::function<void(const TDifference&)> none;
        first.end = (segments / 2) * segment;
        second.start = first.end;
        second.end = length;
        std::thread helper([&] {
            const TPartFd fdA(m_fdA);
            const TPartFd fdB(m_fdB);
            ComparePart({fdA.Fd(), a.label}, {fdB.Fd(), b.label}, segment, listLimit, none, second,
                        control);
        });
        ComparePart(a, b, segment, listLimit, none, first, control);
        helper.join();
    } else {
        ComparePart(a, b, segment, listLimit, onDifference, first, control);
    }
    m_stopped = first.stopped || second.stopped;
    for (const TPart* part : {&first, &second}) {
        if (!part->error.isEmpty()) {
            RaiseError(part->error);
        }
    }
    m_index = first.index + second.index;
    m_listed = first.listed + second.listed;
    if (listLimit >= 0 && m_listed.size() > listLimit) {
        m_listed.resize(listLimit);
    }
    m_differing = first.differing + second.differing;
    if (halves && onDifference) {
        for (const TDifference& difference : m_listed) {
            onDifference(difference);
        }
    }
}
