// Date Control: sets the last-access and last-modification times of the files of a folder
// that match a mask, each to a chosen moment or left as it is, and lists the failures file
// by file. A file's creation time cannot be set on Linux; it is always left as it is.
#pragma once

#include "base/bar_list.h"
#include "platform/file_times.h"

#include <QByteArray>
#include <QDate>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <array>
#include <optional>

// ---- texts --------------------------------------------------------------------------------
inline constexpr const char* kDateControlTitle = "Date Control";
inline constexpr const char* kDateChangingText = "Changing...";
inline constexpr const char* kDateChangedText = "Changed %1 of %2 files";
inline constexpr const char* kDateNothingMessage = "Nothing to change!";
inline constexpr const char* kDateNoMaskMessage = "Provide a valid file mask!";
inline constexpr const char* kDateNoFolderMessage = "Provide a valid source directory";
inline constexpr const char* kDateNoFilesMessage = "No matching files here!";
// A memo line per failing file: its path and the system's reason, or its path alone.
inline constexpr const char* kDateFailedLine = "Failed:%1 - %2";
inline constexpr const char* kDateFailedBareLine = "Failed:%1";
// The reason when the file system kept another time than the one set (outside its range).
inline constexpr const char* kDateNotHeldReason = "The file system cannot hold this date";
// A folder of the tree that cannot be read: the folder, the system's reason.
inline constexpr const char* kDateCannotReadMessage = "Could not read %1: %2";
inline constexpr const char* kDateFatRangeMessage =
    "This disk has a File System date constraint of 1980..2099";
inline constexpr const char* kDateWideRangeMessage =
    "Dates outwith the range 1980..2099 may not display in Windows Explorer";
// Why the creation group is locked (hint: tooltip|status text).
inline constexpr const char* kDateCreationHint =
    "Linux cannot set a creation time|A file's creation (birth) time cannot be set on Linux: "
    "it is always left unchanged";

// ---- the date range ---------------------------------------------------------------------------
struct TDateRange {
    QDate first;
    QDate last;
};
// 1980-01-01..2099-12-31 on FAT and exFAT volumes (or when the volume cannot be asked),
// 1900-01-01..2599-12-31 elsewhere.
TDateRange DateRangeFor(bool fatVolume);
// The range offered for the folder: that of DateRangeFor, narrowed to the days whose every
// moment (local time) the folder's file system keeps, as a probe in the folder finds them
// (ext4, for one, keeps 1901-12-13 to 2446-05-10). DateRangeFor alone when the folder
// cannot be probed. Any thread.
TDateRange DateRangeIn(const QString& folder, bool fatVolume);

// ---- the change -------------------------------------------------------------------------------
// Raises EQuiva when the request is refused, in this order: kDateNothingMessage (nothing is
// to change), kDateNoMaskMessage (empty mask), kDateNoFolderMessage (empty folder, or one
// that does not exist). Any thread.
void CheckDateRequest(bool anythingToChange, const QString& mask, const QString& folder);

// The regular files (not links, hidden ones included) of the folder whose names match the
// mask, as full paths in name order; with `recurse`, those of every subfolder (not through
// links) after the folder's own. Raises EQuiva (kDateCannotReadMessage). Any thread.
QStringList ListDateTargets(const QString& folder, const QString& mask, bool recurse);

struct TDateResult {
    int listed = 0;
    int changed = 0;
    QStringList failures;  // kDateFailedLine / kDateFailedBareLine, one per failing file
};

// Sets the given times of each file in turn (an absent time is left as it is). A file the
// user may not write, one that cannot be given its times, or one whose file system keeps
// other times than those set (outside the dates it can hold) is a failure line and is not
// counted; the others go on. A failed file keeps both of its old times: where the file
// system kept other times than those set, the old ones are put back. Any thread.
TDateResult ApplyDates(const QStringList& paths, const std::optional<TFileTime>& accessed,
                       const std::optional<TFileTime>& modified);

// ---- stored settings, key "DateCon" -----------------------------------------------------------
inline constexpr const char* kDateSettingsKey = "DateCon";
inline constexpr int kDateSettingsFields = 6;

// Keep flags ("Don't Change"), as stored.
enum TDateKeep : int {
    kKeepCreation = 0x1,
    kKeepAccess = 0x2,
    kKeepModification = 0x4,
};

struct TDateSettings {
    QString folder;  // empty: keep the window's (a stored folder that is gone is not taken)
    QString mask = QStringLiteral("*.jpg");
    // Creation, last access, last modification; none: the stored field did not have six
    // parts, and the group keeps what it shows.
    std::array<std::optional<QDateTime>, 3> moments;
    int keep = 0;
};

// The stored date-and-time field: "year,month,day,hour,minute,second".
QByteArray DateSettingsMoment(const QDateTime& moment);
// The fields to store: folder (its bytes), mask (local 8-bit), the three moments, keep flags.
QList<QByteArray> DateSettingsFields(const TDateSettings& settings);
// Reads stored fields (exactly 6): the folder only when it exists; each moment only when its
// field has six comma-separated parts (1980, 1 and 1 for a date part that is not a number,
// 0 for a time part); keep flags 0 when not a number.
TDateSettings ParseDateSettings(const TBarList& fields);
