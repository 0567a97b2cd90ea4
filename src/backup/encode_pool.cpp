#include "backup/encode_pool.h"

#include "platform/file_access.h"

#include <QHash>
#include <QRandomGenerator>

#include <algorithm>
#include <cstring>

TEncodedFile EncodeFile(const QString& path, qint64 maxBytes, const TBlobKeys& keys) {
    TEncodedFile encoded;
    QByteArray content;
    quint32 mode = 0;
    // A link is never followed: it could lead out of the profile's folder.
    encoded.readResult = ReadRegularFile(path, maxBytes, content, &mode, false);
    if (encoded.readResult != kReadOk) {
        return encoded;
    }
    encoded.size = content.size();
    encoded.blob = TVersionBlob(EncodeVersion(content, ShouldTryCompress(path, encoded.size), keys),
                                static_cast<int>(mode & 0777));
    encoded.ok = true;
    return encoded;
}

qint64 TEncodedFile::HeldBytes() const {
    qint64 held = blob.bytes.size();
    for (const TChunkPiece& piece : file.pieces) {
        held += piece.sealed.size() + piece.identity.size();
    }
    return held;
}

namespace {

// The read buffer of a chunked read holds the largest chunk twice, so that a cut can
// always be looked for over a whole maximum.
constexpr qint64 kChunkReadBuffer = 2 * kChunkMax;

TEncodedFile ReadChunks(const QString& path, const TEncodeSettings& settings,
                        const TRegularFile& facts) {
    TEncodedFile encoded;
    encoded.chunked = true;
    TChunkedFile& file = encoded.file;
    file.facts = {facts.size, facts.mtimeNs, facts.ctimeNs, facts.inode,
                  static_cast<int>(facts.mode & 0777)};
    encoded.size = facts.size;
    TRegularFile opened;
    encoded.readResult = OpenRegularFile(path, settings.maxBytes, opened);
    if (encoded.readResult != kReadOk) {
        return encoded;
    }
    file.facts = {opened.size, opened.mtimeNs, opened.ctimeNs, opened.inode,
                  static_cast<int>(opened.mode & 0777)};
    encoded.size = opened.size;
    const TStoreKeys& keys = *settings.storeKeys;
    TBackupStore& store = *settings.store;
    const bool compress = ShouldTryCompress(path, opened.size);
    QByteArray buffer(static_cast<qsizetype>(std::min(kChunkReadBuffer, opened.size + 1)),
                      Qt::Uninitialized);
    qint64 filled = 0;
    qint64 totalRead = 0;
    bool atEnd = false;
    bool failed = false;
    qint64 held = 0;
    // The identities sealed in this file, so that a repeated chunk is sealed once.
    QHash<QByteArray, bool> seen;
    auto flushAhead = [&]() {
        if (file.pendingOwner == 0) {
            file.pendingOwner =
                static_cast<qint64>(QRandomGenerator::global()->generate64() >> 1) | 1;
        }
        if (!store.WriteChunksAhead(file.pendingOwner, file.pieces)) {
            failed = true;
        }
        held = 0;
    };
    while (!failed) {
        while (!atEnd && filled < buffer.size()) {
            const qint64 got = ReadSome(opened, buffer.data() + filled, buffer.size() - filled);
            if (got < 0) {
                failed = true;
                break;
            }
            if (got == 0) {
                atEnd = true;
                break;
            }
            filled += got;
            totalRead += got;
        }
        if (failed || filled == 0) {
            break;
        }
        qint64 offset = 0;
        // Cut while a whole maximum is in the buffer (or the rest is the file's end).
        while (offset < filled && (atEnd || filled - offset >= kChunkMax)) {
            const qint64 length = TChunker::Cut(
                reinterpret_cast<const uchar*>(buffer.constData()) + offset, filled - offset);
            const char* data = buffer.constData() + offset;
            TChunkPiece piece;
            piece.identity = ChunkIdentity(keys, data, length);
            piece.length = length;
            if (!seen.contains(piece.identity)) {
                seen.insert(piece.identity, true);
                if (store.FindChunk(piece.identity) == 0) {
                    piece.sealed = SealChunk(keys, piece.identity, data, length, compress);
                    held += piece.sealed.size();
                }
            }
            file.pieces.append(std::move(piece));
            offset += length;
            if (held > kHoldChunkBytes) {
                flushAhead();
                if (failed) {
                    break;
                }
            }
        }
        std::memmove(buffer.data(), buffer.constData() + offset,
                     static_cast<size_t>(filled - offset));
        filled -= offset;
        if (atEnd && filled == 0) {
            break;
        }
    }
    encoded.readResult = CloseRegularFile(opened, failed ? -1 : totalRead);
    if (failed && encoded.readResult == kReadOk) {
        encoded.readResult = kReadFailed;
    }
    if (encoded.readResult != kReadOk) {
        store.DropPending(file.pendingOwner);
        file = {};
        return encoded;
    }
    encoded.ok = true;
    return encoded;
}

}  // namespace

TEncodedFile EncodeChunkedFile(const QString& path, const TEncodeSettings& settings) {
    TEncodedFile encoded;
    encoded.chunked = true;
    TRegularFile facts;
    encoded.readResult = StatRegularFile(path, settings.maxBytes, facts);
    if (encoded.readResult != kReadOk) {
        return encoded;
    }
    const TSourceFacts source{facts.size, facts.mtimeNs, facts.ctimeNs, facts.inode,
                              static_cast<int>(facts.mode & 0777)};
    if (const int base = settings.store->UnchangedVersion(settings.profileNumber, path, source)) {
        encoded.ok = true;
        encoded.size = facts.size;
        encoded.file.facts = source;
        encoded.file.baseVersion = base;
        return encoded;
    }
    return ReadChunks(path, settings, facts);
}

TEncodedFile EncodeAnyFile(const QString& path, const TEncodeSettings& settings) {
    if (settings.store != nullptr && settings.storeKeys) {
        return EncodeChunkedFile(path, settings);
    }
    return EncodeFile(path, settings.maxBytes, settings.keys);
}

TEncodePool::TEncodePool(TEncodeSettings settings, int threads, int window)
    : m_settings(std::move(settings)), m_window(std::max(1, window)) {
    for (int i = 0; i < std::max(1, threads); ++i) {
        m_helpers.emplace_back([this] { Helper(); });
    }
}

TEncodePool::~TEncodePool() {
    {
        std::lock_guard guard(m_lock);
        m_ending = true;
    }
    m_workReady.notify_all();
    for (std::thread& helper : m_helpers) {
        helper.join();
    }
}

void TEncodePool::Helper() {
    std::unique_lock guard(m_lock);
    for (;;) {
        m_workReady.wait(guard, [this] {
            return m_ending || (m_nextClaim < static_cast<int>(m_jobs.size()) &&
                                m_nextClaim < m_taken + m_window &&
                                (m_heldBytes < kMostHeldBytes || m_nextClaim == m_taken));
        });
        if (m_ending) {
            return;
        }
        const int index = m_nextClaim++;
        TJob& job = m_jobs[index];
        job.state = kJobRunning;
        const QString path = job.path;
        ++m_running;
        guard.unlock();
        TEncodedFile result = EncodeAnyFile(path, m_settings);
        guard.lock();
        --m_running;
        // The list may have been dropped meanwhile (Cancel waits for this job, so the
        // index is still valid until m_running reaches 0).
        if (index < static_cast<int>(m_jobs.size())) {
            m_heldBytes += result.HeldBytes();
            m_jobs[index].result = std::move(result);
            m_jobs[index].state = kJobDone;
        }
        m_jobDone.notify_all();
    }
}

void TEncodePool::Begin(const QStringList& paths) {
    Cancel();
    {
        std::lock_guard guard(m_lock);
        m_jobs.clear();
        m_jobs.reserve(static_cast<size_t>(paths.size()));
        for (const QString& path : paths) {
            m_jobs.push_back({path, kJobWaiting, {}});
        }
        m_nextClaim = 0;
        m_taken = 0;
    }
    m_workReady.notify_all();
}

TEncodedFile TEncodePool::Take(int index) {
    std::unique_lock guard(m_lock);
    if (index < 0 || index >= static_cast<int>(m_jobs.size())) {
        return {};
    }
    m_jobDone.wait(guard, [&] { return m_jobs[index].state == kJobDone; });
    TEncodedFile result = std::move(m_jobs[index].result);
    m_jobs[index].result = {};
    m_heldBytes -= result.HeldBytes();
    m_taken = std::max(m_taken, index + 1);
    guard.unlock();
    m_workReady.notify_all();
    return result;
}

void TEncodePool::Cancel() {
    std::unique_lock guard(m_lock);
    // Nothing more is claimed; the jobs in flight finish into the old list.
    m_nextClaim = static_cast<int>(m_jobs.size());
    m_jobDone.wait(guard, [this] { return m_running == 0; });
    // Files encoded but never taken may have chunks written ahead.
    for (TJob& job : m_jobs) {
        if (job.state == kJobDone && job.result.file.pendingOwner != 0 && m_settings.store) {
            m_settings.store->DropPending(job.result.file.pendingOwner);
        }
    }
    m_jobs.clear();
    m_heldBytes = 0;
    m_nextClaim = 0;
    m_taken = 0;
}
