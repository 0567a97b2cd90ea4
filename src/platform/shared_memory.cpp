#include "platform/shared_memory.h"

#include <fcntl.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

QByteArray TSharedBlock::SystemName(const QString& name) {
    QByteArray out = "/";
    for (const QChar c : name) {
        out += (c.isLetterOrNumber() && c.unicode() < 128) ? char(c.unicode()) : '_';
    }
    out += '_' + QByteArray::number(static_cast<qulonglong>(getuid()));
    return out;
}

TSharedBlock::TSharedBlock(const QString& name, const QString& lockName, quint32 size)
    : m_name(SystemName(name)), m_lockName(SystemName(lockName)), m_size(size) {
    const int fd = shm_open(m_name.constData(), O_RDWR | O_CREAT, 0600);
    if (fd < 0) {
        return;
    }
    struct stat st;
    if (fstat(fd, &st) == 0 && static_cast<quint64>(st.st_size) < size) {
        if (ftruncate(fd, size) != 0) {
            close(fd);
            return;
        }
    }
    void* view = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (view == MAP_FAILED) {
        return;
    }
    m_view = view;
    sem_t* lock = sem_open(m_lockName.constData(), O_CREAT, 0600, 1);
    if (lock == SEM_FAILED) {
        munmap(m_view, m_size);
        m_view = nullptr;
        return;
    }
    m_lock = lock;
}

TSharedBlock::~TSharedBlock() {
    if (m_view != nullptr) {
        munmap(m_view, m_size);
    }
    if (m_lock != nullptr) {
        sem_close(static_cast<sem_t*>(m_lock));
    }
}

bool TSharedBlock::Lock(int timeoutMs) {
    if (m_lock == nullptr) {
        return false;
    }
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += timeoutMs / 1000;
    deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    int rc;
    do {
        rc = sem_timedwait(static_cast<sem_t*>(m_lock), &deadline);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

void TSharedBlock::Unlock() {
    if (m_lock != nullptr) {
        sem_post(static_cast<sem_t*>(m_lock));
    }
}

void TSharedBlock::Unlink() {
    shm_unlink(m_name.constData());
    sem_unlink(m_lockName.constData());
}
