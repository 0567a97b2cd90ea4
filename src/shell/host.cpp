#include "shell/host.h"

#include "backup/backup_store.h"
#include "backup/profiles.h"
#include "controls/bar_list.h"
#include "platform/file_system.h"
#include "platform/folders.h"
#include "shell/errors.h"
#include "shell/script_engine.h"
#include "shell/settings_codec.h"
#include "storage/app_database.h"
#include "tools/security/hash/quivash.h"

#include <openssl/rand.h>

namespace {

THost* g_host = nullptr;

constexpr int kShellStateFields = 6;
constexpr int kInstallKeyBytes = 16;

// A new installation key: 16 random bytes of 0-254 from the system's strong generator,
// as hex, through TextQuivash. Empty when the generator fails.
QByteArray MakeInstallKey() {
    QByteArray bytes;
    while (bytes.size() < kInstallKeyBytes) {
        unsigned char draw[kInstallKeyBytes];
        if (RAND_bytes(draw, sizeof draw) != 1) {
            return {};
        }
        for (const unsigned char value : draw) {
            // 255 is drawn again so that 0-254 stay equally likely.
            if (value != 255 && bytes.size() < kInstallKeyBytes) {
                bytes.append(static_cast<char>(value));
            }
        }
    }
    return TextQuivash(THost::BytesToHex(bytes));
}

QString WithSlash(QString path) {
    if (!path.isEmpty() && !path.endsWith('/')) {
        path += '/';
    }
    return path;
}

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

QString THost::UiDatabasePath() const {
    return m_programFolder + QStringLiteral("qvde.d");
}

void THost::OpenStores(const QString& programFolder, TStoreOptions options) {
    m_installKey.clear();
    m_programFolder = WithSlash(programFolder);
    m_logsFolder = m_programFolder + QStringLiteral("logs/");
    m_appDb = std::make_unique<TAppDatabase>(*this);
    if (!options.writable) {
        m_appDb->Open(UiDatabasePath(), false);
    } else if (MakePrivateFolder(m_programFolder)) {
        (void)MakePrivateFolder(m_logsFolder);
        m_appDb->Open(UiDatabasePath(), true);
    }
    LoadShellState();
    if (options.writable) {
        MakeDataFolder();
    }
    if (options.backups) {
        OpenBackupStore();
    }
    m_storesOpen = true;
}

bool THost::StoresWritable() const {
    return m_appDb && m_appDb->IsWritable();
}

void THost::MakeDataFolder() {
    // The program's own Data folder is tightened like the program folder; a folder the user
    // chose elsewhere is made private when it is new and otherwise left as the user keeps it
    // (backups.db itself is private).
    if (m_dataFolder == m_programFolder + QStringLiteral("Data/")) {
        (void)MakePrivateFolder(m_dataFolder);
    } else {
        (void)MakeFolderPath(m_dataFolder);
    }
}

void THost::StartScriptEngine() {
    SetFlag(kFlagScriptEngine, TScriptEngine::Instance().Start());
}

void THost::CloseStores() {
    if (!m_storesOpen) {
        return;
    }
    m_storesOpen = false;
    StopProfiles();
    SaveShellState();
    if (m_appDb) {
        m_appDb->Close(m_compactOnClose && m_appDb->IsWritable());
    }
    if (m_backupStore) {
        m_backupStore->Close(m_compactOnClose);
    }
}

void THost::OpenBackupStore() {
    if (!m_backupStore) {
        m_backupStore = std::make_unique<TBackupStore>(*this);
    }
    m_backupStore->Open(m_dataFolder, m_backupsReadOnly);
    const QString problem = m_backupStore->OpenProblem();
    if (!problem.isEmpty()) {
        ShowStatus(problem, true, m_backupStore->OpenProblemKind());
    }
}

void THost::SetDataFolder(const QString& folder) {
    m_dataFolder = WithSlash(folder);
    MakeDataFolder();
    OpenBackupStore();
    if (m_profiles) {
        m_profiles->AdoptStoreIds();
    }
}

void THost::StartProfiles(bool autostart) {
    if (!m_profiles && m_backupStore) {
        m_profiles = std::make_unique<TProfiles>(*this, *m_backupStore, autostart);
    }
}

void THost::StopProfiles() {
    m_profiles.reset();
}

void THost::ProcessBackupIdle() {
    SetFlag(kFlagLowSpace, !HasFreeSpace(m_dataFolder));
    if (TakeFlag(kFlagProfilesIdle) && m_profiles) {
        m_profiles->ProcessIdle();
    }
}

void THost::LoadShellState() {
    m_dataFolder = m_programFolder + QStringLiteral("Data/");
    if (!IsFlagSet(kFlagUiDatabase)) {
        m_password.clear();
        m_passwordHash = 0;
        return;
    }
    m_password = kDefaultPassword;
    if (const std::optional<QByteArray> stored = LoadToolState(kShellStateKey)) {
        const TBarList fields(DecodeSettings(*stored));
        if (fields.Count() == kShellStateFields) {
            const QString folder = fields.Text(0);
            if (FolderExists(folder)) {
                m_dataFolder = WithSlash(folder);
            }
            if (!fields[1].isEmpty()) {
                m_password = fields[1];
            }
        }
    }
    m_passwordHash = Hash32(m_password);
}

void THost::SaveShellState() {
    if (!IsFlagSet(kFlagUiDatabase) || !StoresWritable()) {
        return;
    }
    const QByteArray state = m_dataFolder.toUtf8() + '|' + m_password + "|||||";
    SaveToolState(kShellStateKey, EncodeSettings(state));
}

void THost::SetPreferencesPassword(const QByteArray& password) {
    m_password = password;
    m_passwordHash = Hash32(password);
}

std::optional<QByteArray> THost::LoadToolState(const QByteArray& key) {
    return m_appDb ? m_appDb->LoadToolState(key) : std::nullopt;
}

void THost::SaveToolState(const QByteArray& key, const QByteArray& state) {
    if (m_appDb) {
        m_appDb->SaveToolState(key, state);
    }
}

bool THost::HasToolState(const QByteArray& key) {
    return m_appDb && m_appDb->HasToolState(key);
}

std::optional<QByteArray> THost::LoadProfileBlob(const QByteArray& profileId) {
    return m_appDb ? m_appDb->LoadProfileBlob(profileId) : std::nullopt;
}

void THost::SaveProfileBlob(const QByteArray& profileId, const QByteArray& blob) {
    if (m_appDb) {
        m_appDb->SaveProfileBlob(profileId, blob);
    }
}

bool THost::DeleteProfileRows(const QByteArray& profileId, int profileNumber) {
    if (!m_appDb || !m_appDb->DeleteProfileRow(profileId)) {
        return false;
    }
    if (profileNumber != 0) {
        DeleteProfileVersions(profileNumber);
    }
    return true;
}

void THost::DeleteProfileVersions(int profileNumber) {
    if (m_backupStore) {
        m_backupStore->DeleteProfileVersions(profileNumber);
    }
}

QByteArray THost::ReadUserInfo(const QByteArray& column, const QByteArray& owner) {
    return m_appDb ? m_appDb->ReadUserInfo(column, owner) : QByteArray();
}

void THost::WriteUserInfo(const QByteArray& column, const QByteArray& value,
                          const QByteArray& owner) {
    if (m_appDb) {
        m_appDb->WriteUserInfo(column, value, owner);
    }
}

QByteArray THost::InstallationId() const {
    return m_appDb ? m_appDb->InstallationId() : QByteArray();
}

QByteArray THost::GetInstallKey() {
    if (!m_installKey.isEmpty() || !IsFlagSet(kFlagUiDatabase)) {
        return m_installKey;
    }
    static constexpr const char* kInstallKeyColumn = "uconf";
    const QByteArray owner = InstallationId();
    QByteArray key = ReadUserInfo(kInstallKeyColumn, owner);
    if (key.isEmpty()) {
        if (!StoresWritable()) {
            return {};  // a key made now could not be kept
        }
        key = MakeInstallKey();
        if (key.isEmpty()) {
            return {};
        }
        WriteUserInfo(kInstallKeyColumn, key, owner);
        if (ReadUserInfo(kInstallKeyColumn, owner) != key) {
            return {};
        }
    }
    m_installKey = key;
    return m_installKey;
}

void THost::RunScript(const QByteArray& name, const QByteArray& variable, QByteArray& value,
                      QByteArray& error) {
    error.clear();
    if (!IsFlagSet(kFlagScriptEngine)) {
        error = "FS_PHPE. Please contact us";
        ShowStatus(QString::fromUtf8(error), false, kStatusError);
        return;
    }
    const QByteArray script = m_appDb ? m_appDb->FetchScript(name) : QByteArray();
    if (script.isEmpty()) {
        error = "FSE:" + name + ". Please contact us";
        ShowStatus(QString::fromUtf8(error), false, kStatusError);
        return;
    }
    QList<TScriptVariable> variables{{variable, value}, {QByteArrayLiteral("err"), QByteArray()}};
    QByteArray failure;
    if (!TScriptEngine::Instance().Run(script, variables, failure)) {
        error = failure;
        ShowStatus(QString::fromUtf8(error), false, kStatusError);
        return;
    }
    value = variables[0].value;
    error = variables[1].value;
}

QByteArray THost::BytesToHex(const QByteArray& bytes) {
    return bytes.toHex().toUpper();
}
