// The backup service: the backup store in the data folder and the profile list over it,
// with what the program does with them — opening and reopening the store, moving the data
// folder, starting and stopping the profiles, and the idle work (the data folder's free
// space, the profile counters). The desktop program and the command line each own one.
#pragma once

#include <QString>

#include <chrono>
#include <memory>

class TAppStores;
class TBackupStore;
class THost;
class TProfiles;
class TStoreIdleCheck;

// Thread safety: main thread only; the store and the profiles have their own notes.
class TBackupService {
public:
    TBackupService(THost& host, TAppStores& stores);
    // Stops the profiles and closes the store without compacting it.
    ~TBackupService();
    TBackupService(const TBackupService&) = delete;
    TBackupService& operator=(const TBackupService&) = delete;

    // Opens (or reopens) backups.db in the host's data folder; host flag 17 is set while it
    // is open. With readOnly the store is opened for reading on purpose (the store check):
    // nothing is written and a missing store is not made. A store that is damaged or
    // cannot be used, or that had to be opened read-only, is shown in the status panel
    // with the store's text. With no profile active.
    void Open(bool readOnly = false);

    // Makes `folder` the data folder (made when missing) and reopens the store there; the
    // profile list moves its id counters past the new store's ids. The caller refuses
    // while a profile is active.
    void SetDataFolder(const QString& folder);

    // Creates the profile list, the last step of start-up: a new backup log, every
    // profile loaded, and with autostart the Autostart profiles started. After Open.
    void StartProfiles(bool autostart);
    // Stores and stops every profile and frees the list, the first step of shutdown.
    void StopProfiles();

    // The program's one check of the data folder's room: host flag 16 := the data folder
    // has less than 16 MiB free (a run stops while it is set). From the idle handler (or a
    // timer while a command waits).
    void CheckFreeSpace();
    // The idle work: when host flag 27 is taken, the profile list stores its counters;
    // and CheckStoreWhenDue.
    void ProcessIdle();

    // The periodic check of a store open for writing: when it is due (first some time
    // after the store was opened, then at an interval), SQLite's quick check starts on a
    // thread of its own; when it finds damage, the store takes no more writes and the
    // problem is shown in the status panel (kind error) and logged.
    void CheckStoreWhenDue();
    // True while the periodic check runs.
    bool IsStoreCheckRunning() const;
    // The times of the periodic check (defaults 10 minutes and 24 hours; tests).
    void SetStoreCheckTimes(std::chrono::milliseconds first, std::chrono::milliseconds every);

    // Stops the profiles, compacts the store when `compact` (and it may be written) and
    // closes it. Safe to call twice.
    void Close(bool compact);

    // The store (null before the first Open) and the profile list (null outside
    // StartProfiles..StopProfiles).
    TBackupStore* Store() const { return m_store.get(); }
    TProfiles* Profiles() const { return m_profiles.get(); }

private:
    THost& m_host;
    TAppStores& m_stores;
    // The profile list goes first, while the store it writes to still exists.
    std::unique_ptr<TBackupStore> m_store;
    std::unique_ptr<TProfiles> m_profiles;
    std::unique_ptr<TStoreIdleCheck> m_storeCheck;
    std::chrono::milliseconds m_firstCheck{std::chrono::minutes(10)};
    std::chrono::milliseconds m_checkEvery{std::chrono::hours(24)};
    std::chrono::steady_clock::time_point m_nextCheck;
};
