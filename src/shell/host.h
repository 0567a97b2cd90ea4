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
    // Makes the program and logs folders, opens or creates the UI database (flag 1),
    // reads the shell state "Quiva" (data folder, preferences password) and makes the
    // data folder. Failures leave defaults in place; nothing here raises.
    void OpenStores(const QString& programFolder);

    // Starts the script engine; flag 18 is set only when it is active.
    void StartScriptEngine();

    // Saves the shell state, compacts and closes the UI database. Safe to call twice.
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
    std::optional<QByteArray> LoadProfileBlob(const QByteArray& profileId);
    void SaveProfileBlob(const QByteArray& profileId, const QByteArray& blob);
    [[nodiscard]] bool DeleteProfileRows(const QByteArray& profileId, int profileNumber);
    QByteArray ReadUserInfo(const QByteArray& column, const QByteArray& owner);
    void WriteUserInfo(const QByteArray& column, const QByteArray& value,
                       const QByteArray& owner);
    QByteArray InstallationId() const;

    // The application database, or nullptr before OpenStores.
    TAppDatabase* AppDatabase() const { return m_appDb.get(); }

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
    // Deletes the versions of a profile from the backups database. The backup store
    // provides it; without one there is nothing to delete.
    virtual void DeleteProfileVersions(int profileNumber);

private:
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
};

// The program's one host, reached by every engine. Set by the program (or a test) once
// its host exists; nullptr before.
THost* Host();
void SetHost(THost* host);
