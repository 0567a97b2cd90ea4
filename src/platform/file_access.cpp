#include "platform/file_access.h"

#include "platform/folders.h"
#include "platform/native_name.h"

#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

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
    int Release() { return std::exchange(fd, -1); }
};

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
constexpr mode_t kNewFolderMode = 0700;
constexpr int kTemporaryAttempts = 100;

// Opens a folder, making it and its missing parents (0700, whatever the umask) when it
// does not exist. -1 on failure. A dangling link in the path is never made into a folder.
int OpenOrMakeFolder(const QByteArray& path) {
    const int fd = open(path.constData(), kFolderFlags);
    if (fd >= 0 || errno != ENOENT) {
        return fd;
    }
    TFdGuard current{open(path.startsWith('/') ? "/" : ".", kFolderFlags)};
    if (current.fd < 0) {
        return -1;
    }
    for (const QByteArray& part : path.split('/')) {
        if (part.isEmpty()) {
            continue;
        }
        int next = openat(current.fd, part.constData(), kFolderFlags);
        if (next < 0 && errno == ENOENT) {
            if (mkdirat(current.fd, part.constData(), kNewFolderMode) == 0) {
                // Made here: it cannot be a link unless swapped since, which O_NOFOLLOW
                // refuses.
                next = openat(current.fd, part.constData(), kFolderFlags | O_NOFOLLOW);
                if (next >= 0) {
                    fchmod(next, kNewFolderMode);
                }
            } else if (errno == EEXIST) {
                next = openat(current.fd, part.constData(), kFolderFlags);
            }
        }
        if (next < 0) {
            return -1;
        }
        close(current.fd);
        current.fd = next;
    }
    return current.Release();
}

bool WriteAll(int fd, const char* data, qint64 size) {
    qint64 done = 0;
    while (done < size) {
        const ssize_t n = write(fd, data + done, static_cast<size_t>(size - done));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += n;
    }
    return true;
}

// Creates a new hidden file with a random name in the folder, exclusively and never
// through a link. Returns its descriptor (and its name), or -1.
int CreateTemporaryIn(int folderFd, QByteArray& name) {
    for (int attempt = 0; attempt < kTemporaryAttempts; ++attempt) {
        name = ".qvr" + QByteArray::number(QRandomGenerator::global()->generate(), 16) + ".tmp";
        const int fd = openat(folderFd, name.constData(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY,
                              kPrivateFileMode);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return -1;
}

}  // namespace

TEntryKind EntryKind(const QString& path) {
    const QByteArray native = EncodeNativeName(path);
    struct stat st;
    if (path.isEmpty() || lstat(native.constData(), &st) != 0) {
        return kEntryMissing;
    }
    return Classify(st,
                    [&](struct stat& target) { return stat(native.constData(), &target) == 0; });
}

bool ListFolder(const QString& folder, QList<TFolderEntry>& entries) {
    entries.clear();
    DIR* dir = opendir(EncodeNativeName(folder).constData());
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
        bool link = false;
        if (fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
            link = S_ISLNK(st.st_mode);
            kind = Classify(
                st, [&](struct stat& target) { return fstatat(dirFd, name, &target, 0) == 0; });
        }
        entries.append({DecodeNativeName(name), kind, link});
    }
    closedir(dir);
    std::sort(entries.begin(), entries.end(), [](const TFolderEntry& a, const TFolderEntry& b) {
        const int folded = a.name.compare(b.name, Qt::CaseInsensitive);
        return folded != 0 ? folded < 0 : a.name < b.name;
    });
    return true;
}

TReadResult ReadRegularFile(const QString& path, qint64 maxBytes, QByteArray& content,
                            quint32* mode, bool followLink) {
    content.clear();
    const QByteArray native = EncodeNativeName(path);
    struct stat before;
    if ((followLink ? stat(native.constData(), &before) : lstat(native.constData(), &before)) !=
        0) {
        return errno == ENOENT || errno == ENOTDIR ? kReadMissing : kReadFailed;
    }
    if (S_ISLNK(before.st_mode)) {
        return kReadLink;
    }
    if (!S_ISREG(before.st_mode)) {
        return kReadNotRegular;
    }
    // O_NONBLOCK: should the entry have been swapped for a FIFO since the check, the
    // open still returns at once and the fstat below refuses it; O_NOFOLLOW likewise
    // refuses a link swapped in.
    TFdGuard fd{open(native.constData(),
                     O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | (followLink ? 0 : O_NOFOLLOW))};
    if (fd.fd < 0) {
        if (!followLink && errno == ELOOP) {
            return kReadLink;
        }
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
    if (mode != nullptr) {
        *mode = after.st_mode;
    }
    return kReadOk;
}

namespace {

qint64 Nanoseconds(const struct timespec& time) {
    return static_cast<qint64>(time.tv_sec) * 1000000000LL + time.tv_nsec;
}

void TakeFacts(const struct stat& facts, TRegularFile& file) {
    file.size = facts.st_size;
    file.mtimeNs = Nanoseconds(facts.st_mtim);
    file.ctimeNs = Nanoseconds(facts.st_ctim);
    file.inode = static_cast<qint64>(facts.st_ino);
    file.mode = facts.st_mode;
}

}  // namespace

TReadResult StatRegularFile(const QString& path, qint64 maxBytes, TRegularFile& file) {
    struct stat facts;
    if (lstat(EncodeNativeName(path).constData(), &facts) != 0) {
        return errno == ENOENT || errno == ENOTDIR ? kReadMissing : kReadFailed;
    }
    if (S_ISLNK(facts.st_mode)) {
        return kReadLink;
    }
    if (!S_ISREG(facts.st_mode)) {
        return kReadNotRegular;
    }
    if (facts.st_size > maxBytes) {
        return kReadTooLarge;
    }
    TakeFacts(facts, file);
    return kReadOk;
}

TReadResult OpenRegularFile(const QString& path, qint64 maxBytes, TRegularFile& file) {
    file.fd = -1;
    TRegularFile before;
    if (const TReadResult result = StatRegularFile(path, maxBytes, before); result != kReadOk) {
        return result;
    }
    TFdGuard fd{open(EncodeNativeName(path).constData(),
                     O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW)};
    if (fd.fd < 0) {
        if (errno == ELOOP) {
            return kReadLink;
        }
        return errno == ENOENT ? kReadMissing : kReadFailed;
    }
    struct stat facts;
    if (fstat(fd.fd, &facts) != 0) {
        return kReadFailed;
    }
    if (!S_ISREG(facts.st_mode)) {
        return kReadNotRegular;
    }
    if (facts.st_size > maxBytes) {
        return kReadTooLarge;
    }
    TakeFacts(facts, file);
    // The file is read front to back once.
    (void)posix_fadvise(fd.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    file.fd = fd.Release();
    return kReadOk;
}

qint64 ReadSome(const TRegularFile& file, char* buffer, qint64 length) {
    for (;;) {
        const ssize_t n = read(file.fd, buffer, static_cast<size_t>(length));
        if (n >= 0) {
            return n;
        }
        if (errno != EINTR) {
            return -1;
        }
    }
}

TReadResult CloseRegularFile(TRegularFile& file, qint64 bytesRead) {
    if (file.fd < 0) {
        return kReadFailed;
    }
    TFdGuard fd{std::exchange(file.fd, -1)};
    if (bytesRead != file.size) {
        return kReadChanged;
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
    if (after.st_size != file.size || Nanoseconds(after.st_mtim) != file.mtimeNs ||
        static_cast<qint64>(after.st_ino) != file.inode) {
        return kReadChanged;
    }
    return kReadOk;
}

bool ApplyFileTimes(const QString& path, const TFileTime& when) {
    struct timespec times[2];
    times[0].tv_sec = times[1].tv_sec = when.seconds;
    times[0].tv_nsec = times[1].tv_nsec = when.nanoseconds;
    return utimensat(AT_FDCWD, EncodeNativeName(path).constData(), times, 0) == 0;
}

QString AbsolutePath(const QString& path) {
    if (path.startsWith('/')) {
        return path;
    }
    char* working = getcwd(nullptr, 0);
    if (working == nullptr) {
        return path;
    }
    QString absolute = DecodeNativeName(working);
    free(working);
    if (!absolute.endsWith('/')) {
        absolute += '/';
    }
    return path.isEmpty() || path == QLatin1String(".") ? absolute : absolute + path;
}

bool IsPlainName(const QString& name) {
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..") &&
           !name.contains('/') && !name.contains(QChar(0));
}

TWriteFileResult WriteFileInFolder(const QString& folder, const QString& name,
                                   const QByteArray& content, int mode, const TFileTime* times) {
    return WriteFileInFolderWith(
        folder, name,
        [&content](int fd) { return WriteAll(fd, content.constData(), content.size()); }, mode,
        times);
}

TWriteFileResult WriteFileInFolderWith(const QString& folder, const QString& name,
                                       const std::function<bool(int fd)>& write, int mode,
                                       const TFileTime* times) {
    if (!IsPlainName(name)) {
        return kWriteFileBadName;
    }
    if (folder.isEmpty()) {
        return kWriteFileNoFolder;
    }
    const QByteArray target = EncodeNativeName(name);
    TFdGuard dir{OpenOrMakeFolder(EncodeNativeName(folder))};
    if (dir.fd < 0) {
        return kWriteFileNoFolder;
    }
    struct stat existing;
    if (fstatat(dir.fd, target.constData(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
        // A link is replaced as a whole by the rename; anything else must be a regular
        // file that the user could have changed anyway.
        if (!S_ISLNK(existing.st_mode) &&
            (!S_ISREG(existing.st_mode) || faccessat(dir.fd, target.constData(), W_OK, 0) != 0)) {
            return kWriteFileRefused;
        }
    } else if (errno != ENOENT) {
        return kWriteFileFailed;
    }

    QByteArray temporary;
    TFdGuard file{CreateTemporaryIn(dir.fd, temporary)};
    if (file.fd < 0) {
        return kWriteFileFailed;
    }
    const mode_t permissions = mode < 0 ? kPrivateFileMode : static_cast<mode_t>(mode & 0777);
    bool timesSet = true;
    bool written = write(file.fd) && fchmod(file.fd, permissions) == 0;
    if (written && times != nullptr) {
        struct timespec both[2];
        both[0].tv_sec = both[1].tv_sec = times->seconds;
        both[0].tv_nsec = both[1].tv_nsec = times->nanoseconds;
        timesSet = futimens(file.fd, both) == 0;
    }
    written = written && fsync(file.fd) == 0;
    written = close(file.Release()) == 0 && written;
    if (!written || renameat(dir.fd, temporary.constData(), dir.fd, target.constData()) != 0) {
        unlinkat(dir.fd, temporary.constData(), 0);
        return kWriteFileFailed;
    }
    fsync(dir.fd);  // the rename itself reaches the disk
    return timesSet ? kWriteFileOk : kWriteFileOkWithoutTimes;
}
