#include "platform/instance_lock.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

QString TInstanceLock::RuntimeFolder() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QFileInfo(runtime).isDir()) {
        return runtime;
    }
    return QDir::tempPath();
}

QString TInstanceLock::DefaultPath() {
    return RuntimeFolder() + QStringLiteral("/quiva-tessaline-%1.lock").arg(getuid());
}

TInstanceLock::TInstanceLock(const QString& path) : m_path(path) {}

TInstanceLock::~TInstanceLock() { Release(); }

bool TInstanceLock::TryAcquire() {
    if (m_held) {
        return true;
    }
    if (m_fd < 0) {
        m_fd = open(QFile::encodeName(m_path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (m_fd < 0) {
            return false;
        }
    }
    m_held = flock(m_fd, LOCK_EX | LOCK_NB) == 0;
    return m_held;
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
