// Folder change notification: watches a folder (and, when asked, every folder below it)
// with inotify and hands out batches of (action, name relative to the folder) records.
// One reader thread per watched folder blocks in Wait; any thread may ask it to stop.
// The watcher keeps a print (size, times, inode) of every file it watches, so that when the
// system drops changes a walk of the tree reports exactly the files that changed meanwhile.
// Its own work (listing folders, the callers reading files) makes no event it watches for.
#pragma once

#include "platform/file_marks.h"
#include "platform/rename_pairing.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <mutex>

struct inotify_event;
struct stat;

// What happened to a name; the numbers are those of the stored change records.
enum TChangeAction : int {
    kChangeNone = 0,
    kChangeAdded = 1,
    kChangeRemoved = 2,
    kChangeModified = 3,
    kChangeRenamedFrom = 4,
    kChangeRenamedTo = 5,
};

// What to watch: bits that callers combine and keep with their settings.
enum TChangeFilter : quint32 {
    kNotifyFileName = 0x001,    // files created, deleted, renamed
    kNotifyDirName = 0x002,     // folders created, deleted, renamed
    kNotifyAttributes = 0x004,  // attributes changed
    kNotifySize = 0x008,        // size changed
    kNotifyLastWrite = 0x010,   // written
    kNotifyLastAccess = 0x020,  // read
    kNotifyCreation = 0x040,    // creation time (never reported here)
    kNotifySecurity = 0x100,    // permissions changed
};

struct TFolderChange {
    int action = kChangeNone;
    QString name;  // relative to the watched folder, "/" between parts
    // The watcher's count of events when the record was made; 0 for files found by a
    // scan of a new folder.
    quint64 serial = 0;
};

// Thread safety: Open, Wait and Close belong to one thread at a time (the reader);
// RequestStop, CatchUp and ContentChangedSince may be called from any thread at any
// moment after Open. The state lock guards the event passes of Wait against CatchUp and
// ContentChangedSince; it is never held while another lock is taken.
class TFolderWatcher {
public:
    struct TOptions {
        bool recursive = true;
        quint32 filter = kNotifyFileName | kNotifyLastWrite;
        // Report a file only when its writer is done: "modified" when a writer closes it
        // (never on each write), "added" for a new file when its writer closes it or when
        // it is renamed into place, so that a half-written file is never reported.
        bool whenWriterDone = false;
        // Report renames as a change tracker shows them: a name renamed inside the watched
        // tree as kChangeRenamedFrom followed by kChangeRenamedTo (the two halves paired by
        // the system's cookie), a name moved out of the tree as kChangeRemoved and one moved
        // in from outside as kChangeAdded. Without it both halves are reported as renames
        // whatever their other half.
        bool pairRenames = false;
        // Folders at most (0: as many as the system allows). Reaching it counts as
        // reaching the system's limit; for tests.
        int watchLimit = 0;
        // The event with this count (1 for the first) is dropped and taken as an overflow
        // of the system's queue, which an unprivileged test cannot provoke at will; 0 never.
        quint64 overflowAt = 0;
    };

    enum TWaitResult : int {
        kWaitBatch = 0,    // the batch holds records
        kWaitLost = 1,     // the system dropped changes; the batch holds what arrived
        kWaitStopped = 2,  // RequestStop was called
        kWaitFailed = 3,   // watching cannot go on (ErrorText says why); the batch holds
                           // the records that arrived before
    };

    TFolderWatcher();
    ~TFolderWatcher();
    TFolderWatcher(const TFolderWatcher&) = delete;
    TFolderWatcher& operator=(const TFolderWatcher&) = delete;

    // Starts watching `folder` (with or without a trailing "/"). False when it cannot:
    // the folder is missing or unreadable, or its tree holds more folders than the user may
    // still watch (the system's limit less what the user's other programs hold); ErrorText
    // then says so in words, with the limit and how to raise it. Nothing stays watched.
    // Reader thread (or before the reader starts).
    [[nodiscard]] bool Open(const QString& folder, const TOptions& options);

    // Blocks until records arrive, the watch fails or a stop is requested (a stop wins
    // over pending records). Files found in a folder that appears inside the watched tree
    // are reported as added, since they may have arrived before its watch did (a file found
    // that way and then announced by the system is reported once). After the system's queue
    // overflowed (kWaitLost), the tree is walked again: folders made meanwhile are watched,
    // and the batch holds the files found added, changed (by their prints) or removed since
    // the watcher last knew them, each once; LastRescan says how much was walked and found.
    // Reader thread.
    TWaitResult Wait(QList<TFolderChange>& batch);

    // Makes the current or next Wait return kWaitStopped. Any thread.
    void RequestStop();

    // Waits (at most timeoutMs) until the reader has taken every event that the system
    // holds for this watcher at the moment of the call, so that ContentChangedSince knows
    // of everything that happened before it. Returns at once when none is waiting. Any
    // thread but the reader's.
    void CatchUp(int timeoutMs = 1000);

    // True when the content of the file `name` (relative to the watched folder) changed
    // after the event `serial`: written, truncated, closed after writing, or replaced by a
    // rename. With whenWriterDone only. Any thread.
    bool ContentChangedSince(const QString& name, quint64 serial) const;

    // Stops watching and frees the descriptors. Reader thread, or any thread once the
    // reader has ended.
    void Close();

    // Why Open failed or Wait returned kWaitFailed.
    QString ErrorText() const { return m_error; }

    // The number of folders being watched.
    int WatchCount() const { return static_cast<int>(m_watches.size()); }

    // What the walk after the last overflow did. Reader thread.
    struct TRescan {
        int folders = 0;  // folders walked
        int files = 0;    // files found added, changed or removed
    };
    TRescan LastRescan() const { return m_rescan; }
    // "N folders rescanned, M changed files found", for the log line of an overflow.
    QString LastRescanText() const;

    // The texts of the limits, for callers that explain them.
    static QString WatchLimitText();
    // The refusal of a tree of `folders` folders when the user may watch `limit` in all and
    // other programs hold `held` of them.
    static QString TooManyFoldersText(const QString& folder, qint64 folders, qint64 limit,
                                      qint64 held);

private:
    enum TWalkMode : int {
        kWalkQuiet = 0,    // watch and mark the files, report nothing (the start)
        kWalkReport = 1,   // a folder that appeared: report everything found in it
        kWalkCompare = 2,  // after lost events: report what differs from the marks
    };
    // The state of one pass of reading events.
    struct TPass {
        QList<TFolderChange>& batch;
        bool lost = false;
        bool alive = true;
    };

    quint32 WatchMask() const;
    quint64 Print(const struct stat& st) const;
    bool Walk(const QString& relative, TWalkMode mode, QList<TFolderChange>& batch);
    bool WatchFolder(const QString& relative, TWalkMode mode, QList<TFolderChange>& batch,
                     int& watch);
    void ReportRemoved(const TMarkList& before, const TMarkList& now, const QString& relative,
                       QList<TFolderChange>& batch);
    bool Rescan(QList<TFolderChange>& batch);
    void DropTree(const QString& relative);
    void RenameTree(const QString& from, const QString& to);
    bool ReadEvents(QList<TFolderChange>& batch, bool& lost);
    // The event handler: one event of a read, `rest` to `end` the events after it.
    void HandleEvent(const struct inotify_event& event, const char* rest, const char* end,
                     TPass& pass);
    void HandleMovedFrom(const struct inotify_event& event, int watch, const QString& name,
                         const char* rest, const char* end, TPass& pass);
    void HandleMovedTo(const struct inotify_event& event, int watch, const QString& name,
                       TPass& pass);
    void HandleFolderEvent(quint32 mask, const QString& name, TPass& pass);
    void HandleFileEvent(quint32 mask, int watch, const QString& name, const QByteArray& native,
                         TPass& pass);
    // Reports a file's change (when `report`) and marks its present state; after a walk that
    // followed lost events, a change that walk already reported is not reported again.
    void ReportFile(int action, bool report, int watch, const QString& name,
                    const QByteArray& native, QList<TFolderChange>& batch);
    void ForgetFile(bool report, int watch, const QString& name, const QByteArray& native,
                    QList<TFolderChange>& batch);
    void NoteContentEvent(const QString& name);
    void MovedOut(const TRenamePairing::THalf& half, QList<TFolderChange>& batch);

    int m_inotifyFd = -1;
    int m_stopFd = -1;
    int m_rootWatch = -1;
    QString m_root;  // with a trailing "/"
    TOptions m_options;
    QHash<int, QString> m_watches;  // watch -> folder relative to the root, "" or "a/b/"
    TFileMarks m_marks;             // what is known of each watched folder's files
    TRenamePairing m_pairing;
    QSet<QString> m_created;  // new files whose writer has not closed them yet
    QSet<QString> m_scanned;  // names a scan reported during the current pass
    QString m_error;
    // Walks: the folders the user may still watch, the folders a walk found, whether the
    // start goes on counting the tree after the budget ran out.
    qint64 m_budget = 0;
    qint64 m_walked = 0;
    bool m_opening = false;
    bool m_counting = false;
    // The rescan after lost events: the watches it found, folders it found moved (old and
    // new name), what it did, and the bytes of events the system held when it ended (their
    // changes may be ones it already reported).
    QSet<int> m_visited;
    QList<QPair<QString, QString>> m_moved;
    TRescan m_rescan;
    qint64 m_confirmBytes = 0;

    mutable std::mutex m_stateLock;
    std::condition_variable m_passDone;       // a pass of ReadEvents ended
    quint64 m_passes = 0;                     // guarded by m_stateLock
    quint64 m_serial = 0;                     // events seen; guarded by m_stateLock
    QHash<QString, quint64> m_contentEvents;  // file -> serial of its last content event
};
