#include "backup/version_restore.h"

#include "backup/version_blob.h"
#include "platform/file_access.h"
#include "platform/folders.h"
#include "shell/day_number.h"
#include "shell/errors.h"

#include <QSaveFile>

void WriteVersionFile(TBackupStore& store, const TVersionRow& version, const QString& folder,
                      const QString& name, const QByteArray& password, bool assignDate) {
    if (password.isEmpty()) {
        RaiseError(QStringLiteral("The password at the time the backup was created is required!"));
    }
    const std::optional<QByteArray> blob = store.LoadVersionData(version.versionId);
    if (!blob) {
        RaiseError(QStringLiteral("No valid backup data available!"));
    }
    const QByteArray content =
        DecodeVersion(*blob, TBlobKeys::FromPassword(password), version.size);

    QString destination = folder;
    if (!destination.endsWith('/')) {
        destination += '/';
    }
    if (!MakeFolderPath(destination)) {
        RaiseError(QStringLiteral("Unable to access path \"%1\"").arg(destination));
    }
    const QString target = destination + name;
    if (EntryKind(target) == kEntryFolder || EntryKind(target) == kEntrySpecial) {
        RaiseError(QStringLiteral("Unable to overwrite \"%1\"").arg(target));
    }
    QSaveFile file(target);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() ||
        !file.commit()) {
        RaiseError(QStringLiteral("Unable to overwrite \"%1\"").arg(target));
    }
    if (assignDate) {
        QDateTime when = DateTimeFromDayNumber(version.date);
        const QTime time = when.time();
        when.setTime(QTime(time.hour(), time.minute(), time.second()));
        const qint64 seconds = when.toSecsSinceEpoch();
        if (!when.isValid() || !ApplyFileTimes(target, TFileTime{seconds, 0})) {
            RaiseError(QStringLiteral("Could not set the date of %1").arg(target));
        }
    }
}
