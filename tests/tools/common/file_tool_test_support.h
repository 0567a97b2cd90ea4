// Helpers for the file-tool tests: catching an action's message, a write limit that makes
// writes fail part-way, FIFOs, sockets, links, sparse files, files reached by the bytes of
// their names, and listing a folder's temporaries.
#pragma once

#include "base/errors.h"
#include "platform/native_name.h"

#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>

#include <csignal>
#include <functional>

#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace file_tool_test {

// The message of the EQuiva that the action raised, or empty when it raised none.
inline QString ErrorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const EQuiva& error) {
        return error.Message();
    }
    return {};
}

// While it lives, no file of this process may grow beyond `bytes`: a write past the limit
// fails with EFBIG ("File too large"), as on a full disk. The signal that would end the
// process is ignored meanwhile.
class TWriteLimit {
public:
    explicit TWriteLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &m_old);
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = m_old;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~TWriteLimit() {
        setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_oldHandler);
    }
    TWriteLimit(const TWriteLimit&) = delete;
    TWriteLimit& operator=(const TWriteLimit&) = delete;

private:
    rlimit m_old{};
    void (*m_oldHandler)(int) = nullptr;
};

// The bytes of a path, raw bytes of names that are not UTF-8 included.
inline QByteArray Native(const QString& path) {
    return EncodeNativeName(path);
}

// A name that is not UTF-8 ("caf" + 0xE9 + ".bin", as a Latin-1 system writes "café.bin"),
// in the text form the program uses.
inline QString Latin1Name(const char* stem = "caf", const char* rest = ".bin") {
    return DecodeNativeName(QByteArray(stem) + '\xE9' + rest);
}

// Writes a file by the bytes of its name (Qt's file classes would lose raw bytes).
inline bool WriteNative(const QString& path, const QByteArray& content) {
    const int fd = open(Native(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    const bool ok = write(fd, content.constData(), content.size()) == content.size();
    return close(fd) == 0 && ok;
}

// Reads a whole file by the bytes of its name; empty when it cannot be read.
inline QByteArray ReadNative(const QString& path) {
    const int fd = open(Native(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return {};
    }
    QByteArray content;
    char buffer[65536];
    for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;) {
        content.append(buffer, got);
    }
    close(fd);
    return content;
}

// The kind of what is at the path, links not followed: S_IFREG, S_IFIFO, S_IFSOCK,
// S_IFLNK, ...; 0 when nothing is there.
inline int KindOf(const QString& path) {
    struct stat st;
    return lstat(Native(path).constData(), &st) == 0 ? static_cast<int>(st.st_mode & S_IFMT) : 0;
}

inline bool MakeFifo(const QString& path) {
    return mkfifo(Native(path).constData(), 0600) == 0;
}

// Binds a UNIX socket at the path (the socket file stays after the descriptor is closed).
inline bool MakeSocket(const QString& path) {
    const QByteArray name = Native(path);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (name.size() >= static_cast<qsizetype>(sizeof address.sun_path)) {
        return false;
    }
    std::memcpy(address.sun_path, name.constData(), name.size());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    const bool bound = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return bound;
}

inline bool MakeHardLink(const QString& existing, const QString& link) {
    return ::link(Native(existing).constData(), Native(link).constData()) == 0;
}

inline bool MakeSymLink(const QString& existing, const QString& link) {
    return ::symlink(Native(existing).constData(), Native(link).constData()) == 0;
}

// Makes a sparse file of `size` bytes whose last bytes are `tail`.
inline bool MakeSparse(const QString& path, qint64 size, const QByteArray& tail) {
    const int fd = open(Native(path).constData(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
    if (fd < 0) {
        return false;
    }
    const bool ok = ftruncate(fd, size) == 0 &&
                    pwrite(fd, tail.constData(), tail.size(), size - tail.size()) == tail.size();
    close(fd);
    return ok;
}

// The names in the folder, hidden ones included, sorted.
inline QStringList Names(const QString& folder) {
    return QDir(folder).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

// The names in the folder as the directory holds them (raw bytes kept), sorted by bytes.
inline QList<QByteArray> NativeNames(const QString& folder) {
    QList<QByteArray> names;
    if (DIR* dir = opendir(Native(folder).constData())) {
        while (const dirent* entry = readdir(dir)) {
            const QByteArray name(entry->d_name);
            if (name != "." && name != "..") {
                names.append(name);
            }
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The file's permission bits.
inline int ModeOf(const QString& path) {
    struct stat st;
    return stat(Native(path).constData(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

// The process's umask, read without changing it for long.
inline int CurrentUmask() {
    const mode_t mask = umask(022);
    umask(mask);
    return static_cast<int>(mask);
}

}  // namespace file_tool_test
