// A thin object layer over SQLite 3 for both databases of the program: open a file, run
// statements (with bound parameters), read a query's whole result into memory under a
// row cap and a byte budget, and run explicit transactions.
#pragma once

#include "base/errors.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>
#include <optional>
#include <variant>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

// The layer's own result codes, passed through Check like SQLite's.
enum TSQLCode : int {
    kSQLOk = 0,
    kSQLBusy = 5,
    kSQLLocked = 6,
    kSQLBindFailed = 24,       // a blob or parameter could not be bound
    kSQLNothingPrepared = 25,  // the statement text held no statement
    kSQLOverBudget = 26,       // the result exceeds the byte budget
    kSQLWrongKind = 29,        // a typed read found a cell of another kind
    kSQLAtEnd = 30,            // a read at the end of the result
    kSQLRow = 100,
    kSQLDone = 101,
};

// Every failure of the layer: "SQLite Error:%d" with the code.
class ESQLite : public EQuiva {
public:
    explicit ESQLite(int code);
    int Code() const { return m_code; }
    // True for a busy or locked database (worth retrying later), false for a fatal error.
    bool IsBusy() const;

private:
    int m_code;
};

// A blob parameter value (a QByteArray alone binds as text).
struct TSQLBlob {
    QByteArray bytes;
};

// One bound parameter: NULL, a 64-bit integer, a real, a text (QString as UTF-8, or
// QByteArray taken as it is) or a blob.
using TSQLValue = std::variant<std::monostate, qint64, double, QString, QByteArray, TSQLBlob>;
using TSQLParams = std::vector<TSQLValue>;

class TSQLBase {
public:
    // Records the code; raises ESQLite unless it is 0 (ok), 100 (row) or 101 (done).
    void Check(int code);
    int LastCode() const { return m_lastCode; }

protected:
    int m_lastCode = kSQLOk;
};

// Column kinds, chosen from the declared type of each column.
enum TSQLKind : int {
    kKindText = 0,     // "String", "TEXT", "Char", "VarChar"
    kKindInteger = 1,  // "Integer"
    kKindBoolean = 2,  // "Boolean"
    kKindReal = 3,     // "Numeric", "Float", "Double"
    kKindBlob = 4,     // "Blob"
    kKindOther = 5,    // anything else, or none (expressions)
};

// Kind of a declared type, compared case-insensitively with the whole type text.
TSQLKind KindOfDeclaredType(const char* declaredType);

// The type a cell's value has as SQLite stored it (its storage class), which a column's
// declared type does not fix: a TEXT column may hold a BLOB value, for instance.
enum TSQLStoredType : int {
    kStoredInteger = 1,
    kStoredReal = 2,
    kStoredText = 3,
    kStoredBlob = 4,
    kStoredNull = 5,
};

// One query result, held in memory; the statement is reset before the object is
// handed out, so a result never holds a lock on the database.
// Thread safety: one thread at a time.
class TSQLTable : public TSQLBase {
public:
    int RowCount() const { return m_rowCount; }
    int ColumnCount() const { return m_columnCount; }
    bool AtFirst() const { return m_currentRow == 0; }
    bool AtEnd() const { return m_currentRow == m_rowCount; }
    void Next();
    void Prev();
    // Moves to the last row; false when the result is empty (current row -1).
    bool Last();

    // Typed reads of the current row. At the end: error 30. No cell (NULL, an empty blob
    // or a column of no kind): 0 / empty. A cell of another kind: error 29.
    int GetInt(int column);       // integer column, truncated to 32 bits
    qint64 GetInt64(int column);  // integer column, full width
    bool GetBool(int column);     // boolean column
    double GetReal(int column);   // real column
    QString GetText(int column);  // text column
    // The blob of a blob column, or none for an empty blob or another kind. At the end:
    // error 30 and none.
    std::optional<QByteArray> GetBlob(int column);

    // Reads by the type a value was stored with, whatever the column's declared type.
    // At the end: error 30.
    // The storage class of the current row's cell.
    TSQLStoredType StoredType(int column);
    // The bytes of a cell stored as a BLOB value in a blob or text column (an empty blob
    // gives empty bytes); none for a cell stored as anything else. GetText still reads
    // such a cell of a text column as UTF-8.
    std::optional<QByteArray> GetBlobValue(int column);

    int BytesUsed() const { return m_bytesUsed; }

private:
    friend class TSQLTables;
    using Cell = std::variant<std::monostate, qint64, bool, double, QString, QByteArray>;
    const Cell* CellAt(int column);

    QList<QString> m_names;
    QList<TSQLKind> m_kinds;
    std::vector<Cell> m_cells;
    std::vector<quint8> m_storedTypes;  // per cell, a TSQLStoredType
    int m_columnCount = 0;
    int m_currentRow = 0;
    int m_rowCount = 0;
    int m_bytesUsed = 0;
    qint64 m_budget = 0;
};

// How a database file is opened.
enum class TSQLOpenMode {
    kCreate,     // read and write, creating the file when it is missing
    kReadWrite,  // read and write an existing file
    // Read only ("mode=ro", "readonly_shm=1"): nothing is written to the database file or
    // its -wal and -shm files, and no file is made; a WAL database opens only while its
    // -shm file exists (SQLite then reads the -wal file without writing its index).
    kReadOnly,
    // Read only, the file taken as unchanging ("immutable=1"): no locks and no -wal or
    // -shm files are used or made, so it works on read-only media; changes still held in
    // a -wal file are not seen, and another writer must not be at work on the file.
    kImmutable,
};

// One open database connection.
// Thread safety: none of its own; one thread at a time (callers hold their lock).
class TSQLTables : public TSQLBase {
public:
    // Opens (creating when `create`) the database file; with `readOnly` for reading only
    // (nothing is ever written, `create` is ignored). The busy timeout is replaced by
    // 10 ms when it is below 5 or above 100; the synchronous level 0..2 is set as "OFF",
    // "NORMAL" or "FULL". Raises ESQLite on failure.
    TSQLTables(const QString& path, int busyTimeoutMs, int synchronousLevel, bool create = true);
    // Opens the database file in a mode. The read-only modes set no synchronous level and
    // never create the file. The path's bytes reach SQLite unchanged (EncodeNativeName).
    // Opening is lazy in SQLite: a file that is missing, unreadable or not a database
    // shows with the first statement. Raises ESQLite on failure.
    TSQLTables(const QString& path, int busyTimeoutMs, int synchronousLevel, TSQLOpenMode mode);
    ~TSQLTables();
    TSQLTables(const TSQLTables&) = delete;
    TSQLTables& operator=(const TSQLTables&) = delete;

    // The busy timeout after the clamp.
    static int ClampBusyTimeout(int ms);

    // Runs the first statement of the text once, with the parameters bound in order.
    // The last code is then 101 for a statement that completed.
    void Exec(const QString& statement, const TSQLParams& params = {});

    // Runs every statement of the text (no parameters).
    void ExecScript(const QString& statements);

    // Runs a statement with one "?" parameter bound to the blob.
    void ExecBlob(const QString& statement, const QByteArray& blob);

    // Runs a query and reads at most `maxRows` rows into memory, charging each cell
    // against a budget of `kilobytes` KiB (error 26 when it is exceeded).
    std::unique_ptr<TSQLTable> Query(const QString& statement, int kilobytes, int maxRows,
                                     const TSQLParams& params = {});

    // Rows changed by the last statement.
    qint64 Changes() const;

    // True for a connection that cannot write (opened read-only or immutable, or the file
    // system refused writing when it was opened).
    bool IsReadOnly() const;

    // True when the table has a column of that name (PRAGMA table_info, compared without
    // regard to case as SQLite does); false when the table has no such column or does not
    // exist. Raises ESQLite when the schema cannot be read.
    bool HasColumn(const QString& table, const QString& column);

    sqlite3* Handle() const { return m_db; }

private:
    // The prepared statement of the text's first statement (null when the text holds
    // none), kept for the next call with the same text. The caller resets it after use.
    sqlite3_stmt* Prepare(const QString& statement);
    void Bind(sqlite3_stmt* statement, const TSQLParams& params);
    void FinalizeKept();

    struct TKeptStatement {
        QByteArray text;
        sqlite3_stmt* statement;
    };

    sqlite3* m_db = nullptr;
    // The statements prepared last, the most recently used first.
    std::vector<TKeptStatement> m_kept;
};

// An explicit transaction: BEGIN IMMEDIATE on construction, ROLLBACK on destruction
// unless Commit ran. Raises ESQLite when it cannot begin or commit.
class TSQLTransaction {
public:
    explicit TSQLTransaction(TSQLTables& db);
    ~TSQLTransaction();
    TSQLTransaction(const TSQLTransaction&) = delete;
    TSQLTransaction& operator=(const TSQLTransaction&) = delete;

    void Commit();

private:
    TSQLTables& m_db;
    bool m_open = true;
};
