// Careful file access for engines that walk folders and read other programs' files: folder
// listings that tell files, folders, links and special files apart, whole-file reads
// that never open a FIFO or device, setting a file's times, and writing a file into a
// folder without ever writing through a link found there.
#pragma once

#include "platform/file_times.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>

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
    bool link = false;  // the entry itself is a symbolic link (kind tells what it names)
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
    kReadLink = 6,        // a symbolic link, refused without following it (see below)
};

// Reads a whole regular file into `content`. A special file is refused before it is
// opened (reading a FIFO would block for ever); a file larger than `maxBytes` is refused;
// a file whose size or modification time changes during the read is refused, so that a
// half-written state is not taken. With `mode`, a read that succeeds also gives the
// file's st_mode as it was when the content was read. Without `followLink` a symbolic
// link at the path is refused (kReadLink) and never followed. Any thread.
TReadResult ReadRegularFile(const QString& path, qint64 maxBytes, QByteArray& content,
                            quint32* mode = nullptr, bool followLink = true);

// A regular file's facts as stat gives them, and the descriptor of an opened one.
struct TRegularFile {
    int fd = -1;
    qint64 size = 0;
    qint64 mtimeNs = 0;  // modification time, nanoseconds since the epoch
    qint64 ctimeNs = 0;  // change time
    qint64 inode = 0;
    quint32 mode = 0;  // st_mode
};

// The facts of a regular file without opening it. A symbolic link is refused (kReadLink)
// and never followed; kReadNotRegular for anything else but a regular file, kReadTooLarge
// beyond maxBytes. Any thread.
TReadResult StatRegularFile(const QString& path, qint64 maxBytes, TRegularFile& file);

// Opens a regular file to read it in pieces, with StatRegularFile's refusals (a link is
// never followed); file.fd is then open and the facts are those of the opened file. Any
// thread.
TReadResult OpenRegularFile(const QString& path, qint64 maxBytes, TRegularFile& file);
// Reads up to `length` bytes at the file's position; 0 at its end, -1 on an error.
qint64 ReadSome(const TRegularFile& file, char* buffer, qint64 length);
// Closes an opened file. kReadOk when exactly `bytesRead` bytes (its size when opened)
// were read and it is unchanged since it was opened, else kReadChanged (or kReadFailed).
TReadResult CloseRegularFile(TRegularFile& file, qint64 bytesRead);

// Sets a file's last-access and last-write times (Linux cannot set a creation time).
// False when it cannot. Any thread.
[[nodiscard]] bool ApplyFileTimes(const QString& path, const TFileTime& when);

// The path made absolute against the working folder (its bytes kept, nothing cleaned);
// an absolute path as it is. Any thread.
QString AbsolutePath(const QString& path);

// True when `name` can only mean one entry of a folder: not empty, no "/" and no NUL,
// and not "." or "..". Any thread.
bool IsPlainName(const QString& name);

enum TWriteFileResult : int {
    kWriteFileOk = 0,
    kWriteFileOkWithoutTimes = 1,  // written, but its times could not be set
    kWriteFileBadName = 2,         // the name is not a plain name; nothing was touched
    kWriteFileNoFolder = 3,        // the folder could not be opened or made
    kWriteFileRefused = 4,         // the name holds a folder, a special file or a file
                                   // the user may not write; it was left as it was
    kWriteFileFailed = 5,          // creating, writing or renaming failed; nothing changed
};

// Writes `content` as the file `name` in `folder`, replacing what the name holds only
// once the new file is complete:
// - The folder is opened once, made with its missing parents (new folders 0700) when it
//   does not exist; links among the folder's own components are followed, as any path's.
// - The name is only replaced when it holds a regular file that the user may write, or a
//   symbolic link, which is replaced itself (never written through, even when it dangles).
// - The content goes to a new hidden file in the same folder (created exclusively, never
//   through a link) with the permission bits `mode & 0777` (0600 when `mode` is
//   negative, whatever the umask), and with `times` as its access and write times when
//   given; it is flushed to disk and renamed over the name. On any failure the new file
//   is removed and the name keeps what it held.
// Any thread.
TWriteFileResult WriteFileInFolder(const QString& folder, const QString& name,
                                   const QByteArray& content, int mode,
                                   const TFileTime* times = nullptr);

// As WriteFileInFolder, with the content written by `write` to the new file's descriptor
// (in pieces, so that a large file is never held whole; it may leave holes with lseek and
// must leave the file at its full size). When `write` returns false nothing changes.
TWriteFileResult WriteFileInFolderWith(const QString& folder, const QString& name,
                                       const std::function<bool(int fd)>& write, int mode,
                                       const TFileTime* times = nullptr);
