// One entry's facts as the file tools show them (kind, size, the three times with the birth
// time where the file system keeps one, whether the user may write or rename it) and the two
// changes they make to an entry by name: new times, and a rename that never replaces
// another entry. Every path reaches the system with the bytes of its name.
#pragma once

#include "platform/file_times.h"

#include <QString>

#include <optional>

struct TFileFacts {
    bool isLink = false;     // the entry itself is a symbolic link (facts are of the link)
    bool isFolder = false;   // a folder
    bool isRegular = false;  // a regular file
    bool readOnly = false;   // the user may not write it (access(W_OK) fails)
    qint64 size = 0;
    TFileTime accessed;
    TFileTime modified;
    std::optional<TFileTime> created;  // the birth time, when the file system reports it
    quint64 device = 0;
    quint64 inode = 0;
    quint32 owner = 0;
};

// Reads the facts of the entry at `path` without following a final symbolic link. False
// when it is missing or cannot be read (errno says why). Any thread.
[[nodiscard]] bool ReadFileFacts(const QString& path, TFileFacts& facts);

// True when the user may rename or remove the entry `name` of `folder`: the folder is
// writable and searchable for the user, and, in a folder with the sticky bit, the user owns
// the entry or the folder (or has the privilege to act for any owner). Any thread.
bool MayRenameIn(const QString& folder, const TFileFacts& entry);

// Sets the last-access and last-write times of the entry at `path`; an absent time is left
// as it is. A symbolic link found there gets its own times, so nothing is ever changed
// through it. 0 on success, else the system's error number. Any thread.
int SetEntryTimes(const QString& path, const std::optional<TFileTime>& accessed,
                  const std::optional<TFileTime>& modified);

// The earliest and latest file times a file system keeps.
struct TFileTimeLimits {
    TFileTime earliest;
    TFileTime latest;
};

// The limits of the file system of `folder`, within `wanted`: an unnamed temporary file
// made in the folder (O_TMPFILE: it never shows and is gone when closed) is given the
// wanted first and last moments, and the times read back are where the file system keeps
// them (it clamps a time it cannot hold). None when the folder takes no such file (the
// user may not write it, or its file system has no unnamed files). Any thread.
std::optional<TFileTimeLimits> ProbeFileTimeLimits(const QString& folder,
                                                   const TFileTimeLimits& wanted);

// Renames `from` to `to` (both full paths) and never replaces what `to` holds: EEXIST when
// the name is taken by another entry. A rename that changes only the letter case of a name
// on a file system that ignores case (where the new name already finds the same entry) goes
// through a hidden temporary name in the same folder and back on failure. Renaming a name
// to itself changes nothing and succeeds. 0 on success, else the system's error number.
// Any thread.
int RenameWithoutReplacing(const QString& from, const QString& to);

// The absolute path of an existing entry with every symbolic link and "." or ".." resolved
// (realpath); empty when it cannot be resolved. Any thread.
QString CanonicalPath(const QString& path);

// The system's text for an error number.
QString SystemErrorText(int error);
