#include "backup/store_idle_check.h"

#include "base/errors.h"
#include "storage/sqlite_layer.h"

#include <sqlite3.h>

#include <memory>

namespace {

constexpr int kIdleCheckBusyMs = 1000;
constexpr int kIdleCheckSynchronous = 1;
constexpr int kLongestIdleProblem = 200;

}  // namespace

TStoreIdleCheck::~TStoreIdleCheck() {
    Stop();
}

void TStoreIdleCheck::Start(const QString& path) {
    std::lock_guard guard(m_lock);
    if (m_running) {
        return;
    }
    if (m_thread.joinable()) {
        m_thread.join();  // a finished check's thread
    }
    m_running = true;
    m_stopping = false;
    m_thread = std::thread([this, path] { Run(path); });
}

bool TStoreIdleCheck::IsRunning() const {
    std::lock_guard guard(m_lock);
    return m_running;
}

std::optional<QString> TStoreIdleCheck::TakeResult() {
    std::lock_guard guard(m_lock);
    std::optional<QString> result = std::move(m_result);
    m_result.reset();
    return result;
}

void TStoreIdleCheck::Stop() {
    {
        std::lock_guard guard(m_lock);
        m_stopping = true;
        if (m_handle != nullptr) {
            sqlite3_interrupt(m_handle);
        }
    }
    if (m_thread.joinable()) {
        m_thread.join();
    }
    std::lock_guard guard(m_lock);
    m_running = false;
    m_result.reset();
}

void TStoreIdleCheck::Run(const QString& path) {
    QString problem;
    std::unique_ptr<TSQLTables> db;
    try {
        db = std::make_unique<TSQLTables>(path, kIdleCheckBusyMs, kIdleCheckSynchronous,
                                          TSQLOpenMode::kReadOnly);
    } catch (const EQuiva&) {
        // Gone or busy: the next check tells.
    }
    bool told = db != nullptr;
    if (db) {
        {
            std::lock_guard guard(m_lock);
            m_handle = m_stopping ? nullptr : db->Handle();
            told = !m_stopping;
        }
        sqlite3_stmt* statement = nullptr;
        int rc = told ? sqlite3_prepare_v2(db->Handle(), "PRAGMA quick_check(1)", -1, &statement,
                                           nullptr)
                      : SQLITE_INTERRUPT;
        while (rc == SQLITE_OK && (rc = sqlite3_step(statement)) == SQLITE_ROW) {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
            const QString line =
                QString::fromUtf8(text, sqlite3_column_bytes(statement, 0)).simplified();
            if (line != QLatin1String("ok") && problem.isEmpty()) {
                problem =
                    QStringLiteral("PRAGMA quick_check: %1").arg(line.left(kLongestIdleProblem));
            }
        }
        sqlite3_finalize(statement);
        if (rc == SQLITE_CORRUPT || rc == SQLITE_NOTADB) {
            problem = QStringLiteral("PRAGMA quick_check failed: %1")
                          .arg(QString::fromUtf8(sqlite3_errstr(rc)));
        } else if (rc != SQLITE_DONE && problem.isEmpty()) {
            told = false;  // busy, interrupted or unreadable: no verdict
        }
        std::lock_guard guard(m_lock);
        m_handle = nullptr;
    }
    db.reset();
    std::lock_guard guard(m_lock);
    m_running = false;
    if (!m_stopping) {
        m_result = told ? problem : QString();
    }
}
