// Environment variables set for one test and put back as they were afterwards.
#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>

#include <optional>

class TScopedEnvironment {
public:
    TScopedEnvironment() = default;
    TScopedEnvironment(const TScopedEnvironment&) = delete;
    TScopedEnvironment& operator=(const TScopedEnvironment&) = delete;
    ~TScopedEnvironment() {
        for (const auto& [name, value] : m_saved) {
            if (value) {
                qputenv(name.constData(), *value);
            } else {
                qunsetenv(name.constData());
            }
        }
    }
    void Set(const char* name, const QByteArray& value) {
        Remember(name);
        qputenv(name, value);
    }
    void Unset(const char* name) {
        Remember(name);
        qunsetenv(name);
    }
    // No proxy of the machine's own settings reaches the test.
    void ClearProxies() {
        for (const char* name :
             {"http_proxy", "https_proxy", "HTTPS_PROXY", "HTTP_PROXY", "no_proxy", "NO_PROXY"}) {
            Unset(name);
        }
    }

private:
    void Remember(const char* name) {
        for (const auto& saved : m_saved) {
            if (saved.first == name) {
                return;
            }
        }
        m_saved.append({name, qEnvironmentVariableIsSet(name)
                                  ? std::optional<QByteArray>(qgetenv(name))
                                  : std::nullopt});
    }
    QList<QPair<QByteArray, std::optional<QByteArray>>> m_saved;
};
