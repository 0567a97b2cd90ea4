#include "backup/version_restore.h"
#include "base/utilities.h"

#include "backup/version_blob.h"
#include "base/day_number.h"
#include "base/errors.h"
#include "platform/file_access.h"
#include "platform/native_name.h"

#include <QStringList>

#include <algorithm>
#include <optional>

namespace {

[[noreturn]] void InvalidRestoreData() {
    RaiseError(QStringLiteral("Invalid backup data"));
}

// The version's date as a file time, to the second; none when it names no valid moment.
std::optional<TFileTime> VersionTime(const TVersionRow& version) {
    QDateTime when = DateTimeFromDayNumber(version.date);
    if (!when.isValid()) {
        return std::nullopt;
    }
    const QTime time = when.time();
    when.setTime(QTime(time.hour(), time.minute(), time.second()));
    if (!when.isValid()) {
        return std::nullopt;
    }
    return TFileTime{when.toSecsSinceEpoch(), 0};
}

}  // namespace

bool IsPlainStoredFolder(const QString& folder) {
    if (!folder.startsWith('/')) {
        return false;
    }
    const QStringList parts = folder.split('/', Qt::SkipEmptyParts);
    return std::none_of(parts.cbegin(), parts.cend(), [](const QString& part) {
        return part == QLatin1String(".") || part == QLatin1String("..") || part.contains(QChar(0));
    });
}

QByteArray PasswordBytes(const QString& typed) {
    return typed.toLocal8Bit();
}

QByteArray LoadVersionContent(TBackupStore& store, const TVersionRow& version,
                              const QByteArray& password) {
    if (password.isEmpty()) {
        RaiseError(QStringLiteral("The password at the time the backup was created is required!"));
    }
    const std::optional<QByteArray> blob = store.LoadVersionData(version.versionId);
    if (!blob) {
        RaiseError(QStringLiteral("No valid backup data available!"));
    }
    return DecodeVersion(*blob, TBlobKeys::FromPassword(password), version.size);
}

TVersionWriteResult WriteVersionContent(const TVersionRow& version, const QString& folder,
                                        const QString& name, const QByteArray& content,
                                        bool assignDate, QString& message) {
    message.clear();
    if (!IsPlainName(name)) {
        message = QStringLiteral("Invalid backup data");
        return kVersionBadName;
    }
    const QString destination = WithTrailingSlash(folder);
    if (destination.isEmpty()) {
        message = QStringLiteral("Unable to access path \"\"");
        return kVersionNoFolder;
    }
    const QString target = destination + name;
    const std::optional<TFileTime> when = assignDate ? VersionTime(version) : std::nullopt;
    switch (WriteFileInFolder(destination, name, content, version.mode, when ? &*when : nullptr)) {
        case kWriteFileOk:
            break;
        case kWriteFileOkWithoutTimes:
            message = QStringLiteral("Could not set the date of %1").arg(PrintableName(target));
            return kVersionUndated;
        case kWriteFileBadName:
            message = QStringLiteral("Invalid backup data");
            return kVersionBadName;
        case kWriteFileNoFolder:
            message =
                QStringLiteral("Unable to access path \"%1\"").arg(PrintableName(destination));
            return kVersionNoFolder;
        case kWriteFileRefused:
        case kWriteFileFailed:
            message = QStringLiteral("Unable to overwrite \"%1\"").arg(PrintableName(target));
            return kVersionNotWritten;
    }
    if (assignDate && !when) {
        message = QStringLiteral("Could not set the date of %1").arg(PrintableName(target));
        return kVersionUndated;
    }
    return kVersionWritten;
}

void WriteVersionFile(TBackupStore& store, const TVersionRow& version, const QString& folder,
                      const QString& name, const QByteArray& password, bool assignDate) {
    if (password.isEmpty()) {
        RaiseError(QStringLiteral("The password at the time the backup was created is required!"));
    }
    if (!IsPlainName(name)) {
        InvalidRestoreData();
    }
    // Decoded and checked whole before the destination is touched.
    const QByteArray content = LoadVersionContent(store, version, password);
    QString message;
    if (WriteVersionContent(version, folder, name, content, assignDate, message) !=
        kVersionWritten) {
        RaiseError(message);
    }
}

void RestoreVersionFile(TBackupStore& store, const TVersionRow& version, const QByteArray& password,
                        bool assignDate) {
    if (password.isEmpty()) {
        RaiseError(QStringLiteral("The password at the time the backup was created is required!"));
    }
    if (!IsPlainStoredFolder(version.folder)) {
        InvalidRestoreData();
    }
    WriteVersionFile(store, version, version.folder, version.file, password, assignDate);
}
