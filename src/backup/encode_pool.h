// Encodes the files of a backup pass ahead of the worker that stores them: helper
// threads read and compress the next files of the list while the worker stores the
// current one, and the worker takes the results strictly in the list's order.
#pragma once

#include "backup/backup_store.h"
#include "backup/version_blob.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

// One encoded file: its version blob with the file's permission bits and the size of the
// content it holds, or why it could not be read.
struct TEncodedFile {
    bool ok = false;
    TVersionBlob blob;
    qint64 size = 0;
    int readResult = 0;  // a TReadResult
};

// Reads a regular file (at most maxBytes, unchanged while read) and encodes it as a
// version blob, with the permission bits the file had when it was read. ok is false when
// it cannot be read whole. Any thread.
TEncodedFile EncodeFile(const QString& path, qint64 maxBytes, const TBlobKeys& keys);

// Thread safety: Begin, Take and Cancel belong to one thread (the worker); the helper
// threads are private. At most `window` files are encoded ahead of the one taken last,
// which bounds the memory held.
class TEncodePool {
public:
    TEncodePool(const TBlobKeys& keys, qint64 maxBytes, int threads, int window);
    ~TEncodePool();
    TEncodePool(const TEncodePool&) = delete;
    TEncodePool& operator=(const TEncodePool&) = delete;

    // Starts on a new list of files; whatever the previous list left is dropped.
    void Begin(const QStringList& paths);
    // Waits for file `index` of the list (taken in order, each once) and hands it over.
    TEncodedFile Take(int index);
    // Drops the rest of the list, waiting for the files being encoded.
    void Cancel();

private:
    enum TJobState { kJobWaiting, kJobRunning, kJobDone };
    struct TJob {
        QString path;
        TJobState state = kJobWaiting;
        TEncodedFile result;
    };

    void Helper();

    const TBlobKeys m_keys;
    const qint64 m_maxBytes;
    const int m_window;
    std::mutex m_lock;
    std::condition_variable m_workReady;  // helpers: a job may be claimed, or the end
    std::condition_variable m_jobDone;    // worker: a job finished
    std::vector<TJob> m_jobs;
    int m_nextClaim = 0;  // the first job no helper has claimed
    int m_taken = 0;      // jobs handed to the worker
    int m_running = 0;    // jobs being encoded
    bool m_ending = false;
    std::vector<std::thread> m_helpers;
};
