// Checkpoints on their own thread, on real WAL database files.
#include "storage/sqlite_layer.h"
#include "storage/wal_checkpointer.h"
#include "support/test_dir.h"

#include <QFileInfo>

#include <gtest/gtest.h>

namespace {

constexpr int kPageSize = 4096;
constexpr int kBlobBytes = 16 * 1024;
// A commit of one blob row writes its overflow pages, the leaf and the first page.
constexpr int kMostPagesOfOneCommit = kBlobBytes / kPageSize + 4;
// The -wal file: a 32-byte header, then a 24-byte header before each page.
constexpr qint64 kFrameBytes = kPageSize + 24;

class WalCheckpointer : public ::testing::Test {
protected:
    void SetUp() override {
        m_path = m_dir.Sub("w.db");
        m_writer = Open();
        m_writer->ExecScript(QStringLiteral("PRAGMA page_size=%1").arg(kPageSize));
        m_writer->ExecScript("PRAGMA journal_mode=WAL");
        m_writer->ExecScript("CREATE TABLE v (id INTEGER PRIMARY KEY, data BLOB)");
    }

    std::unique_ptr<TSQLTables> Open() const {
        return std::make_unique<TSQLTables>(m_path, 100, 1, TSQLOpenMode::kCreate);
    }

    // Commits `count` rows of one blob each, one transaction a row, each blob filled with
    // its row's number; returns the largest size the -wal file had after a commit.
    qint64 CommitRows(int first, int count) {
        qint64 largest = 0;
        for (int id = first; id < first + count; ++id) {
            TSQLTransaction transaction(*m_writer);
            m_writer->Exec("INSERT INTO v (id, data) VALUES (?, ?)",
                           {qint64(id), TSQLBlob{QByteArray(kBlobBytes, static_cast<char>(id))}});
            transaction.Commit();
            largest = std::max(largest, QFileInfo(m_path + "-wal").size());
        }
        return largest;
    }

    // Every row from 1 to `count` is there with its own blob.
    void ExpectRows(TSQLTables& db, int count) {
        const auto rows = db.Query("SELECT id, data FROM v ORDER BY id", 2 * count * 17, count + 1);
        ASSERT_EQ(rows->RowCount(), count);
        for (int id = 1; !rows->AtEnd(); rows->Next(), ++id) {
            ASSERT_EQ(rows->GetInt(0), id);
            ASSERT_EQ(rows->GetBlob(1).value_or(QByteArray()),
                      QByteArray(kBlobBytes, static_cast<char>(id)));
        }
    }

    TestDir m_dir;
    QString m_path;
    std::unique_ptr<TSQLTables> m_writer;
};

TEST_F(WalCheckpointer, CopiesOnItsOwnThreadAndKeepsTheWalBounded) {
    constexpr int kStart = 20;
    constexpr int kMost = 80;
    constexpr int kRows = 300;  // about 1500 pages, many times the limit
    qint64 largestWal = 0;
    {
        TWalCheckpointer checkpointer(*m_writer, m_path, 100, 1, kStart, kMost);
        largestWal = CommitRows(1, kRows);
        EXPECT_GT(checkpointer.Passes(), 0u);
        // A commit that reaches the limit waits for a pass; the next one starts the -wal
        // file over.
        EXPECT_GE(checkpointer.MostPagesSeen(), kStart);
        EXPECT_LT(checkpointer.MostPagesSeen(), kMost + kMostPagesOfOneCommit);
        ExpectRows(*m_writer, kRows);
        // The pages reached the database file itself, not only the -wal file.
        EXPECT_GT(QFileInfo(m_path).size(), qint64(kRows / 2) * kBlobBytes);
    }
    EXPECT_LE(largestWal, 32 + (kMost + kMostPagesOfOneCommit) * kFrameBytes);

    // A reader on another connection sees every row; after the writer closes, the
    // database file alone holds them.
    ExpectRows(*Open(), kRows);
    m_writer.reset();
    EXPECT_FALSE(QFileInfo::exists(m_path + "-wal"));
    TSQLTables reopened(m_path, 100, 1, TSQLOpenMode::kImmutable);
    ExpectRows(reopened, kRows);
}

TEST_F(WalCheckpointer, GivesTheWriterItsOwnCheckpointsBackWhenItEnds) {
    { TWalCheckpointer checkpointer(*m_writer, m_path, 100, 1); }
    // About 2500 pages: without automatic checkpoints the -wal file would hold them all.
    constexpr int kRows = 500;
    const qint64 largestWal = CommitRows(1, kRows);
    EXPECT_LT(largestWal,
              32 + (TWalCheckpointer::kStartPages + kMostPagesOfOneCommit) * kFrameBytes);
    ExpectRows(*m_writer, kRows);
}

TEST_F(WalCheckpointer, AReaderHoldingOldPagesDelaysNothingButTheirCopy) {
    constexpr int kStart = 20;
    constexpr int kMost = 80;
    TWalCheckpointer checkpointer(*m_writer, m_path, 100, 1, kStart, kMost);
    CommitRows(1, 10);
    // A reader in a transaction keeps the pages it may read in the -wal file: commits go
    // on (each one past the limit waits for one pass, which copies what it can) and
    // nothing is lost.
    auto reader = Open();
    reader->ExecScript("BEGIN");
    ASSERT_EQ(reader->Query("SELECT id FROM v", 100, 1000)->RowCount(), 10);
    CommitRows(11, 100);
    EXPECT_EQ(reader->Query("SELECT id FROM v", 100, 1000)->RowCount(), 10);
    reader->ExecScript("COMMIT");
    ExpectRows(*reader, 110);
}

}  // namespace
