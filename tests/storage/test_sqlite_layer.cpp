// The SQLite access layer on real database files.
#include "platform/native_name.h"
#include "storage/sqlite_layer.h"
#include "support/test_dir.h"

#include <QDir>
#include <QFile>

#include <sqlite3.h>

#include <sys/stat.h>

#include <gtest/gtest.h>

namespace {

int CodeOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const ESQLite& error) {
        EXPECT_EQ(error.Message(), QStringLiteral("SQLite Error:%1").arg(error.Code()));
        return error.Code();
    }
    return 0;
}

class SQLiteLayer : public ::testing::Test {
protected:
    void SetUp() override {
        m_db = std::make_unique<TSQLTables>(m_dir.Sub("t.db"), 100, 1);
        m_db->ExecScript(
            "CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT, flag Boolean, size FLOAT, "
            "data BLOB, misc VARCHAR(10))");
    }
    TestDir m_dir;
    std::unique_ptr<TSQLTables> m_db;
};

TEST(SQLiteKinds, FromTheWholeDeclaredTypeIgnoringCase) {
    struct Case {
        const char* type;
        TSQLKind kind;
    };
    const Case cases[] = {
        {"TEXT", kKindText},    {"string", kKindText},       {"Char", kKindText},
        {"VARCHAR", kKindText}, {"VARCHAR(10)", kKindOther}, {"INTEGER", kKindInteger},
        {"int", kKindOther},    {"boolean", kKindBoolean},   {"Numeric", kKindReal},
        {"FLOAT", kKindReal},   {"double", kKindReal},       {"BLOB", kKindBlob},
        {nullptr, kKindOther},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(KindOfDeclaredType(c.type), c.kind) << (c.type ? c.type : "(none)");
    }
}

TEST(SQLiteOpen, BusyTimeoutClamp) {
    struct Case {
        int in;
        int out;
    };
    for (const Case c :
         {Case{200, 10}, Case{4, 10}, Case{5, 5}, Case{100, 100}, Case{101, 10}, Case{-1, 10}}) {
        EXPECT_EQ(TSQLTables::ClampBusyTimeout(c.in), c.out) << c.in;
    }
}

TEST(SQLiteOpen, MissingFileWithoutCreateFailsAndMakesNothing) {
    TestDir dir;
    EXPECT_EQ(CodeOf([&] { TSQLTables db(dir.Sub("none.db"), 100, 1, false); }), SQLITE_CANTOPEN);
    EXPECT_FALSE(QFile::exists(dir.Sub("none.db")));
}

TEST_F(SQLiteLayer, EmptyResultIsAtEndAndReadsRaise30) {
    const auto result = m_db->Query("SELECT name, data FROM t", 10, 10);
    EXPECT_EQ(result->RowCount(), 0);
    EXPECT_TRUE(result->AtEnd());
    EXPECT_TRUE(result->AtFirst());
    EXPECT_FALSE(result->Last());
    EXPECT_EQ(m_db->LastCode(), 0);
    const auto again = m_db->Query("SELECT name, data FROM t", 10, 10);
    EXPECT_EQ(CodeOf([&] { again->GetText(0); }), kSQLAtEnd);
    EXPECT_EQ(CodeOf([&] { again->GetBlob(1); }), kSQLAtEnd);
}

TEST_F(SQLiteLayer, TypedReadsAndTheirKinds) {
    m_db->Exec("INSERT INTO t VALUES (?, ?, ?, ?, ?, ?)",
               {qint64(7), QStringLiteral("Grüße"), qint64(2), 0.5,
                TSQLBlob{QByteArray("\x00\x01z", 3)}, QStringLiteral("misc")});
    const auto r = m_db->Query("SELECT id, name, flag, size, data, misc, id + 1 FROM t", 10, 1);
    ASSERT_EQ(r->RowCount(), 1);
    EXPECT_EQ(r->GetInt(0), 7);
    EXPECT_EQ(r->GetText(1), QStringLiteral("Grüße"));
    EXPECT_TRUE(r->GetBool(2));
    EXPECT_DOUBLE_EQ(r->GetReal(3), 0.5);
    EXPECT_EQ(r->GetBlob(4).value(), QByteArray("\x00\x01z", 3));
    // A column of no kind, or an expression, has no cell: 0 and empty, no error.
    EXPECT_EQ(r->GetText(5), QString());
    EXPECT_EQ(r->GetInt(6), 0);
    // A cell of another kind: error 29; a blob read of another kind: none.
    EXPECT_EQ(CodeOf([&] { r->GetInt(1); }), kSQLWrongKind);
    EXPECT_EQ(CodeOf([&] { r->GetText(0); }), kSQLWrongKind);
    EXPECT_EQ(CodeOf([&] { r->GetReal(4); }), kSQLWrongKind);
    EXPECT_FALSE(r->GetBlob(1).has_value());
    // Charges: 4 + 2 * (5 + 1) + 1 + 8 + 3.
    EXPECT_EQ(r->BytesUsed(), 4 + 12 + 1 + 8 + 3);
}

TEST_F(SQLiteLayer, LargeIntegersTruncateTo32BitsUnlessReadWide) {
    m_db->Exec("INSERT INTO t (id) VALUES (?)", {qint64(4294967297LL)});
    const auto r = m_db->Query("SELECT id FROM t", 1, 1);
    EXPECT_EQ(r->GetInt(0), 1);
    EXPECT_EQ(r->GetInt64(0), 4294967297LL);
}

TEST_F(SQLiteLayer, EmptyAndNullBlobsReadAsNoStream) {
    m_db->ExecBlob("INSERT INTO t (id, data) VALUES (1, ?)", QByteArray());
    m_db->Exec("INSERT INTO t (id, data) VALUES (2, NULL)");
    const auto r = m_db->Query("SELECT data, length(data) FROM t ORDER BY id", 1, 10);
    ASSERT_EQ(r->RowCount(), 2);
    EXPECT_FALSE(r->GetBlob(0).has_value());
    EXPECT_EQ(r->BytesUsed(), 0);
    // The empty blob was stored as an empty blob, not as NULL.
    const auto blobs = m_db->Query("SELECT id FROM t WHERE typeof(data) = 'blob'", 1, 10);
    ASSERT_EQ(blobs->RowCount(), 1);
    EXPECT_EQ(blobs->GetInt(0), 1);
}

TEST_F(SQLiteLayer, MaxRowsStopsFetching) {
    for (int i = 0; i < 50; ++i) {
        m_db->Exec("INSERT INTO t (id) VALUES (?)", {qint64(i)});
    }
    const auto one = m_db->Query("SELECT id FROM t ORDER BY id", 10, 1);
    EXPECT_EQ(one->RowCount(), 1);
    EXPECT_EQ(m_db->LastCode(), kSQLRow);  // stopped with rows left
    const auto all = m_db->Query("SELECT id FROM t ORDER BY id", 10, 1000);
    EXPECT_EQ(all->RowCount(), 50);
    EXPECT_EQ(m_db->LastCode(), 0);
    int seen = 0;
    for (; !all->AtEnd(); all->Next()) {
        EXPECT_EQ(all->GetInt(0), seen++);
    }
    EXPECT_EQ(seen, 50);
    ASSERT_TRUE(all->Last());
    EXPECT_EQ(all->GetInt(0), 49);
    all->Prev();
    EXPECT_EQ(all->GetInt(0), 48);
}

TEST_F(SQLiteLayer, ByteBudgetChargesTwicePerCharacterPlusTwo) {
    auto textOf = [&](int characters) {
        m_db->Exec("DELETE FROM t");
        m_db->Exec("INSERT INTO t (name) VALUES (?)", {QString(characters, QChar('x'))});
    };
    // 5000 characters charge 10 002 bytes, which a 10 KiB (10 240-byte) budget holds.
    textOf(5000);
    const auto fits = m_db->Query("SELECT name FROM t", 10, 1);
    EXPECT_EQ(fits->BytesUsed(), 10002);
    // 5119 characters charge exactly 10 240; one more is over the budget.
    textOf(5119);
    EXPECT_EQ(m_db->Query("SELECT name FROM t", 10, 1)->BytesUsed(), 10240);
    textOf(5120);
    EXPECT_EQ(CodeOf([&] { m_db->Query("SELECT name FROM t", 10, 1); }), kSQLOverBudget);
    EXPECT_EQ(m_db->LastCode(), kSQLOverBudget);
    // 5000 characters over a 9 KiB budget fail too.
    textOf(5000);
    EXPECT_EQ(CodeOf([&] { m_db->Query("SELECT name FROM t", 9, 1); }), kSQLOverBudget);
}

TEST_F(SQLiteLayer, OwnCodesAndSQLiteErrors) {
    EXPECT_EQ(CodeOf([&] { m_db->Query("   ", 1, 1); }), kSQLNothingPrepared);
    EXPECT_EQ(CodeOf([&] { m_db->ExecBlob("", "x"); }), kSQLNothingPrepared);
    EXPECT_EQ(CodeOf([&] { m_db->Exec(""); }), 0);  // nothing to run is not an error
    EXPECT_EQ(CodeOf([&] { m_db->Exec("SELECT * FROM nowhere"); }), SQLITE_ERROR);
    EXPECT_EQ(CodeOf([&] { m_db->Exec("INSERT INTO t (id) VALUES (?)", {}); }), kSQLBindFailed);
    EXPECT_EQ(CodeOf([&] { m_db->Exec("INSERT INTO t (id) VALUES (1)", {qint64(1)}); }),
              kSQLBindFailed);
    m_db->Exec("DELETE FROM t");
    EXPECT_EQ(m_db->LastCode(), kSQLDone);
}

TEST_F(SQLiteLayer, KeptStatementsRunAgainAndHoldNothing) {
    const QString insert = QStringLiteral("INSERT INTO t (id, name) VALUES (?, ?)");
    for (int id = 1; id <= 50; ++id) {
        m_db->Exec(insert, {qint64(id), QString::number(id)});
    }
    // A statement that failed runs again.
    EXPECT_EQ(CodeOf([&] {
                  m_db->Exec(insert, {qint64(1), QStringLiteral("again")});
              }),
              SQLITE_CONSTRAINT);
    m_db->Exec(insert, {qint64(51), QStringLiteral("51")});
    EXPECT_EQ(m_db->LastCode(), kSQLDone);
    // More texts than are kept: each runs, and the first again too.
    for (int id = 1; id <= 40; ++id) {
        const auto row =
            m_db->Query(QStringLiteral("SELECT name FROM t WHERE id = %1").arg(id), 1, 1);
        ASSERT_EQ(row->RowCount(), 1);
        EXPECT_EQ(row->GetText(0), QString::number(id));
    }
    const QString byId = QStringLiteral("SELECT * FROM t WHERE id = ?");
    const auto before = m_db->Query(byId, 1, 1, {qint64(51)});
    ASSERT_EQ(before->RowCount(), 1);
    EXPECT_EQ(before->GetText(1), QStringLiteral("51"));

    // Nothing kept holds a lock: another connection writes at once (it would find the
    // file busy otherwise) and changes the schema, which the kept query then follows.
    TSQLTables other(m_dir.Sub("t.db"), 5, 1);
    other.Exec("ALTER TABLE t ADD COLUMN extra TEXT");
    other.Exec("UPDATE t SET extra = 'x' WHERE id = 51");
    const auto after = m_db->Query(byId, 1, 1, {qint64(51)});
    ASSERT_EQ(after->ColumnCount(), before->ColumnCount() + 1);
    EXPECT_EQ(after->GetText(after->ColumnCount() - 1), QStringLiteral("x"));
}

TEST_F(SQLiteLayer, BoundValuesAreNeverSql) {
    const QString hostile = QStringLiteral("a\"b'c.txt'); DROP TABLE t; --");
    m_db->Exec("INSERT INTO t (id, name) VALUES (1, ?)", {hostile});
    m_db->Exec("INSERT INTO t (id, name) VALUES (2, ?)", {QStringLiteral("x%_y.txt")});
    const auto exact = m_db->Query("SELECT id FROM t WHERE name = ?", 1, 10, {hostile});
    ASSERT_EQ(exact->RowCount(), 1);
    EXPECT_EQ(exact->GetInt(0), 1);
    const auto escaped = m_db->Query("SELECT id FROM t WHERE name LIKE ? ESCAPE '\\'", 1, 10,
                                     {QStringLiteral("x\\%\\_y%")});
    ASSERT_EQ(escaped->RowCount(), 1);
    EXPECT_EQ(escaped->GetInt(0), 2);
}

TEST_F(SQLiteLayer, CellsReadByStoredTypeKeepBlobValuesOfTextColumns) {
    const QByteArray raw("caf\xE9\n.txt", 9);  // not UTF-8
    m_db->Exec("INSERT INTO t (id, name, data) VALUES (1, ?, ?)",
               {QStringLiteral("café.txt"), TSQLBlob{QByteArray("\x01\x02", 2)}});
    m_db->Exec("INSERT INTO t (id, name, data) VALUES (2, ?, ?)", {TSQLBlob{raw}, TSQLBlob{}});
    m_db->Exec("INSERT INTO t (id, name) VALUES (3, NULL)");
    const auto r = m_db->Query("SELECT name, data, id FROM t ORDER BY id", 10, 10);
    ASSERT_EQ(r->RowCount(), 3);

    EXPECT_EQ(r->StoredType(0), kStoredText);
    EXPECT_FALSE(r->GetBlobValue(0).has_value());
    EXPECT_EQ(r->GetText(0), QStringLiteral("café.txt"));
    EXPECT_EQ(r->GetBlobValue(1).value(), QByteArray("\x01\x02", 2));
    EXPECT_EQ(r->StoredType(2), kStoredInteger);
    EXPECT_FALSE(r->GetBlobValue(2).has_value());
    r->Next();
    // A BLOB value in the TEXT column comes back byte for byte; the text read is as before.
    EXPECT_EQ(r->StoredType(0), kStoredBlob);
    EXPECT_EQ(r->GetBlobValue(0).value(), raw);
    EXPECT_EQ(r->GetText(0), QString::fromUtf8(raw));
    EXPECT_EQ(r->GetBlobValue(1).value(), QByteArray());  // an empty blob is still a blob
    EXPECT_FALSE(r->GetBlob(1).has_value());
    r->Next();
    EXPECT_EQ(r->StoredType(0), kStoredNull);
    EXPECT_FALSE(r->GetBlobValue(0).has_value());
    r->Next();
    EXPECT_EQ(CodeOf([&] { r->StoredType(0); }), kSQLAtEnd);
    EXPECT_EQ(CodeOf([&] { r->GetBlobValue(0); }), kSQLAtEnd);

    // A blob value is charged as the text GetText makes of it, as before.
    const auto charged = m_db->Query("SELECT name FROM t WHERE id = 2", 1, 1);
    EXPECT_EQ(charged->BytesUsed(), 2 * (QString::fromUtf8(raw).size() + 1));

    // A text never equals a blob of the same bytes. LIKE may refuse blobs (a build
    // option of SQLite), so a search casts the column to text.
    m_db->Exec("INSERT INTO t (id, name) VALUES (4, ?)", {QStringLiteral("plain.txt")});
    m_db->Exec("INSERT INTO t (id, name) VALUES (5, ?)", {TSQLBlob{QByteArray("plain.txt")}});
    const auto text =
        m_db->Query("SELECT id FROM t WHERE name = ?", 1, 10, {QStringLiteral("plain.txt")});
    ASSERT_EQ(text->RowCount(), 1);
    EXPECT_EQ(text->GetInt(0), 4);
    const auto blob =
        m_db->Query("SELECT id FROM t WHERE name = ?", 1, 10, {TSQLBlob{QByteArray("plain.txt")}});
    ASSERT_EQ(blob->RowCount(), 1);
    EXPECT_EQ(blob->GetInt(0), 5);
    EXPECT_EQ(
        m_db->Query("SELECT id FROM t WHERE CAST(name AS TEXT) LIKE '%.txt'", 1, 10)->RowCount(),
        4);
    EXPECT_EQ(
        m_db->Query("SELECT id FROM t WHERE CAST(name AS TEXT) LIKE 'caf_%'", 1, 10)->RowCount(),
        2);
}

TEST_F(SQLiteLayer, HasColumnFollowsTheSchema) {
    EXPECT_TRUE(m_db->HasColumn("t", "name"));
    EXPECT_TRUE(m_db->HasColumn("T", "NAME"));  // SQLite's names ignore case
    EXPECT_FALSE(m_db->HasColumn("t", "mode"));
    EXPECT_FALSE(m_db->HasColumn("nowhere", "name"));
    EXPECT_FALSE(m_db->HasColumn("t\"; DROP TABLE t; --", "name"));
    m_db->ExecScript("ALTER TABLE t ADD COLUMN mode INTEGER NULL");
    EXPECT_TRUE(m_db->HasColumn("t", "mode"));
}

TEST_F(SQLiteLayer, TransactionsCommitOrRollBack) {
    {
        TSQLTransaction transaction(*m_db);
        m_db->Exec("INSERT INTO t (id) VALUES (1)");
    }  // not committed: rolled back
    EXPECT_EQ(m_db->Query("SELECT id FROM t", 1, 10)->RowCount(), 0);
    try {
        TSQLTransaction transaction(*m_db);
        m_db->Exec("INSERT INTO t (id) VALUES (2)");
        m_db->Exec("INSERT INTO t (id) VALUES (2)");  // constraint: raises
        transaction.Commit();
    } catch (const ESQLite& error) {
        EXPECT_EQ(error.Code(), SQLITE_CONSTRAINT);
    }
    EXPECT_EQ(m_db->Query("SELECT id FROM t", 1, 10)->RowCount(), 0);
    {
        TSQLTransaction transaction(*m_db);
        m_db->Exec("INSERT INTO t (id) VALUES (3)");
        transaction.Commit();
    }
    EXPECT_EQ(m_db->Query("SELECT id FROM t", 1, 10)->RowCount(), 1);
}

TEST_F(SQLiteLayer, BusyDatabaseIsToldApart) {
    TSQLTables other(m_dir.Sub("t.db"), 5, 1);
    TSQLTransaction holding(other);
    other.Exec("INSERT INTO t (id) VALUES (9)");
    try {
        m_db->Exec("INSERT INTO t (id) VALUES (10)");
        FAIL() << "the write should have met a busy database";
    } catch (const ESQLite& error) {
        EXPECT_TRUE(error.IsBusy());
        EXPECT_EQ(error.Code(), SQLITE_BUSY);
    }
    EXPECT_FALSE(ESQLite(SQLITE_CORRUPT).IsBusy());
}

TEST(SQLiteOpen, ClosingFinalisesTheKeptStatements) {
    TestDir dir;
    const QString path = dir.Sub("k.db");
    {
        TSQLTables db(path, 100, 1);
        db.ExecScript("PRAGMA journal_mode=WAL");
        db.ExecScript("CREATE TABLE k (a INTEGER)");
        db.Exec("INSERT INTO k (a) VALUES (?)", {qint64(7)});
        EXPECT_EQ(db.Query("SELECT a FROM k", 1, 1)->GetInt(0), 7);
        EXPECT_TRUE(QFile::exists(path + "-wal"));
    }
    // The connection really closed: as the last one it copied and removed its -wal file.
    EXPECT_FALSE(QFile::exists(path + "-wal"));
}

TEST(SQLiteOpen, NotADatabaseFailsOnFirstUseAndStaysUntouched) {
    TestDir dir;
    const QByteArray content(4096, 'J');
    const QString path = dir.Write("fake.db", content);
    int code = 0;
    try {
        TSQLTables db(path, 100, 1, false);
        db.Query("SELECT 1 FROM sqlite_master", 1, 1);
    } catch (const ESQLite& error) {
        code = error.Code();
    }
    EXPECT_EQ(code, SQLITE_NOTADB);
    EXPECT_EQ(dir.Read(path), content);
}

TEST(SQLiteOpen, ReadOnlyModesWriteNothingAndKeepEveryByteOfTheName) {
    TestDir dir;
    // Characters that mean something in a URI, and a byte that is not UTF-8.
    const QString path = dir.Path() + "/" + DecodeNativeName(QByteArray("a?b#c%41d \xff.db"));
    {
        TSQLTables db(path, 100, 1, TSQLOpenMode::kCreate);
        EXPECT_FALSE(db.IsReadOnly());
        db.ExecScript("CREATE TABLE t (v TEXT); INSERT INTO t VALUES ('x')");
    }
    struct stat facts {};
    ASSERT_EQ(::stat(EncodeNativeName(path).constData(), &facts), 0);
    const QStringList files = QDir(dir.Path()).entryList(QDir::Files);
    for (const TSQLOpenMode mode : {TSQLOpenMode::kReadOnly, TSQLOpenMode::kImmutable}) {
        TSQLTables db(path, 100, 1, mode);
        EXPECT_TRUE(db.IsReadOnly());
        EXPECT_EQ(db.Query("SELECT v FROM t", 1, 1)->GetText(0), "x");
        EXPECT_EQ(CodeOf([&] { db.Exec("INSERT INTO t VALUES ('y')"); }), SQLITE_READONLY);
        EXPECT_EQ(QDir(dir.Path()).entryList(QDir::Files), files);
    }
    EXPECT_EQ(CodeOf([&] { TSQLTables(dir.Sub("missing.db"), 100, 1, TSQLOpenMode::kReadOnly); }),
              SQLITE_CANTOPEN);
    EXPECT_EQ(CodeOf([&] { TSQLTables(dir.Sub("missing.db"), 100, 1, TSQLOpenMode::kReadWrite); }),
              SQLITE_CANTOPEN);
    EXPECT_FALSE(QFile::exists(dir.Sub("missing.db")));
}

}  // namespace
