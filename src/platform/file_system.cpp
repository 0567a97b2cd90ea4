#include "platform/file_system.h"

#include "platform/folders.h"
#include "platform/native_name.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

constexpr unsigned long kMsdosMagic = 0x4d44;      // vfat, msdos
constexpr unsigned long kExfatMagic = 0x2011BAB0;  // exfat

QString DropTrailingSlash(QString path) {
    while (path.size() > 1 && path.endsWith('/')) {
        path.chop(1);
    }
    return path;
}

// The path itself when it exists, else its nearest existing parent folder.
QString NearestExisting(const QString& path) {
    if (path.isEmpty()) {
        return {};
    }
    QString current = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    for (;;) {
        struct stat st;
        if (stat(EncodeNativeName(current).constData(), &st) == 0) {
            return current;
        }
        const QString parent = QFileInfo(current).path();
        if (parent == current || parent.isEmpty()) {
            return {};
        }
        current = parent;
    }
}

}  // namespace

qint64 FileSize64(const QString& path) {
    if (path.isEmpty()) {
        return 0;
    }
    struct stat st;
    if (stat(EncodeNativeName(path).constData(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return 0;
    }
    return st.st_size;
}

bool IsRegularFile(const QString& path) {
    struct stat st;
    return !path.isEmpty() && stat(EncodeNativeName(path).constData(), &st) == 0 &&
           S_ISREG(st.st_mode);
}

bool IsFolder(const QString& path) {
    struct stat st;
    return !path.isEmpty() && stat(EncodeNativeName(path).constData(), &st) == 0 &&
           S_ISDIR(st.st_mode);
}

int OpenRegularFile(const QString& path) {
    if (path.isEmpty()) {
        errno = ENOENT;
        return -1;
    }
    // Non-blocking, so that opening a FIFO without a writer cannot hang; the flag is taken
    // off again for the regular file.
    const int fd = open(EncodeNativeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) {
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    }
    return fd;
}

QString FollowLinks(const QString& path) {
    constexpr int kMaxLinks = 40;  // the kernel's own limit on links in one lookup
    QByteArray current = EncodeNativeName(path);
    for (int depth = 0; depth < kMaxLinks; ++depth) {
        struct stat st;
        if (lstat(current.constData(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            return DecodeNativeName(current);
        }
        QByteArray target(st.st_size > 0 ? st.st_size + 1 : 4096, Qt::Uninitialized);
        const ssize_t length = readlink(current.constData(), target.data(), target.size());
        if (length <= 0 || length >= target.size()) {
            return path;  // the link changed while it was read
        }
        target.truncate(length);
        if (!target.startsWith('/')) {
            const qsizetype slash = current.lastIndexOf('/');
            if (slash >= 0) {
                target.prepend(current.left(slash + 1));
            }
        }
        current = target;
    }
    return path;
}

bool IsSameFile(const QString& a, const QString& b) {
    struct stat sa;
    struct stat sb;
    if (!a.isEmpty() && !b.isEmpty() && stat(EncodeNativeName(a).constData(), &sa) == 0 &&
        stat(EncodeNativeName(b).constData(), &sb) == 0) {
        return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    }
    return DropTrailingSlash(a) == DropTrailingSlash(b);
}

std::optional<quint64> FreeBytes(const QString& path) {
    const QString existing = NearestExisting(path);
    if (existing.isEmpty()) {
        return std::nullopt;
    }
    struct statvfs vfs;
    if (statvfs(EncodeNativeName(existing).constData(), &vfs) != 0) {
        return std::nullopt;
    }
    return static_cast<quint64>(vfs.f_bavail) * static_cast<quint64>(vfs.f_frsize);
}

bool HasFreeSpace(const QString& path) {
    const std::optional<quint64> free = FreeBytes(path);
    return free && IsEnoughFreeSpace(*free);
}

bool IsFatVolume(const QString& path) {
    const QString existing = NearestExisting(path);
    if (existing.isEmpty()) {
        return true;
    }
    struct statfs fs;
    if (statfs(EncodeNativeName(existing).constData(), &fs) != 0) {
        return true;
    }
    const auto type = static_cast<unsigned long>(fs.f_type);
    return type == kMsdosMagic || type == kExfatMagic;
}

QString CreateTempFile() {
    const QString folder = TempFolder();
    if (folder.isEmpty() || !QFileInfo(folder).isDir()) {
        return {};  // Qt gives an empty path when $TMPDIR names no folder
    }
    QByteArray name = EncodeNativeName(folder + "/qvkXXXXXX");
    const int fd = mkstemp(name.data());  // creates the file empty, mode 0600
    if (fd < 0) {
        return {};
    }
    close(fd);
    return DecodeNativeName(name);
}
