// DirTrack's tracker: watches one folder (and, when asked, its whole tree) on a waiting
// thread, records every change with its time on the main thread, and writes the record as
// a CSV file. The settings it starts from live in TTrackHelp (track_help.h).
#pragma once

#include "platform/folder_watcher.h"

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QList>
#include <QString>
#include <QStringList>
#include <QThread>

#include <array>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

class THost;

// ---- actions ------------------------------------------------------------------------------
// The actions DirTrack records; 1 to 5 are the folder watcher's own.
enum TTrackAction : int {
    kTrackAdded = 1,
    kTrackRemoved = 2,
    kTrackModified = 3,
    kTrackOldName = 4,
    kTrackNewName = 5,
    kTrackOverflow = 6,  // the system dropped changes; the entry names the tracked folder
};
inline constexpr int kTrackLastAction = kTrackOverflow;

// "Added", "Removed", "Modified", "OldName", "NewName", "Overflow"; empty for others.
QString TrackActionWord(int action);
// True for the actions the details list shows (not "OldName", not "Overflow").
bool TrackActionInDetails(int action);

// ---- options ------------------------------------------------------------------------------
// Bits of the tracking options, as stored.
enum TTrackOption : quint16 {
    kTrackAdditions = 0x01,
    kTrackDeletions = 0x02,
    kTrackNameChanges = 0x04,
    kTrackPropertyChanges = 0x08,
    kTrackRecurse = 0x10,
    kTrackAutoStart = 0x20,
    kTrackAutoSave = 0x40,
};
inline constexpr quint16 kTrackWhatBits = 0x0F;  // the four "Track These" boxes
inline constexpr quint16 kTrackDefaultOptions = kTrackNameChanges;
inline constexpr int kTrackDefaultClearAt = 100;
inline constexpr int kTrackMinClearAt = 10;
inline constexpr int kTrackMaxClearAt = 510;

// The folder watcher's filter for the options (0 when nothing is to be tracked).
quint32 TrackFilter(quint16 options);
// The actions the window lists for the options: bit n set for action n. Overflow rows are
// always listed.
quint32 TrackDisplaySet(quint16 options);

// ---- texts ----------------------------------------------------------------------------------
inline constexpr const char* kTrackNoFolderMessage = "First select a valid folder to track";
inline constexpr const char* kTrackNothingMessage = "First select something to track!";
inline constexpr const char* kTrackNothingToSaveMessage = "Nothing to save!";
inline constexpr const char* kTrackSavedMessage = "Saved to %1";  // the CSV file's path
// The tracked folder: the system dropped changes, and the tree was walked again to record
// what changed meanwhile.
inline constexpr const char* kTrackOverflowMessage =
    "The system's queue of changes in %1 overflowed: the folder was walked again and what "
    "changed meanwhile is recorded. Tracking goes on";
inline constexpr const char* kTrackWriteMessage = "Could not write %1";  // the CSV file's path

// ---- the record -----------------------------------------------------------------------------
// A CSV field as RFC 4180 wants it: quoted, with its quotes doubled, when it holds a comma,
// a double quote or a line break; otherwise exactly as it is (a name's bytes kept). Any
// thread.
QByteArray TrackCsvField(const QByteArray& text);

struct TTrackEntry {
    QString name;          // relative to the tracked folder, "/" between parts
    qint64 elapsedMs = 0;  // since tracking started
};

// What a tracker starts from.
struct TTrackStart {
    QString folder;
    quint16 options = kTrackDefaultOptions;
    int clearAt = kTrackDefaultClearAt;  // the record is emptied at this many entries; <= 0 never
    QString logsFolder;                  // where Auto Save writes its CSV files
    // Folders whose changes are never recorded (the program's own, which change as it
    // records: its database, its logs, the CSV files themselves).
    QStringList excluded;
    // Passed to the folder watcher (its limits and the overflow seam for tests); the
    // recursion, filter and rename pairing come from the options.
    TFolderWatcher::TOptions watch;
    // Called on the waiting thread when a block is queued into an empty queue, so that the
    // main thread wakes up to record it. Must be safe to call from any thread.
    std::function<void()> wake;
};

class TWaitThread;

// Thread safety: the queue of blocks is the only data shared with the waiting thread; the
// queue lock guards it and is held only to append a block, take the first or drop them all.
// Everything else belongs to the main thread.
class TWatcher {
public:
    // Starts tracking the folder. Raises EQuiva with kTrackNoFolderMessage (no folder, or it
    // does not exist), kTrackNothingMessage (nothing to track) or the folder watcher's
    // reason (the folder cannot be watched, the system's limit on watches). `host` (may be
    // null) shows the status errors of recording and Auto Save. Main thread.
    TWatcher(THost* host, const TTrackStart& start);
    // Stops the waiting thread and frees the record; saves nothing. Main thread.
    ~TWatcher();
    TWatcher(const TWatcher&) = delete;
    TWatcher& operator=(const TWatcher&) = delete;

    // ---- recording (main thread) --------------------------------------------------------
    // Takes the first queued block and records its changes: an entry per change unless the
    // same name was recorded for the same action at the same millisecond; a row "Overflow"
    // (with a status error) when the system dropped changes. At clear-at entries the record
    // is emptied, saved first with Auto Save (a record whose save failed is kept), and the
    // new-data flag is set so that the window shows the emptied record. True ("done") when
    // fewer than two blocks were queued.
    bool Record();
    // Records every block queued at the moment of the call. True when more came meanwhile
    // (they did not wake anyone: the queue was not empty).
    bool RecordAll();
    // Waits until every change the system holds at the moment of the call is queued, then
    // records everything queued (for a clean end: the command line, tests).
    void CatchUpAndRecord(int timeoutMs = 1000);
    // Waits (at most timeoutMs) until a block is queued; true when one is.
    bool WaitForBlock(int timeoutMs);

    // True when watching could not go on (the folder is gone, the system's limit on watches
    // was reached): FailureText says why, and the owner stops the tracker.
    bool Failed() const { return m_failed; }
    const QString& FailureText() const { return m_failure; }

    // Discards the queued blocks (a failure among them is kept), saves the record when Auto
    // Save is on, and empties it.
    void Clear();
    // Saves the record when Auto Save is on, then stops the waiting thread; nothing is
    // recorded afterwards.
    void SaveAndStop();

    // ---- the record --------------------------------------------------------------------------
    const QList<TTrackEntry>& Entries(int action) const;
    // The actions of all entries in recording order.
    const QList<quint8>& Sequence() const { return m_sequence; }
    bool HasEntries() const { return !m_sequence.isEmpty(); }
    // Every entry in recording order, with its action.
    QList<QPair<int, TTrackEntry>> InOrder() const;
    // The moment of an entry (local).
    QDateTime EntryTime(const TTrackEntry& entry) const;
    bool NewData() const { return m_newData; }
    void ClearNewData() { m_newData = false; }
    quint32 DisplaySet() const { return m_displaySet; }
    const QString& Folder() const { return m_folder; }
    quint16 Options() const { return m_options; }
    bool AutoSave() const { return (m_options & kTrackAutoSave) != 0; }

    // ---- CSV ---------------------------------------------------------------------------------
    // The CSV text: the UTF-8 byte-order mark, "Object,Date,Operation\r\n", then per action
    // 1 to 6 (whatever the display set) each entry as "name,yymmdd:hhnnss,word\r\n". A field
    // holding a comma, a double quote or a line break is quoted (RFC 4180); a name keeps the
    // bytes it has on disk.
    QByteArray CsvText() const;
    // Writes the record to a new file "DirTrack yymmdd_hhnnss.csv" in the logs folder (a
    // number is added when that name is taken, never replacing an earlier file) and returns
    // its path; empty when there is nothing to save. Raises EQuiva (kTrackWriteMessage).
    QString SaveToLogs();
    // Writes the record to the file `path`, replacing a regular file found there. Raises
    // EQuiva (kTrackWriteMessage).
    void SaveTo(const QString& path);

    // ---- for the command line and tests ----------------------------------------------------
    // Called for every entry recorded, in recording order.
    std::function<void(int action, const TTrackEntry& entry)> OnRecorded;
    // The millisecond clock entries are timed by (since tracking started).
    std::function<qint64()> Tick;

private:
    friend class TWaitThread;
    struct TBlock {
        QList<TFolderChange> changes;
        bool lost = false;
        bool failed = false;
        QString error;
    };
    void Enqueue(TBlock block);  // waiting thread
    void RecordEntry(int action, const QString& name, qint64 elapsed);
    bool Excluded(const QString& name) const;
    void Empty();
    void AutoSaveBeforeEmptying(bool& saved);
    void StopThread();

    THost* m_host;
    QString m_folder;  // with a trailing "/"
    quint16 m_options;
    int m_clearAt;
    QString m_logsFolder;
    QStringList m_excludedPrefixes;  // relative to the folder, each ending in "/"
    quint32 m_displaySet = 0;
    std::function<void()> m_wake;

    TFolderWatcher m_watcher;
    std::unique_ptr<TWaitThread> m_thread;
    QDateTime m_startTime;
    QElapsedTimer m_clock;

    std::mutex m_queueLock;
    std::condition_variable m_queued;
    std::deque<TBlock> m_queue;  // guarded by m_queueLock

    std::array<QList<TTrackEntry>, kTrackLastAction + 1> m_lists;  // index = action
    QList<quint8> m_sequence;
    bool m_newData = false;
    bool m_failed = false;
    QString m_failure;
};

// The waiting thread: blocks in the folder watcher, hands every batch to its tracker's queue.
class TWaitThread : public QThread {
public:
    TWaitThread(TFolderWatcher& watcher, TWatcher& owner);

protected:
    void run() override;

private:
    TFolderWatcher& m_watcher;
    TWatcher& m_owner;
};
