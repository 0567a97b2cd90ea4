// Small text and number helpers the tools share: paths as text, number formatting,
// stamps, and the program's own refusals of texts. Messages are the program's own texts.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The path with a trailing "/" (an empty path stays empty).
QString WithTrailingSlash(QString path);
// Appends "/" unless the path already ends with one.
void IncludeTrailingBackslash(QString& path);

// prefix + the value with the user's thousands separator + suffix; 0 gives "0".
// For 1234567, "[" and " Bytes]" with "," as separator: "[1,234,567 Bytes]".
QString FormatThousands(const QString& prefix, quint64 value, const QString& suffix);

// Raises "Illegal character sequence %s" when the sequence occurs in the text.
void RejectSequence(const QString& sequence, const QString& text);

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

// Two upper-case hex digits per byte.
QByteArray BytesToHex(const QByteArray& bytes);
