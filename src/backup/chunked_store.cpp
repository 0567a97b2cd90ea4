// The chunked versions of the backup store: the salt and the derived keys, chunks shared
// by every version that holds them, chunks written ahead of a large file's version, and
// the deletion of versions with the chunks that no version needs any more.
#include "backup/backup_store.h"

#include "backup/store_internal.h"
#include "base/day_number.h"
#include "base/errors.h"

#include <QHash>
#include <QMutexLocker>
#include <QSet>

#include <sqlite3.h>

using namespace backup_store;

namespace {

constexpr int kChunkedPathBudgetKb = 10;
// A reference list holds 48 bytes a chunk: 64 MiB covers files of more than a TiB.
constexpr int kListBudgetKb = 64 * 1024;
// A sealed chunk: at most the largest chunk, its method byte, nonce and tag.
constexpr int kChunkBudgetKb = static_cast<int>(kChunkMax / 1024) + 1;
constexpr int kVersionIdsBudgetKb = 64 * 1024;
constexpr int kMostVersionIds = 1 << 24;

[[noreturn]] void ChunkedDataInvalid() {
    RaiseError(QStringLiteral("Invalid backup data"));
}

qint64 LastRowId(TSQLTables& db) {
    return sqlite3_last_insert_rowid(db.Handle());
}

}  // namespace

// ---- schema --------------------------------------------------------------------------

void TBackupStore::PrepareChunksLocked() {
    for (const char* statement : kChunkSchema) {
        m_db->ExecScript(QString::fromLatin1(statement));
    }
    for (const char* column : kFactColumns) {
        if (!m_db->HasColumn(QStringLiteral("Data"), QString::fromLatin1(column))) {
            m_db->ExecScript(QStringLiteral("ALTER TABLE Data ADD COLUMN %1 INTEGER NULL")
                                 .arg(QLatin1String(column)));
        }
    }
    m_chunkTablesAsked = nullptr;
    // A run cut off (a crash, kill -9) may have left chunks written ahead of a version
    // that never came; no worker runs while the store opens.
    const auto owners =
        m_db->Query(QStringLiteral("SELECT DISTINCT nOwner FROM Pending"), 64, 1 << 20);
    QList<qint64> dropped;
    for (; !owners->AtEnd(); owners->Next()) {
        dropped.append(owners->GetInt64(0));
    }
    for (const qint64 owner : std::as_const(dropped)) {
        TSQLTransaction transaction(*m_db);
        const auto chunks =
            m_db->Query(QStringLiteral("SELECT nChunk FROM Pending WHERE nOwner = ?"), 64 * 1024,
                        1 << 24, {owner});
        m_db->Exec(QStringLiteral("DELETE FROM Pending WHERE nOwner = ?"), {owner});
        for (; !chunks->AtEnd(); chunks->Next()) {
            const qint64 chunk = chunks->GetInt64(0);
            m_db->Exec(QStringLiteral("DELETE FROM Chunks WHERE cID = ? AND NOT EXISTS (SELECT 1 "
                                      "FROM Refs WHERE rChunk = ?) AND NOT EXISTS (SELECT 1 FROM "
                                      "Pending WHERE nChunk = ?)"),
                       {chunk, chunk, chunk});
        }
        transaction.Commit();
    }
}

bool TBackupStore::HasChunkTablesLocked() {
    if (m_chunkTablesAsked != m_db.get()) {
        m_chunkTablesAsked = m_db.get();
        m_hasChunkTables = false;
        if (m_db) {
            try {
                const auto found = m_db->Query(
                    QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'table' AND "
                                   "name IN ('Chunks','Refs','Pending','Keys')"),
                    1, 8);
                m_hasChunkTables = found->RowCount() == 4;
            } catch (const ESQLite&) {
                m_chunkTablesAsked = nullptr;
            }
        }
    }
    return m_hasChunkTables;
}

// ---- deleting ------------------------------------------------------------------------

QList<qint64> TBackupStore::VersionIdsLocked(const QString& statement, const TSQLParams& params) {
    QList<qint64> ids;
    const auto found = m_db->Query(statement, kVersionIdsBudgetKb, kMostVersionIds, params);
    ids.reserve(found->RowCount());
    for (; !found->AtEnd(); found->Next()) {
        ids.append(found->GetInt64(0));
    }
    return ids;
}

int TBackupStore::DeleteVersionsLocked(const QList<qint64>& versionIds) {
    const bool chunks = HasChunkTablesLocked();
    QSet<qint64> freed;
    int deleted = 0;
    for (const qint64 versionId : versionIds) {
        if (chunks) {
            const auto refs =
                m_db->Query(QStringLiteral("SELECT rChunk FROM Refs WHERE rVersion = ?"),
                            kVersionIdsBudgetKb, kMostVersionIds, {versionId});
            for (; !refs->AtEnd(); refs->Next()) {
                freed.insert(refs->GetInt64(0));
            }
            m_db->Exec(QStringLiteral("DELETE FROM Refs WHERE rVersion = ?"), {versionId});
        }
        m_db->Exec(QStringLiteral("DELETE FROM Data WHERE bID = ?"), {versionId});
        deleted += static_cast<int>(m_db->Changes());
    }
    for (const qint64 chunk : std::as_const(freed)) {
        m_db->Exec(QStringLiteral("DELETE FROM Chunks WHERE cID = ? AND NOT EXISTS (SELECT 1 FROM "
                                  "Refs WHERE rChunk = ?) AND NOT EXISTS (SELECT 1 FROM Pending "
                                  "WHERE nChunk = ?)"),
                   {chunk, chunk, chunk});
    }
    return deleted;
}

// ---- keys ----------------------------------------------------------------------------

void TBackupStore::SetKeyCosts(qint64 opsLimit, qint64 memoryBytes) {
    QMutexLocker keys(&m_keysLock);
    m_keyOps = opsLimit;
    m_keyMemory = memoryBytes;
}

std::optional<TKeySalt> TBackupStore::ReadSaltLocked() {
    if (!m_db || !HasChunkTablesLocked()) {
        return std::nullopt;
    }
    const auto found = m_db->Query(
        QStringLiteral("SELECT kSalt,kOps,kMem,kSum FROM Keys ORDER BY kID LIMIT 1"), 4, 1);
    if (found->RowCount() != 1) {
        return std::nullopt;
    }
    TKeySalt salt;
    salt.salt = found->GetBlobValue(0).value_or(QByteArray());
    salt.opsLimit = found->StoredType(1) == kStoredInteger ? found->GetInt64(1) : -1;
    salt.memoryBytes = found->StoredType(2) == kStoredInteger ? found->GetInt64(2) : -1;
    salt.checksum = found->GetBlobValue(3).value_or(QByteArray());
    return salt;
}

bool TBackupStore::SaltDamaged() {
    QMutexLocker locker(&m_lock);
    try {
        const std::optional<TKeySalt> salt = ReadSaltLocked();
        return salt && !salt->IsIntact();
    } catch (const ESQLite&) {
        return false;
    }
}

std::optional<TStoreKeys> TBackupStore::KeysFor(const QByteArray& password) {
    QMutexLocker keys(&m_keysLock);
    std::optional<TKeySalt> salt;
    {
        QMutexLocker locker(&m_lock);
        try {
            salt = ReadSaltLocked();
            if (!salt && m_db && !m_readOnly && HasChunkTablesLocked()) {
                const TKeySalt fresh = TKeySalt::Fresh(m_keyOps, m_keyMemory);
                m_db->Exec(QStringLiteral("INSERT INTO Keys (kID,kSalt,kOps,kMem,kSum) VALUES "
                                          "(1,?,?,?,?)"),
                           {TSQLBlob{fresh.salt}, fresh.opsLimit, fresh.memoryBytes,
                            TSQLBlob{fresh.checksum}});
                salt = fresh;
            }
        } catch (const ESQLite&) {
            return std::nullopt;
        }
    }
    if (!salt) {
        return std::nullopt;
    }
    if (!salt->IsIntact()) {
        ChunkedDataInvalid();
    }
    if (m_keys && m_keysPassword == password && m_keysSalt == salt->salt) {
        return m_keys;
    }
    std::optional<TStoreKeys> derived = TStoreKeys::Derive(password, *salt);
    if (!derived) {
        ChunkedDataInvalid();
    }
    m_keys = derived;
    m_keysPassword = password;
    m_keysSalt = salt->salt;
    return derived;
}

// ---- writing -------------------------------------------------------------------------

int TBackupStore::UnchangedVersion(int profileNumber, const QString& fullName,
                                   const TSourceFacts& facts) {
    QMutexLocker locker(&m_lock);
    if (!m_db || !HasChunkTablesLocked()) {
        return 0;
    }
    const qsizetype slash = fullName.lastIndexOf('/');
    try {
        const auto found = m_db->Query(
            QStringLiteral("SELECT bID,bSize,bMtime,bCtime,bInode FROM Data WHERE bPro = ? AND "
                           "bPath = (SELECT pID FROM Paths WHERE pPath = ? AND pFile = ?) ORDER BY "
                           "bID DESC LIMIT 1"),
            kChunkedPathBudgetKb, 1,
            {qint64(profileNumber), NameValue(fullName.left(slash + 1)),
             NameValue(fullName.mid(slash + 1))});
        if (found->RowCount() != 1 || found->StoredType(4) != kStoredInteger) {
            return 0;
        }
        TSourceFacts stored;
        stored.size = found->GetInt64(1);
        stored.mtimeNs = found->GetInt64(2);
        stored.ctimeNs = found->GetInt64(3);
        stored.inode = found->GetInt64(4);
        return stored.SameFile(facts) ? found->GetInt(0) : 0;
    } catch (const ESQLite&) {
        return 0;
    }
}

qint64 TBackupStore::FindChunk(const QByteArray& identity) {
    QMutexLocker locker(&m_lock);
    if (!m_db || !HasChunkTablesLocked()) {
        return 0;
    }
    try {
        const auto found = m_db->Query(QStringLiteral("SELECT cID FROM Chunks WHERE cHash = ?"), 1,
                                       1, {TSQLBlob{identity}});
        return found->RowCount() == 1 ? found->GetInt64(0) : 0;
    } catch (const ESQLite&) {
        return 0;
    }
}

bool TBackupStore::WriteChunksAhead(qint64 owner, QList<TChunkPiece>& pieces) {
    QMutexLocker locker(&m_lock);
    if (!m_db || m_readOnly || !HasChunkTablesLocked()) {
        return false;
    }
    try {
        TSQLTransaction transaction(*m_db);
        for (TChunkPiece& piece : pieces) {
            if (piece.sealed.isEmpty()) {
                continue;
            }
            m_db->Exec(QStringLiteral("INSERT INTO Chunks (cHash,cData) VALUES (?,?) ON "
                                      "CONFLICT (cHash) DO NOTHING"),
                       {TSQLBlob{piece.identity}, TSQLBlob{piece.sealed}});
            const auto found = m_db->Query(QStringLiteral("SELECT cID FROM Chunks WHERE cHash = ?"),
                                           1, 1, {TSQLBlob{piece.identity}});
            if (found->RowCount() != 1) {
                return false;
            }
            m_db->Exec(QStringLiteral("INSERT OR IGNORE INTO Pending (nOwner,nChunk) VALUES (?,?)"),
                       {owner, found->GetInt64(0)});
        }
        transaction.Commit();
    } catch (const EQuiva&) {
        return false;
    }
    for (TChunkPiece& piece : pieces) {
        piece.sealed = QByteArray();
    }
    return true;
}

void TBackupStore::DropPending(qint64 owner) {
    QMutexLocker locker(&m_lock);
    if (!m_db || m_readOnly || !HasChunkTablesLocked() || owner == 0) {
        return;
    }
    try {
        TSQLTransaction transaction(*m_db);
        const auto chunks =
            m_db->Query(QStringLiteral("SELECT nChunk FROM Pending WHERE nOwner = ?"),
                        kVersionIdsBudgetKb, kMostVersionIds, {owner});
        m_db->Exec(QStringLiteral("DELETE FROM Pending WHERE nOwner = ?"), {owner});
        for (; !chunks->AtEnd(); chunks->Next()) {
            const qint64 chunk = chunks->GetInt64(0);
            m_db->Exec(QStringLiteral("DELETE FROM Chunks WHERE cID = ? AND NOT EXISTS (SELECT 1 "
                                      "FROM Refs WHERE rChunk = ?) AND NOT EXISTS (SELECT 1 FROM "
                                      "Pending WHERE nChunk = ?)"),
                       {chunk, chunk, chunk});
        }
        transaction.Commit();
    } catch (const EQuiva&) {
        // Left for the next open, which drops every pending row.
    }
}

bool TBackupStore::StoreChunkedVersion(TBackupIdSource& ids, const TStoreKeys& keys,
                                       int profileNumber, const QString& fullName,
                                       const TChunkedFile& file, int& pathId) {
    QMutexLocker locker(&m_lock);
    if (!m_db || m_readOnly || !HasChunkTablesLocked()) {
        return false;
    }
    if (!IsStorableName(fullName)) {
        AppendLog(fullName, QStringLiteral("Name"));
        return false;
    }
    try {
        TSQLTransaction transaction(*m_db);
        TReferenceList list;
        list.size = file.facts.size;
        if (file.baseVersion != 0) {
            const auto base =
                m_db->Query(QStringLiteral("SELECT bData,bSize FROM Data WHERE bID = ?"),
                            kListBudgetKb, 1, {qint64(file.baseVersion)});
            if (base->RowCount() != 1) {
                return false;
            }
            list = OpenReferenceList(keys, file.baseVersion,
                                     base->GetBlob(0).value_or(QByteArray()), base->GetInt64(1));
        } else {
            // Each distinct chunk is found or inserted once.
            QHash<QByteArray, qint64> rows;
            list.chunks.reserve(file.pieces.size());
            for (const TChunkPiece& piece : file.pieces) {
                auto row = rows.constFind(piece.identity);
                if (row == rows.constEnd()) {
                    const auto found =
                        m_db->Query(QStringLiteral("SELECT cID FROM Chunks WHERE cHash = ?"), 1, 1,
                                    {TSQLBlob{piece.identity}});
                    qint64 chunkId = found->RowCount() == 1 ? found->GetInt64(0) : 0;
                    if (chunkId == 0) {
                        if (piece.sealed.isEmpty()) {
                            return false;  // found before, and discarded since
                        }
                        m_db->Exec(QStringLiteral("INSERT INTO Chunks (cHash,cData) VALUES (?,?)"),
                                   {TSQLBlob{piece.identity}, TSQLBlob{piece.sealed}});
                        chunkId = LastRowId(*m_db);
                    }
                    row = rows.insert(piece.identity, chunkId);
                }
                list.chunks.append({*row, piece.length, piece.identity});
            }
        }
        int versionId = 0;
        pathId = GetPathIdLocked(ids, fullName, versionId);
        const QByteArray blob = SealReferenceList(keys, versionId, list);
        TSQLParams values{qint64(versionId),
                          qint64(pathId),
                          qint64(profileNumber),
                          list.size,
                          DayNumberFromDateTime(m_clock()),
                          TSQLBlob{blob},
                          file.facts.mode >= 0
                              ? TSQLValue(qint64(file.facts.mode & kPermissionBits))
                              : TSQLValue(std::monostate()),
                          file.facts.mtimeNs,
                          file.facts.ctimeNs,
                          file.facts.inode};
        m_db->Exec(QStringLiteral("INSERT INTO Data (bID,bPath,bPro,bSize,bDate,bData,bMode,"
                                  "bMtime,bCtime,bInode) VALUES (?,?,?,?,?,?,?,?,?,?)"),
                   values);
        if (m_db->LastCode() != kSQLDone) {
            return false;
        }
        QSet<qint64> referenced;
        for (const TChunkRef& chunk : std::as_const(list.chunks)) {
            if (!referenced.contains(chunk.chunkId)) {
                referenced.insert(chunk.chunkId);
                m_db->Exec(QStringLiteral("INSERT INTO Refs (rVersion,rChunk) VALUES (?,?)"),
                           {qint64(versionId), chunk.chunkId});
            }
        }
        if (file.pendingOwner != 0) {
            m_db->Exec(QStringLiteral("DELETE FROM Pending WHERE nOwner = ?"), {file.pendingOwner});
        }
        transaction.Commit();
    } catch (const EQuiva&) {
        return false;
    }
    return true;
}

// ---- reading -------------------------------------------------------------------------

bool TBackupStore::IsChunkedVersion(int versionId) {
    QMutexLocker locker(&m_lock);
    RequireOpenLocked();
    try {
        // Expressions have no declared type to read them by: the row's presence answers.
        const auto found = m_db->Query(
            QStringLiteral("SELECT bID FROM Data WHERE bID = ? AND substr(bData,1,1) = x'02'"), 1,
            1, {qint64(versionId)});
        return found->RowCount() == 1;
    } catch (const ESQLite& error) {
        RaiseStoreError(error.Code());
    }
    return false;
}

TReferenceList TBackupStore::LoadReferenceList(const TStoreKeys& keys, const TVersionRow& version) {
    QByteArray blob;
    qint64 size = 0;
    {
        QMutexLocker locker(&m_lock);
        RequireOpenLocked();
        try {
            const auto found =
                m_db->Query(QStringLiteral("SELECT bData,bSize FROM Data WHERE bID = ?"),
                            kListBudgetKb, 1, {qint64(version.versionId)});
            if (found->RowCount() != 1) {
                RaiseError(QStringLiteral("No valid backup data available!"));
            }
            blob = found->GetBlob(0).value_or(QByteArray());
            size = found->GetInt64(1);
        } catch (const ESQLite& error) {
            RaiseStoreError(error.Code());
        }
    }
    return OpenReferenceList(keys, version.versionId, blob, size);
}

QByteArray TBackupStore::LoadChunk(const TStoreKeys& keys, const TChunkRef& chunk) {
    QByteArray record;
    {
        QMutexLocker locker(&m_lock);
        RequireOpenLocked();
        try {
            const auto found =
                m_db->Query(QStringLiteral("SELECT cHash,cData FROM Chunks WHERE cID = ?"),
                            kChunkBudgetKb, 1, {chunk.chunkId});
            if (found->RowCount() != 1 || found->GetBlobValue(0) != chunk.identity) {
                ChunkedDataInvalid();
            }
            record = found->GetBlobValue(1).value_or(QByteArray());
        } catch (const ESQLite& error) {
            if (error.Code() == kSQLOverBudget) {
                ChunkedDataInvalid();
            }
            RaiseStoreError(error.Code());
        }
    }
    return OpenChunk(keys, chunk.identity, record, chunk.length);
}

qint64 TBackupStore::OrphanChunkCount() {
    QMutexLocker locker(&m_lock);
    RequireOpenLocked();
    if (!HasChunkTablesLocked()) {
        return 0;
    }
    try {
        const auto found = m_db->Query(
            QStringLiteral(
                "SELECT cID FROM Chunks WHERE NOT EXISTS (SELECT 1 FROM Refs WHERE "
                "rChunk = cID) AND NOT EXISTS (SELECT 1 FROM Pending WHERE nChunk = cID)"),
            kVersionIdsBudgetKb, kMostVersionIds);
        return found->RowCount();
    } catch (const ESQLite& error) {
        RaiseStoreError(error.Code());
    }
    return 0;
}

// ---- the store check -----------------------------------------------------------------

QSet<qint64> TBackupStore::ReferencedChunks(int versionId) {
    QSet<qint64> chunks;
    QMutexLocker locker(&m_lock);
    RequireOpenLocked();
    if (!HasChunkTablesLocked()) {
        return chunks;
    }
    try {
        const auto found = m_db->Query(QStringLiteral("SELECT rChunk FROM Refs WHERE rVersion = ?"),
                                       kVersionIdsBudgetKb, kMostVersionIds, {qint64(versionId)});
        for (; !found->AtEnd(); found->Next()) {
            chunks.insert(found->GetInt64(0));
        }
    } catch (const ESQLite& error) {
        RaiseStoreError(error.Code());
    }
    return chunks;
}

void TBackupStore::CheckChunkedVersion(int versionId, qint64 size, const QByteArray& blob,
                                       const std::optional<TStoreKeys>& keys,
                                       QHash<qint64, QString>& verdicts, TVersionCheck& check) {
    if (!keys) {
        // No salt, or a damaged one: nothing chunked can be opened.
        check.reason = QStringLiteral(
            "Invalid backup data: the store's key salt is missing or "
            "damaged");
        return;
    }
    TReferenceList list;
    try {
        list = OpenReferenceList(*keys, versionId, blob, size);
    } catch (const EQuiva& error) {
        if (error.Message() == QLatin1String("Invalid encryption password")) {
            check.otherPassword = true;
        } else {
            check.reason = QStringLiteral("Invalid backup data: its reference list is damaged");
        }
        return;
    }
    QSet<qint64> listed;
    for (const TChunkRef& chunk : std::as_const(list.chunks)) {
        listed.insert(chunk.chunkId);
        auto verdict = verdicts.constFind(chunk.chunkId);
        if (verdict == verdicts.constEnd()) {
            QString reason;
            try {
                (void)LoadChunk(*keys, chunk);
            } catch (const EQuiva&) {
                reason = QStringLiteral("Invalid backup data: chunk %1 is damaged or missing")
                             .arg(chunk.chunkId);
            }
            verdict = verdicts.insert(chunk.chunkId, reason);
        }
        if (!verdict->isEmpty() && check.reason.isEmpty()) {
            check.reason = *verdict;
        }
    }
    if (check.reason.isEmpty() && ReferencedChunks(versionId) != listed) {
        check.reason = QStringLiteral("its references do not match its reference list");
    }
}
