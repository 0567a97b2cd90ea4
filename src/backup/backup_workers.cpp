#include "backup/backup_workers.h"

#include "backup/backup_log.h"
#include "backup/backup_store.h"
#include "backup/encode_pool.h"
#include "backup/profile.h"
#include "base/errors.h"
#include "base/host.h"
#include "platform/file_access.h"
#include "platform/file_system.h"

#include "platform/native_name.h"

#include <QMutexLocker>

#include <sys/stat.h>

namespace {

constexpr int kKeepCounts[] = {2, 10, 20};
constexpr int kDiscardDays[] = {1, 7, 30, 90};
constexpr int kFirstAgeRule = 3;
// Room a version may take beyond its blob before the store is written: its pages go to the
// write-ahead log and again into the file at the next checkpoint, plus index pages.
constexpr quint64 kVersionSlack = 1 << 20;

// Why a file could not be read, in words.
QString ReadFailureText(int readResult) {
    switch (readResult) {
        case kReadMissing:
            return QStringLiteral("the file is gone");
        case kReadNotRegular:
            return QStringLiteral("not a regular file");
        case kReadTooLarge:
            return QStringLiteral("larger than the profile's size limit");
        case kReadChanged:
            return QStringLiteral("the file kept changing while it was read");
        default:
            return QStringLiteral("the file could not be read");
    }
}

}  // namespace

// ---- TMeow ---------------------------------------------------------------------------

TMeow::TMeow(TProfile& profile, TWorkerMode mode, TBackupRun run)
    : m_profile(profile),
      m_run(std::move(run)),
      m_detailedLog(profile.TestBit(kBitDetailedLog)),
      m_oneShot(mode == kWorkerFullBackup),
      m_recurse(profile.TestBit(kBitRecurse)),
      m_skipOnFailure(profile.TestBit(kBitSkipOnFailure)),
      m_pruneOnly(mode == kWorkerPrune),
      m_discardRule(profile.DiscardRule()),
      m_profileNumber(profile.Number()),
      m_classic(profile.TestBit(kBitClassic)),
      // A file that grew beyond the limit since it was selected is not read; a classic
      // version holds at most kClassicLargestContent bytes whatever the limit.
      m_maxBytes(m_classic ? std::min(profile.SizeLimitBytes(), kClassicLargestContent)
                           : profile.SizeLimitBytes()),
      m_sizeLimitBytes(profile.SizeLimitBytes()),
      m_target(profile.Target()),
      m_dataFolder(m_run.dataFolder) {
    m_discardList = m_run.store->BuildDiscardList(
        m_profileNumber, [&profile](const QString& name) { return profile.MayDiscard(name); });
    m_discarding = QSet<int>(m_discardList.cbegin(), m_discardList.cend());
}

TMeow::~TMeow() = default;

void TMeow::Enqueue(QList<TFolderChange> batch) {
    QMutexLocker locker(&m_queueLock);
    m_queue.append(std::move(batch));
    m_queueWake.wakeOne();
}

void TMeow::RequestEnd() {
    requestInterruption();
    QMutexLocker locker(&m_queueLock);
    m_queueWake.wakeAll();
}

void TMeow::run() {
    TBackupStore& store = *m_run.store;
    const QString blockedEvent = QStringLiteral("%1:Blocked").arg(m_profile.Name());
    const int helpers = std::max(1, QThread::idealThreadCount());
    TEncodeSettings settings;
    settings.keys = m_run.classicKeys;
    settings.maxBytes = m_maxBytes;
    settings.profileNumber = m_profileNumber;
    if (!m_classic && !m_pruneOnly) {
        // Derived once for the run (Argon2id is slow by design), here rather than on the
        // main thread.
        try {
            m_storeKeys = store.KeysFor(m_run.password);
        } catch (const EQuiva&) {
            m_run.log->AppendLogLine(QStringLiteral("%1:Key salt damaged").arg(m_profile.Name()),
                                     QStringLiteral("Store"));
        }
        if (m_storeKeys) {
            settings.store = &store;
            settings.storeKeys = m_storeKeys;
        }
    }
    TEncodePool pool(settings, helpers, kEncodeAhead);
    if (m_oneShot) {
        FullScan();
    }
    while (!isInterruptionRequested()) {
        TakeOneBatch();
        m_stored = false;
        const bool blocked = StorePending(pool);
        if (isInterruptionRequested()) {
            return;
        }
        if (blocked) {
            m_run.log->AppendLogLine(blockedEvent, QStringLiteral("3"));
            m_profile.m_blocked = true;
            m_oneShot = true;
        }
        m_profile.m_pending = static_cast<int>(m_pendingFiles.size());
        if (m_stored || m_pruneOnly) {
            ApplyDiscardRule();
        }
        if (m_oneShot || m_pruneOnly) {
            if (!blocked) {
                // What is still pending failed in this pass and is dropped with the run.
                m_profile.m_failed += static_cast<int>(m_pendingFiles.size());
            }
            m_run.ended();
            return;
        }
        WaitForWork();
    }
}

void TMeow::FullScan() {
    // Depth first: a folder's own files, then each subfolder completely, in the order
    // found. Links to folders are not followed; special files are never candidates.
    QStringList folders{m_target};
    while (!folders.isEmpty() && !isInterruptionRequested()) {
        const QString folder = folders.takeLast();
        QList<TFolderEntry> entries;
        if (!ListFolder(folder, entries)) {
            continue;
        }
        QStringList subfolders;
        for (const TFolderEntry& entry : entries) {
            const QString path = folder + entry.name;
            if (entry.kind == kEntryFolder) {
                if (m_recurse) {
                    subfolders.append(path + '/');
                }
            } else if (entry.kind == kEntryFile && m_profile.ShouldBackup(path)) {
                if (entry.link) {
                    LogSkippedLink(path);
                    continue;
                }
                m_pendingFiles.append(path);
                m_pendingNames.append(entry.name);
            }
        }
        for (auto it = subfolders.crbegin(); it != subfolders.crend(); ++it) {
            folders.append(*it);
        }
    }
}

void TMeow::TakeOneBatch() {
    QList<TFolderChange> batch;
    {
        QMutexLocker locker(&m_queueLock);
        if (m_queue.isEmpty()) {
            return;
        }
        batch = m_queue.takeFirst();
    }
    if (m_run.batchGate) {
        m_run.batchGate();
    }
    for (const TFolderChange& change : std::as_const(batch)) {
        if ((change.action & 1) == 0) {
            continue;  // removals and old names of renames
        }
        const QString fullName = m_target + change.name;
        const TProfile::TSelection selection = m_profile.Select(fullName);
        if (selection == TProfile::kSelectEmpty && IsBeingRewritten(change)) {
            continue;  // opened for writing again: taken when its writer closes it
        }
        m_profile.LogRefusal(fullName, selection);
        if (selection == TProfile::kSelectYes && EntryIsLink(fullName)) {
            LogSkippedLink(fullName);
            continue;
        }
        if (selection == TProfile::kSelectYes) {
            m_pendingFiles.append(fullName);
            m_pendingNames.append(change.name);
        }
    }
}

bool TMeow::IsBeingRewritten(const TFolderChange& change) {
    TFolderWatcher* watcher = m_profile.m_watcher.get();
    if (watcher == nullptr) {
        return false;
    }
    // The file was measured just now. A writer that truncated it before that made an
    // event before it too: once the reader has taken what is queued, the watcher knows.
    watcher->CatchUp();
    return watcher->ContentChangedSince(change.name, change.serial);
}

bool TMeow::StorePending(TEncodePool& pool) {
    const int count = static_cast<int>(m_pendingFiles.size());
    if (count == 0) {
        return false;
    }
    // Stored from the end of the list (the most recently added first) while the helpers
    // encode the next files ahead in the same order.
    QStringList order;
    order.reserve(count);
    for (int i = count - 1; i >= 0; --i) {
        order.append(m_pendingFiles[i]);
    }
    pool.Begin(order);
    TBackupStore& store = *m_run.store;
    for (int k = 0; k < count; ++k) {
        const int i = count - 1 - k;
        if (isInterruptionRequested()) {
            pool.Cancel();
            return false;
        }
        if (m_run.lowSpace()) {
            pool.Cancel();
            return true;
        }
        const TEncodedFile encoded = pool.Take(k);
        if (encoded.readResult == kReadLink) {
            // Became a link since it was listed: never followed, and not tried again.
            LogSkippedLink(m_pendingFiles[i]);
            m_pendingFiles.removeAt(i);
            m_pendingNames.removeAt(i);
            continue;
        }
        // Asked before every version (a statvfs costs microseconds): a fast run would
        // otherwise fill the volume between two polls of the low-space flag.
        if (encoded.ok && !HasRoomFor(encoded.HeldBytes())) {
            pool.Cancel();
            return true;
        }
        if (!encoded.ok) {
            const bool beyondClassic =
                encoded.readResult == kReadTooLarge && m_maxBytes < m_sizeLimitBytes;
            m_profile.NoteFailure(QStringLiteral("%1: %2").arg(
                m_pendingFiles[i],
                beyondClassic ? QStringLiteral("larger than a classic version holds (%1 MB)")
                                    .arg(kClassicLargestContent / (1024 * 1024))
                              : ReadFailureText(encoded.readResult)));
            FailFile(i, QStringLiteral("1"));
            continue;
        }
        int pathId = 0;
        const bool stored =
            encoded.chunked ? store.StoreChunkedVersion(*m_run.ids, *m_storeKeys, m_profileNumber,
                                                        m_pendingFiles[i], encoded.file, pathId)
                            : store.StoreVersion(*m_run.ids, m_profileNumber, encoded.size,
                                                 encoded.blob, m_pendingFiles[i], pathId);
        if (!stored) {
            if (encoded.chunked) {
                store.DropPending(encoded.file.pendingOwner);
            }
            m_profile.NoteFailure(
                QStringLiteral("%1: the version could not be stored in backups.db")
                    .arg(m_pendingFiles[i]));
            FailFile(i, QStringLiteral("2"));
            continue;
        }
        const QString fullName = m_pendingFiles.takeAt(i);
        const QString name = m_pendingNames.takeAt(i);
        if (m_profile.MayDiscard(name.mid(name.lastIndexOf('/') + 1)) &&
            !m_discarding.contains(pathId)) {
            m_discardList.append(pathId);
            m_discarding.insert(pathId);
        }
        m_stored = true;
        ++m_profile.m_stored;
        if (m_detailedLog) {
            m_run.log->AppendLogLine(fullName, QStringLiteral("0"));
        }
    }
    pool.Cancel();
    return false;
}

bool TMeow::HasRoomFor(qint64 blobBytes) const {
    const std::optional<quint64> free = FreeBytes(m_dataFolder);
    if (!free) {
        return HasFreeSpace(m_dataFolder);
    }
    const quint64 need = kFreeSpaceThreshold + 2 * static_cast<quint64>(blobBytes) + kVersionSlack;
    return *free >= need;
}

bool TMeow::EntryIsLink(const QString& path) {
    struct stat st;
    return lstat(EncodeNativeName(path).constData(), &st) == 0 && S_ISLNK(st.st_mode);
}

void TMeow::LogSkippedLink(const QString& path) {
    m_run.log->AppendLogLine(QStringLiteral("Skipped:%1").arg(path),
                             QStringLiteral("a symbolic link, not followed"));
}

void TMeow::FailFile(int index, const QString& reason) {
    if (!m_skipOnFailure) {
        return;  // stays pending and is tried again in the next pass
    }
    const QString fullName = m_pendingFiles.takeAt(index);
    m_pendingNames.removeAt(index);
    ++m_profile.m_failed;
    m_run.log->AppendLogLine(QStringLiteral("Failed:%1").arg(fullName), reason);
}

void TMeow::ApplyDiscardRule() {
    TBackupStore& store = *m_run.store;
    try {
        int discarded = 0;
        if (m_discardRule < kFirstAgeRule) {
            discarded =
                store.KeepNewest(m_discardList, m_profileNumber, kKeepCounts[m_discardRule]);
        } else if (m_discardRule < kNeverDiscardRule) {
            discarded = store.DiscardOlderThan(m_discardList, m_profileNumber,
                                               kDiscardDays[m_discardRule - kFirstAgeRule]);
        }
        m_profile.m_discarded += discarded;
    } catch (const EQuiva& error) {
        m_run.showError(error.Message());
    }
}

void TMeow::WaitForWork() {
    QMutexLocker locker(&m_queueLock);
    if (!m_queue.isEmpty() || isInterruptionRequested()) {
        return;
    }
    if (m_pendingFiles.isEmpty()) {
        m_queueWake.wait(&m_queueLock);
    } else {
        m_queueWake.wait(&m_queueLock, kRetryIntervalMs);
    }
}

// ---- TWoof ---------------------------------------------------------------------------

TWoof::TWoof(TProfile& profile, TFolderWatcher& watcher, TMeow& worker, TBackupRun run)
    : m_profile(profile), m_watcher(watcher), m_worker(worker), m_run(std::move(run)) {}

TWoof::~TWoof() = default;

void TWoof::run() {
    QList<TFolderChange> batch;
    for (;;) {
        const TFolderWatcher::TWaitResult result = m_watcher.Wait(batch);
        if (result == TFolderWatcher::kWaitStopped) {
            return;
        }
        if (!batch.isEmpty()) {
            m_worker.Enqueue(std::move(batch));
            batch = {};
        }
        if (result == TFolderWatcher::kWaitLost) {
            // The watcher walked the tree again and found what changed meanwhile (it is in
            // the batch): one line per overflow.
            m_run.log->AppendLogLine(
                QStringLiteral("%1:Rescanned").arg(m_profile.Name()),
                QStringLiteral("Too many changes at once: %1").arg(m_watcher.LastRescanText()));
        } else if (result == TFolderWatcher::kWaitFailed) {
            // The folder is gone, or the system's limit on watches was reached: the run
            // ends with a log line, and the main thread stops the profile.
            m_run.log->AppendLogLine(QStringLiteral("%1:Stopped").arg(m_profile.Name()),
                                     m_watcher.ErrorText());
            m_run.ended();
            return;
        }
    }
}
