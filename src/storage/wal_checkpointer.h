// Checkpoints of a WAL database on a thread of its own: the committed pages that collect in
// the -wal file are copied back into the database file, and both are flushed to disk, by a
// second connection, so that the thread that commits neither copies them nor waits for the
// disk. What is stored and how safely is the same as with SQLite's automatic checkpoints
// (the same PASSIVE checkpoint, with the same synchronous level); only the thread differs.
#pragma once

#include <QString>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

struct sqlite3;
class TSQLTables;

// Thread safety: constructed and destroyed on the thread that owns the writing
// connection, while no statement runs on it. The commit hook runs on whichever thread
// commits (callers serialise the writing connection); the checkpoints run on the private
// thread, which takes no lock of the caller's.
class TWalCheckpointer {
public:
    // The -wal file holds this many pages when a checkpoint starts (SQLite's own
    // automatic checkpoint starts at the same size).
    static constexpr int kStartPages = 1000;
    // At this many pages a commit waits for a checkpoint to finish, so that the next
    // transaction starts the -wal file over: it never grows without bound while commits
    // follow each other faster than the checkpoints (it starts over by itself whenever the
    // checkpoints catch up between commits). With 8 KiB pages the -wal file may thus reach
    // 128 MiB during a long run of commits; lower limits made such runs wait measurably
    // more often for the disk.
    static constexpr int kMostPages = 16 * kStartPages;

    // Opens a second connection to `path` (the file `writer` has open in WAL mode) and
    // takes over the writer's checkpoints: the writer's automatic checkpoint is off while
    // this object lives. `startPages` and `mostPages` replace kStartPages and kMostPages.
    // Raises ESQLite when the connection cannot be opened; the writer then keeps
    // checkpointing by itself.
    TWalCheckpointer(TSQLTables& writer, const QString& path, int busyTimeoutMs,
                     int synchronousLevel, int startPages = kStartPages,
                     int mostPages = kMostPages);
    // Ends the thread after the checkpoint in progress and gives the writer its automatic
    // checkpoint back; what the -wal file still holds is copied by the writer's next
    // checkpoint or when it closes.
    ~TWalCheckpointer();
    TWalCheckpointer(const TWalCheckpointer&) = delete;
    TWalCheckpointer& operator=(const TWalCheckpointer&) = delete;

    // Checkpoint passes finished so far.
    quint64 Passes() const;
    // The most pages the -wal file held after a commit.
    int MostPagesSeen() const;

private:
    static int OnCommit(void* self, sqlite3* db, const char* schema, int pages);
    void Committed(int pages);
    void Run();

    sqlite3* const m_writer;
    const int m_startPages;
    const int m_mostPages;
    std::unique_ptr<TSQLTables> m_own;
    mutable std::mutex m_lock;
    std::condition_variable m_wake;  // the thread: a checkpoint is wanted, or the end
    std::condition_variable m_done;  // a committing thread: a pass finished
    bool m_wanted = false;
    bool m_ending = false;
    quint64 m_started = 0;
    quint64 m_finished = 0;
    int m_mostPagesSeen = 0;
    std::thread m_thread;
};
