// The safety version of a restore: before a restore replaces a file whose content no
// stored version holds, that content is stored as a version first, so that what the
// restore replaced can always be restored again.
#pragma once

#include "backup/backup_store.h"
#include "backup/version_blob.h"

#include <QByteArray>
#include <QString>

// What a restore needs to store a safety version: the ids of new rows (the profile list)
// and the keys that new versions are made with (the preferences password in force now).
struct TRestoreSafety {
    TBackupIdSource& ids;
    TBlobKeys keys;
};

// Before `restored` (the decoded content of `version`) replaces folder + name: when a
// regular file lies there whose content equals neither `restored` nor any stored version
// of that file under the version's profile that `password` decodes, its content is
// stored as a new version of that file under the version's profile (with its permission
// bits, made with safety.keys). Returns the new version's id; 0 when none was needed
// (nothing there, not a regular file, or equal content stored already). Raises "Could
// not keep the current content of %1 (%2); nothing was restored" when the content
// cannot be read or stored, so that the caller leaves the file alone. Main thread.
int KeepReplacedContent(TBackupStore& store, const TRestoreSafety& safety,
                        const TVersionRow& version, const QString& folder, const QString& name,
                        const QByteArray& restored, const QByteArray& password);

// The status text that names a safety version: `Kept the replaced content of "%1" as
// version %2`.
QString KeptContentText(const QString& fullName, int versionId);
