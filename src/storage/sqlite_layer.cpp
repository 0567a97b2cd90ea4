#include "storage/sqlite_layer.h"

#include "platform/native_name.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstring>

namespace {

// Hands a kept statement back when the scope ends, also when a step raised: reset, so
// that it holds no lock, and with its parameters cleared, so that it keeps no pointer to
// the caller's bytes.
struct TStatementGuard {
    sqlite3_stmt* statement;
    ~TStatementGuard() {
        if (statement != nullptr) {
            sqlite3_reset(statement);
            sqlite3_clear_bindings(statement);
        }
    }
};

// Statements kept prepared per connection. A store commits each version as a transaction
// of a few statements; preparing them anew each time cost as much as running them.
constexpr size_t kKeptStatements = 16;

constexpr int kTextCharge(qsizetype characters) {
    return static_cast<int>(2 * (characters + 1));
}

// A "file:" URI of a path with a query such as "mode=ro": every byte but the unreserved
// ones and "/" is written as %HH, so that "?", "#" and "%" in a name (and bytes that are
// not UTF-8) reach the file system as they are. An absolute path gets an empty authority
// ("file://" + path), so that a path starting with "//" is not taken for a host name.
QByteArray FileUri(const QByteArray& path, const char* query) {
    QByteArray uri =
        path.startsWith('/') ? QByteArrayLiteral("file://") : QByteArrayLiteral("file:");
    uri += path.toPercentEncoding("/");
    uri += '?';
    uri += query;
    return uri;
}

}  // namespace

// ---- ESQLite -----------------------------------------------------------------------

ESQLite::ESQLite(int code) : EQuiva(QStringLiteral("SQLite Error:%1").arg(code)), m_code(code) {}

bool ESQLite::IsBusy() const {
    return m_code == kSQLBusy || m_code == kSQLLocked;
}

// ---- TSQLBase ----------------------------------------------------------------------

void TSQLBase::Check(int code) {
    m_lastCode = code;
    if (code != kSQLOk && code != kSQLRow && code != kSQLDone) {
        throw ESQLite(code);
    }
}

TSQLKind KindOfDeclaredType(const char* declaredType) {
    if (declaredType == nullptr) {
        return kKindOther;
    }
    struct Entry {
        const char* name;
        TSQLKind kind;
    };
    static constexpr Entry kTable[] = {
        {"String", kKindText},  {"TEXT", kKindText},       {"Char", kKindText},
        {"VarChar", kKindText}, {"Integer", kKindInteger}, {"Boolean", kKindBoolean},
        {"Numeric", kKindReal}, {"Float", kKindReal},      {"Double", kKindReal},
        {"Blob", kKindBlob},
    };
    for (const Entry& entry : kTable) {
        if (sqlite3_stricmp(entry.name, declaredType) == 0) {
            return entry.kind;
        }
    }
    return kKindOther;
}

// ---- TSQLTable ---------------------------------------------------------------------

void TSQLTable::Next() {
    if (!AtEnd()) {
        ++m_currentRow;
    }
}

void TSQLTable::Prev() {
    if (!AtFirst()) {
        --m_currentRow;
    }
}

bool TSQLTable::Last() {
    m_currentRow = m_rowCount - 1;
    return m_rowCount > 0;
}

const TSQLTable::Cell* TSQLTable::CellAt(int column) {
    if (AtEnd()) {
        Check(kSQLAtEnd);
    }
    if (m_currentRow < 0 || column < 0 || column >= m_columnCount) {
        Check(kSQLAtEnd);
    }
    const Cell& cell = m_cells[static_cast<size_t>(m_currentRow) * m_columnCount + column];
    return std::holds_alternative<std::monostate>(cell) ? nullptr : &cell;
}

qint64 TSQLTable::GetInt64(int column) {
    const Cell* cell = CellAt(column);
    if (cell == nullptr) {
        return 0;
    }
    if (m_kinds[column] != kKindInteger) {
        Check(kSQLWrongKind);
    }
    Check(kSQLOk);
    return std::get<qint64>(*cell);
}

int TSQLTable::GetInt(int column) {
    return static_cast<int>(GetInt64(column));
}

bool TSQLTable::GetBool(int column) {
    const Cell* cell = CellAt(column);
    if (cell == nullptr) {
        return false;
    }
    if (m_kinds[column] != kKindBoolean) {
        Check(kSQLWrongKind);
    }
    Check(kSQLOk);
    return std::get<bool>(*cell);
}

double TSQLTable::GetReal(int column) {
    const Cell* cell = CellAt(column);
    if (cell == nullptr) {
        return 0.0;
    }
    if (m_kinds[column] != kKindReal) {
        Check(kSQLWrongKind);
    }
    Check(kSQLOk);
    return std::get<double>(*cell);
}

QString TSQLTable::GetText(int column) {
    const Cell* cell = CellAt(column);
    if (cell == nullptr) {
        return {};
    }
    if (m_kinds[column] != kKindText) {
        Check(kSQLWrongKind);
    }
    Check(kSQLOk);
    if (const auto* bytes = std::get_if<QByteArray>(cell)) {
        return QString::fromUtf8(*bytes);  // a BLOB value kept in the text column
    }
    return std::get<QString>(*cell);
}

std::optional<QByteArray> TSQLTable::GetBlob(int column) {
    const Cell* cell = CellAt(column);
    if (cell == nullptr || m_kinds[column] != kKindBlob) {
        return std::nullopt;
    }
    return std::get<QByteArray>(*cell);
}

TSQLStoredType TSQLTable::StoredType(int column) {
    CellAt(column);
    return static_cast<TSQLStoredType>(
        m_storedTypes[static_cast<size_t>(m_currentRow) * m_columnCount + column]);
}

std::optional<QByteArray> TSQLTable::GetBlobValue(int column) {
    const Cell* cell = CellAt(column);
    if (StoredType(column) != kStoredBlob ||
        (m_kinds[column] != kKindBlob && m_kinds[column] != kKindText)) {
        return std::nullopt;
    }
    if (cell == nullptr) {
        return QByteArray();  // an empty blob
    }
    return std::get<QByteArray>(*cell);
}

// ---- TSQLTables --------------------------------------------------------------------

int TSQLTables::ClampBusyTimeout(int ms) {
    return (ms < 5 || ms > 100) ? 10 : ms;
}

TSQLTables::TSQLTables(const QString& path, int busyTimeoutMs, int synchronousLevel, bool create)
    : TSQLTables(path, busyTimeoutMs, synchronousLevel,
                 create ? TSQLOpenMode::kCreate : TSQLOpenMode::kReadWrite) {}

TSQLTables::TSQLTables(const QString& path, int busyTimeoutMs, int synchronousLevel,
                       TSQLOpenMode mode) {
    const QByteArray native = EncodeNativeName(path);
    QByteArray name = native;
    int flags = SQLITE_OPEN_READWRITE;
    switch (mode) {
        case TSQLOpenMode::kCreate:
            flags |= SQLITE_OPEN_CREATE;
            break;
        case TSQLOpenMode::kReadWrite:
            break;
        case TSQLOpenMode::kReadOnly:
            flags = SQLITE_OPEN_READONLY | SQLITE_OPEN_URI;
            name = FileUri(native, "mode=ro&readonly_shm=1");
            break;
        case TSQLOpenMode::kImmutable:
            flags = SQLITE_OPEN_READONLY | SQLITE_OPEN_URI;
            name = FileUri(native, "immutable=1");
            break;
    }
    const int rc = sqlite3_open_v2(name.constData(), &m_db, flags, nullptr);
    try {
        Check(rc);
        sqlite3_busy_timeout(m_db, ClampBusyTimeout(busyTimeoutMs));
        if ((flags & SQLITE_OPEN_READONLY) == 0) {
            static constexpr const char* kLevels[] = {"OFF", "NORMAL", "FULL"};
            const int level = synchronousLevel < 0 || synchronousLevel > 2 ? 1 : synchronousLevel;
            Exec(QStringLiteral("PRAGMA synchronous=%1").arg(QLatin1String(kLevels[level])));
        }
    } catch (...) {
        FinalizeKept();
        sqlite3_close(m_db);
        m_db = nullptr;
        throw;
    }
}

TSQLTables::~TSQLTables() {
    FinalizeKept();
    if (m_db != nullptr) {
        sqlite3_close(m_db);
    }
}

void TSQLTables::FinalizeKept() {
    for (const TKeptStatement& kept : m_kept) {
        sqlite3_finalize(kept.statement);
    }
    m_kept.clear();
}

sqlite3_stmt* TSQLTables::Prepare(const QString& statement) {
    QByteArray utf8 = statement.toUtf8();
    for (auto it = m_kept.begin(); it != m_kept.end(); ++it) {
        if (it->text == utf8) {
            // The most recently used first: the statements of a store stay in front.
            std::rotate(m_kept.begin(), it, it + 1);
            return m_kept.front().statement;
        }
    }
    sqlite3_stmt* prepared = nullptr;
    const int rc = sqlite3_prepare_v3(m_db, utf8.constData(), static_cast<int>(utf8.size()),
                                      SQLITE_PREPARE_PERSISTENT, &prepared, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_finalize(prepared);
        Check(rc);
    }
    if (prepared == nullptr) {
        return nullptr;  // no statement in the text
    }
    // No statement is in use while another is prepared, so the one dropped is idle.
    if (m_kept.size() >= kKeptStatements) {
        sqlite3_finalize(m_kept.back().statement);
        m_kept.pop_back();
    }
    m_kept.insert(m_kept.begin(), {std::move(utf8), prepared});
    return prepared;
}

void TSQLTables::Bind(sqlite3_stmt* statement, const TSQLParams& params) {
    if (static_cast<int>(params.size()) != sqlite3_bind_parameter_count(statement)) {
        Check(kSQLBindFailed);
    }
    static const char kEmpty[] = "";
    for (size_t i = 0; i < params.size(); ++i) {
        const int index = static_cast<int>(i) + 1;
        int rc = SQLITE_OK;
        const TSQLValue& value = params[i];
        if (std::holds_alternative<std::monostate>(value)) {
            rc = sqlite3_bind_null(statement, index);
        } else if (const auto* integer = std::get_if<qint64>(&value)) {
            rc = sqlite3_bind_int64(statement, index, *integer);
        } else if (const auto* real = std::get_if<double>(&value)) {
            rc = sqlite3_bind_double(statement, index, *real);
        } else if (const auto* text = std::get_if<QString>(&value)) {
            const QByteArray utf8 = text->toUtf8();
            rc = sqlite3_bind_text64(statement, index, utf8.constData(),
                                     static_cast<sqlite3_uint64>(utf8.size()), SQLITE_TRANSIENT,
                                     SQLITE_UTF8);
        } else if (const auto* bytes = std::get_if<QByteArray>(&value)) {
            rc = sqlite3_bind_text64(
                statement, index, bytes->isNull() ? kEmpty : bytes->constData(),
                static_cast<sqlite3_uint64>(bytes->size()), SQLITE_STATIC, SQLITE_UTF8);
        } else if (const auto* blob = std::get_if<TSQLBlob>(&value)) {
            // A zero-length blob needs a non-null pointer, or SQLite binds NULL.
            const char* data = blob->bytes.isEmpty() ? kEmpty : blob->bytes.constData();
            rc =
                sqlite3_bind_blob64(statement, index, data,
                                    static_cast<sqlite3_uint64>(blob->bytes.size()), SQLITE_STATIC);
        }
        if (rc != SQLITE_OK) {
            Check(kSQLBindFailed);
        }
    }
}

void TSQLTables::Exec(const QString& statement, const TSQLParams& params) {
    sqlite3_stmt* prepared = Prepare(statement);
    TStatementGuard guard{prepared};
    if (prepared == nullptr) {
        return;
    }
    Bind(prepared, params);
    Check(sqlite3_step(prepared));
}

void TSQLTables::ExecScript(const QString& statements) {
    const QByteArray utf8 = statements.toUtf8();
    char* message = nullptr;
    const int rc = sqlite3_exec(m_db, utf8.constData(), nullptr, nullptr, &message);
    sqlite3_free(message);
    Check(rc);
}

void TSQLTables::ExecBlob(const QString& statement, const QByteArray& blob) {
    sqlite3_stmt* prepared = Prepare(statement);
    TStatementGuard guard{prepared};
    if (prepared == nullptr) {
        Check(kSQLNothingPrepared);
    }
    static const char kEmpty[] = "";
    const char* data = blob.isEmpty() ? kEmpty : blob.constData();
    if (sqlite3_bind_blob64(prepared, 1, data, static_cast<sqlite3_uint64>(blob.size()),
                            SQLITE_STATIC) != SQLITE_OK) {
        Check(kSQLBindFailed);
    }
    Check(sqlite3_step(prepared));
}

std::unique_ptr<TSQLTable> TSQLTables::Query(const QString& statement, int kilobytes, int maxRows,
                                             const TSQLParams& params) {
    auto table = std::make_unique<TSQLTable>();
    table->m_budget = static_cast<qint64>(kilobytes) * 1024;
    sqlite3_stmt* prepared = Prepare(statement);
    TStatementGuard guard{prepared};
    if (prepared == nullptr) {
        Check(kSQLNothingPrepared);
    }
    Bind(prepared, params);

    auto readRow = [&]() {
        TSQLTable& t = *table;
        ++t.m_rowCount;
        if (t.m_rowCount == 1) {
            t.m_columnCount = sqlite3_column_count(prepared);
            for (int c = 0; c < t.m_columnCount; ++c) {
                t.m_names.append(QString::fromUtf8(sqlite3_column_name(prepared, c)));
                t.m_kinds.append(KindOfDeclaredType(sqlite3_column_decltype(prepared, c)));
            }
        }
        for (int c = 0; c < t.m_columnCount; ++c) {
            TSQLTable::Cell cell;
            qint64 charge = 0;
            const int storedType = sqlite3_column_type(prepared, c);
            switch (t.m_kinds[c]) {
                case kKindText: {
                    if (storedType == SQLITE_BLOB) {
                        // Kept as its bytes, so that a reader by stored type gets them
                        // exactly; charged as the text GetText makes of them.
                        const auto* data =
                            static_cast<const char*>(sqlite3_column_blob(prepared, c));
                        const int size = sqlite3_column_bytes(prepared, c);
                        QByteArray bytes(data == nullptr ? "" : data, size);
                        charge = kTextCharge(QString::fromUtf8(bytes).size());
                        cell = std::move(bytes);
                        break;
                    }
                    const auto* text =
                        reinterpret_cast<const char*>(sqlite3_column_text(prepared, c));
                    QString decoded = QString::fromUtf8(text, sqlite3_column_bytes(prepared, c));
                    charge = kTextCharge(decoded.size());
                    cell = std::move(decoded);
                    break;
                }
                case kKindInteger:
                    cell = static_cast<qint64>(sqlite3_column_int64(prepared, c));
                    charge = 4;
                    break;
                case kKindBoolean:
                    cell = sqlite3_column_int64(prepared, c) != 0;
                    charge = 1;
                    break;
                case kKindReal:
                    cell = sqlite3_column_double(prepared, c);
                    charge = 8;
                    break;
                case kKindBlob: {
                    const void* data = sqlite3_column_blob(prepared, c);
                    const int size = sqlite3_column_bytes(prepared, c);
                    if (data != nullptr && size > 0) {
                        cell = QByteArray(static_cast<const char*>(data), size);
                        charge = size;
                    }
                    break;
                }
                case kKindOther:
                    break;
            }
            if (t.m_bytesUsed + charge > t.m_budget) {
                t.Check(kSQLOverBudget);
            }
            t.m_bytesUsed += static_cast<int>(charge);
            t.m_cells.push_back(std::move(cell));
            t.m_storedTypes.push_back(static_cast<quint8>(storedType));
        }
    };

    try {
        Check(sqlite3_step(prepared));
        while (m_lastCode != kSQLDone) {
            if (m_lastCode == kSQLRow && table->m_rowCount < maxRows) {
                readRow();
                Check(sqlite3_step(prepared));
            } else {
                break;
            }
        }
    } catch (const ESQLite& error) {
        m_lastCode = error.Code();
        throw;
    }
    table->m_currentRow = 0;
    if (m_lastCode == kSQLDone) {
        m_lastCode = kSQLOk;
    }
    table->m_lastCode = m_lastCode;
    return table;
}

qint64 TSQLTables::Changes() const {
    return m_db ? sqlite3_changes64(m_db) : 0;
}

bool TSQLTables::HasColumn(const QString& table, const QString& column) {
    QString quoted = table;
    quoted.replace('"', QLatin1String("\"\""));
    sqlite3_stmt* prepared = Prepare(QStringLiteral("PRAGMA table_info(\"%1\")").arg(quoted));
    TStatementGuard guard{prepared};
    if (prepared == nullptr) {
        Check(kSQLNothingPrepared);
    }
    const QByteArray wanted = column.toUtf8();
    constexpr int kNameColumn = 1;  // cid, name, type, notnull, dflt_value, pk
    for (;;) {
        const int rc = sqlite3_step(prepared);
        if (rc == SQLITE_DONE) {
            m_lastCode = kSQLOk;
            return false;
        }
        Check(rc);
        const auto* name =
            reinterpret_cast<const char*>(sqlite3_column_text(prepared, kNameColumn));
        if (name != nullptr && sqlite3_stricmp(name, wanted.constData()) == 0) {
            m_lastCode = kSQLOk;
            return true;
        }
    }
}

bool TSQLTables::IsReadOnly() const {
    return m_db != nullptr && sqlite3_db_readonly(m_db, "main") == 1;
}

// ---- TSQLTransaction ---------------------------------------------------------------

TSQLTransaction::TSQLTransaction(TSQLTables& db) : m_db(db) {
    m_db.Exec(QStringLiteral("BEGIN IMMEDIATE"));
}

TSQLTransaction::~TSQLTransaction() {
    if (m_open) {
        try {
            m_db.ExecScript(QStringLiteral("ROLLBACK"));
        } catch (const ESQLite&) {
            // Nothing more can be done; the connection rolls back when it closes.
        }
    }
}

void TSQLTransaction::Commit() {
    m_db.Exec(QStringLiteral("COMMIT"));
    m_open = false;
}
