// The application stores: the program folder with its logs folder, the application
// database "qvde.d" and what the program keeps in it for itself — the shell state (data
// folder and preferences password), the installation key — and the tool states the tools
// keep there. The desktop program and the command line each own one.
#pragma once

#include "storage/app_database.h"

#include <QByteArray>
#include <QString>

#include <optional>

class THost;

// Thread safety: Open, Close and the shell state belong to the main thread. The database
// services serialise themselves (see TAppDatabase) and may be called from workers.
class TAppStores {
public:
    explicit TAppStores(THost& host);
    ~TAppStores();
    TAppStores(const TAppStores&) = delete;
    TAppStores& operator=(const TAppStores&) = delete;

    struct TOptions {
        // Create and write qvde.d and make the folders; otherwise read an existing qvde.d
        // and write nothing at all (no folder, no shell state, no compacting).
        bool writable = true;
    };
    // Sets the host's program and logs folders, makes them (private, 0700), opens or
    // creates the application database (host flag 1), reads the shell state "Quiva" (the
    // data folder becomes the host's, the preferences password) and makes the data
    // folder. Failures leave defaults in place; nothing here raises.
    void Open(const QString& programFolder, TOptions options);
    void Open(const QString& programFolder) { Open(programFolder, TOptions{}); }
    // Saves the shell state (when writable), compacts the database when `compact` and
    // closes it. Safe to call twice.
    void Close(bool compact);
    // True while the database may be written (opened writable, and the file system lets it
    // be written).
    bool Writable() const;
    // After a writable Open that left the database unwritable: why, in words ("%1 is not a
    // folder", "no permission to write in %1", "%1 cannot be opened", ...). Empty when
    // the database may be written, and after a read-only Open.
    const QString& UnusableReason() const { return m_unusable; }

    // ---- shell state ------------------------------------------------------------------
    const QByteArray& PreferencesPassword() const { return m_password; }
    quint32 PasswordHash() const { return m_passwordHash; }
    void SetPreferencesPassword(const QByteArray& password);
    // Makes the folder the host's data folder (made when missing: private when it is the
    // program's own Data folder or new). Main thread, with no backup running.
    void ChangeDataFolder(const QString& folder);
    // Stores the shell state now (data folder and password, in one transaction) and reads
    // it back. True when what is stored is what is in force and will be read so at the
    // next start. False while the database is closed or read-only, when the write failed
    // (the failure was shown), or when the state could not be read back as it is (a "|" in
    // the password or the folder, a folder name that is not UTF-8): such a state is not
    // written, and the stored one stays.
    [[nodiscard]] bool SaveShellState();

    // ---- database services ------------------------------------------------------------
    // Each is a no-op with an empty result while flag 1 is clear, reports its own
    // failures with ShowStatus and never raises (see TAppDatabase).
    std::optional<QByteArray> LoadToolState(const QByteArray& key);
    void SaveToolState(const QByteArray& key, const QByteArray& state);
    bool HasToolState(const QByteArray& key);
    std::optional<QByteArray> LoadProfileBlob(const QByteArray& profileId);
    void SaveProfileBlob(const QByteArray& profileId, const QByteArray& blob);
    [[nodiscard]] bool DeleteProfileRow(const QByteArray& profileId);
    QByteArray ReadUserInfo(const QByteArray& column, const QByteArray& owner);
    void WriteUserInfo(const QByteArray& column, const QByteArray& value, const QByteArray& owner);
    QByteArray InstallationId() const;
    QByteArray FetchScript(const QByteArray& name);

    // The installation key: 64 upper-case hex digits, made once per installation (16
    // random bytes through TextQuivash) and kept in "uconf" for the installation id;
    // cached after the first call. Empty while flag 1 is clear, when none is stored and the
    // database is open for reading only, or when a new key could not be stored (a key that
    // is not kept would give passwords that cannot be made again). Main thread.
    QByteArray GetInstallKey();
    // The installation key kept for this installation, without making one: empty while
    // flag 1 is clear or when none is kept. Main thread.
    QByteArray StoredInstallKey();
    // Keeps `key` (64 upper-case hex digits, as a recovery text gives it back) as this
    // installation's key in place of any other. True when it was written and reads back;
    // false for a key of another shape or a database that cannot be written. Main thread;
    // the caller holds the program folder's lock.
    [[nodiscard]] bool SetInstallKey(const QByteArray& key);

    TAppDatabase& Database() { return m_db; }
    QString DatabasePath() const;

    // The default preferences password of a new installation.
    static constexpr const char* kDefaultPassword = "vompa7";
    // The key of the shell's own state.
    static constexpr const char* kShellStateKey = "Quiva";

private:
    void LoadShellState();
    void MakeDataFolder();

    THost& m_host;
    TAppDatabase m_db;
    QByteArray m_password;
    quint32 m_passwordHash = 0;
    QByteArray m_installKey;
    QString m_unusable;
    bool m_open = false;
};
