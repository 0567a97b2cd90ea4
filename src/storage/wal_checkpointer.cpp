#include "storage/wal_checkpointer.h"

#include "storage/sqlite_layer.h"

#include <sqlite3.h>

#include <algorithm>

TWalCheckpointer::TWalCheckpointer(TSQLTables& writer, const QString& path, int busyTimeoutMs,
                                   int synchronousLevel, int startPages, int mostPages)
    : m_writer(writer.Handle()),
      m_startPages(startPages),
      m_mostPages(mostPages),
      m_own(std::make_unique<TSQLTables>(path, busyTimeoutMs, synchronousLevel,
                                         TSQLOpenMode::kReadWrite)) {
    m_thread = std::thread([this] { Run(); });
    // Replaces the writer's automatic checkpoint, which is a hook of the same kind.
    sqlite3_wal_hook(m_writer, &TWalCheckpointer::OnCommit, this);
}

TWalCheckpointer::~TWalCheckpointer() {
    sqlite3_wal_autocheckpoint(m_writer, kStartPages);
    {
        std::lock_guard guard(m_lock);
        m_ending = true;
    }
    m_wake.notify_all();
    m_done.notify_all();
    m_thread.join();
}

quint64 TWalCheckpointer::Passes() const {
    std::lock_guard guard(m_lock);
    return m_finished;
}

int TWalCheckpointer::MostPagesSeen() const {
    std::lock_guard guard(m_lock);
    return m_mostPagesSeen;
}

int TWalCheckpointer::OnCommit(void* self, sqlite3* /*db*/, const char* /*schema*/, int pages) {
    static_cast<TWalCheckpointer*>(self)->Committed(pages);
    return SQLITE_OK;
}

void TWalCheckpointer::Committed(int pages) {
    std::unique_lock guard(m_lock);
    m_mostPagesSeen = std::max(m_mostPagesSeen, pages);
    if (pages < m_startPages || m_ending) {
        return;
    }
    m_wanted = true;
    m_wake.notify_one();
    if (pages < m_mostPages) {
        return;
    }
    // A pass that started before this commit may have missed its pages: wait for the
    // next one to finish. The writer holds no lock of the database meanwhile.
    const quint64 awaited = m_started + 1;
    m_done.wait(guard, [&] { return m_finished >= awaited || m_ending; });
}

void TWalCheckpointer::Run() {
    std::unique_lock guard(m_lock);
    for (;;) {
        m_wake.wait(guard, [this] { return m_wanted || m_ending; });
        if (m_ending) {
            return;
        }
        m_wanted = false;
        ++m_started;
        guard.unlock();
        // PASSIVE: copies what no reader still needs and never waits for a lock, so it
        // neither blocks the writer nor is blocked by it. A failure (a busy file, a full
        // disk) leaves the pages in the -wal file, where they are as safe: the next pass
        // or the writer's close tries again.
        (void)sqlite3_wal_checkpoint_v2(m_own->Handle(), nullptr, SQLITE_CHECKPOINT_PASSIVE,
                                        nullptr, nullptr);
        guard.lock();
        ++m_finished;
        m_done.notify_all();
    }
}
