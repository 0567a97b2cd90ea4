// The backup store: the SQLite file backups.db in the data folder with its two tables
// (Paths: one row per folder and file name; Data: one row per stored version with its
// blob), and every operation the workers and the backup window run on it.
//
// Names are kept byte for byte. Paths.pPath (the folder, with a trailing "/") and
// Paths.pFile (the file name) are TEXT columns holding UTF-8; a name that is not UTF-8
// (one whose text form holds raw bytes, see platform/native_name.h) is kept in the same
// column as a BLOB value of its exact bytes. SQLite keeps a BLOB value in a TEXT column
// unchanged and a text never equals a blob, so every UTF-8 name is stored, found and
// indexed exactly as before, and stores written before this rule read unchanged. Names
// are read back by the stored type of each value (text as UTF-8, a blob through
// DecodeNativeName). A search by mask compares CAST(pFile AS TEXT), the same bytes as
// text, so that it finds both kinds (SQLite's LIKE may be built to refuse blobs).
//
// Data.bMode (INTEGER NULL, added to older stores when they are opened) holds the
// permission bits (mode & 0777) that the file had when its version was read; NULL, or a
// store without the column, means unknown. The version blob has no room for them.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QSet>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

#include "backup/chunk_format.h"
#include "storage/sqlite_layer.h"

class THost;
class TBackupLog;
class TSQLTables;
class TStoreMarker;
class TWalCheckpointer;
struct TBlobKeys;

// One stored version as a search or a look-up finds it.
struct TVersionRow {
    int versionId = 0;      // bID
    int pathId = 0;         // bPath
    int profileNumber = 0;  // bPro
    QString file;           // the file name with extension
    QString folder;         // its folder, with a trailing "/"
    qint64 size = 0;        // bytes when stored
    double date = 0.0;      // local day number of storing
    int mode = -1;          // bMode: the file's permission bits when stored; -1 unknown

    // The extension in lower case with its dot; empty when the name has none.
    QString Extension() const;
    // The date as "yyyy/MM/dd hh:mm:ss".
    QString DateText() const;
};

// A version as it is stored: the version blob and the permission bits of the file it
// was read from (mode & 0777; -1 when unknown), which the blob format cannot hold. A
// blob alone converts to one with an unknown mode.
struct TVersionBlob {
    TVersionBlob() = default;
    TVersionBlob(QByteArray blobBytes, int fileMode = -1)  // NOLINT: implicit on purpose
        : bytes(std::move(blobBytes)), mode(fileMode) {}
    QByteArray bytes;
    int mode = -1;
};

// Which page of a search to fetch: at most `names` file names (0: a large page) whose
// path id is above `afterPathId`, in path id order.
struct TSearchPage {
    int names = 128;
    int afterPathId = 0;
};

// Hands out the ids of new rows. The profile list implements it; the store calls it only
// while it holds the backups lock.
class TBackupIdSource {
public:
    virtual ~TBackupIdSource() = default;
    // The next version id.
    virtual int TakeVersionId() = 0;
    // The next path id, and the next version id in `versionId`.
    virtual int TakePathIds(int& versionId) = 0;
};

// The largest ids present in the store (0 when there are none).
struct TStoreIds {
    int pathId = 0;
    int versionId = 0;
    int profileNumber = 0;
};

// A version that the store check could not decode with the keys it was given.
struct TVersionCheck {
    int versionId = 0;
    // Made under another password: the length field does not match the keys, while
    // nothing else is known to be wrong (a damaged length field looks the same).
    bool otherPassword = false;
    // Stored as it is (method 0) without a checksum: it decodes, but damage to its bytes
    // cannot be found. Not bad, and not good either.
    bool unverified = false;
    QString reason;  // why the version is bad; empty for otherPassword and unverified
    QString file;    // the version's folder and file name, when known
};

// What a chunked version remembers of the file it was read from, so that a later full
// backup can tell an unchanged file without reading it.
struct TSourceFacts {
    qint64 size = 0;
    qint64 mtimeNs = 0;  // modification time, nanoseconds since the epoch
    qint64 ctimeNs = 0;  // change time
    qint64 inode = 0;
    int mode = -1;  // permission bits; -1 unknown

    bool SameFile(const TSourceFacts& other) const {
        return size == other.size && mtimeNs == other.mtimeNs && ctimeNs == other.ctimeNs &&
               inode == other.inode;
    }
};

// One chunk of a file on its way into the store: its identity and length, and its sealed
// record unless the store holds the chunk already (found there, or written ahead).
struct TChunkPiece {
    QByteArray identity;
    qint64 length = 0;
    QByteArray sealed;
};

// A file read for a chunked version: its chunks in order (one piece per chunk of the
// file, repeats included), or the version it is unchanged since.
struct TChunkedFile {
    TSourceFacts facts;
    QList<TChunkPiece> pieces;
    qint64 pendingOwner = 0;  // chunks were written ahead under this owner (0: none)
    int baseVersion = 0;      // the file is unchanged since this version (pieces empty)
};

// What the store check found wrong with a chunk, and the versions it harms.
struct TChunkDamage {
    qint64 chunkId = 0;
    QString reason;
};

// Thread safety: every statement on the connection runs under the backups lock, whichever
// thread calls. Lock order: the backups lock may be held while the log lock is taken
// (a failed path insert is logged), never the reverse; the id source is called under the
// backups lock and must not take it.
class TBackupStore {
public:
    explicit TBackupStore(THost& host);
    ~TBackupStore();
    TBackupStore(const TBackupStore&) = delete;
    TBackupStore& operator=(const TBackupStore&) = delete;

    // Opens dataFolder + "backups.db", first creating it with the schema when no file of
    // that name exists (built as "backups.db.new", mode 0600 from its creation, and moved
    // into place when complete). Closes any connection open before. Journaling is WAL
    // with synchronous NORMAL: a crash may lose the last versions but never damages the
    // store. The file and its -wal and -shm files are made 0600, whatever the umask.
    //
    // Before anything is written the file is checked: one that is empty, cut short, not
    // an SQLite database or failing "PRAGMA quick_check" is damaged and is left exactly
    // as it is (no connection stays open); so is one that cannot be read, a symbolic link
    // or anything but a regular file. OpenProblem() then says so. The quick check, which
    // reads every page, is skipped when the clean-close marker vouches for the file
    // (store_marker.h): then opening costs milliseconds whatever the store's size. While
    // open, a statement that meets a damaged page fails (cell checks are on), and from
    // then on nothing more is written (IsDamaged). A store that cannot be
    // written (read-only media or folder, no write permission) is opened read-only: it
    // can be searched and restored from, nothing is written to it or its folder, and
    // OpenProblem() holds a notice. With `readOnly` the store is opened read-only on
    // purpose (no notice), and a missing file is not created.
    //
    // Host flag 17 tells whether a connection exists. Returns that. Main thread.
    bool Open(const QString& dataFolder, bool readOnly = false);

    // Compacts the file ("vacuum", errors ignored) when `compact` and the store is
    // writable, and closes it; clears flag 17. Main thread, with no worker running.
    void Close(bool compact = true);

    bool IsOpen() const;
    // True while the connection is read-only: StoreVersion returns false, and deletions
    // raise "Permission denied".
    bool IsReadOnly() const;
    QString Path() const;

    // What the last Open found wrong, in words for the user that name the file: a
    // damaged or unusable store (kind kStatusError; no connection), or a store opened
    // read-only because it cannot be written (kind kStatusNotice). Empty when none.
    QString OpenProblem() const;
    int OpenProblemKind() const;
    // Writes the open problem, if any, to the backup log (event: the text, reason
    // "Store"). Open writes it itself when a log is set; the profile list calls this
    // once its new log is set. Main thread.
    void LogOpenProblem();

    // Turns the open store into one that takes no more writes, as a damaged one: the
    // problem (kind kStatusError) names `damage`, and goes to the log. The idle check calls
    // it when it finds damage. Main thread.
    void RefuseWrites(const QString& damage);
    // True after damage was found while the store was open (then nothing is written).
    bool IsDamaged() const;

    // Runs "PRAGMA integrity_check" and returns the problems it names (empty when it
    // answers "ok"). Raises the store's messages when it cannot run. Main thread.
    QStringList IntegrityProblems();

    // Reads every version in order of bID, a bounded batch at a time, decodes it with
    // `keys` and calls `report` for each version that fails (outside the backups lock).
    // A version of an empty file (5 bytes, nothing to decode) counts as good when its
    // length field matches the keys. A version stored without compression decodes but
    // holds no checksum: it is reported as unverified. Returns the number of versions
    // read. Raises the store's messages when the rows cannot be read. Main thread.
    // Chunked versions are checked with `storeKeys` (the same password under the store's
    // salt; none when the store has no salt): the reference list, and every chunk it
    // names (each distinct chunk read and opened once); a version with a damaged or
    // missing chunk is reported with the reason, its file named in `file`.
    qint64 CheckVersions(const TBlobKeys& keys,
                         const std::function<void(const TVersionCheck&)>& report,
                         const std::optional<TStoreKeys>& storeKeys = std::nullopt);
    // Chunks that no version refers to (none in a sound store). Main thread.
    qint64 OrphanChunkCount();

    // ---- chunked versions ----------------------------------------------------------
    // The keys of a password under the store's salt, derived once and kept for the next
    // call with the same password. A writable store without a salt gets one. None when
    // the store has no salt and cannot be given one. Raises "Invalid backup data" when
    // the salt row is damaged. Any thread; slow on a new password (Argon2id).
    std::optional<TStoreKeys> KeysFor(const QByteArray& password);
    // The Argon2id costs a new salt gets (tests use cheap ones). Before the first KeysFor.
    void SetKeyCosts(qint64 opsLimit, qint64 memoryBytes);
    // True when the store has a salt and it is damaged. Any thread.
    bool SaltDamaged();

    // The newest version of the file under the profile when it is chunked and was read
    // from a file with these facts; else 0. Any thread (a worker's helper).
    int UnchangedVersion(int profileNumber, const QString& fullName, const TSourceFacts& facts);
    // The row of a chunk with this identity, or 0. Any thread.
    qint64 FindChunk(const QByteArray& identity);
    // Writes the sealed pieces ahead of their version (a large file), each chunk kept by
    // a pending row of `owner` until the version is stored or DropPending runs; their
    // sealed bytes are released. False on failure. Any thread.
    [[nodiscard]] bool WriteChunksAhead(qint64 owner, QList<TChunkPiece>& pieces);
    // Drops the pending rows of `owner` and the chunks that nothing else keeps. Any thread.
    void DropPending(qint64 owner);
    // Stores a chunked version as one transaction: the path row when new, the chunks the
    // store lacks, the version row with its sealed reference list, and its references;
    // or nothing at all. An unchanged file (baseVersion) gets a new row over the chunks of
    // that version, whose list must open with `keys`. False on any failure. Any thread.
    [[nodiscard]] bool StoreChunkedVersion(TBackupIdSource& ids, const TStoreKeys& keys,
                                           int profileNumber, const QString& fullName,
                                           const TChunkedFile& file, int& pathId);
    // True when the version is stored in chunks. Raises the store's messages.
    bool IsChunkedVersion(int versionId);
    // The opened reference list of a chunked version. Raises "No valid backup data
    // available!", "Invalid encryption password", "Invalid backup data" and the store's
    // messages. Any thread.
    TReferenceList LoadReferenceList(const TStoreKeys& keys, const TVersionRow& version);
    // The bytes of one chunk of a list, checked. Raises "Invalid backup data" for a chunk
    // that is missing or damaged. Any thread.
    QByteArray LoadChunk(const TStoreKeys& keys, const TChunkRef& chunk);

    // Raises the store's message for a result code: nothing for 0 and 101; "SQLite
    // Error:%d" for a code without a message of its own.
    static void RaiseStoreError(int code);

    // Stores one version of a file as one transaction: the path row when the file is new
    // and the version row with its blob and mode, or nothing at all. `pathId` receives
    // the file's path id. False on any failure (never raises), also for a name that the
    // store could not give back exactly (a text form that no file system name decodes
    // to), which is logged. Any thread (a worker).
    [[nodiscard]] bool StoreVersion(TBackupIdSource& ids, int profileNumber, qint64 size,
                                    const TVersionBlob& blob, const QString& fullName, int& pathId);

    // Finds the versions of a profile whose file name matches the LIKE mask ("%" and "_"
    // wildcards) and whose date d satisfies firstDay <= d <= dayAfterLast: the first page
    // of SearchVersionsPage (128 file names). False (and no rows) when no file name
    // matches. Raises the store's messages. Main thread.
    [[nodiscard]] bool SearchVersions(int profileNumber, int firstDay, const QString& mask,
                                      int dayAfterLast, QList<TVersionRow>& rows);
    // One page of that search: the versions (in the order they were stored) of at most
    // page.names file names after page.afterPathId, counting only names that have versions
    // in the profile and the dates. `nextAfter` receives the afterPathId of the next page,
    // or 0 when this page is the last. The result is as SearchVersions answers (for a page
    // after the first: whether it holds versions). Raises the store's messages. Main
    // thread.
    [[nodiscard]] bool SearchVersionsPage(int profileNumber, int firstDay, const QString& mask,
                                          int dayAfterLast, const TSearchPage& page,
                                          QList<TVersionRow>& rows, int& nextAfter);

    // Deletes one version. Raises the store's messages. Main thread.
    void DeleteVersion(int versionId);

    // The blob of a version (empty for an empty blob), or none when there is no such
    // version. Raises the store's messages ("Data too large to retrieve" for a blob
    // beyond the read budget). Main thread.
    std::optional<QByteArray> LoadVersionData(int versionId);

    // The facts of one version with its file and folder, or none. Raises the store's
    // messages. Main thread.
    std::optional<TVersionRow> FindVersion(int versionId);

    // The path id of a file (folder and name as stored), or none when the store has no
    // row for it. Raises the store's messages. Main thread.
    std::optional<int> FindPathId(const QString& fullName);

    // Every version of one file (path id) stored under a profile, newest first, with the
    // file and folder filled in: the file's history. At most 8192 versions. Empty when
    // the path has none. Raises the store's messages. Main thread.
    QList<TVersionRow> FileVersions(int profileNumber, int pathId);

    // The path ids of a profile's versions (at most 4096 paths) whose file name
    // `mayDiscard` accepts. Logs "Drop List Builder","No FiPa" and returns an empty list
    // when the versions cannot be read. Main thread (when a worker is made).
    QList<int> BuildDiscardList(int profileNumber,
                                const std::function<bool(const QString&)>& mayDiscard);

    // Deletes the profile's versions of the listed paths dated at or before the current
    // day number rounded to the nearest whole day (halves to even) minus `days`. Returns
    // the number of versions deleted. Raises the store's messages. Any thread.
    int DiscardOlderThan(const QList<int>& pathIds, int profileNumber, int days);

    // Keeps the `count` newest versions of each listed path of the profile and deletes
    // the older ones. Returns the number deleted. Raises the store's messages. Any thread.
    int KeepNewest(const QList<int>& pathIds, int profileNumber, int count);

    // Deletes every version of a profile (the backup window asks first). Raises the
    // store's messages. Main thread.
    void DeleteAllVersions(int profileNumber);

    // Deletes every version of a profile that is being deleted, in one transaction, before
    // its row in the application database goes: a delete cut short leaves the profile with
    // all its versions or with none. True when they are gone (also when no store is open:
    // versions out of reach are found later by the store check); false when the store is
    // read-only or the statement failed. Main thread.
    [[nodiscard]] bool DeleteProfileVersions(int profileNumber);

    // The number of versions of each profile number present. Raises the store's messages.
    // Main thread.
    QList<std::pair<int, qint64>> VersionCountsByProfile();

    // The largest path id, version id and profile number present. Main thread.
    TStoreIds LargestIds();

    // The log that records failed path inserts and unreadable discard lists; may be
    // null. Set by the profile list while no worker runs.
    void SetLog(TBackupLog* log) { m_log.store(log); }

    // Replaces the clock that dates versions and discard passes (tests).
    void SetClock(std::function<QDateTime()> clock);
    // The current local time as a day number by the store's clock.
    double NowDayNumber() const;

private:
    // Deletes versions and their references, then the chunks no version refers to any
    // more, inside the caller's transaction. Returns the number of versions deleted.
    int DeleteVersionsLocked(const QList<qint64>& versionIds);
    // The ids of the versions a statement selects (its first column).
    QList<qint64> VersionIdsLocked(const QString& statement, const TSQLParams& params);
    // Adds the chunk tables and the file-facts columns to an older store, and drops what
    // a run that was cut off left pending. Errors are left to the caller.
    void PrepareChunksLocked();
    bool HasChunkTablesLocked();
    // The store check of one chunked version: fills check's reason or otherPassword.
    // `verdicts` keeps what each chunk was found to be (empty text: sound).
    void CheckChunkedVersion(int versionId, qint64 size, const QByteArray& blob,
                             const std::optional<TStoreKeys>& keys,
                             QHash<qint64, QString>& verdicts, TVersionCheck& check);
    // The chunk rows a version's references name.
    QSet<qint64> ReferencedChunks(int versionId);
    std::optional<TKeySalt> ReadSaltLocked();
    int GetPathIdLocked(TBackupIdSource& ids, const QString& fullName, int& versionId);
    void RequireOpenLocked() const;
    // Adds the bMode column to a store that lacks it (errors ignored: a store that cannot
    // take it reads every mode as unknown).
    void AddModeColumnLocked();
    // Whether the open store has the bMode column; asked once per connection.
    bool HasModeColumnLocked();
    // Raises "Permission denied" (code 3) while the store is read-only or damaged.
    void RequireWritableLocked() const;
    // Records a clean close in the marker unless damage was found, and drops it.
    void CloseMarkerLocked();
    // For SQLite's damage codes: marks the store damaged (the problem names it) and
    // returns true. Other codes: false.
    bool NoteDamageLocked(int code);
    void AppendLog(const QString& event, const QString& reason);
    // Sets the open problem and writes it to the log when one is set.
    void SetProblemLocked(const QString& text, int kind);
    // Switches the new connection to WAL and makes the look-up indexes; raises ESQLite.
    void PrepareWritableLocked();

    THost& m_host;
    mutable QMutex m_lock;  // the backups lock
    std::unique_ptr<TSQLTables> m_db;
    // Copies the -wal file's pages into backups.db on a thread of its own while the store
    // is open for writing; goes before the connection does.
    std::unique_ptr<TWalCheckpointer> m_checkpointer;
    bool m_readOnly = false;
    bool m_damaged = false;  // damage found while open: nothing more is written
    // The clean-close marker while the store is open for writing.
    std::unique_ptr<TStoreMarker> m_marker;
    QString m_path;
    QString m_problem;
    int m_problemKind = 0;
    std::atomic<TBackupLog*> m_log{nullptr};
    std::function<QDateTime()> m_clock;
    // Under the backups lock: the connection HasModeColumnLocked asked, and its answer.
    const TSQLTables* m_modeColumnAsked = nullptr;
    bool m_hasModeColumn = false;
    const TSQLTables* m_chunkTablesAsked = nullptr;
    bool m_hasChunkTables = false;
    // The keys lock guards the derived keys; it is taken before the backups lock, never
    // while the backups lock is held.
    QMutex m_keysLock;
    QByteArray m_keysPassword;
    QByteArray m_keysSalt;
    std::optional<TStoreKeys> m_keys;
    qint64 m_keyOps = kKeyOpsLimit;
    qint64 m_keyMemory = kKeyMemoryBytes;
};

// Creates a new backups database at `path` (which must not exist; a symbolic link there is
// not followed) with the two tables and their look-up indexes. The file is made 0600
// before SQLite writes to it. False when it cannot be made, with the reason in `reason`
// when given; a partly made file is removed.
bool CreateBackupDatabaseFile(const QString& path, QString* reason = nullptr);
