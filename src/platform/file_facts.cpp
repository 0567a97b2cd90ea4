#include "platform/file_facts.h"

#include "platform/native_name.h"

#include <QRandomGenerator>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

constexpr int kRenameTemporaryAttempts = 64;

TFileTime FactsTime(const struct statx_timestamp& stamp) {
    return {static_cast<qint64>(stamp.tv_sec), static_cast<qint32>(stamp.tv_nsec)};
}

// renameat2 with RENAME_NOREPLACE; where the file system does not know the flag, a check
// for the name followed by a plain rename (which leaves a short window, the best such a
// file system allows).
int RenameExclusive(const QByteArray& from, const QByteArray& to) {
    if (renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0) {
        return 0;
    }
    const int error = errno;
    if (error != EINVAL && error != ENOSYS) {
        return error;
    }
    struct stat existing;
    if (lstat(to.constData(), &existing) == 0) {
        return EEXIST;
    }
    return rename(from.constData(), to.constData()) == 0 ? 0 : errno;
}

bool SameEntry(const QByteArray& a, const QByteArray& b) {
    struct stat sa;
    struct stat sb;
    return lstat(a.constData(), &sa) == 0 && lstat(b.constData(), &sb) == 0 &&
           sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

}  // namespace

bool ReadFileFacts(const QString& path, TFileFacts& facts) {
    facts = TFileFacts{};
    if (path.isEmpty()) {
        errno = ENOENT;
        return false;
    }
    const QByteArray native = EncodeNativeName(path);
    struct statx st;
    if (statx(AT_FDCWD, native.constData(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME,
              &st) != 0) {
        return false;
    }
    facts.isLink = S_ISLNK(st.stx_mode);
    facts.isFolder = S_ISDIR(st.stx_mode);
    facts.isRegular = S_ISREG(st.stx_mode);
    facts.size = static_cast<qint64>(st.stx_size);
    facts.accessed = FactsTime(st.stx_atime);
    facts.modified = FactsTime(st.stx_mtime);
    if ((st.stx_mask & STATX_BTIME) != 0) {
        facts.created = FactsTime(st.stx_btime);
    }
    facts.device = makedev(st.stx_dev_major, st.stx_dev_minor);
    facts.inode = st.stx_ino;
    facts.owner = st.stx_uid;
    facts.readOnly =
        !facts.isLink && faccessat(AT_FDCWD, native.constData(), W_OK, AT_EACCESS) != 0;
    return true;
}

bool MayRenameIn(const QString& folder, const TFileFacts& entry) {
    const QByteArray native = EncodeNativeName(folder.isEmpty() ? QStringLiteral("/") : folder);
    if (faccessat(AT_FDCWD, native.constData(), W_OK | X_OK, AT_EACCESS) != 0) {
        return false;
    }
    struct stat st;
    if (stat(native.constData(), &st) != 0) {
        return false;
    }
    if ((st.st_mode & S_ISVTX) == 0) {
        return true;
    }
    const uid_t user = geteuid();
    return user == 0 || entry.owner == user || st.st_uid == user;
}

int SetEntryTimes(const QString& path, const std::optional<TFileTime>& accessed,
                  const std::optional<TFileTime>& modified) {
    struct timespec times[2];
    const std::optional<TFileTime>* given[2] = {&accessed, &modified};
    for (int i = 0; i < 2; ++i) {
        if (*given[i]) {
            times[i].tv_sec = static_cast<time_t>((*given[i])->seconds);
            times[i].tv_nsec = (*given[i])->nanoseconds;
        } else {
            times[i].tv_sec = 0;
            times[i].tv_nsec = UTIME_OMIT;
        }
    }
    if (utimensat(AT_FDCWD, EncodeNativeName(path).constData(), times, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno;
    }
    return 0;
}

std::optional<TFileTimeLimits> ProbeFileTimeLimits(const QString& folder,
                                                   const TFileTimeLimits& wanted) {
    const int fd = open(EncodeNativeName(folder).constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) {
        return std::nullopt;
    }
    // The earliest moment as the access time and the latest as the modification time: one
    // call sets both, and each is clamped on its own.
    struct timespec times[2];
    times[0].tv_sec = static_cast<time_t>(wanted.earliest.seconds);
    times[0].tv_nsec = wanted.earliest.nanoseconds;
    times[1].tv_sec = static_cast<time_t>(wanted.latest.seconds);
    times[1].tv_nsec = wanted.latest.nanoseconds;
    std::optional<TFileTimeLimits> limits;
    struct statx st;
    if (futimens(fd, times) == 0 &&
        statx(fd, "", AT_EMPTY_PATH, STATX_ATIME | STATX_MTIME, &st) == 0) {
        limits = TFileTimeLimits{FactsTime(st.stx_atime), FactsTime(st.stx_mtime)};
    }
    close(fd);
    return limits;
}

int RenameWithoutReplacing(const QString& from, const QString& to) {
    const QByteArray source = EncodeNativeName(from);
    const QByteArray target = EncodeNativeName(to);
    if (source == target) {
        struct stat st;
        return lstat(source.constData(), &st) == 0 ? 0 : errno;
    }
    const int error = RenameExclusive(source, target);
    if (error != EEXIST || !SameEntry(source, target)) {
        return error;
    }
    // The new name finds the entry itself: a file system that ignores case. Through a
    // hidden name of its own, then to the new name; back again when that fails.
    const int slash = source.lastIndexOf('/');
    const QByteArray folder = slash < 0 ? QByteArray() : source.left(slash + 1);
    for (int attempt = 0; attempt < kRenameTemporaryAttempts; ++attempt) {
        const QByteArray temporary =
            folder + ".qvn" + QByteArray::number(QRandomGenerator::global()->generate(), 16);
        const int moved = RenameExclusive(source, temporary);
        if (moved == EEXIST) {
            continue;
        }
        if (moved != 0) {
            return moved;
        }
        const int renamed = RenameExclusive(temporary, target);
        if (renamed != 0) {
            (void)RenameExclusive(temporary, source);
        }
        return renamed;
    }
    return EEXIST;
}

QString CanonicalPath(const QString& path) {
    if (path.isEmpty()) {
        return {};
    }
    char* resolved = realpath(EncodeNativeName(path).constData(), nullptr);
    if (resolved == nullptr) {
        return {};
    }
    const QString result = DecodeNativeName(resolved);
    free(resolved);
    return result;
}

QString SystemErrorText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}
