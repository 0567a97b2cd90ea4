// The two threads of an active backup profile: TWoof, the change reader, waits for the
// target folder's changes and queues them for the worker; TMeow, the worker, turns a full
// scan or the queued changes into pending files, encodes and stores them, applies the
// discard rule and reports the end of a one-shot run to the main thread.
#pragma once

#include "backup/backup_run.h"
#include "backup/chunk_format.h"
#include "backup/version_blob.h"
#include "platform/folder_watcher.h"

#include <QList>
#include <QMutex>
#include <QSet>
#include <QStringList>
#include <QThread>
#include <QWaitCondition>

#include <optional>

class TEncodePool;
class TProfile;

enum TWorkerMode : int {
    kWorkerMonitor = 0,     // stores the queued changes until stopped
    kWorkerFullBackup = 1,  // scans the whole target once, stores, ends
    kWorkerPrune = 2,       // applies the discard rule once, ends
};

// Thread safety: the change queue is guarded by the queue lock, shared with the change
// reader. The worker reads its profile's settings without a lock (they cannot change
// while the profile is active) and the host's flag word atomically. Store operations
// take the backups lock, log lines the log lock, in that order only.
class TMeow : public QThread {
    Q_OBJECT
public:
    // Copies the profile's settings and builds the discard list from the run's store. Main
    // thread; the thread is started by the profile.
    TMeow(TProfile& profile, TWorkerMode mode, TBackupRun run);
    ~TMeow() override;

    // Appends a batch of change records to the queue. Change reader thread.
    void Enqueue(QList<TFolderChange> batch);
    // Asks the thread to end after the file it is storing. Main thread.
    void RequestEnd();

    // How long a monitoring worker waits before it tries files that failed again.
    static constexpr int kRetryIntervalMs = 1000;
    // Files encoded ahead of the one being stored: enough for the helpers to keep working
    // while a store waits for the disk (a checkpoint); at most 32 files and blobs held.
    static constexpr int kEncodeAhead = 32;

protected:
    void run() override;

private:
    void FullScan();
    void TakeOneBatch();
    // Encodes and stores the pending files, newest first. True when the pass stopped
    // because the data folder is short of space.
    bool StorePending(TEncodePool& pool);
    void FailFile(int index, const QString& reason);
    // True when the data folder's volume keeps its reserve after a version of this blob
    // size is stored (see kFreeSpaceThreshold).
    bool HasRoomFor(qint64 blobBytes) const;
    // Links in the profile's folder are skipped with a log line, never followed out of it.
    static bool EntryIsLink(const QString& path);
    void LogSkippedLink(const QString& path);
    // True when the file of a change record was written again after the record's event
    // (it is then taken when that writer closes it). Monitoring runs only.
    bool IsBeingRewritten(const TFolderChange& change);
    void ApplyDiscardRule();
    void WaitForWork();

    TProfile& m_profile;
    const TBackupRun m_run;
    const bool m_detailedLog;
    bool m_oneShot;
    const bool m_recurse;
    const bool m_skipOnFailure;
    const bool m_pruneOnly;
    const int m_discardRule;
    const int m_profileNumber;
    // Chunked versions are sealed with keys derived from the run's password on the
    // worker's thread; classic profiles keep writing version blobs.
    const bool m_classic;
    std::optional<TStoreKeys> m_storeKeys;
    const qint64 m_maxBytes;        // the most bytes a file read for a version may have
    const qint64 m_sizeLimitBytes;  // the profile's size limit in bytes
    const QString m_target;
    const QString m_dataFolder;  // where backups.db lies: its free space is asked

    QMutex m_queueLock;
    QWaitCondition m_queueWake;
    QList<QList<TFolderChange>> m_queue;

    QList<int> m_discardList;
    QSet<int> m_discarding;  // the ids in m_discardList, to look them up
    QStringList m_pendingFiles;
    QStringList m_pendingNames;
    bool m_stored = false;
};

// Thread safety: owns nothing; uses its profile's watcher (only from this thread until it
// ends) and hands batches to the worker through its queue lock.
class TWoof : public QThread {
    Q_OBJECT
public:
    // Main thread; the thread is started by the profile after the worker.
    TWoof(TProfile& profile, TFolderWatcher& watcher, TMeow& worker, TBackupRun run);
    ~TWoof() override;

protected:
    void run() override;

private:
    TProfile& m_profile;
    TFolderWatcher& m_watcher;
    TMeow& m_worker;
    const TBackupRun m_run;
};
