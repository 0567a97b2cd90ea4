// The script engine's front: loads the PHP module when the engine starts, so that the
// program and the command line start without the PHP library and run without it when it
// is missing (the scripts are then refused).
#include "script/script_engine.h"

#include <QCoreApplication>
#include <QFile>
#include <QStringList>

#include <dlfcn.h>

namespace {

bool g_startBlocked = false;
constexpr const char* kModuleName = "libquiva_php.so";

// Where the module may be: next to the program, then where the build put it.
QStringList ModuleCandidates() {
    QStringList candidates;
    if (QCoreApplication::instance() != nullptr) {
        candidates << QCoreApplication::applicationDirPath() + '/' + QLatin1String(kModuleName);
    }
#ifdef QUIVA_PHP_MODULE_PATH
    candidates << QStringLiteral(QUIVA_PHP_MODULE_PATH);
#endif
    return candidates;
}

}  // namespace

TScriptEngine& TScriptEngine::Instance() {
    static TScriptEngine engine;
    return engine;
}

void TScriptEngine::BlockStartForTesting(bool blocked) {
    g_startBlocked = blocked;
}

bool TScriptEngine::Start() {
    if (m_active) {
        return true;
    }
    m_startFailure.clear();
    if (g_startBlocked) {
        m_startFailure = "PHP engine is not loaded";
        return false;
    }
    if (m_runtime == nullptr) {
        for (const QString& candidate : ModuleCandidates()) {
            if (!QFile::exists(candidate)) {
                continue;
            }
            // The module stays loaded for the rest of the process: PHP cannot be unloaded.
            void* module = dlopen(QFile::encodeName(candidate).constData(), RTLD_NOW | RTLD_LOCAL);
            if (module == nullptr) {
                m_startFailure = dlerror();
                continue;
            }
            const auto entry =
                reinterpret_cast<TScriptRuntimeEntry>(dlsym(module, kScriptRuntimeEntry));
            if (entry != nullptr) {
                m_runtime = entry();
                break;
            }
        }
    }
    if (m_runtime == nullptr) {
        if (m_startFailure.isEmpty()) {
            m_startFailure = "PHP engine is not loaded";
        }
        return false;
    }
    m_active = m_runtime->Start();
    if (!m_active) {
        m_startFailure = "PHP engine could not be started";
    }
    return m_active;
}

void TScriptEngine::Shutdown() {
    if (m_active) {
        m_runtime->Shutdown();
        m_active = false;
    }
}

bool TScriptEngine::Run(const QByteArray& script, QList<TScriptVariable>& variables,
                        QByteArray& failure) {
    failure.clear();
    if (!m_active) {
        failure = "The script engine is not running";
        return false;
    }
    if (!m_runtime->Run(script, variables, failure)) {
        return false;
    }
    return true;
}
