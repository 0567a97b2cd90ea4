// The script runner: runs the stored check scripts ("pwdchk", "gfm") on the process's PHP
// engine for the tools, with the program's refusals when the engine or the script is
// missing. The desktop program and the command line each own one.
#pragma once

#include <QByteArray>

#include <functional>

class THost;

// Thread safety: main thread only, as the engine.
class TScriptRunner {
public:
    // `fetchScript` gives the decoded text of a stored script by name (empty when there is
    // none).
    TScriptRunner(THost& host, std::function<QByteArray(const QByteArray&)> fetchScript);

    // Starts the script engine; host flag 18 is set only when it is active.
    void Start();

    // Runs the stored script `name` with the variable `variable` set to `value` and "err"
    // empty; afterwards `value` holds the variable as the script left it and `error` the
    // script's "err". Refusals ("FS_PHPE. Please contact us", "FSE:%s. Please contact us")
    // and script failures come back in `error` and are shown as errors.
    void RunScript(const QByteArray& name, const QByteArray& variable, QByteArray& value,
                   QByteArray& error);

private:
    THost& m_host;
    std::function<QByteArray(const QByteArray&)> m_fetchScript;
};
