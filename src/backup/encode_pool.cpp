#include "backup/encode_pool.h"

#include "platform/file_access.h"

#include <algorithm>

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

TEncodePool::TEncodePool(const TBlobKeys& keys, qint64 maxBytes, int threads, int window)
    : m_keys(keys), m_maxBytes(maxBytes), m_window(std::max(1, window)) {
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
                                m_nextClaim < m_taken + m_window);
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
        TEncodedFile result = EncodeFile(path, m_maxBytes, m_keys);
        guard.lock();
        --m_running;
        // The list may have been dropped meanwhile (Cancel waits for this job, so the
        // index is still valid until m_running reaches 0).
        if (index < static_cast<int>(m_jobs.size())) {
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
    m_jobs.clear();
    m_nextClaim = 0;
    m_taken = 0;
}
