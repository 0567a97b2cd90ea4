#include "backup/backup_store.h"

#include "backup/backup_log.h"
#include "shell/day_number.h"
#include "shell/errors.h"
#include "platform/native_name.h"
#include "shell/host.h"
#include "storage/sqlite_layer.h"

#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>

#include <cmath>

namespace {

constexpr int kBusyTimeoutMs = 100;
constexpr int kSynchronousNormal = 1;
constexpr int kPageSize = 8192;

// Read budgets (KiB) and row caps of the queries.
constexpr int kPathIdBudgetKb = 10;
constexpr int kNamesBudgetKb = 96;
constexpr int kNamesRows = 128;
constexpr int kVersionsBudgetKb = 256;
constexpr int kVersionsRows = 128;
// The largest version the profiles allow: a file of 4096 KiB + 1023 bytes (its size in
// whole KiB is at the largest limit) stored as it is, plus the 5-byte header. The read
// budget covers it, so that every stored version can be read back.
constexpr int kBlobBudgetKb = 4098;
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
    "[bMode] INTEGER NULL)",
};

// The column older stores get when they are opened for writing.
const char kAddModeColumn[] = "ALTER TABLE Data ADD COLUMN bMode INTEGER NULL";
constexpr int kPermissionBits = 0777;

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

// A folder or file name as Paths keeps it: UTF-8 text, or the exact bytes as a BLOB value
// when the name is not UTF-8.
TSQLValue NameValue(const QString& name) {
    if (HasRawBytes(name)) {
        return TSQLBlob{EncodeNativeName(name)};
    }
    return name;
}

// A name read back by the stored type of its value.
QString ReadName(TSQLTable& table, int column) {
    if (const std::optional<QByteArray> bytes = table.GetBlobValue(column)) {
        return DecodeNativeName(*bytes);
    }
    return table.GetText(column);
}

// True when the store gives the name back exactly. Every name a folder listing or a
// watch yields is; only a text form that no bytes decode to (a lone surrogate other
// than a raw byte's) is not.
bool IsStorableName(const QString& name) {
    return DecodeNativeName(EncodeNativeName(name)) == name;
}

// A stored mode as permission bits, or -1 for none.
int ReadMode(TSQLTable& table, int column) {
    if (table.StoredType(column) != kStoredInteger) {
        return -1;
    }
    const qint64 mode = table.GetInt64(column);
    return mode < 0 ? -1 : static_cast<int>(mode & kPermissionBits);
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

bool CreateBackupDatabaseFile(const QString& path) {
    try {
        TSQLTables db(path, kBusyTimeoutMs, kSynchronousNormal, true);
        // Versions are blobs of tens of KiB: pages of 8 KiB keep each in fewer pages than
        // the default, while the table and index pages that every version rewrites stay
        // small (larger pages measured slower: they multiply what each commit writes).
        db.ExecScript(QStringLiteral("PRAGMA page_size=%1").arg(kPageSize));
        TSQLTransaction transaction(db);
        for (const char* statement : kSchema) {
            db.Exec(QString::fromLatin1(statement));
        }
        for (const char* statement : kIndexes) {
            db.Exec(QString::fromLatin1(statement));
        }
        transaction.Commit();
    } catch (const ESQLite&) {
        QFile::remove(path);
        return false;
    }
    return true;
}

// ---- TBackupStore ------------------------------------------------------------------

TBackupStore::TBackupStore(THost& host)
    : m_host(host), m_clock([] { return QDateTime::currentDateTime(); }) {}

TBackupStore::~TBackupStore() {
    QMutexLocker locker(&m_lock);
    m_db.reset();
}

bool TBackupStore::Open(const QString& dataFolder) {
    QMutexLocker locker(&m_lock);
    m_path = dataFolder + QStringLiteral("backups.db");
    if (!QFileInfo::exists(m_path)) {
        const QString building = m_path + QStringLiteral(".new");
        QFile::remove(building);
        if (CreateBackupDatabaseFile(building) && !QFile::rename(building, m_path)) {
            QFile::remove(building);
        }
    }
    m_db.reset();
    m_host.SetFlag(kFlagBackupsDatabase, false);
    if (!QFileInfo(m_path).isFile()) {
        return false;
    }
    try {
        m_db = std::make_unique<TSQLTables>(m_path, kBusyTimeoutMs, kSynchronousNormal, false);
    } catch (const ESQLite&) {
        m_db.reset();
        return false;
    }
    // A damaged or foreign file is still opened unchanged: its errors show when it is
    // used. So the journal mode and the indexes are best effort.
    try {
        m_db->ExecScript(QStringLiteral("PRAGMA journal_mode=WAL"));
        for (const char* statement : kIndexes) {
            m_db->ExecScript(QString::fromLatin1(statement));
        }
    } catch (const ESQLite&) {
    }
    AddModeColumnLocked();
    m_host.SetFlag(kFlagBackupsDatabase, true);
    return true;
}

void TBackupStore::Close(bool compact) {
    QMutexLocker locker(&m_lock);
    if (m_db && compact) {
        try {
            m_db->ExecScript(QStringLiteral("vacuum"));
        } catch (const ESQLite&) {
            // Compacting is a courtesy; the versions are already safe.
        }
    }
    m_db.reset();
    m_host.SetFlag(kFlagBackupsDatabase, false);
}

bool TBackupStore::IsOpen() const {
    QMutexLocker locker(&m_lock);
    return m_db != nullptr;
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
    if (!m_db) {
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
                          qint64(static_cast<quint32>(size)),
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
    } catch (const EQuiva&) {
        return false;
    }
    return true;
}

bool TBackupStore::SearchVersions(int profileNumber, int firstDay, const QString& mask,
                                  int dayAfterLast, QList<TVersionRow>& rows) {
    rows.clear();
    QMutexLocker locker(&m_lock);
    RequireOpenLocked();
    struct TName {
        int pathId;
        QString file;
        QString folder;
    };
    QList<TName> names;
    try {
        // A name kept as a blob is compared as the text of its bytes (SQLite's LIKE may be
        // built to refuse blobs); the mask's bytes go as text too.
        const auto found = m_db->Query(
            QStringLiteral("SELECT pID,pFile,pPath FROM Paths WHERE CAST(pFile AS TEXT) LIKE ?"),
            kNamesBudgetKb, kNamesRows, {EncodeNativeName(mask)});
        for (; !found->AtEnd(); found->Next()) {
            names.append({found->GetInt(0), ReadName(*found, 1), ReadName(*found, 2)});
        }
        if (names.isEmpty()) {
            return false;
        }
        QString marks;
        TSQLParams params{qint64(profileNumber)};
        for (const TName& name : names) {
            marks += marks.isEmpty() ? QStringLiteral("?") : QStringLiteral(",?");
            params.push_back(qint64(name.pathId));
        }
        params.push_back(qint64(firstDay));
        params.push_back(qint64(dayAfterLast));
        const bool withModes = HasModeColumnLocked();
        const auto versions = m_db->Query(
            QStringLiteral("SELECT bPath,bID,bSize,bDate%1 FROM Data WHERE (bPro = ?) AND "
                           "(bPath IN (%2)) AND (bDate >= ?) AND (bDate <= ?) ORDER BY bID")
                .arg(withModes ? QStringLiteral(",bMode") : QString(), marks),
            kVersionsBudgetKb, kVersionsRows, params);
        for (; !versions->AtEnd(); versions->Next()) {
            const int pathId = versions->GetInt(0);
            const auto name = std::find_if(names.cbegin(), names.cend(),
                                           [&](const TName& n) { return n.pathId == pathId; });
            if (name == names.cend()) {
                continue;
            }
            TVersionRow row;
            row.pathId = pathId;
            row.versionId = versions->GetInt(1);
            row.profileNumber = profileNumber;
            row.size = versions->GetInt64(2);
            row.date = versions->GetReal(3);
            row.mode = withModes ? ReadMode(*versions, 4) : -1;
            row.file = name->file;
            row.folder = name->folder;
            rows.append(row);
        }
    } catch (const ESQLite& error) {
        rows.clear();
        RaiseStoreError(error.Code());
    }
    return true;
}

void TBackupStore::DeleteVersion(int versionId) {
    QMutexLocker locker(&m_lock);
    RequireOpenLocked();
    try {
        m_db->Exec(QStringLiteral("DELETE FROM Data WHERE bID = ?"), {qint64(versionId)});
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
    RequireOpenLocked();
    int deleted = 0;
    try {
        TSQLTransaction transaction(*m_db);
        for (const int pathId : pathIds) {
            m_db->Exec(QStringLiteral("DELETE FROM Data WHERE bPro = ? AND bPath = ? AND "
                                      "bDate <= ?"),
                       {qint64(profileNumber), qint64(pathId), cutoff});
            deleted += static_cast<int>(m_db->Changes());
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
        RequireOpenLocked();
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
            for (int i = versions->RowCount() - count; i > 0; --i, versions->Prev()) {
                m_db->Exec(QStringLiteral("DELETE FROM Data WHERE bID = ?"),
                           {qint64(versions->GetInt(0))});
                deleted += static_cast<int>(m_db->Changes());
            }
            transaction.Commit();
        } catch (const ESQLite& error) {
            RaiseStoreError(error.Code());
        }
    }
    return deleted;
}

void TBackupStore::DeleteAllVersions(int profileNumber) {
    QMutexLocker locker(&m_lock);
    RequireOpenLocked();
    try {
        m_db->Exec(QStringLiteral("DELETE FROM Data WHERE bPro = ?"), {qint64(profileNumber)});
    } catch (const ESQLite& error) {
        RaiseStoreError(error.Code());
    }
}

void TBackupStore::DeleteProfileVersions(int profileNumber) {
    QMutexLocker locker(&m_lock);
    if (!m_db) {
        return;
    }
    try {
        m_db->Exec(QStringLiteral("DELETE FROM Data WHERE bPro = ?"), {qint64(profileNumber)});
    } catch (const ESQLite&) {
        // The profile's row is gone already; its versions are found by nobody.
    }
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
