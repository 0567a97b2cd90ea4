// The script engine's front: loads the PHP module when the engine starts, so that the
// program and the command line start without the PHP library and run without it when it
// is missing (the scripts are then refused).
#include "script/script_engine.h"

#include <QByteArrayList>

#include <climits>

#include <dlfcn.h>
#include <unistd.h>

namespace {

bool g_startBlocked = false;
constexpr const char* kModuleName = "libquiva_php.so";

// The folder of the running executable, as bytes with a trailing "/"; empty when unknown.
QByteArray ExecutableFolder() {
    char buffer[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer);
    if (length <= 0 || length >= static_cast<ssize_t>(sizeof buffer)) {
        return {};
    }
    const QByteArray path(buffer, length);
    return path.left(path.lastIndexOf('/') + 1);
}

// Where the module may be: in the program's library folder beside an installed program's
// folder (bin/../lib/quiva-tessaline), next to the program, and, for programs that run
// from the build tree (the programs and the tests), where the build put it. An installed
// program never loads a module from a build tree.
QByteArrayList ModuleCandidates() {
    QByteArrayList candidates;
    const QByteArray folder = ExecutableFolder();
    if (folder.isEmpty()) {
        return candidates;
    }
#ifdef QUIVA_PHP_MODULE_DIR
    candidates << folder + QUIVA_PHP_MODULE_DIR "/" + kModuleName;
#endif
    candidates << folder + kModuleName;
#if defined(QUIVA_PHP_MODULE_PATH) && defined(QUIVA_BUILD_TREE)
    if (folder.startsWith(QUIVA_BUILD_TREE "/")) {
        candidates << QByteArray(QUIVA_PHP_MODULE_PATH);
    }
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
        for (const QByteArray& candidate : ModuleCandidates()) {
            if (access(candidate.constData(), R_OK) != 0) {
                continue;
            }
            // The module stays loaded for the rest of the process: PHP cannot be unloaded.
            void* module = dlopen(candidate.constData(), RTLD_NOW | RTLD_LOCAL);
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
