#include "platform/file_system.h"

#include "platform/folders.h"
#include "platform/native_name.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

constexpr unsigned long kMsdosMagic = 0x4d44;      // vfat, msdos
constexpr unsigned long kExfatMagic = 0x2011BAB0;  // exfat

QByteArray Native(const QString& path) { return EncodeNativeName(path); }

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
        if (stat(Native(current).constData(), &st) == 0) {
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
    if (stat(Native(path).constData(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return 0;
    }
    return st.st_size;
}

bool IsSameFile(const QString& a, const QString& b) {
    struct stat sa;
    struct stat sb;
    if (!a.isEmpty() && !b.isEmpty() && stat(Native(a).constData(), &sa) == 0 &&
        stat(Native(b).constData(), &sb) == 0) {
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
    if (statvfs(Native(existing).constData(), &vfs) != 0) {
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
    if (statfs(Native(existing).constData(), &fs) != 0) {
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
    QByteArray name = Native(folder + "/qvkXXXXXX");
    const int fd = mkstemp(name.data());  // creates the file empty, mode 0600
    if (fd < 0) {
        return {};
    }
    close(fd);
    return DecodeNativeName(name);
}
