#include "support/test_host.h"

TTestHost::TTestHost()
    : m_stores(*this),
      m_scripts(*this, [this](const QByteArray& name) { return m_stores.FetchScript(name); }),
      m_backups(*this, m_stores) {
    SetHost(this);
}

TTestHost::~TTestHost() {
    CloseStores();
    if (Host() == this) {
        SetHost(nullptr);
    }
}

void TTestHost::ShowStatus(const QString& text, bool hold, int kind) {
    statuses.append({text, hold, kind});
}

bool TTestHost::HasError(const QString& text) const {
    for (const TRecordedStatus& status : statuses) {
        if (status.kind == kStatusError && status.text == text) {
            return true;
        }
    }
    return false;
}

void TTestHost::OpenStores(const QString& programFolder, TStoreOptions options) {
    m_stores.Open(programFolder, {.writable = options.writable});
    if (options.backups) {
        m_backups.Open(m_backupsReadOnly);
    }
    m_open = true;
}

void TTestHost::CloseStores() {
    if (!m_open) {
        return;
    }
    m_open = false;
    m_backups.StopProfiles();
    m_stores.Close(true);
    m_backups.Close(true);
}
