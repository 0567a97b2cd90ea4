// Writing stored versions back to files: the restore (to the file's own folder) and the
// extraction (to a chosen place) of the backup window and the command line.
#pragma once

#include "backup/backup_store.h"

#include <QByteArray>
#include <QString>

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
