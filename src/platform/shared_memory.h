// A named block of shared memory with a named lock, shared between the program's
// processes of one user (POSIX shared memory and a named semaphore).
#pragma once

#include <QByteArray>
#include <QString>

// Thread safety: one thread at a time per object; the lock serialises processes.
class TSharedBlock {
public:
    // Opens or creates the block `name` of `size` bytes and its lock `lockName` (created
    // free). Names are made per user and safe for the system. Check IsValid afterwards.
    TSharedBlock(const QString& name, const QString& lockName, quint32 size);
    ~TSharedBlock();
    TSharedBlock(const TSharedBlock&) = delete;
    TSharedBlock& operator=(const TSharedBlock&) = delete;

    bool IsValid() const { return m_view != nullptr && m_lock != nullptr; }
    quint32 Size() const { return m_size; }
    unsigned char* Data() { return static_cast<unsigned char*>(m_view); }

    // Waits up to timeoutMs for the lock; true when it was taken.
    [[nodiscard]] bool Lock(int timeoutMs);
    void Unlock();

    // Removes the names from the system (the first instance does it when it ends).
    void Unlink();

    // The system names used for a block or lock name (per user, no "/" or blanks).
    static QByteArray SystemName(const QString& name);

private:
    QByteArray m_name;
    QByteArray m_lockName;
    quint32 m_size = 0;
    void* m_view = nullptr;
    void* m_lock = nullptr;  // sem_t*
};
