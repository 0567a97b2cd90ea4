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

// Why what stands under `name` in the folder `folderFd` may not be replaced, as the system's
// text; empty when it may (or when nothing is there). Only a regular file that the user may
// write, or a symbolic link (the link itself, never what it points at), is replaced:
// renaming needs no more than the folder's permission, so a read-only file or a FIFO,
// socket or device would otherwise be swapped for a new regular file.
QString ReplaceRefusal(int folderFd, const QByteArray& name) {
    struct stat st;
    if (fstatat(folderFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return {};
    }
    if (S_ISLNK(st.st_mode)) {
        return {};
    }
    if (S_ISDIR(st.st_mode)) {
        return ErrnoText(EISDIR);
    }
    if (!S_ISREG(st.st_mode)) {
        return QStringLiteral("Not a regular file");
    }
    if (faccessat(folderFd, name.constData(), W_OK, 0) != 0) {
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
    const QByteArray path = EncodeNativeName(m_target);
    const qsizetype slash = path.lastIndexOf('/');
    m_name = path.mid(slash + 1);
    if (m_name.isEmpty() || m_name == "." || m_name == "..") {
        m_error = ErrnoText(EISDIR);
        return false;
    }
    // The folder is opened once; every later step names the file relative to it, so that
    // a link swapped in for the folder meanwhile changes nothing.
    const QByteArray folder = slash < 0    ? QByteArray(".")
                              : slash == 0 ? QByteArray("/")
                                           : path.left(slash);
    m_folderFd = open(folder.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (m_folderFd < 0) {
        m_error = ErrnoText(errno);
        return false;
    }
    m_error = ReplaceRefusal(m_folderFd, m_name);
    if (!m_error.isEmpty()) {
        Discard();
        return false;
    }
    // Where the file system allows it the new content has no name until Commit, so that
    // nothing is left behind even when the program is killed meanwhile.
    const int fd = openat(m_folderFd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd >= 0) {
        m_fd = fd;
        return true;
    }
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        m_error = ErrnoText(errno);
        Discard();
        return false;
    }
    if (!CreateNamed(false)) {
        Discard();
        return false;
    }
    return true;
}

bool TReplacementFile::CreateNamed(bool linkOpenFile) {
    // A hidden name beside the file, so that the final rename stays on one volume; the
    // file's own name is shortened so that the whole stays within the name limit.
    const QByteArray stem = '.' + m_name.left(200) + ".qv";
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    const QByteArray openFile = "/proc/self/fd/" + QByteArray::number(m_fd);
    for (int attempt = 0; attempt < 100; ++attempt) {
        QByteArray candidate = stem;
        for (int i = 0; i < 6; ++i) {
            candidate += kLetters[QRandomGenerator::global()->bounded(62)];
        }
        bool made = false;
        if (linkOpenFile) {
            made = linkat(AT_FDCWD, openFile.constData(), m_folderFd, candidate.constData(),
                          AT_SYMLINK_FOLLOW) == 0;
        } else {
            const int fd = openat(m_folderFd, candidate.constData(),
                                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
            if (fd >= 0) {
                m_fd = fd;
                made = true;
            }
        }
        if (made) {
            m_tempName = candidate;
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

QString TReplacementFile::TempPath() const {
    if (m_tempName.isEmpty()) {
        return {};
    }
    const QString folder = FolderPart(m_target);
    return (folder.isEmpty() ? QString() : (folder == "/" ? folder : folder + '/')) +
           DecodeNativeName(m_tempName);
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
        m_error = ReplaceRefusal(m_folderFd, m_name);
    }
    struct stat old;
    const bool replacing = fstatat(m_folderFd, m_name.constData(), &old, AT_SYMLINK_NOFOLLOW) == 0;
    if (replacing && m_error.isEmpty()) {
        // The old file's permission bits, so that replacing never widens who may read it
        // (a link has none of its own: the new file gets the usual ones); the new content
        // reaches the disk before the old content is given up.
        if (S_ISREG(old.st_mode) && fchmod(m_fd, old.st_mode & 0777) != 0) {
            m_error = ErrnoText(errno);
        } else if (fdatasync(m_fd) != 0) {
            m_error = ErrnoText(errno);
        }
    }
    if (m_error.isEmpty() && m_tempName.isEmpty()) {
        CreateNamed(true);  // the unnamed file gets its hidden name now
    }
    if (close(m_fd) != 0 && m_error.isEmpty()) {
        m_error = ErrnoText(errno);
    }
    m_fd = -1;
    if (m_error.isEmpty() &&
        renameat(m_folderFd, m_tempName.constData(), m_folderFd, m_name.constData()) != 0) {
        m_error = ErrnoText(errno);
    }
    if (!m_error.isEmpty()) {
        Discard();
        return false;
    }
    m_tempName.clear();
    Discard();
    return true;
}

void TReplacementFile::Discard() {
    m_reserved = 0;
    if (m_fd >= 0) {
        close(m_fd);
        m_fd = -1;
    }
    if (!m_tempName.isEmpty()) {
        unlinkat(m_folderFd, m_tempName.constData(), 0);
        m_tempName.clear();
    }
    if (m_folderFd >= 0) {
        close(m_folderFd);
        m_folderFd = -1;
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
