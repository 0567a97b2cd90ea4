// The host: what engines need of the program that runs them, and nothing more — status
// texts, the flag word and the program's folders. The desktop main window and the command
// line each provide one; tests provide their own. The services (application stores,
// backups, scripts) are objects of their own, owned by the programs.
#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>

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

// Thread safety: the flag word is atomic and may be read from any thread. The folders
// change on the main thread only, while no worker runs. ShowStatus is for the main thread.
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

    // ---- folders (each with a trailing "/") ----------------------------------------
    const QString& ProgramFolder() const { return m_programFolder; }
    const QString& LogsFolder() const { return m_logsFolder; }
    const QString& DataFolder() const { return m_dataFolder; }
    // The program folder, and with it the logs folder (program folder + "logs/").
    void SetProgramFolder(const QString& folder);
    void SetDataFolderPath(const QString& folder);

private:
    std::atomic<quint32> m_flags{0};
    QString m_programFolder;
    QString m_logsFolder;
    QString m_dataFolder;
};

// The program's one host, reached by every engine. Set by the program (or a test) once
// its host exists; nullptr before.
THost* Host();
void SetHost(THost* host);
