#include "storage/app_stores.h"

#include "base/bar_list.h"
#include "base/host.h"
#include "base/quivash.h"
#include "base/settings_codec.h"
#include "base/utilities.h"
#include "platform/folders.h"
#include "platform/native_name.h"

#include <openssl/rand.h>

#include <algorithm>

namespace {

constexpr int kShellStateFields = 6;
constexpr int kInstallKeyBytes = 16;
constexpr qsizetype kInstallKeyDigits = 64;
constexpr const char* kInstallKeyColumn = "uconf";

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
    return TextQuivash(BytesToHex(bytes));
}

}  // namespace

TAppStores::TAppStores(THost& host) : m_host(host), m_db(host) {}

TAppStores::~TAppStores() {
    Close(false);
}

QString TAppStores::DatabasePath() const {
    return m_host.ProgramFolder() + QStringLiteral("qvde.d");
}

void TAppStores::Open(const QString& programFolder, TOptions options) {
    m_installKey.clear();
    m_host.SetProgramFolder(programFolder);
    if (!options.writable) {
        m_db.Open(DatabasePath(), false);
    } else if (MakePrivateFolder(m_host.ProgramFolder())) {
        (void)MakePrivateFolder(m_host.LogsFolder());
        m_db.Open(DatabasePath(), true);
    }
    LoadShellState();
    m_unusable.clear();
    if (options.writable) {
        MakeDataFolder();
        if (!Writable()) {
            m_unusable = FolderProblem(m_host.ProgramFolder());
        }
        if (m_unusable.isEmpty() && !m_host.IsFlagSet(kFlagUiDatabase)) {
            m_unusable = QStringLiteral("%1 cannot be opened").arg(PrintableName(DatabasePath()));
        } else if (m_unusable.isEmpty() && !Writable()) {
            m_unusable = QStringLiteral("%1 cannot be written").arg(PrintableName(DatabasePath()));
        }
    }
    m_open = true;
}

void TAppStores::Close(bool compact) {
    if (!m_open) {
        return;
    }
    m_open = false;
    (void)SaveShellState();
    m_db.Close(compact && m_db.IsWritable());
}

bool TAppStores::Writable() const {
    return m_db.IsWritable();
}

void TAppStores::MakeDataFolder() {
    // The program's own Data folder is tightened like the program folder; a folder the user
    // chose elsewhere is made private when it is new and otherwise left as the user keeps it
    // (backups.db itself is private).
    const QString& folder = m_host.DataFolder();
    if (folder == m_host.ProgramFolder() + QStringLiteral("Data/")) {
        (void)MakePrivateFolder(folder);
    } else {
        (void)MakeFolderPath(folder);
    }
}

void TAppStores::ChangeDataFolder(const QString& folder) {
    m_host.SetDataFolderPath(folder);
    MakeDataFolder();
}

void TAppStores::LoadShellState() {
    m_host.SetDataFolderPath(m_host.ProgramFolder() + QStringLiteral("Data/"));
    if (!m_host.IsFlagSet(kFlagUiDatabase)) {
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
                m_host.SetDataFolderPath(folder);
            }
            if (!fields[1].isEmpty()) {
                m_password = fields[1];
            }
        }
    }
    m_passwordHash = Hash32(m_password);
}

bool TAppStores::SaveShellState() {
    if (!m_host.IsFlagSet(kFlagUiDatabase) || !Writable()) {
        return false;
    }
    const QByteArray state = m_host.DataFolder().toUtf8() + '|' + m_password + "|||||";
    // A state that LoadShellState would not read back as it is (it would then fall back to
    // the defaults) is never written over the stored one.
    const TBarList fields(state);
    if (fields.Count() != kShellStateFields || fields.Text(0) != m_host.DataFolder() ||
        fields[1] != m_password) {
        return false;
    }
    const QByteArray encoded = EncodeSettings(state);
    SaveToolState(kShellStateKey, encoded);
    const std::optional<QByteArray> stored = LoadToolState(kShellStateKey);
    return stored && *stored == encoded;
}

void TAppStores::SetPreferencesPassword(const QByteArray& password) {
    m_password = password;
    m_passwordHash = Hash32(password);
}

std::optional<QByteArray> TAppStores::LoadToolState(const QByteArray& key) {
    return m_db.LoadToolState(key);
}

void TAppStores::SaveToolState(const QByteArray& key, const QByteArray& state) {
    m_db.SaveToolState(key, state);
}

bool TAppStores::HasToolState(const QByteArray& key) {
    return m_db.HasToolState(key);
}

std::optional<QByteArray> TAppStores::LoadProfileBlob(const QByteArray& profileId) {
    return m_db.LoadProfileBlob(profileId);
}

void TAppStores::SaveProfileBlob(const QByteArray& profileId, const QByteArray& blob) {
    m_db.SaveProfileBlob(profileId, blob);
}

bool TAppStores::DeleteProfileRow(const QByteArray& profileId) {
    return m_db.DeleteProfileRow(profileId);
}

QByteArray TAppStores::ReadUserInfo(const QByteArray& column, const QByteArray& owner) {
    return m_db.ReadUserInfo(column, owner);
}

void TAppStores::WriteUserInfo(const QByteArray& column, const QByteArray& value,
                               const QByteArray& owner) {
    m_db.WriteUserInfo(column, value, owner);
}

QByteArray TAppStores::InstallationId() const {
    return m_db.InstallationId();
}

QByteArray TAppStores::FetchScript(const QByteArray& name) {
    return m_db.FetchScript(name);
}

QByteArray TAppStores::GetInstallKey() {
    if (!m_installKey.isEmpty() || !m_host.IsFlagSet(kFlagUiDatabase)) {
        return m_installKey;
    }
    const QByteArray owner = InstallationId();
    QByteArray key = ReadUserInfo(kInstallKeyColumn, owner);
    if (key.isEmpty()) {
        if (!Writable()) {
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

QByteArray TAppStores::StoredInstallKey() {
    if (!m_host.IsFlagSet(kFlagUiDatabase)) {
        return {};
    }
    return ReadUserInfo(kInstallKeyColumn, InstallationId());
}

bool TAppStores::SetInstallKey(const QByteArray& key) {
    const bool shaped =
        key.size() == kInstallKeyDigits && std::all_of(key.begin(), key.end(), [](char c) {
            return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
        });
    if (!shaped || !m_host.IsFlagSet(kFlagUiDatabase) || !Writable()) {
        return false;
    }
    const QByteArray owner = InstallationId();
    WriteUserInfo(kInstallKeyColumn, key, owner);
    if (ReadUserInfo(kInstallKeyColumn, owner) != key) {
        return false;
    }
    m_installKey = key;
    return true;
}
