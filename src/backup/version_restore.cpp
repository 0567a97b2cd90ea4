#include "backup/version_restore.h"
#include "base/utilities.h"

#include "backup/version_blob.h"
#include "base/day_number.h"
#include "base/errors.h"
#include "platform/file_access.h"
#include "platform/native_name.h"

#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include <unistd.h>

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

// The keys of a password for the store's chunked versions. Raises "Invalid backup data"
// when the store has no usable salt.
TStoreKeys ChunkKeys(TBackupStore& store, const QByteArray& password) {
    const std::optional<TStoreKeys> keys = store.KeysFor(password);
    if (!keys) {
        InvalidRestoreData();
    }
    return *keys;
}

bool IsAllZero(const QByteArray& data) {
    return !data.isEmpty() && data[0] == 0 &&
           std::memcmp(data.constData(), data.constData() + 1, data.size() - 1) == 0;
}

bool WriteWhole(int fd, const char* data, qint64 size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, static_cast<size_t>(size));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += n;
        size -= n;
    }
    return true;
}

// The result of writing a version's file, with the user's message when it failed.
TVersionWriteResult WriteResultOf(TWriteFileResult written, bool assignDate, bool dated,
                                  const QString& destination, const QString& target,
                                  QString& message) {
    switch (written) {
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
    if (assignDate && !dated) {
        message = QStringLiteral("Could not set the date of %1").arg(PrintableName(target));
        return kVersionUndated;
    }
    return kVersionWritten;
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
    if (store.IsChunkedVersion(version.versionId)) {
        const TStoreKeys keys = ChunkKeys(store, password);
        const TReferenceList list = store.LoadReferenceList(keys, version);
        QByteArray content;
        content.reserve(static_cast<qsizetype>(list.size));
        for (const TChunkRef& chunk : list.chunks) {
            content.append(store.LoadChunk(keys, chunk));
        }
        return content;
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
    return WriteResultOf(
        WriteFileInFolder(destination, name, content, version.mode, when ? &*when : nullptr),
        assignDate, when.has_value(), destination, target, message);
}

TVersionWriteResult WriteVersionStreamed(TBackupStore& store, const TVersionRow& version,
                                         const QString& folder, const QString& name,
                                         const QByteArray& password, bool assignDate,
                                         QString& message) {
    message.clear();
    if (password.isEmpty()) {
        RaiseError(QStringLiteral("The password at the time the backup was created is required!"));
    }
    if (!IsPlainName(name)) {
        InvalidRestoreData();
    }
    if (!store.IsChunkedVersion(version.versionId)) {
        const QByteArray content = LoadVersionContent(store, version, password);
        return WriteVersionContent(version, folder, name, content, assignDate, message);
    }
    // The password and the reference list are checked before the destination is touched;
    // each chunk is checked before its bytes are written, and a damaged one drops the new
    // file, so that the name keeps what it held.
    const TStoreKeys keys = ChunkKeys(store, password);
    const TReferenceList list = store.LoadReferenceList(keys, version);
    const QString destination = WithTrailingSlash(folder);
    if (destination.isEmpty()) {
        message = QStringLiteral("Unable to access path \"\"");
        return kVersionNoFolder;
    }
    const QString target = destination + name;
    const std::optional<TFileTime> when = assignDate ? VersionTime(version) : std::nullopt;
    bool damaged = false;
    const TWriteFileResult written = WriteFileInFolderWith(
        destination, name,
        [&](int fd) {
            for (const TChunkRef& chunk : list.chunks) {
                QByteArray data;
                try {
                    data = store.LoadChunk(keys, chunk);
                } catch (const EQuiva&) {
                    damaged = true;
                    return false;
                }
                // Runs of zeros stay holes, as in a sparse original.
                if (IsAllZero(data)) {
                    if (::lseek(fd, data.size(), SEEK_CUR) < 0) {
                        return false;
                    }
                } else if (!WriteWhole(fd, data.constData(), data.size())) {
                    return false;
                }
            }
            return ::ftruncate(fd, list.size) == 0;
        },
        version.mode, when ? &*when : nullptr);
    if (damaged) {
        message = QStringLiteral("Invalid backup data");
        return kVersionNotWritten;
    }
    return WriteResultOf(written, assignDate, when.has_value(), destination, target, message);
}

void WriteVersionFile(TBackupStore& store, const TVersionRow& version, const QString& folder,
                      const QString& name, const QByteArray& password, bool assignDate) {
    if (password.isEmpty()) {
        RaiseError(QStringLiteral("The password at the time the backup was created is required!"));
    }
    if (!IsPlainName(name)) {
        InvalidRestoreData();
    }
    // A classic version is decoded and checked whole before the destination is touched;
    // a chunked one is checked chunk by chunk as it is written to a new file.
    QString message;
    if (WriteVersionStreamed(store, version, folder, name, password, assignDate, message) !=
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
