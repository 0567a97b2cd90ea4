// A host for engine tests with the program's services, as a program holds them: it
// records every status text instead of showing it, and offers the services' operations
// under one roof so that a test reads like the program's own steps.
#pragma once

#include "backup/backup_service.h"
#include "base/host.h"
#include "script/script_runner.h"
#include "storage/app_stores.h"

#include <QList>
#include <QString>

#include <optional>

class TBackupStore;
class TProfiles;

struct TRecordedStatus {
    QString text;
    bool hold;
    int kind;
};

class TTestHost : public THost {
public:
    TTestHost();
    ~TTestHost() override;

    void ShowStatus(const QString& text, bool hold, int kind) override;

    QList<TRecordedStatus> statuses;
    // The last status text, or empty.
    QString LastStatus() const { return statuses.isEmpty() ? QString() : statuses.last().text; }
    // True when some status was shown with kind 3 and this text.
    bool HasError(const QString& text) const;

    // ---- the services ---------------------------------------------------------------
    TAppStores& Stores() { return m_stores; }
    TScriptRunner& Scripts() { return m_scripts; }
    TBackupService& Backups() { return m_backups; }

    struct TStoreOptions {
        bool backups = true;   // open backups.db in the data folder
        bool writable = true;  // see TAppStores::TOptions
    };
    // Opens the application stores in the program folder and, unless told not to, the
    // backup store in the data folder.
    void OpenStores(const QString& programFolder, TStoreOptions options);
    void OpenStores(const QString& programFolder) { OpenStores(programFolder, TStoreOptions{}); }
    // Stops the profiles and closes both stores, compacting them as the desktop does.
    void CloseStores();
    void StartScriptEngine() { m_scripts.Start(); }
    void RunScript(const QByteArray& name, const QByteArray& variable, QByteArray& value,
                   QByteArray& error) {
        m_scripts.RunScript(name, variable, value, error);
    }

    // ---- application stores ----------------------------------------------------------
    bool StoresWritable() const { return m_stores.Writable(); }
    QString UiDatabasePath() const { return m_stores.DatabasePath(); }
    TAppDatabase* AppDatabase() { return &m_stores.Database(); }
    const QByteArray& PreferencesPassword() const { return m_stores.PreferencesPassword(); }
    quint32 PasswordHash() const { return m_stores.PasswordHash(); }
    void SetPreferencesPassword(const QByteArray& password) {
        m_stores.SetPreferencesPassword(password);
    }
    std::optional<QByteArray> LoadToolState(const QByteArray& key) {
        return m_stores.LoadToolState(key);
    }
    void SaveToolState(const QByteArray& key, const QByteArray& state) {
        m_stores.SaveToolState(key, state);
    }
    bool HasToolState(const QByteArray& key) { return m_stores.HasToolState(key); }
    std::optional<QByteArray> LoadProfileBlob(const QByteArray& id) {
        return m_stores.LoadProfileBlob(id);
    }
    void SaveProfileBlob(const QByteArray& id, const QByteArray& blob) {
        m_stores.SaveProfileBlob(id, blob);
    }
    QByteArray ReadUserInfo(const QByteArray& column, const QByteArray& owner) {
        return m_stores.ReadUserInfo(column, owner);
    }
    void WriteUserInfo(const QByteArray& column, const QByteArray& value, const QByteArray& owner) {
        m_stores.WriteUserInfo(column, value, owner);
    }
    QByteArray InstallationId() const { return m_stores.InstallationId(); }
    QByteArray GetInstallKey() { return m_stores.GetInstallKey(); }
    static constexpr const char* kDefaultPassword = TAppStores::kDefaultPassword;

    // ---- backups ---------------------------------------------------------------------
    TBackupStore* BackupStore() const { return m_backups.Store(); }
    TProfiles* Profiles() const { return m_backups.Profiles(); }
    void OpenBackupStore() { m_backups.Open(m_backupsReadOnly); }
    void SetBackupStoreReadOnly(bool readOnly) { m_backupsReadOnly = readOnly; }
    void SetDataFolder(const QString& folder) { m_backups.SetDataFolder(folder); }
    void StartProfiles(bool autostart) { m_backups.StartProfiles(autostart); }
    void StopProfiles() { m_backups.StopProfiles(); }
    // The backups' idle work as the desktop's idle handler does it.
    void ProcessBackupIdle() {
        m_backups.CheckFreeSpace();
        m_backups.ProcessIdle();
    }

private:
    TAppStores m_stores;
    TScriptRunner m_scripts;
    TBackupService m_backups;
    bool m_backupsReadOnly = false;
    bool m_open = false;
};
