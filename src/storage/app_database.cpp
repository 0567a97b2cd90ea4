#include "storage/app_database.h"

#include "base/host.h"
#include "base/settings_codec.h"
#include "platform/file_access.h"
#include "platform/folders.h"
#include "script/stored_scripts.h"
#include "storage/sqlite_file.h"
#include "storage/sqlite_layer.h"

#include <QMutexLocker>
#include <QRegularExpression>

#include <random>

namespace {

constexpr int kBusyTimeoutMs = 100;
constexpr int kSynchronousNormal = 1;
constexpr int kStateBudgetKb = 10;
constexpr int kExistenceBudgetKb = 1;
constexpr int kScriptBudgetKb = 128;
constexpr const char* kInstallIdColumn = "uhid";
constexpr const char* kInstallIdOwner = "quiva";

const char* const kSchema[] = {
    "CREATE TABLE seridata (appname TEXT UNIQUE NOT NULL, appdata BLOB NULL)",
    "CREATE TABLE profs (proId TEXT UNIQUE NULL PRIMARY KEY, proData BLOB NULL)",
    "CREATE TABLE uInf (ukey INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL, uhid TEXT NULL, "
    "uconf TEXT NULL)",
    "CREATE TABLE pScr (scrN TEXT UNIQUE NULL, scrD TEXT NULL)",
};

// Column names cannot be bound; only plain identifiers are put into statements.
bool IsPlainIdentifier(const QByteArray& name) {
    static const QRegularExpression pattern(QStringLiteral("^[A-Za-z_][A-Za-z0-9_]*$"));
    return pattern.match(QString::fromLatin1(name)).hasMatch();
}

}  // namespace

QByteArray MakeInstallationId() {
    std::random_device device;
    std::uniform_int_distribution<quint32> draw(0, 2147483646);
    QByteArray id;
    for (int i = 0; i < 4; ++i) {
        id += QByteArray::number(draw(device), 16).toUpper().rightJustified(8, '0');
    }
    return id;
}

namespace {

// The tables of a new database, UTF-8 with pages of 1 KiB, and the shipped scripts.
void BuildAppSchema(TSQLTables& db) {
    db.ExecScript(QStringLiteral("PRAGMA page_size=%1; PRAGMA encoding='UTF-8'")
                      .arg(TAppDatabase::kPageSize));
    TSQLTransaction transaction(db);
    for (const char* statement : kSchema) {
        db.Exec(QString::fromLatin1(statement));
    }
    for (const auto& [name, text] : ShippedScripts()) {
        db.Exec(QStringLiteral("INSERT INTO pScr (scrN, scrD) VALUES (?, ?)"),
                {name, EncodeSettings(text)});
    }
    transaction.Commit();
}

}  // namespace

bool CreateAppDatabaseFile(const QString& path) {
    return CreateDatabaseFile(path, BuildAppSchema);
}

TAppDatabase::TAppDatabase(THost& host) : m_host(host) {}

TAppDatabase::~TAppDatabase() = default;

bool TAppDatabase::Open(const QString& path, bool writable) {
    QMutexLocker locker(&m_lock);
    m_db.reset();
    m_writable = false;
    if (writable && EntryKind(path) == kEntryMissing) {
        // Built under another name and moved into place only when complete, so that an
        // interrupted first run never leaves a half-made database behind.
        (void)CreateDatabaseInPlace(path, BuildAppSchema);
    }
    m_host.SetFlag(kFlagUiDatabase, EntryKind(path) == kEntryFile);
    if (!m_host.IsFlagSet(kFlagUiDatabase)) {
        return false;
    }
    if (writable) {
        // Earlier versions made the file with the umask's rights.
        TightenPrivateFile(path);
        TightenPrivateFile(path + QStringLiteral("-journal"));
    }
    try {
        m_db = std::make_unique<TSQLTables>(
            path, kBusyTimeoutMs, kSynchronousNormal,
            writable ? TSQLOpenMode::kReadWrite : TSQLOpenMode::kReadOnly);
        m_writable = writable && !m_db->IsReadOnly();
        PrepareInstallationRow();
    } catch (const EQuiva&) {
        m_db.reset();
        m_writable = false;
        m_installationId.clear();
        m_host.SetFlag(kFlagUiDatabase, false);
        return false;
    }
    return true;
}

void TAppDatabase::PrepareInstallationRow() {
    const auto existing =
        m_db->Query(QStringLiteral("SELECT uhid FROM uInf WHERE ukey = 1"), kStateBudgetKb, 1);
    if (existing->RowCount() == 1) {
        m_installationId = ReadUserInfo(kInstallIdColumn, kInstallIdOwner);
        return;
    }
    if (!m_writable) {
        return;  // no installation row yet, and none may be made now
    }
    m_db->Exec(QStringLiteral("DELETE FROM uInf"));
    m_db->Exec(QStringLiteral("INSERT INTO uInf (ukey) VALUES ('1')"));
    m_installationId = MakeInstallationId();
    WriteUserInfo(kInstallIdColumn, m_installationId, kInstallIdOwner);
}

void TAppDatabase::Close(bool compact) {
    QMutexLocker locker(&m_lock);
    if (m_db && compact && m_writable) {
        CompactDatabase(*m_db);
    }
    m_db.reset();
    m_writable = false;
    m_host.SetFlag(kFlagUiDatabase, false);
}

bool TAppDatabase::IsOpen() const {
    QMutexLocker locker(&m_lock);
    return m_db != nullptr;
}

bool TAppDatabase::IsWritable() const {
    QMutexLocker locker(&m_lock);
    return m_db != nullptr && m_writable;
}

QByteArray TAppDatabase::InstallationId() const {
    QMutexLocker locker(&m_lock);
    return m_installationId;
}

bool TAppDatabase::Usable() const {
    return m_db && m_host.IsFlagSet(kFlagUiDatabase);
}

std::optional<QByteArray> TAppDatabase::LoadBlob(const char* table, const char* keyColumn,
                                                 const char* dataColumn, const QByteArray& key) {
    QMutexLocker locker(&m_lock);
    if (!Usable()) {
        return std::nullopt;
    }
    try {
        const auto result = m_db->Query(
            QStringLiteral("SELECT %1 FROM %2 WHERE %3 = ?")
                .arg(QLatin1String(dataColumn), QLatin1String(table), QLatin1String(keyColumn)),
            kStateBudgetKb, 1, {key});
        if (result->RowCount() != 1) {
            return std::nullopt;
        }
        return result->GetBlob(0).value_or(QByteArray(""));
    } catch (const EQuiva&) {
        return std::nullopt;
    }
}

void TAppDatabase::SaveBlob(const char* table, const char* keyColumn, const char* dataColumn,
                            const QByteArray& key, const QByteArray& data,
                            const QString& unableFormat, const QString& errorFormat) {
    QMutexLocker locker(&m_lock);
    if (!Usable() || !m_writable) {
        return;
    }
    const QString keyText = QString::fromUtf8(key);
    try {
        // The row and its data are written together or not at all.
        TSQLTransaction transaction(*m_db);
        const auto found = m_db->Query(QStringLiteral("SELECT %1 FROM %2 WHERE %1 = ?")
                                           .arg(QLatin1String(keyColumn), QLatin1String(table)),
                                       kExistenceBudgetKb, 1, {key});
        if (found->RowCount() == 0) {
            m_db->Exec(QStringLiteral("INSERT INTO %1 (%2) VALUES (?)")
                           .arg(QLatin1String(table), QLatin1String(keyColumn)),
                       {key});
            if (m_db->LastCode() != kSQLDone) {
                RaiseError(unableFormat.arg(keyText));
            }
        }
        m_db->Exec(
            QStringLiteral("UPDATE %1 SET %2 = ? WHERE %3 = ?")
                .arg(QLatin1String(table), QLatin1String(dataColumn), QLatin1String(keyColumn)),
            {TSQLBlob{data}, key});
        transaction.Commit();
    } catch (const EQuiva& error) {
        locker.unlock();
        m_host.ShowStatus(errorFormat.arg(error.Message(), keyText), false, kStatusError);
    }
}

std::optional<QByteArray> TAppDatabase::LoadToolState(const QByteArray& key) {
    return LoadBlob("seridata", "appname", "appdata", key);
}

void TAppDatabase::SaveToolState(const QByteArray& key, const QByteArray& state) {
    SaveBlob("seridata", "appname", "appdata", key, state, QStringLiteral("Unable to serialize %1"),
             QStringLiteral("Error \"%1\" while serializing \"%2\""));
}

bool TAppDatabase::HasToolState(const QByteArray& key) {
    QMutexLocker locker(&m_lock);
    if (!Usable()) {
        return false;
    }
    try {
        return m_db->Query(QStringLiteral("SELECT appname FROM seridata WHERE appname = ?"),
                           kExistenceBudgetKb, 1, {key})
                   ->RowCount() == 1;
    } catch (const EQuiva&) {
        return false;
    }
}

std::optional<QByteArray> TAppDatabase::LoadProfileBlob(const QByteArray& profileId) {
    return LoadBlob("profs", "proId", "proData", profileId);
}

void TAppDatabase::SaveProfileBlob(const QByteArray& profileId, const QByteArray& blob) {
    SaveBlob("profs", "proId", "proData", profileId, blob,
             QStringLiteral("Unable to serialize profile %1"),
             QStringLiteral("Error \"%1\" while storing profile \"%2\""));
}

bool TAppDatabase::DeleteProfileRow(const QByteArray& profileId) {
    QMutexLocker locker(&m_lock);
    if (!Usable() || !m_writable) {
        return false;
    }
    try {
        m_db->Exec(QStringLiteral("DELETE FROM profs WHERE proId = ?"), {profileId});
    } catch (const EQuiva&) {
        return false;
    }
    return m_db->LastCode() == kSQLDone;
}

QByteArray TAppDatabase::ReadUserInfo(const QByteArray& column, const QByteArray& owner) {
    QMutexLocker locker(&m_lock);
    if (!Usable() || !IsPlainIdentifier(column)) {
        return {};
    }
    try {
        const auto result = m_db->Query(
            QStringLiteral("SELECT %1 FROM uInf WHERE ukey = 1").arg(QString::fromLatin1(column)),
            kStateBudgetKb, 1);
        if (result->RowCount() != 1) {
            return {};
        }
        const QByteArray decoded = DecodeSettings(result->GetText(0).toUtf8());
        const qsizetype bar = decoded.indexOf('|');
        if (bar < 0 || decoded.mid(bar + 1) != owner) {
            return {};
        }
        return decoded.left(bar);
    } catch (const EQuiva&) {
        return {};
    }
}

void TAppDatabase::WriteUserInfo(const QByteArray& column, const QByteArray& value,
                                 const QByteArray& owner) {
    QMutexLocker locker(&m_lock);
    if (!Usable() || !m_writable) {
        return;
    }
    try {
        if (!IsPlainIdentifier(column)) {
            throw ESQLite(1);
        }
        m_db->Exec(QStringLiteral("UPDATE uInf SET %1 = ? WHERE ukey = 1")
                       .arg(QString::fromLatin1(column)),
                   {EncodeSettings(value + '|' + owner)});
    } catch (const EQuiva& error) {
        locker.unlock();
        m_host.ShowStatus(QStringLiteral("Error %1 while writing user info").arg(error.Message()),
                          false, kStatusError);
    }
}

QByteArray TAppDatabase::FetchScript(const QByteArray& name) {
    QMutexLocker locker(&m_lock);
    if (!Usable()) {
        return {};
    }
    try {
        const auto result = m_db->Query(QStringLiteral("SELECT scrD FROM pScr WHERE scrN = ?"),
                                        kScriptBudgetKb, 1, {name});
        if (result->RowCount() != 1) {
            return {};
        }
        return DecodeSettings(result->GetText(0).toUtf8());
    } catch (const EQuiva&) {
        return {};
    }
}
