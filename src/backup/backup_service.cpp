#include "backup/backup_service.h"

#include "backup/backup_store.h"
#include "backup/profiles.h"
#include "base/host.h"
#include "platform/file_system.h"
#include "storage/app_stores.h"

TBackupService::TBackupService(THost& host, TAppStores& stores) : m_host(host), m_stores(stores) {}

TBackupService::~TBackupService() {
    Close(false);
}

void TBackupService::Open(bool readOnly) {
    if (!m_store) {
        m_store = std::make_unique<TBackupStore>(m_host);
    }
    m_store->Open(m_host.DataFolder(), readOnly);
    const QString problem = m_store->OpenProblem();
    if (!problem.isEmpty()) {
        m_host.ShowStatus(problem, true, m_store->OpenProblemKind());
    }
}

void TBackupService::SetDataFolder(const QString& folder) {
    m_stores.ChangeDataFolder(folder);
    Open();
    if (m_profiles) {
        m_profiles->AdoptStoreIds();
    }
}

void TBackupService::StartProfiles(bool autostart) {
    if (!m_profiles && m_store) {
        m_profiles = std::make_unique<TProfiles>(m_host, m_stores, *m_store, autostart);
    }
}

void TBackupService::StopProfiles() {
    m_profiles.reset();
}

void TBackupService::CheckFreeSpace() {
    m_host.SetFlag(kFlagLowSpace, !HasFreeSpace(m_host.DataFolder()));
}

void TBackupService::ProcessIdle() {
    if (m_host.TakeFlag(kFlagProfilesIdle) && m_profiles) {
        m_profiles->ProcessIdle();
    }
}

void TBackupService::Close(bool compact) {
    StopProfiles();
    if (m_store) {
        m_store->Close(compact);
    }
}
