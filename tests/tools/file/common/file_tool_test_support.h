// Helpers for the file-tool tests: catching an action's message, a write limit that makes
// writes fail part-way, FIFOs, links, sparse files and listing a folder's temporaries.
#pragma once

#include "shell/errors.h"

#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>

#include <csignal>
#include <functional>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
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

inline QByteArray Native(const QString& path) {
    return QFile::encodeName(path);
}

inline bool MakeFifo(const QString& path) {
    return mkfifo(Native(path).constData(), 0600) == 0;
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
