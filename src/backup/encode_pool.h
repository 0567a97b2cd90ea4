// Encodes the files of a backup pass ahead of the worker that stores them: helper
// threads read and compress the next files of the list while the worker stores the
// current one, and the worker takes the results strictly in the list's order.
#pragma once

#include "backup/backup_store.h"
#include "backup/chunk_format.h"
#include "backup/version_blob.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

// One encoded file: its version blob with the file's permission bits and the size of the
// content it holds, or why it could not be read.
struct TEncodedFile {
    bool ok = false;
    TVersionBlob blob;
    qint64 size = 0;
    int readResult = 0;    // a TReadResult
    bool chunked = false;  // the file is in `file`, not in `blob`
    TChunkedFile file;

    // The bytes held in memory for the file.
    qint64 HeldBytes() const;
};

// How the files of a run are encoded: classic version blobs, or chunks (when `store`
// and `storeKeys` are set) sealed with the store's keys, an unchanged file being found by
// its facts among the profile's versions.
struct TEncodeSettings {
    TBlobKeys keys;
    qint64 maxBytes = 0;
    TBackupStore* store = nullptr;
    std::optional<TStoreKeys> storeKeys;
    int profileNumber = 0;
};

// Reads a regular file (at most maxBytes) in pieces and cuts it into chunks; each chunk
// the store lacks is sealed. A file unchanged since the profile's newest version of it
// (size, modification and change times, inode) is not read: its version is named
// instead. Chunks beyond kHoldChunkBytes are written to the store ahead of the version
// (pending until it is stored), so that memory stays bounded whatever the file's size.
// ok is false when the file cannot be read whole or changes while it is read (what was
// written ahead is then dropped). Any thread.
TEncodedFile EncodeChunkedFile(const QString& path, const TEncodeSettings& settings);
constexpr qint64 kHoldChunkBytes = 4 * 1024 * 1024;

// Reads a regular file (at most maxBytes, unchanged while read) and encodes it as a
// version blob, with the permission bits the file had when it was read. ok is false when
// it cannot be read whole. Any thread.
TEncodedFile EncodeFile(const QString& path, qint64 maxBytes, const TBlobKeys& keys);
// EncodeChunkedFile or EncodeFile, as the settings say. Any thread.
TEncodedFile EncodeAnyFile(const QString& path, const TEncodeSettings& settings);

// Thread safety: Begin, Take and Cancel belong to one thread (the worker); the helper
// threads are private. At most `window` files are encoded ahead of the one taken last,
// which bounds the memory held.
class TEncodePool {
public:
    TEncodePool(TEncodeSettings settings, int threads, int window);
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

    const TEncodeSettings m_settings;
    const int m_window;
    // Bytes held by encoded files not yet taken; no new file is started beyond the bound.
    qint64 m_heldBytes = 0;
    static constexpr qint64 kMostHeldBytes = 32 * 1024 * 1024;
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
