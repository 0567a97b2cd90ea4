// Making, replacing into place and compacting an SQLite database file, the same way for
// both of the program's databases: a new file is private from its first byte and appears
// under its name only when it is complete.
#pragma once

#include <QString>

#include <functional>

class TSQLTables;

// Makes a new database file at `path` (which must not exist): the file is created empty
// and private (0600, never through a link, never over an existing name) before SQLite
// opens it, so its journal takes the same rights; then `build` fills it (it may raise
// ESQLite). False when any step fails, with SQLite's or the system's words in `reason`;
// nothing is left behind then. Any thread.
bool CreateDatabaseFile(const QString& path, const std::function<void(TSQLTables&)>& build,
                        QString* reason = nullptr);

// Makes the database file `path` by building it as path + ".new" (a leftover of an
// interrupted run is removed first) and moving it into place only when complete, never
// over a file that appeared there meanwhile. False when it could not be made; `reason`
// then says why. Any thread.
bool CreateDatabaseInPlace(const QString& path, const std::function<void(TSQLTables&)>& build,
                           QString* reason = nullptr);

// Compacts the database ("vacuum"); a failure is ignored, as compacting is a courtesy
// and the data is safe without it. The connection's thread.
void CompactDatabase(TSQLTables& db);

// Renames a file to a name that must stay free: an existing file there is never replaced.
// Any thread.
bool RenameNoReplace(const QString& from, const QString& to);
