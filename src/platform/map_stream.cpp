#include "platform/map_stream.h"

#include "base/errors.h"

#include <cstring>

TMapStream::TMapStream(const QString& name, int timeoutMs, qint64 size) {
    m_size = (size <= 0 || size >= 0xFFFFFFFFLL) ? 65535u : static_cast<quint32>(size);
    m_timeout = (timeoutMs <= 0 || timeoutMs > 5000) ? 2000 : timeoutMs;
    m_block =
        std::make_unique<TSharedBlock>(name, QStringLiteral("Lumeron_%1_MAP").arg(name), m_size);
    if (!m_block->IsValid()) {
        RaiseError(QStringLiteral("%1 file mapping failed.").arg(name));
    }
}

bool TMapStream::Lock() {
    return m_block->Lock(m_timeout);
}

void TMapStream::Unlock() {
    m_block->Unlock();
}

bool TMapStream::Clear() {
    if (!Lock()) {
        return false;
    }
    std::memset(m_block->Data(), 0, m_size);
    m_position = 0;
    Unlock();
    return true;
}

bool TMapStream::InBounds(quint32 count) const {
    return static_cast<quint64>(m_position) + count < m_size;
}

bool TMapStream::Read(void* buffer, quint32 count) {
    if (!InBounds(count) || !Lock()) {
        return false;
    }
    std::memcpy(buffer, m_block->Data() + m_position, count);
    m_position += count;
    Unlock();
    return true;
}

bool TMapStream::Write(const void* buffer, quint32 count) {
    if (!InBounds(count) || !Lock()) {
        return false;
    }
    std::memcpy(m_block->Data() + m_position, buffer, count);
    m_position += count;
    Unlock();
    return true;
}

void TMapStream::Seek(qint64 offset) {
    if (offset >= 0 && offset < m_size) {
        m_position = static_cast<quint32>(offset);
    }
}
