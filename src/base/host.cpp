#include "base/host.h"

#include "base/errors.h"
#include "base/utilities.h"

namespace {

THost* g_host = nullptr;

}  // namespace

THost* Host() {
    return g_host;
}

void SetHost(THost* host) {
    g_host = host;
}

THost::THost() = default;

THost::~THost() = default;

void THost::FailWith(const QByteArray& text) {
    if (text.isEmpty()) {
        return;
    }
    const QString message = QString::fromUtf8(text);
    ShowStatus(message, false, kStatusError);
    throw EQuiva(message);
}

bool THost::IsFlagSet(int bit) const {
    return bit >= 0 && bit < 32 && (m_flags.load() & (1u << bit)) != 0;
}

void THost::SetFlag(int bit, bool value) {
    if (bit < 0 || bit >= 32) {
        return;
    }
    if (value) {
        m_flags.fetch_or(1u << bit);
    } else {
        m_flags.fetch_and(~(1u << bit));
    }
}

bool THost::TakeFlag(int bit) {
    if (bit < 0 || bit >= 32) {
        return false;
    }
    return (m_flags.fetch_and(~(1u << bit)) & (1u << bit)) != 0;
}

void THost::SetProgramFolder(const QString& folder) {
    m_programFolder = WithTrailingSlash(folder);
    m_logsFolder =
        m_programFolder.isEmpty() ? QString() : m_programFolder + QStringLiteral("logs/");
}

void THost::SetDataFolderPath(const QString& folder) {
    m_dataFolder = WithTrailingSlash(folder);
}
