#include "backup/store_marker.h"

#include <cerrno>
#include <cstdio>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr mode_t kMarkerMode = 0600;
constexpr int kLongestMarker = 256;
const char kOpenText[] = "open\n";

qint64 Nanoseconds(const struct timespec& when) {
    return qint64(when.tv_sec) * 1000000000LL + when.tv_nsec;
}

// The line a clean close writes for the file's facts.
QByteArray ClosedText(const struct stat& facts) {
    char line[kLongestMarker];
    const int length = std::snprintf(line, sizeof line, "closed %llu %llu %lld %lld %lld\n",
                                     static_cast<unsigned long long>(facts.st_dev),
                                     static_cast<unsigned long long>(facts.st_ino),
                                     static_cast<long long>(facts.st_size),
                                     static_cast<long long>(Nanoseconds(facts.st_mtim)),
                                     static_cast<long long>(Nanoseconds(facts.st_ctim)));
    return QByteArray(line, length);
}

// True when a companion file of the store holds changes that a crash may have left.
bool HasChanges(const QByteArray& path) {
    struct stat facts {};
    return ::lstat(path.constData(), &facts) == 0 && facts.st_size > 0;
}

bool WriteWhole(int fd, const QByteArray& text) {
    if (::ftruncate(fd, 0) != 0) {
        return false;
    }
    qint64 done = 0;
    while (done < text.size()) {
        const ssize_t wrote = ::pwrite(fd, text.constData() + done, text.size() - done, done);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            return false;
        }
        done += wrote;
    }
    return ::fdatasync(fd) == 0;
}

}  // namespace

TStoreMarker::TStoreMarker(QByteArray storeNative)
    : m_store(std::move(storeNative)), m_path(PathFor(m_store)) {}

TStoreMarker::~TStoreMarker() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

QByteArray TStoreMarker::PathFor(const QByteArray& storeNative) {
    return storeNative + "-state";
}

bool TStoreMarker::VouchesForStore(QString* why) const {
    auto no = [why](const char* reason) {
        if (why != nullptr) {
            *why = QString::fromLatin1(reason);
        }
        return false;
    };
    const int fd = ::open(m_path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return no("no record of a clean close");
    }
    struct stat markerFacts {};
    if (::fstat(fd, &markerFacts) != 0 || !S_ISREG(markerFacts.st_mode)) {
        ::close(fd);
        return no("no record of a clean close");
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        // Held shared by a process that has the store open: its own open checked it.
        return errno == EWOULDBLOCK ? true : no("its record cannot be locked");
    }
    char text[kLongestMarker];
    const ssize_t got = ::pread(fd, text, sizeof text, 0);
    ::close(fd);
    struct stat facts {};
    if (::lstat(m_store.constData(), &facts) != 0) {
        return no("it cannot be read");
    }
    if (got <= 0 || QByteArray(text, static_cast<int>(got)) != ClosedText(facts)) {
        return no("it was not closed cleanly, or changed since");
    }
    if (HasChanges(m_store + "-wal") || HasChanges(m_store + "-journal")) {
        return no("it was not closed cleanly");
    }
    return true;
}

bool TStoreMarker::MarkOpen() {
    if (m_fd < 0) {
        m_fd = ::open(m_path.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                      kMarkerMode);
        if (m_fd < 0) {
            return false;
        }
        struct stat facts {};
        if (::fstat(m_fd, &facts) != 0 || !S_ISREG(facts.st_mode)) {
            ::close(m_fd);
            m_fd = -1;
            return false;
        }
        if ((facts.st_mode & 07777) != kMarkerMode) {
            (void)::fchmod(m_fd, kMarkerMode);
        }
        // Waits only for another process's close, which holds the lock for a moment.
        while (::flock(m_fd, LOCK_SH) != 0) {
            if (errno != EINTR) {
                ::close(m_fd);
                m_fd = -1;
                return false;
            }
        }
    }
    return WriteWhole(m_fd, QByteArray(kOpenText));
}

void TStoreMarker::MarkClosed() {
    if (m_fd < 0) {
        return;
    }
    // Exclusive only when no other process holds the store open; otherwise the last of
    // them marks it. (Turning the shared lock into an exclusive one may drop it; the
    // descriptor is closed right after either way.)
    if (::flock(m_fd, LOCK_EX | LOCK_NB) == 0) {
        struct stat facts {};
        if (::lstat(m_store.constData(), &facts) == 0 && S_ISREG(facts.st_mode)) {
            (void)WriteWhole(m_fd, ClosedText(facts));
        }
    }
    ::close(m_fd);
    m_fd = -1;
}
