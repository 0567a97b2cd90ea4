// The list of backup profiles: loading and storing them, the id counters of the backup
// store, the count of active profiles, the backup log, and the end of a run reported by a
// worker and concluded on the main thread.
#pragma once

#include "backup/backup_run.h"
#include "backup/backup_store.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class TAppStores;
class TBackupLog;
class THost;
class TProfile;

// Thread safety: the list and every profile's settings change on the main thread only.
// The id counters are atomic and are taken by workers inside StoreVersion, under the
// backups lock. Workers reach the main thread only through PostRunEnded and PostError,
// which queue a call to this object's thread.
class TProfiles : public QObject, public TBackupIdSource {
    Q_OBJECT
public:
    static constexpr int kMostActive = 3;
    static constexpr int kMostProfiles = 10;

    // Opens a new backup log, loads every profile and, with autostart, starts monitoring
    // those marked Autostart (at most three). The host's stores must be open. Main thread.
    TProfiles(THost& host, TAppStores& stores, TBackupStore& store, bool autostart,
              QObject* parent = nullptr);
    // Stores and stops every profile, then closes the log. Main thread.
    ~TProfiles() override;

    // ---- persistence ------------------------------------------------------------------
    // Reads the state "Profiles" (counters and names) and each named profile's blob; a
    // name without a usable blob is skipped. A stored state that cannot be read (damaged,
    // too large, of another shape) is said in the status panel and never written over:
    // the counters and names are then not stored for the rest of the run. Moves the
    // counters past the largest ids in the store. With autostart, starts the Autostart
    // profiles, failures ignored.
    void LoadAll(bool autostart);
    // The numbers of the profiles stored in the application database, read without making
    // a list (nothing is written); none when the stored list cannot be read.
    static std::optional<QList<int>> StoredNumbers(TAppStores& stores);
    // Writes the state "Profiles" (the counters and the names as they are), unless the
    // stored one could not be read.
    void SaveCounters();
    // True when the stored "Profiles" state could not be read at load.
    bool StateUnreadable() const { return m_stateUnreadable; }
    // Stores every profile's blob and rebuilds the names, then writes "Profiles"; with
    // `free`, also stops and destroys every profile.
    void SaveAll(bool free);
    // Moves the id counters past the largest ids present in the store (after a crash
    // that lost the stored counters, or after the data folder changed). Main thread.
    void AdoptStoreIds();
    // The idle work the host asked for with flag 27: stores the counters. Main thread.
    void ProcessIdle();

    // ---- ids --------------------------------------------------------------------------
    int TakePathIds(int& versionId) override;
    int TakeVersionId() override;
    int NextPathId() const { return m_nextPathId.load(); }
    int NextVersionId() const { return m_nextVersionId.load(); }
    int NextProfileId() const { return m_nextProfileId; }

    // ---- rules -------------------------------------------------------------------------
    // Raises, in this order, "Only 10 profiles allowed" when the list is full. Main thread.
    void CheckRoomForProfile() const;
    // Raises when the stored state could not hold the name: "Name too short" (3
    // characters or fewer), "Name too long (at most 24 characters)", "Only letters, digits
    // and _ are allowed in a profile name". Any thread.
    static void CheckName(const QString& name);
    static constexpr int kShortestName = 4;
    static constexpr int kLongestName = 24;

    // ---- the list ---------------------------------------------------------------------
    int Count() const { return static_cast<int>(m_profiles.size()); }
    // The profiles in load or creation order.
    QList<TProfile*> Profiles() const;
    TProfile* FindById(int number) const;
    // The profile of this name (without regard to case), or null.
    TProfile* FindByName(const QString& name) const;
    // True when no profile other than `profile` has this name (without regard to case).
    bool IsNameFree(const TProfile* profile, const QString& name) const;
    // False for an empty text or no existing folder; otherwise true when no profile
    // other than `profile` has this folder as its target (the same folder on disk).
    bool IsFolderFree(const TProfile* profile, const QString& folder) const;
    // A new profile "New Profile" (or "New Profile_k", the first free name) with the next
    // profile number and the home folder as target when no other profile has it.
    TProfile* NewProfile();

    // What a new profile is made of, as the command line gives it.
    struct TProfileRequest {
        QString name;
        QString target;          // an absolute folder
        QStringList extensions;  // each with its dot
        bool recurse = true;
        int sizeLimit = 6;     // index into the size limits (256 KiB)
        int discardRule = 2;   // keep 20 most recent
        bool classic = false;  // write classic versions instead of chunks
    };
    // Adds a profile after the rules every new profile meets, in this order: CheckName, "A
    // profile named %s exists already", CheckRoomForProfile, "Supply a target directory &
    // at least one file type to monitor!" (no extension), the program's own folders,
    // "%s is not a folder, or another profile has it", and a blob that fits the store.
    // Refused, nothing changes; added, every profile is stored. Main thread.
    TProfile* AddProfile(const TProfileRequest& request);
    // Deletes a profile's versions and then its stored row, stops and destroys it. When the
    // versions cannot be deleted nothing changes; when the row cannot be, the profile stays
    // without versions. Returns the number of profiles.
    int DeleteProfile(TProfile* profile);

    int ActiveCount() const { return m_activeCount.load(); }
    // ActiveCount := max(0, ActiveCount + delta).
    void ChangeActive(int delta);

    // ---- services ---------------------------------------------------------------------
    THost& Host() const { return m_host; }
    TAppStores& Stores() const { return m_stores; }
    TBackupStore& Store() const { return m_store; }
    TBackupLog& Log() const { return *m_log; }

    // Called by a worker or change reader whose run ended by itself: on the main thread
    // the profile is stopped and RunConcluded is emitted, unless the run was stopped or
    // replaced meanwhile. Any thread.
    void PostRunEnded(TProfile* profile, quint64 runSerial);
    // Shows an error text of a worker in the status panel, on the main thread. Any thread.
    void PostError(const QString& message);
    // What a worker and change reader of the profile may reach during the run `runSerial`:
    // the store, the log, this list's ids, the password's keys, the low-space flag, and
    // the end and error reports above. Main thread.
    TBackupRun MakeRun(TProfile* profile, quint64 runSerial);

    // The number of folders a monitoring profile may watch (0: as many as the system
    // allows). For tests of the system's limit.
    void SetWatchLimit(int folders) { m_watchLimit = folders; }
    int WatchLimit() const { return m_watchLimit; }

    // Called by a monitoring worker on its thread after it takes a batch of changes and
    // before it looks at the files, so that a test can order its own writes against the
    // worker's. Set while no profile is active.
    void SetBatchGate(std::function<void()> gate) { m_batchGate = std::move(gate); }
    const std::function<void()>& BatchGate() const { return m_batchGate; }

signals:
    // A run ended by itself (a full backup or pruning finished, a blocked or failed
    // monitoring run) and its profile has been stopped. Main thread.
    void RunConcluded(int profileNumber);

private:
    void ConcludeRun(TProfile* profile, quint64 runSerial);
    QByteArray CountersText() const;

    THost& m_host;
    TAppStores& m_stores;
    TBackupStore& m_store;
    std::unique_ptr<TBackupLog> m_log;
    std::vector<std::unique_ptr<TProfile>> m_profiles;
    QList<QByteArray> m_names;
    std::atomic<int> m_activeCount{0};
    std::atomic<int> m_nextPathId{1};
    std::atomic<int> m_nextVersionId{1};
    int m_nextProfileId = 1;
    int m_watchLimit = 0;
    std::function<void()> m_batchGate;
    bool m_stateUnreadable = false;
};
