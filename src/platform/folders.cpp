#include "platform/folders.h"
#include "base/utilities.h"

#include "platform/native_name.h"

#include <QDir>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr mode_t kGroupAndOthers = 0077;

bool IsFolder(const QByteArray& native) {
    struct stat st;
    return stat(native.constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

QString DefaultProgramFolder() {
    QString base = qEnvironmentVariable("XDG_DATA_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base)) {
        base = QDir::homePath() + "/.local/share";
    }
    return WithTrailingSlash(base) + "quiva-tessaline/";
}

QString HomeFolder() {
    return WithTrailingSlash(QDir::homePath());
}

QString TempFolder() {
    return QDir::tempPath();
}

bool MakeFolderPath(const QString& path) {
    if (path.isEmpty()) {
        return false;
    }
    QByteArray native = EncodeNativeName(path);
    while (native.size() > 1 && native.endsWith('/')) {
        native.chop(1);
    }
    if (IsFolder(native)) {
        return true;
    }
    // Each missing folder from the top down; one made meanwhile by another process is fine.
    for (qsizetype at = native.indexOf('/', 1);; at = native.indexOf('/', at + 1)) {
        const QByteArray part = at < 0 ? native : native.left(at);
        if (mkdir(part.constData(), kPrivateFolderMode) != 0 && errno != EEXIST) {
            return false;
        }
        if (at < 0) {
            break;
        }
    }
    return IsFolder(native);
}

bool MakePrivateFolder(const QString& path) {
    if (!MakeFolderPath(path)) {
        return false;
    }
    const int fd = open(EncodeNativeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return true;  // it exists; a folder that cannot be opened cannot be tightened either
    }
    struct stat st;
    if (fstat(fd, &st) == 0 && st.st_uid == geteuid() && (st.st_mode & kGroupAndOthers) != 0) {
        (void)fchmod(fd, st.st_mode & 0700);
    }
    close(fd);
    return true;
}

QString FolderProblem(const QString& path) {
    QByteArray native = EncodeNativeName(path);
    while (native.size() > 1 && native.endsWith('/')) {
        native.chop(1);
    }
    if (native.isEmpty()) {
        return QStringLiteral("no folder is named");
    }
    // The folder itself, or the nearest entry above it that exists.
    QByteArray at = native;
    struct stat st;
    int failure = 0;
    while (stat(at.constData(), &st) != 0) {
        failure = errno;
        if (failure != ENOENT && failure != ENOTDIR) {
            return QStringLiteral("%1: %2").arg(PrintableName(DecodeNativeName(at)),
                                                QString::fromLocal8Bit(std::strerror(failure)));
        }
        const qsizetype slash = at.lastIndexOf('/');
        if (slash <= 0) {
            at = "/";
            if (stat(at.constData(), &st) != 0) {
                return QString::fromLocal8Bit(std::strerror(errno));
            }
            break;
        }
        at.truncate(slash);
    }
    const QString shown = PrintableName(DecodeNativeName(at));
    if (!S_ISDIR(st.st_mode)) {
        return QStringLiteral("%1 is not a folder").arg(shown);
    }
    if (access(at.constData(), W_OK | X_OK) != 0) {
        return QStringLiteral("no permission to write in %1").arg(shown);
    }
    if (at != native) {
        return QStringLiteral("%1 does not exist").arg(PrintableName(DecodeNativeName(native)));
    }
    return QString();
}

bool FolderExists(const QString& path) {
    return !path.isEmpty() && IsFolder(EncodeNativeName(path));
}

bool CreatePrivateFile(const QString& path) {
    const int fd = open(EncodeNativeName(path).constData(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kPrivateFileMode);
    if (fd < 0) {
        return false;
    }
    // The umask may have narrowed the mode further; never wider than 0600.
    (void)fchmod(fd, kPrivateFileMode);
    close(fd);
    return true;
}

void TightenPrivateFile(const QString& path) {
    const int fd = open(EncodeNativeName(path).constData(),
                        O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
        (st.st_mode & kGroupAndOthers) != 0) {
        (void)fchmod(fd, st.st_mode & 0700);
    }
    close(fd);
}

bool RemoveFile(const QString& path) {
    return unlink(EncodeNativeName(path).constData()) == 0 || errno == ENOENT;
}

bool RenameFile(const QString& from, const QString& to) {
    return rename(EncodeNativeName(from).constData(), EncodeNativeName(to).constData()) == 0;
}
