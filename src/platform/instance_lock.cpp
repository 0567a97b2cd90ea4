#include "platform/instance_lock.h"

#include "platform/native_name.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

QString TInstanceLock::RuntimeFolder() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QFileInfo(runtime).isDir()) {
        return runtime;
    }
    return QDir::tempPath();
}

QString TInstanceLock::PathIn(const QString& programFolder) {
    QString folder = programFolder;
    if (!folder.endsWith('/')) {
        folder += '/';
    }
    return folder + QStringLiteral("quiva-tessaline.lock");
}

TInstanceLock::TInstanceLock(const QString& path) : m_path(path) {}

TInstanceLock::~TInstanceLock() {
    Release();
}

bool TInstanceLock::TryAcquire() {
    if (m_held) {
        return true;
    }
    m_heldElsewhere = false;
    if (m_fd < 0) {
        m_fd = open(EncodeNativeName(m_path).constData(),
                    O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
        if (m_fd < 0) {
            return false;
        }
        // A file someone else made (or a special file) is no lock of ours.
        struct stat st;
        if (fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
            Release();
            return false;
        }
        if ((st.st_mode & 0077) != 0) {
            (void)fchmod(m_fd, 0600);
        }
    }
    m_held = flock(m_fd, LOCK_EX | LOCK_NB) == 0;
    m_heldElsewhere = !m_held && errno == EWOULDBLOCK;
    if (m_held) {
        (void)ftruncate(m_fd, 0);  // a holder killed before it let go left its name
    }
    return m_held;
}

void TInstanceLock::SetHolder(const QByteArray& text) {
    if (!m_held) {
        return;
    }
    const QByteArray line = text + " (process " + QByteArray::number(getpid()) + ")\n";
    if (ftruncate(m_fd, 0) == 0) {
        (void)pwrite(m_fd, line.constData(), line.size(), 0);
    }
}

QByteArray TInstanceLock::Holder() const {
    if (m_fd < 0) {
        return {};
    }
    char text[256];
    const ssize_t got = pread(m_fd, text, sizeof text, 0);
    if (got <= 0) {
        return {};
    }
    const QByteArray line = QByteArray(text, got).split('\n').first().trimmed();
    // Only what a command of ours writes: printable ASCII.
    for (const char c : line) {
        if (c < 0x20 || c > 0x7E) {
            return {};
        }
    }
    return line;
}

void TInstanceLock::Release() {
    if (m_fd >= 0) {
        if (m_held) {
            flock(m_fd, LOCK_UN);
        }
        close(m_fd);
        m_fd = -1;
    }
    m_held = false;
}
