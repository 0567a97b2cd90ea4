#include "platform/file_utilities.h"

#include "base/day_number.h"
#include "base/errors.h"
#include "base/host.h"
#include "platform/file_system.h"
#include "platform/folders.h"

QString WindowsFolder() {
    return HomeFolder();
}

QString MakeTempFileName() {
    const QString path = CreateTempFile();
    if (path.isEmpty()) {
        RaiseError(QStringLiteral("Unable to create backup file"));
    }
    return path;
}

void RejectOwnFolders(const QString& path, const QStringList& ownFolders) {
    for (const QString& folder : ownFolders) {
        if (!folder.isEmpty() && IsSameFile(path, folder)) {
            RaiseError(QStringLiteral("Quiva application, data & log folders cannot be monitored"));
        }
    }
}

void RejectOwnFolders(const QString& path) {
    if (THost* host = Host()) {
        RejectOwnFolders(path, {host->ProgramFolder(), host->DataFolder(), host->LogsFolder()});
    }
}

TFileTime DateTimeToFileTimeUtc(double timeValue, double dateValue) {
    const double moment = dateValue > -1 ? dateValue + timeValue : dateValue - timeValue;
    const QDateTime local = DateTimeFromDayNumber(moment);
    if (!local.isValid()) {
        RaiseError(QStringLiteral("Timestamp conversion error"));
    }
    const qint64 ms = local.toMSecsSinceEpoch();
    TFileTime out;
    out.seconds = ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
    out.nanoseconds = static_cast<qint32>((ms - out.seconds * 1000) * 1000000);
    return out;
}

bool FileTimeToLocalDateTime(const TFileTime& fileTime, double& dateTime) {
    if (fileTime.nanoseconds < 0 || fileTime.nanoseconds >= 1000000000) {
        return false;
    }
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(
        fileTime.seconds * 1000 + fileTime.nanoseconds / 1000000, Qt::LocalTime);
    if (!local.isValid()) {
        return false;
    }
    dateTime = DayNumberFromDateTime(local);
    return true;
}
