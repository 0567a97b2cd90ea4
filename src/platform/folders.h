// Where the program keeps its files, the user's standard folders, and the private folders
// and files that hold the user's data.
#pragma once

#include <QString>

// The per-user program folder: $XDG_DATA_HOME/quiva-tessaline/ (by default
// ~/.local/share/quiva-tessaline/), with a trailing "/". It is not created here.
QString DefaultProgramFolder();

// The user's home folder with a trailing "/".
QString HomeFolder();

// The folder for temporary files (no trailing "/").
QString TempFolder();

// The rights of the program's private files (stores, logs) and folders.
inline constexpr unsigned kPrivateFileMode = 0600;
inline constexpr unsigned kPrivateFolderMode = 0700;

// Makes a folder with all missing parents; folders it makes are private (0700). True when
// a folder exists there afterwards. Any thread.
[[nodiscard]] bool MakeFolderPath(const QString& path);

// Makes a folder like MakeFolderPath and, when it exists already and belongs to the user,
// takes away every right of the group and of others (earlier versions made their folders
// with the umask's rights). True when the folder exists afterwards. Any thread.
[[nodiscard]] bool MakePrivateFolder(const QString& path);

// True when the path names an existing folder (a link to one counts).
bool FolderExists(const QString& path);

// Why the program cannot keep its files in the folder, in words: "%1 is not a folder"
// (a file in its place or in the place of a folder above it), "no permission to write in
// %1" (the folder, or the nearest one above that exists when it is missing), "%1 does not
// exist", or the system's reason; %1 is the path as PrintableName shows it. Empty when a
// folder the user may write in exists there. Any thread.
QString FolderProblem(const QString& path);

// Makes an empty file that only the user may read and write (0600, whatever the umask);
// never through a symbolic link, never over an existing name. False when it cannot.
[[nodiscard]] bool CreatePrivateFile(const QString& path);

// When the path names a regular file of the user's that the group or others may read or
// write, makes it 0600 (the stores and logs of earlier versions). A missing file, a link
// or another user's file is left alone. Any thread.
void TightenPrivateFile(const QString& path);

// Removes a file (never a folder); true when it is gone afterwards. Any thread.
bool RemoveFile(const QString& path);

// Renames a file within one file system, replacing what the new name held. False when it
// cannot. Any thread.
[[nodiscard]] bool RenameFile(const QString& from, const QString& to);
