// The command line's host: status texts go to standard error, there are no windows.
#pragma once

#include "shell/host.h"

class TCliHost : public THost {
public:
    TCliHost();
    ~TCliHost() override;

    // Prints information and completion texts only when verbose; notices and errors always.
    void ShowStatus(const QString& text, bool hold, int kind) override;

    void SetVerbose(bool verbose) { m_verbose = verbose; }

    // Opens the program's stores (application database, data folder) and starts the
    // script engine, for the commands that need them. Safe to call twice.
    void OpenProgramStores();

private:
    bool m_verbose = false;
    bool m_opened = false;
};
