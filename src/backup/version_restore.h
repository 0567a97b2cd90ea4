// Writing stored versions back to files: the restore (to the file's own folder) and the
// extraction (to a chosen place) of the backup window and the command line.
#pragma once

#include "backup/backup_store.h"

#include <QByteArray>
#include <QString>

// Writes a stored version to folder + name. The version is loaded and decoded whole, with
// the keys of `password`, before anything at the destination is touched; the folder is
// then made with its missing parents and the file is written next to its place and
// replaces an existing file only once it is complete. With assignDate the file's access
// and write times become the version's date (to the second; Linux keeps no settable
// creation time). Raises "The password at the time the backup was created is
// required!", "No valid backup data available!", "Invalid backup data", "Invalid
// encryption password", the store's messages, `Unable to access path "%s"`, `Unable to
// overwrite "%s"` and "Could not set the date of %s". Main thread.
void WriteVersionFile(TBackupStore& store, const TVersionRow& version, const QString& folder,
                      const QString& name, const QByteArray& password, bool assignDate);
