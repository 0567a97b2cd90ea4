// File facts the tools need from the operating system: sizes, identity, kinds, free
// space, volume kind and temporary files. Every path goes to the system with the bytes of
// its name (EncodeNativeName), so names that are not UTF-8 are reached as they are.
#pragma once

#include <QString>

#include <optional>

// The size of a regular file in bytes (64-bit); 0 for an empty path, a folder, a special
// file, a missing file or any error.
qint64 FileSize64(const QString& path);

// True when the path names a regular file, following symbolic links. False for an empty
// path, a folder, a FIFO, socket or device, a missing file or any error. Any thread.
bool IsRegularFile(const QString& path);

// True when the path names a folder, following symbolic links. Any thread.
bool IsFolder(const QString& path);

// Opens a regular file for reading (close-on-exec) and returns its descriptor; a FIFO is
// opened without blocking and refused like every other special file or folder. -1 on
// failure with errno set: the system's reason, or EINVAL when the path names something
// other than a regular file. Any thread.
int OpenRegularFile(const QString& path);

// The path with its symbolic links followed, also to a file that does not exist yet (the
// path a dangling link names). Relative link targets are taken from the link's folder. The
// path itself when the links loop or nest too deeply. The bytes of every name are kept.
// Any thread.
QString FollowLinks(const QString& path);

// True when both paths name the same file: for two existing paths, equal device and
// inode (this catches hard links and symbolic links); otherwise the paths compared
// exactly after dropping a trailing "/".
bool IsSameFile(const QString& a, const QString& b);

// Bytes free on the volume of the path for the calling user; none when the query fails.
// A path that does not exist yet is measured on its nearest existing parent folder.
std::optional<quint64> FreeBytes(const QString& path);

// The least free space a volume must have for the program to keep writing to it.
constexpr quint64 kFreeSpaceThreshold = 16777216;  // 16 MiB

// True when `bytes` free is enough (at least kFreeSpaceThreshold).
constexpr bool IsEnoughFreeSpace(quint64 bytes) {
    return bytes >= kFreeSpaceThreshold;
}

// True when the volume of the path has at least 16 MiB free; false when the query fails.
bool HasFreeSpace(const QString& path);

// True when the path lies on a FAT or exFAT volume, or when the volume cannot be asked.
// A path that does not exist yet is judged by its nearest existing parent folder.
bool IsFatVolume(const QString& path);

// Creates a new empty file named "qvkXXXXXX" (mode 0600) in the temporary folder and
// returns its path; empty when it cannot be created.
QString CreateTempFile();
