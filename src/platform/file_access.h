// Careful file access for engines that walk folders and read other programs' files: folder
// listings that tell files, folders, links and special files apart, whole-file reads
// that never open a FIFO or device, and setting a file's times.
#pragma once

#include "platform/file_times.h"

#include <QByteArray>
#include <QList>
#include <QString>

// What a folder entry is. Symbolic links are followed for files only: a link to a folder
// is reported as such so that walks do not descend through it.
enum TEntryKind : int {
    kEntryMissing = 0,       // gone, or a dangling link
    kEntryFile = 1,          // a regular file, or a link to one
    kEntryFolder = 2,        // a folder (not a link)
    kEntryLinkToFolder = 3,  // a symbolic link to a folder
    kEntrySpecial = 4,       // FIFO, socket or device: never opened
};

struct TFolderEntry {
    QString name;
    TEntryKind kind = kEntryMissing;
};

// The kind of the entry at `path`. Any thread.
TEntryKind EntryKind(const QString& path);

// Lists a folder's entries without "." and "..", sorted by name (case-insensitive, then
// exact). False when the folder cannot be read; entries then stays empty. Any thread.
[[nodiscard]] bool ListFolder(const QString& folder, QList<TFolderEntry>& entries);

enum TReadResult : int {
    kReadOk = 0,
    kReadMissing = 1,     // no such file (also a dangling link)
    kReadNotRegular = 2,  // a folder or a special file; it was not opened
    kReadTooLarge = 3,    // larger than the caller's limit
    kReadChanged = 4,     // the file changed while it was read
    kReadFailed = 5,      // any other error
};

// Reads a whole regular file into `content`. A special file is refused before it is
// opened (reading a FIFO would block for ever); a file larger than `maxBytes` is refused;
// a file whose size or modification time changes during the read is refused, so that a
// half-written state is not taken. Any thread.
TReadResult ReadRegularFile(const QString& path, qint64 maxBytes, QByteArray& content);

// Sets a file's last-access and last-write times (Linux cannot set a creation time).
// False when it cannot. Any thread.
[[nodiscard]] bool ApplyFileTimes(const QString& path, const TFileTime& when);
