// The host services that engines and windows call on the program: status texts, the
// flag word, the folders, the application database and the script runner. The desktop
// main window and the command line each provide one host; tests provide their own.
#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>
#include <memory>
#include <optional>

class TAppDatabase;
class TBackupStore;
class TProfiles;

// Status kinds: how a status text is drawn.
enum TStatusKind : int {
    kStatusInfo = 0,        // information
    kStatusCompletion = 1,  // completion of an action
    kStatusNotice = 2,      // notice, drawn bold
    kStatusError = 3,       // error: red, bold, beep, holds against hints for 3 s
};

// Bits of the flag word.
enum THostFlag : int {
    kFlagUiDatabase = 1,        // the UI database is open
    kFlagLowSpace = 16,         // the data folder has less than 16 MiB free
    kFlagBackupsDatabase = 17,  // the backups database is open
    kFlagScriptEngine = 18,     // the script engine started; gates tool settings
    kFlagProfilesIdle = 27,     // the profile list wants idle processing
};

// Thread safety: the flag word is atomic and may be read from any thread. The
// application database serialises its own calls (see TAppDatabase). Everything else,
// ShowStatus and RunScript included, is for the main thread only.
class THost {
public:
    THost();
    virtual ~THost();
    THost(const THost&) = delete;
    THost& operator=(const THost&) = delete;

    // ---- status -----------------------------------------------------------------------
    // Shows a status text of a kind (TStatusKind). Unless hold, the text fades.
    virtual void ShowStatus(const QString& text, bool hold, int kind) = 0;

    // A non-empty text is shown as an error and aborts the current action with an
    // EQuiva carrying the text. An empty text does nothing.
    void FailWith(const QByteArray& text);

    // ---- flag word --------------------------------------------------------------------
    bool IsFlagSet(int bit) const;
    void SetFlag(int bit, bool value);
    bool TakeFlag(int bit);  // returns the bit and clears it

    // ---- start-up and shutdown ------------------------------------------------------
    // Which stores a program opens, and whether it may write the application database.
    struct TStoreOptions {
        bool backups = true;   // open backups.db in the data folder
        bool writable = true;  // create and write qvde.d, make the folders; otherwise
                               // read an existing qvde.d and write nothing at all
    };
    // Makes the program and logs folders (private, 0700), opens or creates the UI database
    // (flag 1), reads the shell state "Quiva" (data folder, preferences password), makes
    // the data folder and opens the backup store. A read-only opening makes no folder and
    // writes nothing: no shell state is stored and nothing is compacted when it closes.
    // Failures leave defaults in place; nothing here raises.
    void OpenStores(const QString& programFolder, TStoreOptions options);
    void OpenStores(const QString& programFolder) { OpenStores(programFolder, TStoreOptions{}); }
    // True while the application database may be written (opened writable, and the file
    // system lets it be written).
    bool StoresWritable() const;

    // Starts the script engine; flag 18 is set only when it is active.
    void StartScriptEngine();

    // Stops and stores the profiles (StopProfiles), saves the shell state, compacts and
    // closes the UI database, then the backup store. Safe to call twice. A derived host
    // calls it from its destructor.
    void CloseStores();

    // ---- folders (each with a trailing "/") ----------------------------------------
    const QString& ProgramFolder() const { return m_programFolder; }
    const QString& LogsFolder() const { return m_logsFolder; }
    const QString& DataFolder() const { return m_dataFolder; }
    QString UiDatabasePath() const;

    // ---- preferences password ---------------------------------------------------------
    const QByteArray& PreferencesPassword() const { return m_password; }
    quint32 PasswordHash() const { return m_passwordHash; }
    void SetPreferencesPassword(const QByteArray& password);

    // ---- application database services --------------------------------------------
    // Each is a no-op with an empty result while flag 1 is clear, reports its own
    // failures with ShowStatus and never raises.
    std::optional<QByteArray> LoadToolState(const QByteArray& key);
    void SaveToolState(const QByteArray& key, const QByteArray& state);
    bool HasToolState(const QByteArray& key);
    std::optional<QByteArray> LoadProfileBlob(const QByteArray& profileId);
    void SaveProfileBlob(const QByteArray& profileId, const QByteArray& blob);
    [[nodiscard]] bool DeleteProfileRows(const QByteArray& profileId, int profileNumber);
    QByteArray ReadUserInfo(const QByteArray& column, const QByteArray& owner);
    void WriteUserInfo(const QByteArray& column, const QByteArray& value, const QByteArray& owner);
    QByteArray InstallationId() const;

    // The installation key: 64 upper-case hex digits, made once per installation (16
    // random bytes through TextQuivash) and kept in "uconf" for the installation id;
    // cached after the first call. Empty while flag 1 is clear, when none is stored and the
    // database is open for reading only, or when a new key could not be stored (a key that is not
    // kept would give passwords that cannot be made again). Main thread.
    QByteArray GetInstallKey();

    // The application database, or nullptr before OpenStores.
    TAppDatabase* AppDatabase() const { return m_appDb.get(); }

    // ---- backups ---------------------------------------------------------------------
    // The backup store, made by OpenStores and open in the data folder while flag 17 is
    // set; the profile list, from StartProfiles to CloseStores. Null outside those times.
    TBackupStore* BackupStore() const { return m_backupStore.get(); }
    TProfiles* Profiles() const { return m_profiles.get(); }
    // Opens (or reopens) backups.db in the data folder; sets flag 17 while it is open. A
    // store that is damaged or cannot be used, or that had to be opened read-only, is
    // shown in the status panel with the store's text. Main thread, with no profile
    // active.
    void OpenBackupStore();
    // From the next OpenBackupStore on, opens backups.db read-only on purpose (the store
    // check): nothing is written to it or its folder, and a missing store is not made.
    void SetBackupStoreReadOnly(bool readOnly) { m_backupsReadOnly = readOnly; }
    // Makes `folder` the data folder (creating it) and reopens the backup store there;
    // the profile list moves its id counters past the new store's ids. The caller refuses
    // while a profile is active. Main thread.
    void SetDataFolder(const QString& folder);
    // Creates the profile list, the last step of start-up: a new backup log, every
    // profile loaded, and with autostart the Autostart profiles started. Main thread,
    // after OpenStores.
    void StartProfiles(bool autostart);
    // Stores and stops every profile and frees the list, the first step of shutdown
    // (CloseStores runs it too). Main thread.
    void StopProfiles();
    // The backups' idle work: flag 16 := the data folder has less than 16 MiB free; when
    // flag 27 is taken, the profile list stores its counters. Main thread, from the idle
    // handler (or a timer while a command waits).
    void ProcessBackupIdle();
    // Whether CloseStores compacts both databases ("vacuum"); on unless turned off: only
    // the desktop program compacts, command-line runs keep the files as they are.
    void SetCompactOnClose(bool compact) { m_compactOnClose = compact; }

    // ---- script runner -----------------------------------------------------------------
    // Runs the stored script `name` with the variable `variable` set to `value` and "err"
    // empty; afterwards `value` holds the variable as the script left it and `error` the
    // script's "err". Refusals ("FS_PHPE. Please contact us", "FSE:%s. Please contact us")
    // and script failures come back in `error` and are shown as errors.
    void RunScript(const QByteArray& name, const QByteArray& variable, QByteArray& value,
                   QByteArray& error);

    // ---- helpers -------------------------------------------------------------------
    // Two upper-case hex digits per byte.
    static QByteArray BytesToHex(const QByteArray& bytes);

    // The default preferences password of a new installation.
    static constexpr const char* kDefaultPassword = "vompa7";
    // The key of the shell's own state.
    static constexpr const char* kShellStateKey = "Quiva";

protected:
    // Deletes the versions of a profile from the backups database (under the backups
    // lock, errors ignored); without a store there is nothing to delete.
    virtual void DeleteProfileVersions(int profileNumber);

private:
    void MakeDataFolder();
    void LoadShellState();
    void SaveShellState();

    std::atomic<quint32> m_flags{0};
    QString m_programFolder;
    QString m_logsFolder;
    QString m_dataFolder;
    QByteArray m_password;
    quint32 m_passwordHash = 0;
    std::unique_ptr<TAppDatabase> m_appDb;
    bool m_storesOpen = false;
    QByteArray m_installKey;
    bool m_compactOnClose = true;
    bool m_backupsReadOnly = false;
    // Declared last: the profile list goes first, while the store and the UI database
    // it writes to still exist.
    std::unique_ptr<TBackupStore> m_backupStore;
    std::unique_ptr<TProfiles> m_profiles;
};

// The program's one host, reached by every engine. Set by the program (or a test) once
// its host exists; nullptr before.
THost* Host();
void SetHost(THost* host);
