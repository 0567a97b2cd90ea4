// A small stream over a named block of shared memory, every access under the block's
// named lock; the single-instance guard keeps the running instance's identity in one.
#pragma once

#include "platform/shared_memory.h"

#include <QString>

#include <memory>

// Thread safety: one thread at a time per object; the named lock serialises processes.
class TMapStream {
public:
    // Opens or creates the block `name` with its lock "Lumeron_%s_MAP". A size <= 0 or
    // equal to the largest 32-bit value becomes 65 535; a timeout <= 0 or above 5000 ms
    // becomes 2000. Raises "%s file mapping failed." when the block cannot be made.
    TMapStream(const QString& name, int timeoutMs, qint64 size);

    [[nodiscard]] bool Lock();
    void Unlock();
    // Zeroes the block and rewinds; false when the lock is not obtained in time.
    [[nodiscard]] bool Clear();
    // Copies count bytes at the position, only when position + count is strictly below the
    // size (so a transfer ending exactly at the end is refused) and the lock is obtained.
    [[nodiscard]] bool Read(void* buffer, quint32 count);
    [[nodiscard]] bool Write(const void* buffer, quint32 count);
    // Moves to offset when 0 <= offset < size; otherwise nothing.
    void Seek(qint64 offset);

    quint32 Position() const { return m_position; }
    quint32 Size() const { return m_size; }
    int Timeout() const { return m_timeout; }
    // Removes the block's names from the system.
    void Unlink() { m_block->Unlink(); }

private:
    bool InBounds(quint32 count) const;

    std::unique_ptr<TSharedBlock> m_block;
    quint32 m_position = 0;
    quint32 m_size = 0;
    int m_timeout = 0;
};
