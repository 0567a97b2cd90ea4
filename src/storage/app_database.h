// The application (UI) database "qvde.d": tool states, profile blobs, the installation
// row and the stored check scripts, with the services that read and write them.
#pragma once

#include <QByteArray>
#include <QRecursiveMutex>
#include <QString>

#include <memory>
#include <optional>

class THost;
class TSQLTables;

// Thread safety: every call on the connection runs under the database's own lock, so
// services may be called from any thread without overlapping. The lock is taken by each
// service and released before it returns; it is never held while another lock of the
// program is taken.
class TAppDatabase {
public:
    explicit TAppDatabase(THost& host);
    ~TAppDatabase();

    // Opens the database file. With `writable`, first creates it with its tables and the
    // shipped scripts when it does not exist (built under another name and moved into
    // place when complete; private, 0600), and makes an existing file and its journal
    // private. Without it, an existing file is opened for reading only and nothing is ever
    // written. A file the system does not let us write is opened for reading only too.
    // Sets flag 1 of the host while open. A file that exists but is not a usable database
    // is left untouched and the database stays closed. Never raises.
    bool Open(const QString& path, bool writable = true);

    // Compacts ("vacuum", errors ignored) when `compact` and the file may be written, and
    // closes the database; clears flag 1.
    void Close(bool compact = true);

    bool IsOpen() const;
    // True while open and the file may be written; the save services do nothing otherwise.
    bool IsWritable() const;

    // The installation id read or made when the database was opened.
    QByteArray InstallationId() const;

    // Every service below does nothing and returns its empty result while flag 1 of the
    // host is clear, and reports its own failures in the status panel.

    // The stored state of a tool key: none when there is no row or on any error; an
    // empty text when the row holds no data.
    std::optional<QByteArray> LoadToolState(const QByteArray& key);
    // Stores the state of a tool key, making its row on first use.
    void SaveToolState(const QByteArray& key, const QByteArray& state);
    // True when a row of the tool key exists (whether or not its state can be read); false
    // without one or on any error.
    bool HasToolState(const QByteArray& key);

    std::optional<QByteArray> LoadProfileBlob(const QByteArray& profileId);
    void SaveProfileBlob(const QByteArray& profileId, const QByteArray& blob);
    // Deletes the profile's row. True when the statement completed.
    [[nodiscard]] bool DeleteProfileRow(const QByteArray& profileId);

    // The value stored in column of the installation row for owner, or empty when there
    // is none, the owner differs, or the value is damaged.
    QByteArray ReadUserInfo(const QByteArray& column, const QByteArray& owner);
    void WriteUserInfo(const QByteArray& column, const QByteArray& value, const QByteArray& owner);

    // The decoded text of a stored script, or empty when there is none.
    QByteArray FetchScript(const QByteArray& name);

    // The file's page size and the names of the tables, for checks of a new database.
    static constexpr int kPageSize = 1024;

private:
    bool Usable() const;
    void PrepareInstallationRow();
    std::optional<QByteArray> LoadBlob(const char* table, const char* keyColumn,
                                       const char* dataColumn, const QByteArray& key);
    void SaveBlob(const char* table, const char* keyColumn, const char* dataColumn,
                  const QByteArray& key, const QByteArray& data, const QString& unableFormat,
                  const QString& errorFormat);

    THost& m_host;
    mutable QRecursiveMutex m_lock;
    std::unique_ptr<TSQLTables> m_db;
    bool m_writable = false;
    QByteArray m_installationId;
};

// Creates a new application database at `path` (which must not exist): the four tables,
// UTF-8, page size 1024, and the shipped scripts stored encoded. Returns false when it
// cannot be made; a partly made file is removed.
bool CreateAppDatabaseFile(const QString& path);

// A new installation id: 32 upper-case hex digits from four random numbers.
QByteArray MakeInstallationId();
