// The command line's host: status texts go to standard error, there are no windows.
#pragma once

#include "platform/instance_lock.h"
#include "shell/host.h"

#include <memory>

class TCliHost : public THost {
public:
    TCliHost();
    ~TCliHost() override;

    // Prints information and completion texts only when verbose; notices and errors always.
    void ShowStatus(const QString& text, bool hold, int kind) override;

    void SetVerbose(bool verbose) { m_verbose = verbose; }

    // Opens the program's stores (see THost::TStoreOptions) for the commands that need
    // them. Nothing is compacted when they close: that is the
    // desktop program's work. Safe to call twice; a second call with other options
    // reopens them.
    void OpenProgramStores(TStoreOptions options);

    // Takes the program folder's instance lock for the rest of the command, making the
    // folder (private) when it is missing: a command that writes the program's data holds
    // it, so that it and the desktop program never write at the same time. False when the
    // desktop program (or another command) holds it.
    [[nodiscard]] bool LockProgramData();

    // The refusal of a command that must write while the lock is held elsewhere.
    static QString RunningText(const char* command);

private:
    bool m_verbose = false;
    bool m_opened = false;
    TStoreOptions m_options;
    std::unique_ptr<TInstanceLock> m_lock;
};
