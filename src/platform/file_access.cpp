#include "platform/file_access.h"

#include "platform/native_name.h"

#include <QFile>

#include <algorithm>
#include <cerrno>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray Native(const QString& path) {
    return EncodeNativeName(path);
}

TEntryKind KindOf(const struct stat& st) {
    if (S_ISREG(st.st_mode)) {
        return kEntryFile;
    }
    if (S_ISDIR(st.st_mode)) {
        return kEntryFolder;
    }
    return kEntrySpecial;
}

// The kind of an entry given lstat's view of it and a way to stat its target.
template <typename StatTarget>
TEntryKind Classify(const struct stat& link, StatTarget statTarget) {
    if (!S_ISLNK(link.st_mode)) {
        return KindOf(link);
    }
    struct stat target;
    if (!statTarget(target)) {
        return kEntryMissing;
    }
    const TEntryKind kind = KindOf(target);
    return kind == kEntryFolder ? kEntryLinkToFolder : kind;
}

bool SameState(const struct stat& a, const struct stat& b) {
    return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
           a.st_mtim.tv_nsec == b.st_mtim.tv_nsec && a.st_ino == b.st_ino;
}

struct TFdGuard {
    int fd;
    ~TFdGuard() {
        if (fd >= 0) {
            close(fd);
        }
    }
};

}  // namespace

TEntryKind EntryKind(const QString& path) {
    const QByteArray native = Native(path);
    struct stat st;
    if (path.isEmpty() || lstat(native.constData(), &st) != 0) {
        return kEntryMissing;
    }
    return Classify(st,
                    [&](struct stat& target) { return stat(native.constData(), &target) == 0; });
}

bool ListFolder(const QString& folder, QList<TFolderEntry>& entries) {
    entries.clear();
    DIR* dir = opendir(Native(folder).constData());
    if (dir == nullptr) {
        return false;
    }
    const int dirFd = dirfd(dir);
    while (const struct dirent* entry = readdir(dir)) {
        const char* name = entry->d_name;
        if (qstrcmp(name, ".") == 0 || qstrcmp(name, "..") == 0) {
            continue;
        }
        struct stat st;
        TEntryKind kind = kEntryMissing;
        if (fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
            kind = Classify(
                st, [&](struct stat& target) { return fstatat(dirFd, name, &target, 0) == 0; });
        }
        entries.append({DecodeNativeName(name), kind});
    }
    closedir(dir);
    std::sort(entries.begin(), entries.end(), [](const TFolderEntry& a, const TFolderEntry& b) {
        const int folded = a.name.compare(b.name, Qt::CaseInsensitive);
        return folded != 0 ? folded < 0 : a.name < b.name;
    });
    return true;
}

TReadResult ReadRegularFile(const QString& path, qint64 maxBytes, QByteArray& content) {
    content.clear();
    const QByteArray native = Native(path);
    struct stat before;
    if (stat(native.constData(), &before) != 0) {
        return errno == ENOENT || errno == ENOTDIR ? kReadMissing : kReadFailed;
    }
    if (!S_ISREG(before.st_mode)) {
        return kReadNotRegular;
    }
    // O_NONBLOCK: should the entry have been swapped for a FIFO since the check, the
    // open still returns at once and the fstat below refuses it.
    TFdGuard fd{open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)};
    if (fd.fd < 0) {
        return errno == ENOENT ? kReadMissing : kReadFailed;
    }
    if (fstat(fd.fd, &before) != 0) {
        return kReadFailed;
    }
    if (!S_ISREG(before.st_mode)) {
        return kReadNotRegular;
    }
    if (before.st_size > maxBytes) {
        return kReadTooLarge;
    }
    const qint64 size = before.st_size;
    QByteArray buffer(size, Qt::Uninitialized);
    qint64 got = 0;
    while (got < size) {
        const ssize_t n = read(fd.fd, buffer.data() + got, static_cast<size_t>(size - got));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return kReadFailed;
        }
        if (n == 0) {
            return kReadChanged;  // shorter than it was a moment ago
        }
        got += n;
    }
    char extra;
    ssize_t more;
    do {
        more = read(fd.fd, &extra, 1);
    } while (more < 0 && errno == EINTR);
    if (more != 0) {
        return more > 0 ? kReadChanged : kReadFailed;
    }
    struct stat after;
    if (fstat(fd.fd, &after) != 0) {
        return kReadFailed;
    }
    if (!SameState(before, after)) {
        return kReadChanged;
    }
    content = std::move(buffer);
    return kReadOk;
}

bool ApplyFileTimes(const QString& path, const TFileTime& when) {
    struct timespec times[2];
    times[0].tv_sec = times[1].tv_sec = when.seconds;
    times[0].tv_nsec = times[1].tv_nsec = when.nanoseconds;
    return utimensat(AT_FDCWD, Native(path).constData(), times, 0) == 0;
}
