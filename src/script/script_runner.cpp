#include "script/script_runner.h"

#include "base/host.h"
#include "script/script_engine.h"

TScriptRunner::TScriptRunner(THost& host, std::function<QByteArray(const QByteArray&)> fetchScript)
    : m_host(host), m_fetchScript(std::move(fetchScript)) {}

void TScriptRunner::Start() {
    m_host.SetFlag(kFlagScriptEngine, TScriptEngine::Instance().Start());
}

void TScriptRunner::RunScript(const QByteArray& name, const QByteArray& variable, QByteArray& value,
                              QByteArray& error) {
    error.clear();
    if (!m_host.IsFlagSet(kFlagScriptEngine)) {
        error = "FS_PHPE. Please contact us";
        m_host.ShowStatus(QString::fromUtf8(error), false, kStatusError);
        return;
    }
    const QByteArray script = m_fetchScript ? m_fetchScript(name) : QByteArray();
    if (script.isEmpty()) {
        error = "FSE:" + name + ". Please contact us";
        m_host.ShowStatus(QString::fromUtf8(error), false, kStatusError);
        return;
    }
    QList<TScriptVariable> variables{{variable, value}, {QByteArrayLiteral("err"), QByteArray()}};
    QByteArray failure;
    if (!TScriptEngine::Instance().Run(script, variables, failure)) {
        error = failure;
        m_host.ShowStatus(QString::fromUtf8(error), false, kStatusError);
        return;
    }
    value = variables[0].value;
    error = variables[1].value;
}
