// Writing stored versions back to files: the restore (to the file's own folder) and the
// extraction (to a chosen place) of the backup window and the command line.
#pragma once

#include "backup/backup_store.h"

#include <QByteArray>
#include <QString>

// The bytes of a password as the user types it: its local 8-bit form (UTF-8 here), the
// form the preferences password is kept in, so that a password with characters beyond
// ASCII gives back what was stored under it. Any thread.
QByteArray PasswordBytes(const QString& typed);

// The content of a stored version, loaded and decoded whole with the keys of `password`;
// nothing outside the store is touched. Raises "The password at the time the backup was
// created is required!", "No valid backup data available!", "Invalid backup data",
// "Invalid encryption password" and the store's messages. Main thread.
QByteArray LoadVersionContent(TBackupStore& store, const TVersionRow& version,
                              const QByteArray& password);

// How writing a decoded version ended.
enum TVersionWriteResult : int {
    kVersionWritten = 0,
    kVersionNoFolder = 1,    // the folder could not be opened or made; nothing was written
    kVersionBadName = 2,     // the name is not one plain name; nothing was written
    kVersionNotWritten = 3,  // the file could not be written; what the name held stays
    kVersionUndated = 4,     // written, but its date could not be set
};

// Writes the decoded content of `version` to folder + name as WriteVersionFile does, and
// says how that ended; `message` receives the text for the user when it did not end with
// kVersionWritten: `Unable to access path "%s"`, "Invalid backup data", `Unable to
// overwrite "%s"` or "Could not set the date of %s" (paths in their one-line printable
// form). Never raises. Main thread.
TVersionWriteResult WriteVersionContent(const TVersionRow& version, const QString& folder,
                                        const QString& name, const QByteArray& content,
                                        bool assignDate, QString& message);

// Writes a stored version to folder + name as WriteVersionFile does, and says how the
// writing ended (the texts of WriteVersionContent in `message`). A chunked version is
// written chunk by chunk, each checked before its bytes go out, so that a file of any
// size takes little memory; a damaged chunk drops the new file (kVersionNotWritten,
// "Invalid backup data"). What fails before anything is written raises, as
// LoadVersionContent does. Main thread.
TVersionWriteResult WriteVersionStreamed(TBackupStore& store, const TVersionRow& version,
                                         const QString& folder, const QString& name,
                                         const QByteArray& password, bool assignDate,
                                         QString& message);

// Writes a stored version to folder + name (an extraction to a place the user chose; the
// stored folder plays no part). The version is loaded and decoded whole, with the keys of
// `password`, before anything at the destination is touched. `name` must be one plain
// name (not empty, no "/", not "." or ".."). The folder is opened once, made with its
// missing parents (new folders 0700) when it does not exist, and the file is written
// there under a new hidden name and renamed over `name` only once it is complete: a
// symbolic link found at the name is replaced, never written through; anything but a
// regular file that the user may write, or a link, is left as it is. The file gets the
// permission bits the original had when it was stored (0600 when the store does not know
// them). With assignDate its access and write times become the version's date (to the
// second; Linux keeps no settable creation time). Raises "The password at the time the
// backup was created is required!", "Invalid backup data" (also for a name that is not
// plain), "No valid backup data available!", "Invalid encryption password", the store's
// messages, `Unable to access path "%s"`, `Unable to overwrite "%s"` and "Could not set
// the date of %s" (paths in their one-line printable form). Main thread.
void WriteVersionFile(TBackupStore& store, const TVersionRow& version, const QString& folder,
                      const QString& name, const QByteArray& password, bool assignDate);

// Restores a stored version to its own place: the stored folder and file name, as
// WriteVersionFile writes. A stored folder that is not absolute or holds a "." or ".."
// component, or a stored file name that is not one plain name, is refused with "Invalid
// backup data" before anything is written. Main thread.
void RestoreVersionFile(TBackupStore& store, const TVersionRow& version, const QByteArray& password,
                        bool assignDate);

// True when a stored folder can only mean itself: absolute, without "." or ".."
// components. Any thread.
bool IsPlainStoredFolder(const QString& folder);
