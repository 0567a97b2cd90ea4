// The embedded PHP engine that runs the stored check scripts: named text variables in,
// the same variables read back by name after the run.
#pragma once

#include <QByteArray>
#include <QList>

// One named script variable and its text value.
struct TScriptVariable {
    QByteArray name;
    QByteArray value;
};

// What the PHP module provides: the engine itself. The program reaches it through
// TScriptEngine, which loads the module on Start.
class IScriptRuntime {
public:
    virtual ~IScriptRuntime() = default;
    virtual bool Start() = 0;
    virtual void Shutdown() = 0;
    virtual bool Run(const QByteArray& script, QList<TScriptVariable>& variables,
                     QByteArray& failure) = 0;
};

// The module's entry point, looked up by this name.
using TScriptRuntimeEntry = IScriptRuntime* (*)();
constexpr const char* kScriptRuntimeEntry = "QuivaScriptRuntime";

// The process-wide PHP engine. PHP allows one engine per process, so there is one
// instance; it is started once and shut down at program end.
//
// Thread safety: main thread only. One run at a time.
class TScriptEngine {
public:
    static TScriptEngine& Instance();

    // Loads the PHP module (libquiva_php.so) and starts the engine. Returns true when it is
    // active afterwards (also when it was already active). A module or PHP library that
    // cannot be loaded, or a failed start, leaves the engine inactive; it never crashes.
    // PHP starts at most once per process, so Start after Shutdown fails.
    bool Start();

    // Why the last Start failed, in words (empty after a successful one).
    const QByteArray& StartFailure() const { return m_startFailure; }

    // True after a successful Start and before Shutdown.
    bool IsActive() const { return m_active; }

    // Ends the engine. Safe to call when it never started.
    void Shutdown();

    // Runs a script text. A text without "<?" is first wrapped as "<? %s ?>"; the text
    // is parsed as a file would be, short open tags included. Before the run every
    // variable is handed to the script under its name; after the run each variable's
    // value is read back from the script's globals, converted to text (a variable the
    // script unset reads back empty). What the script prints is discarded; exit() ends
    // the script normally.
    // Returns false when the engine is not active, or when the script failed (parse
    // error, fatal error, uncaught exception, time limit); `failure` then holds the
    // reason in words, and the variables keep the values they had before the run.
    bool Run(const QByteArray& script, QList<TScriptVariable>& variables, QByteArray& failure);

    // Seconds a single run may take before it is stopped.
    static constexpr int kTimeLimitSeconds = 5;

    // Test seam: while blocked, Start fails as if the engine could not be loaded.
    static void BlockStartForTesting(bool blocked);

private:
    TScriptEngine() = default;
    IScriptRuntime* m_runtime = nullptr;
    bool m_active = false;
    QByteArray m_startFailure;
};
