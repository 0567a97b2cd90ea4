// The command line's host: status texts go to standard error, there are no windows. It
// holds the services a command opens.
#pragma once

#include "backup/backup_service.h"
#include "base/errors.h"
#include "base/host.h"
#include "platform/instance_lock.h"
#include "script/script_runner.h"
#include "storage/app_stores.h"

#include <memory>

class TCliHost : public THost {
public:
    TCliHost();
    ~TCliHost() override;

    // Prints information and completion texts only when verbose; notices and errors always,
    // an error as "quiva COMMAND: TEXT".
    void ShowStatus(const QString& text, bool hold, int kind) override;
    // Prints an engine's failure as "quiva COMMAND: FILE: MESSAGE: REASON" (the file when
    // the message does not already name it, the system's reason when it has one).
    void ShowError(const EQuiva& error);
    // The command whose name prefixes the error texts.
    void SetCommand(const char* command) { m_command = command; }

    void SetVerbose(bool verbose) { m_verbose = verbose; }

    // Which stores a command opens.
    struct TStoreOptions {
        bool backups = true;           // open backups.db in the data folder
        bool writable = true;          // see TAppStores::TOptions
        bool backupsReadOnly = false;  // backups.db for reading only (the store check)
    };
    // Opens the program's stores for the commands that need them. Nothing is compacted
    // when they close: that is the desktop program's work. Safe to call twice; a second
    // call with other options reopens them.
    void OpenProgramStores(TStoreOptions options);
    // Stops the profiles and closes the stores. Safe to call twice.
    void CloseStores();

    TAppStores& Stores() { return m_stores; }
    TScriptRunner& Scripts() { return m_scripts; }
    TBackupService& Backups() { return m_backups; }

    // Takes the program folder's instance lock for the rest of the command, making the
    // folder (private) when it is missing: a command that writes the program's data holds
    // it, so that it and the desktop program never write at the same time. False when the
    // desktop program (or another command) holds it.
    [[nodiscard]] bool LockProgramData();

    // The refusal of a command that must write while the lock is held elsewhere: names the
    // other command when a command holds it, else the desktop program.
    QString RunningText(const char* command) const;

private:
    TAppStores m_stores;
    TScriptRunner m_scripts;
    TBackupService m_backups;
    bool m_verbose = false;
    const char* m_command = nullptr;
    bool m_opened = false;
    TStoreOptions m_options;
    std::unique_ptr<TInstanceLock> m_lock;
};
