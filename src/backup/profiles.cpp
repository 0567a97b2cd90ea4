#include "backup/profiles.h"

#include "backup/backup_log.h"
#include "backup/profile.h"
#include "base/bar_list.h"
#include "base/errors.h"
#include "base/host.h"
#include "base/settings_codec.h"
#include "base/utilities.h"
#include "platform/file_access.h"
#include "platform/file_system.h"
#include "platform/file_utilities.h"
#include "platform/native_name.h"
#include "storage/app_stores.h"

#include <QtEndian>

#include <algorithm>

namespace {

constexpr const char* kProfilesKey = "Profiles";
constexpr int kProfilesFields = 4;

// Raises `counter` to at least `floor`.
void AtLeast(std::atomic<int>& counter, int floor) {
    int current = counter.load();
    while (current < floor && !counter.compare_exchange_weak(current, floor)) {
    }
}

}  // namespace

TProfiles::TProfiles(THost& host, TAppStores& stores, TBackupStore& store, bool autostart,
                     QObject* parent)
    : QObject(parent),
      m_host(host),
      m_stores(stores),
      m_store(store),
      m_log(std::make_unique<TBackupLog>(host.LogsFolder())) {
    m_log->OpenNewLog();
    m_store.SetLog(m_log.get());
    m_store.LogOpenProblem();
    LoadAll(autostart);
}

TProfiles::~TProfiles() {
    SaveAll(true);
    m_store.SetLog(nullptr);
    m_log->CloseLog();
}

// ---- persistence ---------------------------------------------------------------------

void TProfiles::LoadAll(bool autostart) {
    const std::optional<QByteArray> stored = m_stores.LoadToolState(kProfilesKey);
    m_stateUnreadable = stored ? TBarList(DecodeSettings(*stored)).Count() != kProfilesFields
                               : m_stores.HasToolState(kProfilesKey);
    if (m_stateUnreadable) {
        m_host.ShowStatus(QStringLiteral("The stored list of backup profiles could not be read; "
                                         "it is kept unchanged"),
                          false, kStatusError);
    }
    if (stored) {
        const TBarList fields(DecodeSettings(*stored));
        if (fields.Count() == kProfilesFields) {
            m_nextVersionId = fields.Int(0, 1);
            m_nextPathId = fields.Int(1, 1);
            m_nextProfileId = fields.Int(2, 1);
            m_names = fields[3].split('\n');
            for (QByteArray& name : m_names) {
                name = name.trimmed();
            }
            m_names.removeAll(QByteArray());
        }
    }
    for (const QByteArray& name : std::as_const(m_names)) {
        const std::optional<QByteArray> blob = m_stores.LoadProfileBlob(name);
        if (!blob) {
            continue;
        }
        if (std::unique_ptr<TProfile> profile = TProfile::FromBlob(*this, *blob)) {
            m_profiles.push_back(std::move(profile));
        }
    }
    AdoptStoreIds();
    if (!autostart) {
        return;
    }
    for (const auto& profile : m_profiles) {
        if (m_activeCount.load() >= kMostActive) {
            break;
        }
        if (profile->TestBit(kBitAutostart)) {
            try {
                (void)profile->StartMonitoring();
            } catch (const EQuiva&) {
                // An autostart that fails leaves the profile ready; the log says why.
            }
        }
    }
}

std::optional<QList<int>> TProfiles::StoredNumbers(TAppStores& stores) {
    const std::optional<QByteArray> stored = stores.LoadToolState(kProfilesKey);
    if (!stored) {
        if (stores.HasToolState(kProfilesKey) || !stores.Database().IsOpen()) {
            return std::nullopt;
        }
        return QList<int>();
    }
    const TBarList fields(DecodeSettings(*stored));
    if (fields.Count() != kProfilesFields) {
        return std::nullopt;
    }
    QList<int> numbers;
    for (QByteArray name : fields[3].split('\n')) {
        name = name.trimmed();
        if (name.isEmpty()) {
            continue;
        }
        const std::optional<QByteArray> blob = stores.LoadProfileBlob(name);
        if (blob && blob->size() >= kProfileBlobHeader) {
            numbers.append(static_cast<int>(qFromLittleEndian<qint32>(blob->constData() + 24)));
        }
    }
    return numbers;
}

void TProfiles::AdoptStoreIds() {
    const TStoreIds largest = m_store.LargestIds();
    AtLeast(m_nextPathId, largest.pathId + 1);
    AtLeast(m_nextVersionId, largest.versionId + 1);
    int profileNumber = largest.profileNumber;
    for (const auto& profile : m_profiles) {
        profileNumber = std::max(profileNumber, profile->Number());
    }
    m_nextProfileId = std::max(m_nextProfileId, profileNumber + 1);
}

QByteArray TProfiles::CountersText() const {
    QByteArray names;
    for (const QByteArray& name : m_names) {
        names += name + "\r\n";
    }
    return QByteArray::number(m_nextVersionId.load()) + '|' +
           QByteArray::number(m_nextPathId.load()) + '|' + QByteArray::number(m_nextProfileId) +
           '|' + names + '|';
}

void TProfiles::SaveCounters() {
    if (m_stateUnreadable) {
        return;
    }
    m_stores.SaveToolState(kProfilesKey, EncodeSettings(CountersText()));
}

void TProfiles::SaveAll(bool free) {
    m_names.clear();
    for (auto& profile : m_profiles) {
        const QByteArray name = profile->Name().toUtf8();
        m_names.append(name);
        const QByteArray blob = profile->WriteProfileBlob();
        if (free) {
            profile.reset();
        }
        m_stores.SaveProfileBlob(name, blob);
    }
    SaveCounters();
    if (free) {
        m_profiles.clear();
    }
}

void TProfiles::ProcessIdle() {
    SaveCounters();
}

// ---- ids -----------------------------------------------------------------------------

// The counters are stored on the next idle moment, not at once: the store's own largest
// ids are adopted at every load, so a counter lost in a crash is never handed out again.
int TProfiles::TakePathIds(int& versionId) {
    const int pathId = m_nextPathId.fetch_add(1);
    versionId = m_nextVersionId.fetch_add(1);
    m_host.SetFlag(kFlagProfilesIdle, true);
    return pathId;
}

int TProfiles::TakeVersionId() {
    const int versionId = m_nextVersionId.fetch_add(1);
    m_host.SetFlag(kFlagProfilesIdle, true);
    return versionId;
}

// ---- rules ---------------------------------------------------------------------------

void TProfiles::CheckRoomForProfile() const {
    if (Count() >= kMostProfiles) {
        RaiseError(QStringLiteral("Only 10 profiles allowed"));
    }
}

void TProfiles::CheckName(const QString& name) {
    if (name.size() < kShortestName) {
        RaiseError(QStringLiteral("Name too short"));
    }
    if (name.size() > kLongestName) {
        RaiseError(QStringLiteral("Name too long (at most %1 characters)").arg(kLongestName));
    }
    // The stored list keeps one name a line inside a "|"-separated text: the window's key
    // filter lets only these characters in.
    const bool plain = std::all_of(name.cbegin(), name.cend(), [](QChar c) {
        return c.isLetter() || c.isDigit() || c == QLatin1Char('_');
    });
    if (!plain) {
        RaiseError(QStringLiteral("Only letters, digits and _ are allowed in a profile name"));
    }
}

// ---- the list ------------------------------------------------------------------------

QList<TProfile*> TProfiles::Profiles() const {
    QList<TProfile*> list;
    for (const auto& profile : m_profiles) {
        list.append(profile.get());
    }
    return list;
}

TProfile* TProfiles::FindById(int number) const {
    for (const auto& profile : m_profiles) {
        if (profile->Number() == number) {
            return profile.get();
        }
    }
    return nullptr;
}

TProfile* TProfiles::FindByName(const QString& name) const {
    for (const auto& profile : m_profiles) {
        if (profile->Name().compare(name, Qt::CaseInsensitive) == 0) {
            return profile.get();
        }
    }
    return nullptr;
}

bool TProfiles::IsNameFree(const TProfile* profile, const QString& name) const {
    return std::none_of(m_profiles.cbegin(), m_profiles.cend(), [&](const auto& other) {
        return other.get() != profile && other->Name().compare(name, Qt::CaseInsensitive) == 0;
    });
}

bool TProfiles::IsFolderFree(const TProfile* profile, const QString& folder) const {
    if (folder.isEmpty() || EntryKind(folder) != kEntryFolder) {
        return false;
    }
    return std::none_of(m_profiles.cbegin(), m_profiles.cend(), [&](const auto& other) {
        return other.get() != profile && !other->Target().isEmpty() &&
               IsSameFile(other->Target(), folder);
    });
}

TProfile* TProfiles::NewProfile() {
    QString name = QStringLiteral("New Profile");
    for (int k = 1; !IsNameFree(nullptr, name); ++k) {
        name = QStringLiteral("New Profile_%1").arg(k);
    }
    m_profiles.push_back(
        std::make_unique<TProfile>(*this, name, m_nextProfileId++, WindowsFolder()));
    m_names.append(name.toUtf8());
    return m_profiles.back().get();
}

TProfile* TProfiles::AddProfile(const TProfileRequest& request) {
    CheckName(request.name);
    if (!IsNameFree(nullptr, request.name)) {
        RaiseError(QStringLiteral("A profile named %1 exists already").arg(request.name));
    }
    CheckRoomForProfile();
    if (request.extensions.isEmpty()) {
        RaiseError(
            QStringLiteral("Supply a target directory & at least one file type to monitor!"));
    }
    const QString folder = WithTrailingSlash(request.target);
    RejectOwnFolders(folder, {m_host.ProgramFolder(), m_host.DataFolder(), m_host.LogsFolder()});
    if (!IsFolderFree(nullptr, folder)) {
        RaiseError(QStringLiteral("%1 is not a folder, or another profile has it").arg(folder));
    }
    auto profile = std::make_unique<TProfile>(*this, request.name, m_nextProfileId, folder);
    profile->SetExtensions(request.extensions.join(QStringLiteral("\r\n")));
    profile->RecheckReady();
    profile->SetBit(kBitRecurse, request.recurse);
    profile->SetBit(kBitClassic, request.classic);
    profile->SetSizeLimit(request.sizeLimit);
    profile->SetDiscardRule(request.discardRule);
    profile->CheckBlobFits();
    ++m_nextProfileId;
    m_profiles.push_back(std::move(profile));
    m_names.append(request.name.toUtf8());
    SaveAll(false);
    return m_profiles.back().get();
}

int TProfiles::DeleteProfile(TProfile* profile) {
    const auto it = std::find_if(m_profiles.begin(), m_profiles.end(),
                                 [&](const auto& p) { return p.get() == profile; });
    if (it == m_profiles.end()) {
        return Count();
    }
    // Stopped first, so that no worker stores a version after the profile's versions are
    // deleted.
    profile->Stop();
    // The versions go first, in one transaction, and the profile's row only then: a delete
    // cut short (killed, a full disk) leaves the profile with all its versions or with
    // none, never versions without a profile that nobody can find or prune.
    if (!m_store.DeleteProfileVersions(profile->Number())) {
        m_host.ShowStatus(QStringLiteral("The versions of %1 could not be deleted from %2; the "
                                         "profile is kept with all of them")
                              .arg(profile->Name(), PrintableName(m_store.Path())),
                          false, kStatusError);
        return Count();
    }
    const QByteArray name = profile->Name().toUtf8();
    if (!m_stores.DeleteProfileRow(name)) {
        return Count();
    }
    m_profiles.erase(it);
    m_names.removeOne(name);
    return Count();
}

void TProfiles::ChangeActive(int delta) {
    int current = m_activeCount.load();
    while (!m_activeCount.compare_exchange_weak(current, std::max(0, current + delta))) {
    }
}

// ---- the end of a run ----------------------------------------------------------------

void TProfiles::PostRunEnded(TProfile* profile, quint64 runSerial) {
    QMetaObject::invokeMethod(
        this, [this, profile, runSerial]() { ConcludeRun(profile, runSerial); },
        Qt::QueuedConnection);
}

void TProfiles::PostError(const QString& message) {
    QMetaObject::invokeMethod(
        this, [this, message]() { m_host.ShowStatus(message, false, kStatusError); },
        Qt::QueuedConnection);
}

void TProfiles::ConcludeRun(TProfile* profile, quint64 runSerial) {
    const bool listed = std::any_of(m_profiles.cbegin(), m_profiles.cend(),
                                    [&](const auto& p) { return p.get() == profile; });
    if (!listed || profile->RunSerial() != runSerial || !profile->TestBit(kBitActive)) {
        return;
    }
    profile->Stop();
    emit RunConcluded(profile->Number());
}

TBackupRun TProfiles::MakeRun(TProfile* profile, quint64 runSerial) {
    TBackupRun run;
    run.store = &m_store;
    run.log = m_log.get();
    run.ids = this;
    run.classicKeys = TBlobKeys::FromHash(m_stores.PasswordHash());
    run.password = m_stores.PreferencesPassword();
    run.dataFolder = m_host.DataFolder();
    THost* host = &m_host;
    run.lowSpace = [host] { return host->IsFlagSet(kFlagLowSpace); };
    run.ended = [this, profile, runSerial] { PostRunEnded(profile, runSerial); };
    run.showError = [this](const QString& message) { PostError(message); };
    run.batchGate = m_batchGate;
    return run;
}
