#include "backup/backup_store.h"

#include "backup/backup_log.h"
#include "backup/store_internal.h"
#include "backup/store_marker.h"
#include "backup/version_blob.h"
#include "base/day_number.h"
#include "base/errors.h"
#include "base/host.h"
#include "platform/native_name.h"
#include "storage/sqlite_file.h"
#include "storage/sqlite_layer.h"
#include "storage/wal_checkpointer.h"

#include <QHash>
#include <QMutexLocker>

#include <sqlite3.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace backup_store;

namespace {

constexpr int kBusyTimeoutMs = 100;
constexpr int kSynchronousNormal = 1;
constexpr int kPageSize = 8192;

// Read budgets (KiB) and row caps of the queries.
constexpr int kPathIdBudgetKb = 10;
constexpr int kNamesBudgetKb = 96;
constexpr int kNamesRows = 128;
// A search page of all names (the command line's "--limit all" reads pages of this many)
// and the most a page's versions may take.
constexpr int kAllNamesPage = 4096;
constexpr int kLargestPageBudgetKb = 256 * 1024;
// The largest classic version: the largest file it holds stored as it is, plus the 5-byte
// header. The read budget covers it, so that every stored version can be read back.
constexpr int kBlobBudgetKb = static_cast<int>(kClassicLargestContent / 1024) + 1;
constexpr int kBlobRows = 10;
constexpr int kNameBudgetKb = 10;
constexpr int kDiscardListBudgetKb = 512;
constexpr int kDiscardListRows = 4096;
constexpr int kTrimBudgetKb = 512;
constexpr int kTrimRows = 8192;

const char* const kSchema[] = {
    "CREATE TABLE [Paths] ([pID] INTEGER NOT NULL PRIMARY KEY, [pPath] TEXT NULL, "
    "[pFile] TEXT NULL)",
    "CREATE TABLE [Data] ([bID] INTEGER PRIMARY KEY NOT NULL, [bPath] INTEGER NULL, "
    "[bPro] INTEGER NULL, [bSize] INTEGER NULL, [bDate] FLOAT NULL, [bData] BLOB NULL, "
    "[bMode] INTEGER NULL, [bMtime] INTEGER NULL, [bCtime] INTEGER NULL, [bInode] INTEGER NULL)",
};

// The column older stores get when they are opened for writing.
const char kAddModeColumn[] = "ALTER TABLE Data ADD COLUMN bMode INTEGER NULL";

// Look-ups by name and by profile and path would otherwise read every row (and the
// Data rows carry the blobs). Made in older files too when they are opened.
const char* const kIndexes[] = {
    "CREATE INDEX IF NOT EXISTS [PathsByName] ON [Paths] ([pPath], [pFile])",
    "CREATE INDEX IF NOT EXISTS [DataByProfilePath] ON [Data] ([bPro], [bPath])",
};

struct TMessage {
    int code;
    const char* text;
};

constexpr TMessage kStoreMessages[] = {
    {1, "Invalid SQL or missing database"},
    {3, "Permission denied"},
    {5, "backups.db is busy"},
    {6, "Table in backups.db is locked"},
    {14, "Can't open backups.db"},
    {16, "backups.db is empty!"},
    {17, "backups.db schema has changed"},
    {24, "Could not bind blob data"},
    {25, "Error while preparing statement"},
    {26, "Data too large to retrieve"},
};

constexpr int kCantOpen = 14;
constexpr int kPermissionDenied = 3;
constexpr mode_t kPrivateMode = 0600;

// The store check reads versions in batches of at most this many rows and KiB: a batch
// always has room for the largest version, and a large store never loads at once.
constexpr int kCheckRows = 256;
constexpr int kCheckBudgetKb = kBlobBudgetKb + 1024;
// The longest text of a quick_check problem that goes into a message.
constexpr int kLongestCheckText = 200;

const char kSqliteMagic[] = "SQLite format 3";  // with its terminating zero: 16 bytes
constexpr int kHeaderSize = 100;

QString ErrnoText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

QString SqliteText(int code) {
    return QString::fromUtf8(sqlite3_errstr(code));
}

quint32 BigEndian(const QByteArray& bytes, int offset, int size) {
    quint32 value = 0;
    for (int i = 0; i < size; ++i) {
        value = (value << 8) | static_cast<quint8>(bytes[offset + i]);
    }
    return value;
}

// What a look at the file tells before SQLite opens it.
struct TFileFacts {
    qint64 size = 0;
    QByteArray header;  // the first 100 bytes, or fewer when the file is shorter
    qint64 walSize = 0;
};

// The files SQLite keeps beside a database.
struct TCompanions {
    bool wal = false;
    bool shm = false;
    bool journal = false;
    qint64 walSize = 0;
};

TCompanions Companions(const QByteArray& native) {
    TCompanions found;
    struct stat facts {};
    if (::lstat((native + "-wal").constData(), &facts) == 0) {
        found.wal = true;
        found.walSize = facts.st_size;
    }
    found.shm = ::lstat((native + "-shm").constData(), &facts) == 0;
    found.journal = ::lstat((native + "-journal").constData(), &facts) == 0 && facts.st_size > 0;
    return found;
}

// Reads the file's size and header through a descriptor that neither follows a link nor
// waits on a special file. The system's reason when it cannot be read, else empty.
QString InspectFile(const QByteArray& native, TFileFacts& facts) {
    const int fd = ::open(native.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return ErrnoText(errno);
    }
    struct stat status {};
    QString failure;
    if (::fstat(fd, &status) != 0) {
        failure = ErrnoText(errno);
    } else if (!S_ISREG(status.st_mode)) {
        failure = QStringLiteral("not a regular file");
    } else {
        facts.size = status.st_size;
        facts.header.resize(kHeaderSize);
        const ssize_t got = ::pread(fd, facts.header.data(), kHeaderSize, 0);
        if (got < 0) {
            failure = ErrnoText(errno);
        }
        facts.header.resize(got < 0 ? 0 : got);
    }
    ::close(fd);
    facts.walSize = Companions(native).walSize;
    return failure;
}

// Damage that the file's size and header show, in words for the user; empty when none.
QString HeaderDamage(const TFileFacts& facts) {
    if (facts.size == 0) {
        return QStringLiteral("it is empty: 0 bytes");
    }
    if (facts.header.size() < kHeaderSize ||
        !facts.header.startsWith(QByteArray(kSqliteMagic, sizeof kSqliteMagic))) {
        return QStringLiteral("it is not an SQLite database");
    }
    qint64 pageSize = BigEndian(facts.header, 16, 2);
    if (pageSize == 1) {
        pageSize = 65536;
    }
    if (pageSize < 512 || pageSize > 65536 || (pageSize & (pageSize - 1)) != 0) {
        return QStringLiteral("it is not an SQLite database");
    }
    if (facts.size % pageSize != 0) {
        return QStringLiteral("it is cut short: %1 bytes are not a whole number of %2-byte pages")
            .arg(facts.size)
            .arg(pageSize);
    }
    // The page count in the header is valid when the change counter beside it matches
    // the one at offset 92. With a -wal file, the newest count may live there instead.
    const qint64 pages = BigEndian(facts.header, 28, 4);
    const bool countValid = BigEndian(facts.header, 24, 4) == BigEndian(facts.header, 92, 4);
    if (countValid && facts.walSize == 0 && pages * pageSize > facts.size) {
        return QStringLiteral("it is cut short: %1 of %2 bytes")
            .arg(facts.size)
            .arg(pages * pageSize);
    }
    return {};
}

// Why the store cannot be written, or empty when it can: the file refuses a writable
// open (read-only media, the immutable attribute, no permission), or its folder refuses
// the -wal and -shm files.
QString WriteRefusal(const QByteArray& native, QByteArray folder) {
    const int fd = ::open(native.constData(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return ErrnoText(errno);
    }
    ::close(fd);
    if (folder.isEmpty()) {
        folder = ".";
    }
    if (::access(folder.constData(), W_OK) != 0) {
        return QStringLiteral("its folder: %1").arg(ErrnoText(errno));
    }
    return {};
}

// Makes a regular file 0600 without following a link; a missing file, or one of another
// owner, is left as it is.
void MakePrivate(const QByteArray& native) {
    const int fd = ::open(native.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    struct stat status {};
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
        (status.st_mode & 07777) != kPrivateMode) {
        (void)::fchmod(fd, kPrivateMode);
    }
    ::close(fd);
}

// Removes the -wal and -shm files that a read-only connection made beside a file that
// turned out damaged, so that the folder is left as it was found.
void RemoveNewCompanions(const QByteArray& native, const TCompanions& before) {
    const TCompanions after = Companions(native);
    if (!before.wal && after.wal) {
        ::unlink((native + "-wal").constData());
    }
    if (!before.shm && after.shm) {
        ::unlink((native + "-shm").constData());
    }
}

// Runs a PRAGMA that answers in rows of text ("ok", or one problem a row) and collects
// the rows that are not "ok". SQLite's result code: SQLITE_OK when it ran to the end.
int PragmaProblems(sqlite3* db, const char* pragma, QStringList& problems) {
    sqlite3_stmt* statement = nullptr;
    int rc = sqlite3_prepare_v2(db, pragma, -1, &statement, nullptr);
    if (rc == SQLITE_OK) {
        while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
            const QString line =
                QString::fromUtf8(text, sqlite3_column_bytes(statement, 0)).simplified();
            if (line != QLatin1String("ok")) {
                problems.append(line);
            }
        }
        if (rc == SQLITE_DONE) {
            rc = SQLITE_OK;
        }
    }
    sqlite3_finalize(statement);
    return rc;
}

// Opens a connection that writes nothing, not even to the -wal and -shm files: immutable
// while no -wal, -shm or journal lies beside the file (then no file is made and no lock
// taken), else read-only so that a -wal file's changes are seen. Where the read-only open
// fails (a -wal file without its -shm file) the immutable one is used, and `walHidden`
// tells whether a -wal file's changes are then out of sight. Null with SQLite's reason in
// `error` when neither works.
std::unique_ptr<TSQLTables> OpenReader(const QString& path, const TCompanions& companions,
                                       bool& walHidden, QString& error) {
    walHidden = false;
    int code = SQLITE_OK;
    auto attempt = [&](TSQLOpenMode mode) -> std::unique_ptr<TSQLTables> {
        try {
            auto db = std::make_unique<TSQLTables>(path, kBusyTimeoutMs, kSynchronousNormal, mode);
            // SQLite opens lazily: reading the schema shows whether the file can be opened.
            // Other failures (damage, a busy store) are the quick check's to judge.
            QStringList ignored;
            code = PragmaProblems(db->Handle(), "PRAGMA schema_version", ignored);
            if (code == SQLITE_CANTOPEN) {
                error = SqliteText(code);
                return nullptr;
            }
            return db;
        } catch (const ESQLite& failure) {
            code = failure.Code();
            error = SqliteText(code);
            return nullptr;
        }
    };
    if (!companions.wal && !companions.shm && !companions.journal) {
        return attempt(TSQLOpenMode::kImmutable);
    }
    std::unique_ptr<TSQLTables> db = attempt(TSQLOpenMode::kReadOnly);
    if (!db && code == SQLITE_CANTOPEN) {
        db = attempt(TSQLOpenMode::kImmutable);
        walHidden = db != nullptr && companions.walSize > 0;
    }
    return db;
}

// Runs "PRAGMA quick_check" and describes the first problem; empty when there is none
// or when the check cannot tell (a busy store). `later` is set when a hot journal must
// be replayed first, or a write-ahead log left by a writer that was killed must be
// recovered (SQLite's "locking protocol"), which a read-only connection cannot do.
QString QuickCheckDamage(TSQLTables& db, bool& later) {
    later = false;
    QStringList problems;
    const int rc = PragmaProblems(db.Handle(), "PRAGMA quick_check(1)", problems);
    if (rc == SQLITE_OK) {
        if (problems.isEmpty()) {
            return {};
        }
        QString first = problems.first();
        if (first.size() > kLongestCheckText) {
            first = first.left(kLongestCheckText) + QStringLiteral("...");
        }
        return QStringLiteral("PRAGMA quick_check: %1").arg(first);
    }
    if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED) {
        return {};
    }
    if (rc == SQLITE_READONLY || rc == SQLITE_PROTOCOL) {
        later = true;
        return {};
    }
    return QStringLiteral("PRAGMA quick_check failed: %1").arg(SqliteText(rc));
}

}  // namespace

// ---- TVersionRow -------------------------------------------------------------------

QString TVersionRow::Extension() const {
    const qsizetype dot = file.lastIndexOf('.');
    return dot < 0 ? QString() : file.mid(dot).toLower();
}

QString TVersionRow::DateText() const {
    return DateTimeFromDayNumber(date).toString(QStringLiteral("yyyy/MM/dd hh:mm:ss"));
}

// ---- creation ----------------------------------------------------------------------

namespace {

// The schema of a new store.
void BuildBackupSchema(TSQLTables& db) {
    // Versions are blobs of tens of KiB: pages of 8 KiB keep each in fewer pages than the
    // default, while the table and index pages that every version rewrites stay small
    // (larger pages measured slower: they multiply what each commit writes).
    db.ExecScript(QStringLiteral("PRAGMA page_size=%1").arg(kPageSize));
    TSQLTransaction transaction(db);
    for (const char* statement : kSchema) {
        db.Exec(QString::fromLatin1(statement));
    }
    for (const char* statement : kIndexes) {
        db.Exec(QString::fromLatin1(statement));
    }
    for (const char* statement : kChunkSchema) {
        db.Exec(QString::fromLatin1(statement));
    }
    transaction.Commit();
}

}  // namespace

bool CreateBackupDatabaseFile(const QString& path, QString* reason) {
    return CreateDatabaseFile(path, BuildBackupSchema, reason);
}

// ---- TBackupStore ------------------------------------------------------------------

TBackupStore::TBackupStore(THost& host)
    : m_host(host), m_clock([] { return QDateTime::currentDateTime(); }) {}

TBackupStore::~TBackupStore() {
    QMutexLocker locker(&m_lock);
    m_checkpointer.reset();
    m_db.reset();
    CloseMarkerLocked();
}

bool TBackupStore::Open(const QString& dataFolder, bool readOnly) {
    QMutexLocker locker(&m_lock);
    m_checkpointer.reset();
    m_db.reset();
    CloseMarkerLocked();
    m_damaged = false;
    m_modeColumnAsked = nullptr;  // a new connection may come at the old one's address
    m_chunkTablesAsked = nullptr;
    m_readOnly = false;
    m_problem.clear();
    m_problemKind = kStatusInfo;
    m_host.SetFlag(kFlagBackupsDatabase, false);
    m_path = dataFolder + QStringLiteral("backups.db");
    const QByteArray native = EncodeNativeName(m_path);
    const QString shown = m_path;
    auto refuse = [&](const QString& reason) {
        SetProblemLocked(
            QStringLiteral("%1 %2; it was kept unchanged and backups are off").arg(shown, reason),
            kStatusError);
        return false;
    };

    struct stat facts {};
    if (::lstat(native.constData(), &facts) != 0) {
        const int error = errno;
        if (error != ENOENT) {
            return refuse(QStringLiteral("cannot be read (%1)").arg(ErrnoText(error)));
        }
        if (readOnly) {
            return false;
        }
        QString reason;
        // Another process may have made the file meanwhile: then that one is opened.
        if (!CreateDatabaseInPlace(m_path, BuildBackupSchema, &reason) &&
            ::lstat(native.constData(), &facts) != 0) {
            SetProblemLocked(
                QStringLiteral("%1 could not be created (%2); backups are off").arg(shown, reason),
                kStatusError);
            return false;
        }
        if (::lstat(native.constData(), &facts) != 0) {
            SetProblemLocked(QStringLiteral("%1 could not be created (%2); backups are off")
                                 .arg(shown, ErrnoText(errno)),
                             kStatusError);
            return false;
        }
    }
    if (S_ISLNK(facts.st_mode)) {
        return refuse(QStringLiteral("is a symbolic link"));
    }
    if (!S_ISREG(facts.st_mode)) {
        SetProblemLocked(QStringLiteral("%1 is not a file; backups are off").arg(shown),
                         kStatusError);
        return false;
    }

    // Everything up to the writable open only reads.
    TFileFacts file;
    if (const QString unreadable = InspectFile(native, file); !unreadable.isEmpty()) {
        return refuse(QStringLiteral("cannot be read (%1)").arg(unreadable));
    }
    if (const QString damage = HeaderDamage(file); !damage.isEmpty()) {
        return refuse(QStringLiteral("is damaged (%1)").arg(damage));
    }
    QString cannotWrite;
    if (!readOnly) {
        cannotWrite = WriteRefusal(native, EncodeNativeName(dataFolder));
    }

    const TCompanions before = Companions(native);
    bool walHidden = false;
    QString openError;
    std::unique_ptr<TSQLTables> reader = OpenReader(m_path, before, walHidden, openError);
    if (!reader) {
        return refuse(QStringLiteral("cannot be read (%1)").arg(openError));
    }
    bool checkLater = false;
    // Reading every page costs seconds to minutes on a large store; a store that was
    // closed cleanly and has not changed since needs no such proof (see store_marker.h).
    auto marker = std::make_unique<TStoreMarker>(native);
    const bool vouched = marker->VouchesForStore();
    if (const QString damage = vouched ? QString() : QuickCheckDamage(*reader, checkLater);
        !damage.isEmpty()) {
        reader.reset();
        if (cannotWrite.isEmpty() && !readOnly) {
            RemoveNewCompanions(native, before);
        }
        return refuse(QStringLiteral("is damaged (%1)").arg(damage));
    }

    auto openReadOnly = [&](const QString& reason) {
        m_db = std::move(reader);
        m_readOnly = true;
        m_host.SetFlag(kFlagBackupsDatabase, true);
        if (!readOnly) {
            QString text = QStringLiteral(
                               "%1 cannot be written (%2), so it was opened read-only: "
                               "versions can be searched and restored, but no "
                               "backups are made")
                               .arg(shown, reason);
            if (walHidden) {
                text += QStringLiteral(
                    "; the newest changes, kept in backups.db-wal, cannot be "
                    "read there and are not shown");
            }
            SetProblemLocked(text, kStatusNotice);
        }
        return true;
    };
    if (readOnly || !cannotWrite.isEmpty()) {
        if (checkLater) {
            return refuse(QStringLiteral("cannot be read (%1)")
                              .arg(QStringLiteral("its journal must be replayed, and it cannot be "
                                                  "written")));
        }
        return openReadOnly(cannotWrite);
    }
    reader.reset();

    MakePrivate(native);
    MakePrivate(native + "-wal");
    MakePrivate(native + "-shm");
    MakePrivate(native + "-journal");
    // On disk before the first write: a crash from here on makes the next open check.
    if (marker->MarkOpen()) {
        m_marker = std::move(marker);
    }
    // SQLite may still find the store unwritable (a file system it cannot lock or write):
    // then it is read as it is.
    auto readInstead = [&](int code) {
        m_db.reset();
        m_marker.reset();  // left "open": the next open checks the store in full
        m_modeColumnAsked = nullptr;
        m_chunkTablesAsked = nullptr;
        reader = OpenReader(m_path, Companions(native), walHidden, openError);
        if (reader) {
            return openReadOnly(SqliteText(code));
        }
        return refuse(QStringLiteral("cannot be opened (%1)").arg(SqliteText(code)));
    };
    auto refusesWrites = [](int code) {
        return code == SQLITE_READONLY || code == SQLITE_CANTOPEN;
    };
    try {
        m_db = std::make_unique<TSQLTables>(m_path, kBusyTimeoutMs, kSynchronousNormal,
                                            TSQLOpenMode::kReadWrite);
        if (checkLater) {
            // A hot journal kept the read-only check out; SQLite has replayed it now.
            bool again = false;
            if (const QString damage = QuickCheckDamage(*m_db, again); !damage.isEmpty()) {
                m_db.reset();
                return refuse(QStringLiteral("is damaged (%1)").arg(damage));
            }
        }
    } catch (const ESQLite& error) {
        if (refusesWrites(error.Code())) {
            return readInstead(error.Code());
        }
        m_db.reset();
        return refuse(QStringLiteral("cannot be opened (%1)").arg(SqliteText(error.Code())));
    }
    try {
        PrepareWritableLocked();
    } catch (const ESQLite& error) {
        if (refusesWrites(error.Code())) {
            return readInstead(error.Code());
        }
        // Otherwise best effort (a busy store, say): the next open tries again.
    }
    AddModeColumnLocked();
    try {
        m_checkpointer =
            std::make_unique<TWalCheckpointer>(*m_db, m_path, kBusyTimeoutMs, kSynchronousNormal);
    } catch (const std::exception&) {
        // The connection checkpoints by itself, on the thread that commits.
    }
    m_host.SetFlag(kFlagBackupsDatabase, true);
    return true;
}

void TBackupStore::PrepareWritableLocked() {
    m_db->ExecScript(QStringLiteral("PRAGMA journal_mode=WAL"));
    // Checks every b-tree cell as it is read: a damaged page met by a statement fails it
    // (and its transaction) instead of being written on.
    m_db->ExecScript(QStringLiteral("PRAGMA cell_size_check=ON"));
    for (const char* statement : kIndexes) {
        m_db->ExecScript(QString::fromLatin1(statement));
    }
    PrepareChunksLocked();
}

void TBackupStore::SetProblemLocked(const QString& text, int kind) {
    m_problem = text;
    m_problemKind = kind;
    AppendLog(text, QStringLiteral("Store"));
}

void TBackupStore::Close(bool compact) {
    QMutexLocker locker(&m_lock);
    m_checkpointer.reset();
    if (m_db && compact && !m_readOnly && !m_damaged) {
        CompactDatabase(*m_db);
    }
    m_db.reset();
    CloseMarkerLocked();
    m_modeColumnAsked = nullptr;
    m_chunkTablesAsked = nullptr;
    m_readOnly = false;
    m_host.SetFlag(kFlagBackupsDatabase, false);
}

bool TBackupStore::IsOpen() const {
    QMutexLocker locker(&m_lock);
    return m_db != nullptr;
}

bool TBackupStore::IsReadOnly() const {
    QMutexLocker locker(&m_lock);
    return m_db != nullptr && m_readOnly;
}

QString TBackupStore::OpenProblem() const {
    QMutexLocker locker(&m_lock);
    return m_problem;
}

int TBackupStore::OpenProblemKind() const {
    QMutexLocker locker(&m_lock);
    return m_problemKind;
}

void TBackupStore::LogOpenProblem() {
    QMutexLocker locker(&m_lock);
    if (!m_problem.isEmpty()) {
        AppendLog(m_problem, QStringLiteral("Store"));
    }
}

QString TBackupStore::Path() const {
    QMutexLocker locker(&m_lock);
    return m_path;
}

void TBackupStore::SetClock(std::function<QDateTime()> clock) {
    QMutexLocker locker(&m_lock);
    m_clock = std::move(clock);
}

double TBackupStore::NowDayNumber() const {
    return DayNumberFromDateTime(m_clock());
}

void TBackupStore::RaiseStoreError(int code) {
    if (code == kSQLOk || code == kSQLDone) {
        return;
    }
    for (const TMessage& message : kStoreMessages) {
        if (message.code == code) {
            RaiseError(QString::fromLatin1(message.text));
        }
    }
    RaiseError(QStringLiteral("SQLite Error:%1").arg(code));
}

void TBackupStore::RequireOpenLocked() const {
    if (!m_db) {
        RaiseStoreError(kCantOpen);
    }
}

void TBackupStore::AddModeColumnLocked() {
    m_modeColumnAsked = nullptr;
    if (!m_db || HasModeColumnLocked()) {
        return;
    }
    try {
        m_db->ExecScript(QString::fromLatin1(kAddModeColumn));
    } catch (const ESQLite&) {
        // Read-only, busy or damaged: its versions are restored without their modes.
    }
    m_modeColumnAsked = nullptr;
}

bool TBackupStore::HasModeColumnLocked() {
    if (m_modeColumnAsked != m_db.get()) {
        m_modeColumnAsked = m_db.get();
        m_hasModeColumn = false;
        if (m_db) {
            try {
                m_hasModeColumn = m_db->HasColumn(QStringLiteral("Data"), QStringLiteral("bMode"));
            } catch (const ESQLite&) {
                m_modeColumnAsked = nullptr;  // asked again next time
            }
        }
    }
    return m_hasModeColumn;
}

void TBackupStore::RequireWritableLocked() const {
    RequireOpenLocked();
    if (m_readOnly || m_damaged) {
        RaiseStoreError(kPermissionDenied);
    }
}

void TBackupStore::CloseMarkerLocked() {
    if (m_marker) {
        // A store found damaged while open keeps its "open" record: the next open checks.
        if (!m_damaged) {
            m_marker->MarkClosed();
        }
        m_marker.reset();
    }
}

bool TBackupStore::NoteDamageLocked(int code) {
    if (code != SQLITE_CORRUPT && code != SQLITE_NOTADB) {
        return false;
    }
    if (!m_damaged) {
        m_damaged = true;
        SetProblemLocked(QStringLiteral("%1 is damaged (%2); nothing more is written to it, and "
                                        "backups are off until it is repaired")
                             .arg(m_path, SqliteText(code)),
                         kStatusError);
    }
    return true;
}

void TBackupStore::RefuseWrites(const QString& damage) {
    QMutexLocker locker(&m_lock);
    if (!m_db || m_damaged) {
        return;
    }
    m_damaged = true;
    SetProblemLocked(QStringLiteral("%1 is damaged (%2); nothing more is written to it, and "
                                    "backups are off until it is repaired")
                         .arg(m_path, damage),
                     kStatusError);
}

bool TBackupStore::IsDamaged() const {
    QMutexLocker locker(&m_lock);
    return m_damaged;
}

void TBackupStore::AppendLog(const QString& event, const QString& reason) {
    if (TBackupLog* log = m_log.load()) {
        log->AppendLogLine(event, reason);
    }
}

int TBackupStore::GetPathIdLocked(TBackupIdSource& ids, const QString& fullName, int& versionId) {
    const qsizetype slash = fullName.lastIndexOf('/');
    const QString folder = fullName.left(slash + 1);
    const QString file = fullName.mid(slash + 1);
    std::unique_ptr<TSQLTable> found;
    try {
        found = m_db->Query(QStringLiteral("SELECT pID FROM Paths WHERE pPath = ? AND pFile = ?"),
                            kPathIdBudgetKb, 1, {NameValue(folder), NameValue(file)});
    } catch (const ESQLite& error) {
        RaiseStoreError(error.Code());
    }
    if (found->RowCount() > 0) {
        const int pathId = found->GetInt(0);
        versionId = ids.TakeVersionId();
        return pathId;
    }
    const int pathId = ids.TakePathIds(versionId);
    try {
        m_db->Exec(QStringLiteral("INSERT INTO Paths (pID,pPath,pFile) VALUES (?,?,?)"),
                   {qint64(pathId), NameValue(folder), NameValue(file)});
    } catch (const ESQLite& error) {
        AppendLog(fullName, QStringLiteral("PathID"));
        RaiseStoreError(error.Code());
    }
    if (m_db->LastCode() != kSQLDone) {
        AppendLog(fullName, QStringLiteral("PathID"));
        RaiseStoreError(m_db->LastCode());
    }
    return pathId;
}

bool TBackupStore::StoreVersion(TBackupIdSource& ids, int profileNumber, qint64 size,
                                const TVersionBlob& blob, const QString& fullName, int& pathId) {
    QMutexLocker locker(&m_lock);
    if (!m_db || m_damaged) {
        return false;
    }
    if (!IsStorableName(fullName)) {
        AppendLog(fullName, QStringLiteral("Name"));
        return false;
    }
    try {
        TSQLTransaction transaction(*m_db);
        int versionId = 0;
        pathId = GetPathIdLocked(ids, fullName, versionId);
        TSQLParams values{qint64(versionId),
                          qint64(pathId),
                          qint64(profileNumber),
                          size,
                          DayNumberFromDateTime(m_clock()),
                          TSQLBlob{blob.bytes}};
        QString statement = QStringLiteral(
            "INSERT INTO Data (bID,bPath,bPro,bSize,bDate,bData) VALUES (?,?,?,?,?,?)");
        if (HasModeColumnLocked()) {
            statement = QStringLiteral(
                "INSERT INTO Data (bID,bPath,bPro,bSize,bDate,bData,bMode) "
                "VALUES (?,?,?,?,?,?,?)");
            if (blob.mode >= 0) {
                values.emplace_back(qint64(blob.mode & kPermissionBits));
            } else {
                values.emplace_back(std::monostate());
            }
        }
        m_db->Exec(statement, values);
        if (m_db->LastCode() != kSQLDone) {
            return false;
        }
        transaction.Commit();
    } catch (const ESQLite& error) {
        (void)NoteDamageLocked(error.Code());
        return false;
    } catch (const EQuiva&) {
        return false;
    }
    return true;
}

bool TBackupStore::SearchVersions(int profileNumber, int firstDay, const QString& mask,
                                  int dayAfterLast, QList<TVersionRow>& rows) {
    int nextAfter = 0;
    return SearchVersionsPage(profileNumber, firstDay, mask, dayAfterLast, TSearchPage(), rows,
                              nextAfter);
}

bool TBackupStore::SearchVersionsPage(int profileNumber, int firstDay, const QString& mask,
                                      int dayAfterLast, const TSearchPage& page,
                                      QList<TVersionRow>& rows, int& nextAfter) {
    rows.clear();
    nextAfter = 0;
    QMutexLocker locker(&m_lock);
    RequireOpenLocked();
    struct TName {
        int pathId;
        QString file;
        QString folder;
    };
    QList<TName> names;
    const int wanted = page.names > 0 ? page.names : kAllNamesPage;
    try {
        // A name kept as a blob is compared as the text of its bytes (SQLite's LIKE may be
        // built to refuse blobs); the mask's bytes go as text too. Only names with versions
        // in the profile and the dates count, so that a page is never empty while a later
        // one is not; one name more than the page tells whether another page follows.
        const auto found = m_db->Query(
            QStringLiteral("SELECT pID,pFile,pPath FROM Paths WHERE pID > ? AND "
                           "CAST(pFile AS TEXT) LIKE ? AND EXISTS (SELECT 1 FROM Data WHERE "
                           "bPro = ? AND bPath = pID AND bDate >= ? AND bDate <= ?) "
                           "ORDER BY pID LIMIT ?"),
            static_cast<int>(std::min<qint64>(qint64(kNamesBudgetKb) * wanted / kNamesRows + 1,
                                              kLargestPageBudgetKb)),
            wanted + 1,
            {qint64(page.afterPathId), EncodeNativeName(mask), qint64(profileNumber),
             qint64(firstDay), qint64(dayAfterLast), qint64(wanted) + 1});
        for (; !found->AtEnd(); found->Next()) {
            names.append({found->GetInt(0), ReadName(*found, 1), ReadName(*found, 2)});
        }
        if (names.size() > wanted) {
            names.removeLast();
            nextAfter = names.last().pathId;
        }
        if (names.isEmpty()) {
            // Whether the mask matches any name at all, as the search has always answered.
            const auto any = m_db->Query(
                QStringLiteral("SELECT pID FROM Paths WHERE CAST(pFile AS TEXT) LIKE ? LIMIT 1"),
                kNamesBudgetKb, 1, {EncodeNativeName(mask)});
            return page.afterPathId == 0 && any->RowCount() > 0;
        }
        QString marks;
        TSQLParams params{qint64(profileNumber)};
        QHash<int, int> byPath;
        for (const TName& name : names) {
            marks += marks.isEmpty() ? QStringLiteral("?") : QStringLiteral(",?");
            params.push_back(qint64(name.pathId));
            byPath.insert(name.pathId, static_cast<int>(byPath.size()));
        }
        params.push_back(qint64(firstDay));
        params.push_back(qint64(dayAfterLast));
        const bool withModes = HasModeColumnLocked();
        const auto versions = m_db->Query(
            QStringLiteral("SELECT bPath,bID,bSize,bDate%1 FROM Data WHERE (bPro = ?) AND "
                           "(bPath IN (%2)) AND (bDate >= ?) AND (bDate <= ?) ORDER BY bID")
                .arg(withModes ? QStringLiteral(",bMode") : QString(), marks),
            kLargestPageBudgetKb, std::numeric_limits<int>::max(), params);
        for (; !versions->AtEnd(); versions->Next()) {
            const int pathId = versions->GetInt(0);
            const auto name = byPath.constFind(pathId);
            if (name == byPath.cend()) {
                continue;
            }
            TVersionRow row;
            row.pathId = pathId;
            row.versionId = versions->GetInt(1);
            row.profileNumber = profileNumber;
            row.size = versions->GetInt64(2);
            row.date = versions->GetReal(3);
            row.mode = withModes ? ReadMode(*versions, 4) : -1;
            row.file = names[*name].file;
            row.folder = names[*name].folder;
            rows.append(row);
        }
    } catch (const ESQLite& error) {
        rows.clear();
        nextAfter = 0;
        RaiseStoreError(error.Code());
    }
    return true;
}

void TBackupStore::DeleteVersion(int versionId) {
    QMutexLocker locker(&m_lock);
    RequireWritableLocked();
    try {
        TSQLTransaction transaction(*m_db);
        DeleteVersionsLocked({qint64(versionId)});
        transaction.Commit();
    } catch (const ESQLite& error) {
        RaiseStoreError(error.Code());
    }
}

std::optional<QByteArray> TBackupStore::LoadVersionData(int versionId) {
    QMutexLocker locker(&m_lock);
    RequireOpenLocked();
    try {
        const auto found = m_db->Query(QStringLiteral("SELECT bData FROM Data WHERE bID = ?"),
                                       kBlobBudgetKb, kBlobRows, {qint64(versionId)});
        if (found->RowCount() != 1) {
            return std::nullopt;
        }
        return found->GetBlob(0).value_or(QByteArray());
    } catch (const ESQLite& error) {
        RaiseStoreError(error.Code());
    }
    return std::nullopt;
}

std::optional<TVersionRow> TBackupStore::FindVersion(int versionId) {
    QMutexLocker locker(&m_lock);
    RequireOpenLocked();
    try {
        const bool withModes = HasModeColumnLocked();
        const auto found =
            m_db->Query(QStringLiteral("SELECT bID,bPath,bPro,bSize,bDate,pFile,pPath%1 FROM Data "
                                       "JOIN Paths ON pID = bPath WHERE bID = ?")
                            .arg(withModes ? QStringLiteral(",bMode") : QString()),
                        kNameBudgetKb, 1, {qint64(versionId)});
        if (found->RowCount() != 1) {
            return std::nullopt;
        }
        TVersionRow row;
        row.versionId = found->GetInt(0);
        row.pathId = found->GetInt(1);
        row.profileNumber = found->GetInt(2);
        row.size = found->GetInt64(3);
        row.date = found->GetReal(4);
        row.file = ReadName(*found, 5);
        row.folder = ReadName(*found, 6);
        row.mode = withModes ? ReadMode(*found, 7) : -1;
        return row;
    } catch (const ESQLite& error) {
        RaiseStoreError(error.Code());
    }
    return std::nullopt;
}

std::optional<int> TBackupStore::FindPathId(const QString& fullName) {
    const qsizetype slash = fullName.lastIndexOf('/');
    QMutexLocker locker(&m_lock);
    RequireOpenLocked();
    try {
        const auto found = m_db->Query(
            QStringLiteral("SELECT pID FROM Paths WHERE pPath = ? AND pFile = ?"), kPathIdBudgetKb,
            1, {NameValue(fullName.left(slash + 1)), NameValue(fullName.mid(slash + 1))});
        if (found->RowCount() == 1) {
            return found->GetInt(0);
        }
    } catch (const ESQLite& error) {
        RaiseStoreError(error.Code());
    }
    return std::nullopt;
}

QList<TVersionRow> TBackupStore::FileVersions(int profileNumber, int pathId) {
    QList<TVersionRow> rows;
    QMutexLocker locker(&m_lock);
    RequireOpenLocked();
    try {
        const auto path = m_db->Query(QStringLiteral("SELECT pFile,pPath FROM Paths WHERE pID = ?"),
                                      kNameBudgetKb, 1, {qint64(pathId)});
        if (path->RowCount() != 1) {
            return rows;
        }
        const QString file = ReadName(*path, 0);
        const QString folder = ReadName(*path, 1);
        const bool withModes = HasModeColumnLocked();
        const auto versions = m_db->Query(
            QStringLiteral("SELECT bID,bSize,bDate%1 FROM Data WHERE bPro = ? AND bPath = ? "
                           "ORDER BY bID DESC")
                .arg(withModes ? QStringLiteral(",bMode") : QString()),
            kTrimBudgetKb, kTrimRows, {qint64(profileNumber), qint64(pathId)});
        for (; !versions->AtEnd(); versions->Next()) {
            TVersionRow row;
            row.versionId = versions->GetInt(0);
            row.pathId = pathId;
            row.profileNumber = profileNumber;
            row.size = versions->GetInt64(1);
            row.date = versions->GetReal(2);
            row.mode = withModes ? ReadMode(*versions, 3) : -1;
            row.file = file;
            row.folder = folder;
            rows.append(row);
        }
    } catch (const ESQLite& error) {
        rows.clear();
        RaiseStoreError(error.Code());
    }
    return rows;
}

QList<int> TBackupStore::BuildDiscardList(int profileNumber,
                                          const std::function<bool(const QString&)>& mayDiscard) {
    QList<int> list;
    QMutexLocker locker(&m_lock);
    if (!m_db) {
        return list;
    }
    std::unique_ptr<TSQLTable> paths;
    try {
        paths = m_db->Query(QStringLiteral("SELECT DISTINCT bPath FROM Data WHERE bPro = ?"),
                            kDiscardListBudgetKb, kDiscardListRows, {qint64(profileNumber)});
    } catch (const ESQLite&) {
        AppendLog(QStringLiteral("Drop List Builder"), QStringLiteral("No FiPa"));
        return list;
    }
    for (; !paths->AtEnd(); paths->Next()) {
        const int pathId = paths->GetInt(0);
        try {
            const auto name = m_db->Query(QStringLiteral("SELECT pFile FROM Paths WHERE pID = ?"),
                                          kNameBudgetKb, 1, {qint64(pathId)});
            if (name->RowCount() == 1 && mayDiscard(ReadName(*name, 0))) {
                list.append(pathId);
            }
        } catch (const ESQLite&) {
            // A path whose name cannot be read is not offered for discarding.
        }
    }
    return list;
}

int TBackupStore::DiscardOlderThan(const QList<int>& pathIds, int profileNumber, int days) {
    if (pathIds.isEmpty()) {
        return 0;
    }
    // Rounded to the nearest whole day, halves to even: before noon the cutoff is
    // midnight at the start of (today - days), after noon one day later.
    const qint64 cutoff = static_cast<qint64>(std::nearbyint(NowDayNumber())) - days;
    QMutexLocker locker(&m_lock);
    RequireWritableLocked();
    int deleted = 0;
    try {
        TSQLTransaction transaction(*m_db);
        for (const int pathId : pathIds) {
            deleted += DeleteVersionsLocked(
                VersionIdsLocked(QStringLiteral("SELECT bID FROM Data WHERE bPro = ? AND "
                                                "bPath = ? AND bDate <= ?"),
                                 {qint64(profileNumber), qint64(pathId), cutoff}));
        }
        transaction.Commit();
    } catch (const ESQLite& error) {
        RaiseStoreError(error.Code());
    }
    return deleted;
}

int TBackupStore::KeepNewest(const QList<int>& pathIds, int profileNumber, int count) {
    int deleted = 0;
    QList<int> done;
    for (const int pathId : pathIds) {
        if (done.contains(pathId)) {
            continue;  // trimmed at its first entry already
        }
        done.append(pathId);
        QMutexLocker locker(&m_lock);
        RequireWritableLocked();
        std::unique_ptr<TSQLTable> versions;
        try {
            versions =
                m_db->Query(QStringLiteral("SELECT bID FROM Data WHERE bPro = ? AND "
                                           "bPath = ? ORDER BY bID DESC"),
                            kTrimBudgetKb, kTrimRows, {qint64(profileNumber), qint64(pathId)});
        } catch (const ESQLite&) {
            continue;
        }
        if (versions->RowCount() <= count) {
            continue;
        }
        try {
            TSQLTransaction transaction(*m_db);
            versions->Last();
            QList<qint64> older;
            for (int i = versions->RowCount() - count; i > 0; --i, versions->Prev()) {
                older.append(versions->GetInt64(0));
            }
            deleted += DeleteVersionsLocked(older);
            transaction.Commit();
        } catch (const ESQLite& error) {
            RaiseStoreError(error.Code());
        }
    }
    return deleted;
}

void TBackupStore::DeleteAllVersions(int profileNumber) {
    QMutexLocker locker(&m_lock);
    RequireWritableLocked();
    try {
        TSQLTransaction transaction(*m_db);
        DeleteVersionsLocked(VersionIdsLocked(QStringLiteral("SELECT bID FROM Data WHERE bPro = ?"),
                                              {qint64(profileNumber)}));
        transaction.Commit();
    } catch (const ESQLite& error) {
        RaiseStoreError(error.Code());
    }
}

bool TBackupStore::DeleteProfileVersions(int profileNumber) {
    QMutexLocker locker(&m_lock);
    if (!m_db) {
        return true;
    }
    if (m_readOnly) {
        return false;
    }
    try {
        TSQLTransaction transaction(*m_db);
        DeleteVersionsLocked(VersionIdsLocked(QStringLiteral("SELECT bID FROM Data WHERE bPro = ?"),
                                              {qint64(profileNumber)}));
        transaction.Commit();
    } catch (const ESQLite&) {
        return false;
    }
    return true;
}

QList<std::pair<int, qint64>> TBackupStore::VersionCountsByProfile() {
    QList<std::pair<int, qint64>> counts;
    QMutexLocker locker(&m_lock);
    RequireOpenLocked();
    try {
        // Plain columns only: the layer reads a value by its column's declared type.
        const auto numbers = m_db->Query(
            QStringLiteral("SELECT DISTINCT bPro FROM Data ORDER BY bPro"), 64, 1 << 16);
        for (; !numbers->AtEnd(); numbers->Next()) {
            const int number = numbers->GetInt(0);
            const auto ids =
                m_db->Query(QStringLiteral("SELECT bID FROM Data WHERE bPro = ?"), 1 << 20,
                            std::numeric_limits<int>::max(), {qint64(number)});
            counts.append({number, ids->RowCount()});
        }
    } catch (const ESQLite& error) {
        RaiseStoreError(error.Code());
    }
    return counts;
}

TStoreIds TBackupStore::LargestIds() {
    TStoreIds ids;
    QMutexLocker locker(&m_lock);
    if (!m_db) {
        return ids;
    }
    auto largest = [&](const char* statement) {
        try {
            const auto found = m_db->Query(QString::fromLatin1(statement), 1, 1);
            return found->RowCount() == 1 ? found->GetInt(0) : 0;
        } catch (const ESQLite&) {
            return 0;
        }
    };
    ids.pathId = largest("SELECT pID FROM Paths ORDER BY pID DESC LIMIT 1");
    ids.versionId = largest("SELECT bID FROM Data ORDER BY bID DESC LIMIT 1");
    ids.profileNumber = largest("SELECT bPro FROM Data ORDER BY bPro DESC LIMIT 1");
    return ids;
}

// ---- the store check ---------------------------------------------------------------

QStringList TBackupStore::IntegrityProblems() {
    QMutexLocker locker(&m_lock);
    RequireOpenLocked();
    QStringList problems;
    const int rc = PragmaProblems(m_db->Handle(), "PRAGMA integrity_check", problems);
    if (rc != SQLITE_OK) {
        RaiseStoreError(rc);
    }
    return problems;
}

qint64 TBackupStore::CheckVersions(const TBlobKeys& keys,
                                   const std::function<void(const TVersionCheck&)>& report,
                                   const std::optional<TStoreKeys>& storeKeys) {
    struct TRow {
        int versionId;
        qint64 size;
        std::optional<QByteArray> blob;
        bool hasPath;
        QString file;
    };
    // Each chunk is read and opened once, whatever the number of versions sharing it.
    QHash<qint64, QString> chunkVerdicts;
    qint64 checked = 0;
    qint64 after = std::numeric_limits<qint64>::min();
    int rows = kCheckRows;
    for (;;) {
        QList<TRow> batch;
        bool overBudget = false;
        {
            QMutexLocker locker(&m_lock);
            RequireOpenLocked();
            try {
                const auto found = m_db->Query(
                    QStringLiteral("SELECT bID,bSize,bData,pID,pPath,pFile FROM Data LEFT JOIN "
                                   "Paths ON pID = bPath WHERE bID > ? ORDER BY bID"),
                    kCheckBudgetKb, rows, {after});
                for (; !found->AtEnd(); found->Next()) {
                    batch.append({found->GetInt(0), found->GetInt64(1), found->GetBlob(2),
                                  found->GetInt64(3) != 0,
                                  ReadName(*found, 4) + ReadName(*found, 5)});
                }
            } catch (const ESQLite& error) {
                if (error.Code() != kSQLOverBudget) {
                    RaiseStoreError(error.Code());
                }
                batch.clear();
                overBudget = true;
            }
            if (overBudget) {
                if (rows > 1) {
                    rows = std::max(1, rows / 2);  // a few large versions: smaller batches
                    continue;
                }
                // One version alone is larger than any version can be.
                try {
                    const auto next = m_db->Query(
                        QStringLiteral("SELECT bID FROM Data WHERE bID > ? ORDER BY bID"), 1, 1,
                        {after});
                    if (next->RowCount() == 1) {
                        batch.append({next->GetInt(0), -1, std::nullopt, true, QString()});
                    }
                } catch (const ESQLite& error) {
                    RaiseStoreError(error.Code());
                }
            }
        }
        if (batch.isEmpty()) {
            break;
        }
        rows = std::min(kCheckRows, rows * 2);
        for (const TRow& row : batch) {
            after = row.versionId;
            ++checked;
            TVersionCheck check;
            check.versionId = row.versionId;
            check.file = row.file;
            if (row.blob && BlobMethod(*row.blob) == kMethodChunked) {
                CheckChunkedVersion(row.versionId, row.size, *row.blob, storeKeys, chunkVerdicts,
                                    check);
            } else if (row.size < 0) {
                check.reason = QStringLiteral("Data too large to retrieve");
            } else if (!row.blob) {
                check.reason = QStringLiteral("no data stored");
            } else if (row.blob->size() > qint64(kBlobBudgetKb) * 1024) {
                check.reason = QStringLiteral("Data too large to retrieve");
            } else if (row.blob->size() == kBlobHeaderSize && row.size == 0 &&
                       BlobMethod(*row.blob) == kMethodStored) {
                // An empty file's version holds no payload to decode; its length field
                // still shows the password.
                const QByteArray& blob = *row.blob;
                quint32 field = 0;
                for (int i = 4; i >= 1; --i) {
                    field = (field << 8) | static_cast<quint8>(blob[i]);
                }
                check.otherPassword = field != keys.lengthKey;
            } else {
                try {
                    (void)DecodeVersion(*row.blob, keys, row.size);
                    // Zlib's own checksum finds damage to a compressed version; the bytes
                    // of one stored as it is have none.
                    check.unverified = row.size > 0 && BlobMethod(*row.blob) == kMethodStored;
                } catch (const EQuiva& error) {
                    if (error.Message() == QLatin1String("Invalid encryption password")) {
                        check.otherPassword = true;
                    } else {
                        check.reason = error.Message();
                    }
                } catch (const std::bad_alloc&) {
                    check.reason = QStringLiteral("Invalid backup data");
                }
            }
            if (check.reason.isEmpty() && !check.otherPassword && !row.hasPath) {
                check.reason = QStringLiteral("no file name: its Paths row is missing");
                check.unverified = false;
            }
            if (!check.reason.isEmpty() || check.otherPassword || check.unverified) {
                report(check);
            }
        }
    }
    return checked;
}
