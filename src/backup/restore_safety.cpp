#include "backup/restore_safety.h"

#include "backup/version_restore.h"
#include "base/errors.h"
#include "platform/file_access.h"
#include "platform/native_name.h"

#include <sys/stat.h>

namespace {

constexpr int kSafetyModeBits = 0777;

[[noreturn]] void CannotKeep(const QString& fullName, const QString& reason) {
    RaiseError(QStringLiteral("Could not keep the current content of %1 (%2); nothing was restored")
                   .arg(PrintableName(fullName), reason));
}

// True when a stored version of the file under the profile holds `content`.
bool IsStored(TBackupStore& store, const TVersionRow& version, int pathId,
              const QByteArray& content, const QByteArray& password) {
    for (const TVersionRow& stored : store.FileVersions(version.profileNumber, pathId)) {
        if (stored.size != content.size()) {
            continue;
        }
        try {
            // Classic and chunked versions alike.
            if (LoadVersionContent(store, stored, password) == content) {
                return true;
            }
        } catch (const EQuiva&) {
            // Made under another password, or damaged: it does not hold the content.
        }
    }
    return false;
}

}  // namespace

int KeepReplacedContent(TBackupStore& store, const TRestoreSafety& safety,
                        const TVersionRow& version, const QString& folder, const QString& name,
                        const QByteArray& restored, const QByteArray& password) {
    const QString fullName = (folder.endsWith('/') ? folder : folder + '/') + name;
    struct stat facts {};
    if (::lstat(EncodeNativeName(fullName).constData(), &facts) != 0 || !S_ISREG(facts.st_mode)) {
        return 0;  // nothing there, or a link or special file, which a restore never follows
    }
    QByteArray current;
    quint32 mode = 0;
    switch (ReadRegularFile(fullName, kClassicLargestContent, current, &mode)) {
        case kReadOk:
            break;
        case kReadMissing:
            return 0;
        case kReadTooLarge:
            CannotKeep(fullName, QStringLiteral("it is larger than a version holds"));
        default:
            CannotKeep(fullName, QStringLiteral("it cannot be read"));
    }
    if (current == restored) {
        return 0;
    }
    const std::optional<int> pathId = store.FindPathId(fullName);
    if (pathId && IsStored(store, version, *pathId, current, password)) {
        return 0;
    }
    if (store.IsReadOnly() || store.IsDamaged()) {
        CannotKeep(fullName, QStringLiteral("backups.db takes no new versions"));
    }
    const TVersionBlob blob(
        EncodeVersion(current, ShouldTryCompress(name, current.size()), safety.keys),
        static_cast<int>(mode & kSafetyModeBits));
    int storedPath = 0;
    if (!store.StoreVersion(safety.ids, version.profileNumber, current.size(), blob, fullName,
                            storedPath)) {
        CannotKeep(fullName, QStringLiteral("it could not be stored in backups.db"));
    }
    const QList<TVersionRow> versions = store.FileVersions(version.profileNumber, storedPath);
    return versions.isEmpty() ? 0 : versions.first().versionId;
}

QString KeptContentText(const QString& fullName, int versionId) {
    return QStringLiteral("Kept the replaced content of \"%1\" as version %2")
        .arg(PrintableName(fullName))
        .arg(versionId);
}
