#include "backup/backup_service.h"

#include "backup/backup_store.h"
#include "backup/profiles.h"
#include "backup/store_idle_check.h"
#include "base/host.h"
#include "platform/file_system.h"
#include "storage/app_stores.h"

TBackupService::TBackupService(THost& host, TAppStores& stores)
    : m_host(host), m_stores(stores), m_storeCheck(std::make_unique<TStoreIdleCheck>()) {}

TBackupService::~TBackupService() {
    Close(false);
}

void TBackupService::Open(bool readOnly) {
    if (!m_store) {
        m_store = std::make_unique<TBackupStore>(m_host);
    }
    m_storeCheck->Stop();
    m_store->Open(m_host.DataFolder(), readOnly);
    m_nextCheck = std::chrono::steady_clock::now() + m_firstCheck;
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
    CheckStoreWhenDue();
}

bool TBackupService::IsStoreCheckRunning() const {
    return m_storeCheck->IsRunning();
}

void TBackupService::SetStoreCheckTimes(std::chrono::milliseconds first,
                                        std::chrono::milliseconds every) {
    m_firstCheck = first;
    m_checkEvery = every;
    m_nextCheck = std::chrono::steady_clock::now() + m_firstCheck;
}

void TBackupService::CheckStoreWhenDue() {
    if (!m_store || !m_store->IsOpen() || m_store->IsReadOnly() || m_store->IsDamaged()) {
        return;
    }
    if (const std::optional<QString> damage = m_storeCheck->TakeResult()) {
        if (!damage->isEmpty()) {
            m_store->RefuseWrites(*damage);
            m_host.ShowStatus(m_store->OpenProblem(), true, kStatusError);
        }
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= m_nextCheck && !m_storeCheck->IsRunning()) {
        m_nextCheck = now + m_checkEvery;
        m_storeCheck->Start(m_store->Path());
    }
}

void TBackupService::Close(bool compact) {
    StopProfiles();
    m_storeCheck->Stop();
    if (m_store) {
        m_store->Close(compact);
    }
}
