// Where the program keeps its files, and the user's standard folders.
#pragma once

#include <QString>

// The per-user program folder: $XDG_DATA_HOME/quiva-tessaline/ (by default
// ~/.local/share/quiva-tessaline/), with a trailing "/". It is not created here.
QString DefaultProgramFolder();

// The user's home folder with a trailing "/".
QString HomeFolder();

// The folder for temporary files (no trailing "/").
QString TempFolder();

// Makes a folder with all missing parents. True when it exists afterwards.
[[nodiscard]] bool MakeFolderPath(const QString& path);

// True when the path names an existing folder.
bool FolderExists(const QString& path);
