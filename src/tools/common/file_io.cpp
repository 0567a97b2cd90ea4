#include "tools/common/file_io.h"

#include "platform/file_system.h"
#include "platform/native_name.h"

#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Block size of the read/write path: large enough that system calls cost little.
constexpr qint64 kBlockSize = 1 << 20;
// Most bytes asked of one copy_file_range call; the kernel caps a call near 2 GiB.
constexpr qint64 kRangeChunk = qint64(1) << 30;

QString ErrnoText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

TCopyFault ReadFault(int error) {
    return {TCopyFault::kRead, ErrnoText(error)};
}
TCopyFault WriteFault(int error) {
    return {TCopyFault::kWrite, ErrnoText(error)};
}

// Reads and writes through a buffer from `offset` on. With `length` < 0 it copies to the
// end of `from`; otherwise exactly `length` bytes. Adds the bytes copied to `copied`.
// `observe`, when given, sees every block before it is written.
std::optional<TCopyFault> CopyThroughBuffer(int from, qint64 offset, int to, qint64 length,
                                            qint64& copied,
                                            const TCopyObserver* observe = nullptr) {
    const std::unique_ptr<char[]> buffer(new char[kBlockSize]);
    const bool toEnd = length < 0;
    qint64 left = length;
    while (toEnd || left > 0) {
        const qint64 want = toEnd ? kBlockSize : std::min(left, kBlockSize);
        const ssize_t got = pread(from, buffer.get(), want, offset);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return ReadFault(errno);
        }
        if (got == 0) {
            if (toEnd) {
                return std::nullopt;
            }
            return TCopyFault{TCopyFault::kRead, QString::fromLatin1(kUnexpectedEndText)};
        }
        if (observe != nullptr) {
            (*observe)(buffer.get(), got);
        }
        if (auto fault = WriteAll(to, buffer.get(), got)) {
            return fault;
        }
        offset += got;
        copied += got;
        left -= got;
    }
    return std::nullopt;
}

// Copies with copy_file_range while the kernel serves the pair of files; hands the rest
// to the buffered path at the first refusal, error or zero result, so that the buffered
// path decides between a real end of file and a fault (and names the failing side).
std::optional<TCopyFault> CopyRange(int from, qint64 offset, int to, qint64 length,
                                    qint64& copied) {
    const bool toEnd = length < 0;
    qint64 left = length;
    loff_t in = offset;
    while (toEnd || left > 0) {
        const qint64 want = toEnd ? kRangeChunk : std::min(left, kRangeChunk);
        const ssize_t moved = copy_file_range(from, &in, to, nullptr, want, 0);
        if (moved < 0 && errno == EINTR) {
            continue;
        }
        if (moved <= 0) {
            break;
        }
        copied += moved;
        left -= moved;
    }
    if (!toEnd && left == 0) {
        return std::nullopt;
    }
    return CopyThroughBuffer(from, in, to, toEnd ? -1 : left, copied);
}

// Why an existing file at the final path may not be replaced, as the system's text; empty
// when it may (or when nothing is there). Only a regular file that the user may write is
// replaced: renaming needs no more than the folder's permission, so a read-only file or a
// FIFO, socket or device would otherwise be swapped for a new regular file.
QString ReplaceRefusal(const QByteArray& path) {
    struct stat st;
    if (lstat(path.constData(), &st) != 0) {
        return {};
    }
    if (S_ISDIR(st.st_mode)) {
        return ErrnoText(EISDIR);
    }
    if (!S_ISREG(st.st_mode)) {
        return QStringLiteral("Not a regular file");
    }
    if (access(path.constData(), W_OK) != 0) {
        return ErrnoText(errno);
    }
    return {};
}

}  // namespace

// ---- TSourceFile ------------------------------------------------------------------------

TSourceFile::~TSourceFile() {
    Close();
}

bool TSourceFile::Open(const QString& path) {
    Close();
    const int fd = OpenRegularFile(path);
    if (fd < 0) {
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        close(fd);
        return false;
    }
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    m_fd = fd;
    m_size = st.st_size;
    return true;
}

void TSourceFile::Close() {
    if (m_fd >= 0) {
        close(m_fd);
        m_fd = -1;
    }
    m_size = 0;
}

// ---- TReplacementFile -------------------------------------------------------------------

TReplacementFile::TReplacementFile(QString target) : m_target(std::move(target)) {}

TReplacementFile::~TReplacementFile() {
    Discard();
}

bool TReplacementFile::Open() {
    Discard();
    m_error.clear();
    m_final = FollowLinks(m_target);
    if (m_final.isEmpty() || m_final.endsWith('/')) {
        m_error = ErrnoText(EISDIR);
        return false;
    }
    m_error = ReplaceRefusal(EncodeNativeName(m_final));
    if (!m_error.isEmpty()) {
        return false;
    }
    // Where the file system allows it the new content has no name until Commit, so that
    // nothing is left behind even when the program is killed meanwhile.
    const QString folder = FolderPart(m_final);
    const int fd =
        open(EncodeNativeName(folder.isEmpty() ? QStringLiteral(".") : folder).constData(),
             O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd >= 0) {
        m_fd = fd;
        return true;
    }
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        m_error = ErrnoText(errno);
        return false;
    }
    return CreateNamed(false);
}

bool TReplacementFile::CreateNamed(bool linkOpenFile) {
    // A hidden name beside the file, so that the final rename stays on one volume; the
    // file's own name is shortened so that the whole stays within the name limit.
    const QString folder = FolderPart(m_final);
    const QString stem = (folder.isEmpty() ? QString() : (folder == "/" ? folder : folder + '/')) +
                         '.' + NamePart(m_final).left(200) + ".qv";
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    const QByteArray openFile = "/proc/self/fd/" + QByteArray::number(m_fd);
    for (int attempt = 0; attempt < 100; ++attempt) {
        QString candidate = stem;
        for (int i = 0; i < 6; ++i) {
            candidate += QLatin1Char(kLetters[QRandomGenerator::global()->bounded(62)]);
        }
        const QByteArray name = EncodeNativeName(candidate);
        bool made = false;
        if (linkOpenFile) {
            made = linkat(AT_FDCWD, openFile.constData(), AT_FDCWD, name.constData(),
                          AT_SYMLINK_FOLLOW) == 0;
        } else {
            const int fd = open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd >= 0) {
                m_fd = fd;
                made = true;
            }
        }
        if (made) {
            m_tempPath = candidate;
            return true;
        }
        if (errno != EEXIST) {
            m_error = ErrnoText(errno);
            return false;
        }
    }
    m_error = ErrnoText(EEXIST);
    return false;
}

void TReplacementFile::Reserve(qint64 bytes) {
    if (m_fd >= 0 && bytes > 0 && fallocate(m_fd, FALLOC_FL_KEEP_SIZE, 0, bytes) == 0) {
        m_reserved = std::max(m_reserved, bytes);
    }
}

bool TReplacementFile::Commit() {
    if (m_fd < 0) {
        m_error = ErrnoText(EBADF);
        return false;
    }
    m_error.clear();
    if (m_reserved > 0) {
        // Gives back reserved room past the end of what was written.
        const off_t end = lseek(m_fd, 0, SEEK_CUR);
        if (end >= 0 && end < m_reserved && ftruncate(m_fd, end) != 0) {
            m_error = ErrnoText(errno);
        }
    }
    if (m_error.isEmpty()) {
        // Again at the last moment: something else may have been put there meanwhile.
        m_error = ReplaceRefusal(EncodeNativeName(m_final));
    }
    struct stat old;
    const bool replacing = lstat(EncodeNativeName(m_final).constData(), &old) == 0;
    if (replacing && m_error.isEmpty()) {
        // The old file's permission bits, so that replacing never widens who may read it;
        // its new content reaches the disk before the old content is given up.
        if (S_ISREG(old.st_mode) && fchmod(m_fd, old.st_mode & 0777) != 0) {
            m_error = ErrnoText(errno);
        } else if (fdatasync(m_fd) != 0) {
            m_error = ErrnoText(errno);
        }
    }
    if (m_error.isEmpty() && m_tempPath.isEmpty()) {
        CreateNamed(true);  // the unnamed file gets its hidden name now
    }
    if (close(m_fd) != 0 && m_error.isEmpty()) {
        m_error = ErrnoText(errno);
    }
    m_fd = -1;
    if (m_error.isEmpty() && rename(EncodeNativeName(m_tempPath).constData(),
                                    EncodeNativeName(m_final).constData()) != 0) {
        m_error = ErrnoText(errno);
    }
    if (!m_error.isEmpty()) {
        Discard();
        return false;
    }
    m_tempPath.clear();
    m_reserved = 0;
    return true;
}

void TReplacementFile::Discard() {
    m_reserved = 0;
    if (m_fd >= 0) {
        close(m_fd);
        m_fd = -1;
    }
    if (!m_tempPath.isEmpty()) {
        unlink(EncodeNativeName(m_tempPath).constData());
        m_tempPath.clear();
    }
}

// ---- copying ----------------------------------------------------------------------------

std::optional<TCopyFault> CopyBytes(int from, qint64 offset, int to, qint64 length) {
    if (length <= 0) {
        return std::nullopt;
    }
    qint64 copied = 0;
    return CopyRange(from, offset, to, length, copied);
}

std::optional<TCopyFault> CopyToEnd(int from, int to, qint64& copied) {
    copied = 0;
    return CopyRange(from, 0, to, -1, copied);
}

std::optional<TCopyFault> CopyBytesObserved(int from, qint64 offset, int to, qint64 length,
                                            const TCopyObserver& observe) {
    if (length <= 0) {
        return std::nullopt;
    }
    qint64 copied = 0;
    return CopyThroughBuffer(from, offset, to, length, copied, &observe);
}

std::optional<TCopyFault> CopyToEndObserved(int from, int to, qint64& copied,
                                            const TCopyObserver& observe) {
    copied = 0;
    return CopyThroughBuffer(from, 0, to, -1, copied, &observe);
}

std::optional<TCopyFault> WriteAll(int to, const char* data, qint64 length) {
    while (length > 0) {
        const ssize_t put = write(to, data, length);
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            return WriteFault(errno);
        }
        if (put == 0) {
            return WriteFault(ENOSPC);
        }
        data += put;
        length -= put;
    }
    return std::nullopt;
}

std::optional<TCopyFault> WriteZeros(int to, qint64 count) {
    const std::unique_ptr<char[]> zeros(new char[kBlockSize]());
    while (count > 0) {
        const qint64 step = std::min(count, kBlockSize);
        if (auto fault = WriteAll(to, zeros.get(), step)) {
            return fault;
        }
        count -= step;
    }
    return std::nullopt;
}

// ---- paths ------------------------------------------------------------------------------

bool ExistsAsNonFolder(const QString& path) {
    if (path.isEmpty()) {
        return false;
    }
    struct stat st;
    if (lstat(EncodeNativeName(path).constData(), &st) != 0) {
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        // A link counts as what it points at; a dangling link is a name that exists.
        struct stat target;
        return stat(EncodeNativeName(path).constData(), &target) != 0 || !S_ISDIR(target.st_mode);
    }
    return !S_ISDIR(st.st_mode);
}

QString FolderPart(const QString& path) {
    const qsizetype slash = path.lastIndexOf('/');
    if (slash < 0) {
        return {};
    }
    return slash == 0 ? QStringLiteral("/") : path.left(slash);
}

QString NamePart(const QString& path) {
    return path.mid(path.lastIndexOf('/') + 1);
}
