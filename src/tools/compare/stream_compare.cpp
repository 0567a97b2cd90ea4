#include "tools/compare/stream_compare.h"

#include "base/errors.h"
#include "platform/file_system.h"
#include "platform/native_name.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Bytes of each file mapped at a time, and read at a time where mapping is not possible.
constexpr qint64 kWindow = qint64(64) << 20;
constexpr qint64 kReadBlock = qint64(1) << 20;
// Comparisons at least this long run in two halves side by side.
constexpr qint64 kTwoHalvesFrom = qint64(64) << 20;

std::atomic<bool> g_allowMapping{true};

// A mapped file that shrinks raises SIGBUS on the first access past its new end. While a
// comparison reads a mapping, the handler jumps back to the comparison of that thread,
// which then reports the shrunken file; any other SIGBUS gets the handling it had before.
thread_local sigjmp_buf* t_busJump = nullptr;
std::mutex g_busMutex;
int g_busUsers = 0;
struct sigaction g_oldBus {};

void OnBusError(int /*signal*/, siginfo_t* /*info*/, void* /*context*/) {
    if (t_busJump != nullptr) {
        siglongjmp(*t_busJump, 1);
    }
    // Not a comparison's fault: the old handling takes the repeated fault.
    sigaction(SIGBUS, &g_oldBus, nullptr);
}

class TBusHandler {
public:
    TBusHandler() {
        const std::lock_guard lock(g_busMutex);
        if (g_busUsers++ == 0) {
            struct sigaction action {};
            action.sa_sigaction = OnBusError;
            action.sa_flags = SA_SIGINFO;
            sigemptyset(&action.sa_mask);
            sigaction(SIGBUS, &action, &g_oldBus);
        }
    }
    ~TBusHandler() {
        const std::lock_guard lock(g_busMutex);
        if (--g_busUsers == 0) {
            sigaction(SIGBUS, &g_oldBus, nullptr);
        }
    }
    TBusHandler(const TBusHandler&) = delete;
    TBusHandler& operator=(const TBusHandler&) = delete;
};

// Feeds mapped bytes to the comparer; false when a mapping's file shrank under it.
bool GuardedFeed(TSegmentComparer& comparer, const uchar* a, const uchar* b, qint64 n) {
    sigjmp_buf jump;
    if (sigsetjmp(jump, 1) != 0) {
        t_busJump = nullptr;
        return false;
    }
    t_busJump = &jump;
    comparer.Feed(a, b, n);
    t_busJump = nullptr;
    return true;
}

// A mapping of part of a file, unmapped when it goes.
class TMapping {
public:
    TMapping(int fd, qint64 offset, qint64 length) {
        static const qint64 page = sysconf(_SC_PAGESIZE);
        const qint64 aligned = offset - offset % page;
        m_length = length + (offset - aligned);
        void* at = mmap(nullptr, m_length, PROT_READ, MAP_SHARED | MAP_POPULATE, fd, aligned);
        if (at != MAP_FAILED) {
            m_base = static_cast<uchar*>(at);
            m_data = m_base + (offset - aligned);
        }
    }
    ~TMapping() {
        if (m_base != nullptr) {
            munmap(m_base, m_length);
        }
    }
    TMapping(const TMapping&) = delete;
    TMapping& operator=(const TMapping&) = delete;
    const uchar* Data() const { return m_data; }

private:
    uchar* m_base = nullptr;
    const uchar* m_data = nullptr;
    qint64 m_length = 0;
};

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

// Which side is now shorter than `end` (the one to name when a read came up short).
const TSide& ShrunkSide(const TSide& a, const TSide& b, qint64 end) {
    struct stat st;
    if (fstat(b.fd, &st) == 0 && st.st_size < end) {
        return b;
    }
    return a;
}

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

void ComparePart(const TSide& a, const TSide& b, qint64 length, qint64 segment, qint64 limit,
                 const std::function<void(const TDifference&)>& onDifference, TPart& part,
                 TCompareControl* control) {
    TSegmentComparer comparer(part.end, segment, limit, part.start);
    comparer.onDifference = onDifference;
    const TBusHandler busHandler;
    std::unique_ptr<uchar[]> bufferA;
    std::unique_ptr<uchar[]> bufferB;
    bool mapping = g_allowMapping;
    qint64 at = part.start;
    while (at < part.end && part.error.isEmpty()) {
        if (control != nullptr) {
            control->done += (at - part.start) - part.counted;
            part.counted = at - part.start;
            if (control->stop) {
                part.stopped = true;
                break;
            }
        }
        const qint64 n = std::min(mapping ? kWindow : kReadBlock, part.end - at);
        if (mapping) {
            const TMapping mapA(a.fd, at, n);
            const TMapping mapB(b.fd, at, n);
            if (mapA.Data() != nullptr && mapB.Data() != nullptr) {
                if (!GuardedFeed(comparer, mapA.Data(), mapB.Data(), n)) {
                    part.error = QString::fromUtf8(kCompareShrankMessage)
                                     .arg(ShrunkSide(a, b, length).label);
                }
                at += n;
                continue;
            }
            mapping = false;  // this file system does not map: read from here on
            continue;
        }
        if (!bufferA) {
            bufferA.reset(new uchar[kReadBlock]);
            bufferB.reset(new uchar[kReadBlock]);
        }
        int error = 0;
        for (const auto& [side, buffer] : {std::pair{&a, bufferA.get()}, {&b, bufferB.get()}}) {
            if (!part.error.isEmpty() || ReadExactly(side->fd, buffer, n, at, error)) {
                continue;
            }
            part.error = error != 0
                             ? QString::fromUtf8(kCompareOpenMessage)
                                   .arg(side->label, QString::fromLocal8Bit(std::strerror(error)))
                             : QString::fromUtf8(kCompareShrankMessage).arg(side->label);
        }
        if (part.error.isEmpty()) {
            comparer.Feed(bufferA.get(), bufferB.get(), n);
        }
        at += n;
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

void TFileStreamComparer::AllowMappingForTesting(bool allow) {
    g_allowMapping = allow;
}

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
        std::thread helper(
            [&] { ComparePart(a, b, length, segment, listLimit, none, second, control); });
        ComparePart(a, b, length, segment, listLimit, none, first, control);
        helper.join();
    } else {
        ComparePart(a, b, length, segment, listLimit, onDifference, first, control);
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
