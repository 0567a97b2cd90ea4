// The desktop program's periodic check of the backup store: SQLite's quick check (every
// page read) on a read-only connection of its own, on a thread of its own, so that
// neither the window nor the workers wait for it. Opening the store no longer reads every
// page (store_marker.h); this finds damage that appears while a store stays in use.
#pragma once

#include <QString>

#include <mutex>
#include <optional>
#include <thread>

struct sqlite3;

// Thread safety: Start, TakeResult, Stop and the destructor belong to one thread (the main
// thread); the check runs on a private thread. The lock guards the result and the handle
// that Stop interrupts.
class TStoreIdleCheck {
public:
    TStoreIdleCheck() = default;
    // Stops a running check.
    ~TStoreIdleCheck();
    TStoreIdleCheck(const TStoreIdleCheck&) = delete;
    TStoreIdleCheck& operator=(const TStoreIdleCheck&) = delete;

    // Starts checking the store file at `path`, unless a check runs.
    void Start(const QString& path);
    bool IsRunning() const;
    // The result of a finished check, once: empty when the store is sound (or the check
    // could not tell: a busy or vanished store), else the first problem in words. None
    // while a check runs or when there is nothing new.
    std::optional<QString> TakeResult();
    // Interrupts a running check and waits for its thread; its result is dropped.
    void Stop();

private:
    void Run(const QString& path);

    mutable std::mutex m_lock;
    std::thread m_thread;
    bool m_running = false;
    bool m_stopping = false;
    sqlite3* m_handle = nullptr;
    std::optional<QString> m_result;
};
