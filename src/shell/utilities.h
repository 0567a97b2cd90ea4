// Small utilities the tools share: paths, temporary files, number formatting, file
// times, stamps and text helpers. Messages are the program's own texts.
#pragma once

#include "platform/file_system.h"
#include "platform/file_times.h"

#include <QString>
#include <QStringList>

// The user's home folder with a trailing "/": the default of the path slots and of a new
// profile's target.
QString WindowsFolder();

// Appends "/" unless the path already ends with one.
void IncludeTrailingBackslash(QString& path);

// Creates an empty temporary file "qvkXXXXXX" and returns its path. Raises "Unable to
// create backup file" when it cannot be made.
QString MakeTempFileName();

// prefix + the value with the user's thousands separator + suffix; 0 gives "0".
// For 1234567, "[" and " Bytes]" with "," as separator: "[1,234,567 Bytes]".
QString FormatThousands(const QString& prefix, quint64 value, const QString& suffix);

// Raises "Quiva application, data & log folders cannot be monitored" when the path is
// one of `ownFolders` (the same folder on disk, or for paths that do not exist the same
// text after dropping a trailing "/").
void RejectOwnFolders(const QString& path, const QStringList& ownFolders);
// The same against the host's program, data and logs folders.
void RejectOwnFolders(const QString& path);

// Raises "Illegal character sequence %s" when the sequence occurs in the text.
void RejectSequence(const QString& sequence, const QString& text);

// Converts a local date and time given as day-number parts into a file time, with the
// real local conversion of that moment (daylight saving time included). The moment is
// date + time, or date - time for a negative date (the fraction counts backwards before
// the epoch). Raises "Timestamp conversion error" when the moment cannot be converted.
TFileTime DateTimeToFileTimeUtc(double timeValue, double dateValue);

// Converts a file time into a local date-time day number. False when it cannot.
[[nodiscard]] bool FileTimeToLocalDateTime(const TFileTime& fileTime, double& dateTime);

// Parses "Y/M/D H:M:S" style stamps: "/" and ":" act as ",", and commas and blanks
// separate the items year (default 2000), month (1), day (1), hour, minute, second (0).
// Gives the date as a whole day number and the time as a day fraction. Raises "List
// index out of bounds (%d)" for fewer than six items, and "Invalid argument to date
// encode" / "Invalid argument to time encode" for impossible values.
void ParseStamp(const QString& text, double& date, double& time);

// Deletes every occurrence of `sub`, scanning again from the start after each change.
QString RemoveAll(QString text, const QString& sub);
// Replaces every occurrence of `sub`, scanning again from the start after each change.
// When the replacement itself contains `sub` a single pass is made, since rescanning
// would never end. An empty `sub` changes nothing.
QString ReplaceAll(QString text, const QString& sub, const QString& replacement);

// `value` when it is at most `maximum`, else 0; a negative value passes unchanged so
// that a stored -1 (no selection) survives.
int BoundIndex(int value, int maximum);
