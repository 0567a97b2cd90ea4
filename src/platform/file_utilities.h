// File helpers the tools share: the home folder, temporary files, the rule that keeps the
// program's own folders out of the tools, and conversions between file times and local day
// numbers. Messages are the program's own texts.
#pragma once

#include "platform/file_times.h"

#include <QString>
#include <QStringList>

// The user's home folder with a trailing "/": the default of the path slots and of a new
// profile's target.
QString WindowsFolder();

// Creates an empty temporary file "qvkXXXXXX" and returns its path. Raises "Unable to
// create backup file" when it cannot be made.
QString MakeTempFileName();

// Raises "Quiva application, data & log folders cannot be monitored" when the path is
// one of `ownFolders` (the same folder on disk, or for paths that do not exist the same
// text after dropping a trailing "/").
void RejectOwnFolders(const QString& path, const QStringList& ownFolders);
// The same against the host's program, data and logs folders.
void RejectOwnFolders(const QString& path);

// Converts a local date and time given as day-number parts into a file time, with the
// real local conversion of that moment (daylight saving time included). The moment is
// date + time, or date - time for a negative date (the fraction counts backwards before
// the epoch). Raises "Timestamp conversion error" when the moment cannot be converted.
TFileTime DateTimeToFileTimeUtc(double timeValue, double dateValue);

// Converts a file time into a local date-time day number. False when it cannot.
[[nodiscard]] bool FileTimeToLocalDateTime(const TFileTime& fileTime, double& dateTime);
