// What a backup worker may reach during one run: the store, the log, the id source, the
// password's keys and the calls back to the program. The profile builds it when a run
// starts, so that a worker never walks from the profile to the list to the store.
#pragma once

#include "backup/version_blob.h"

#include <QByteArray>
#include <QString>

#include <functional>

class TBackupIdSource;
class TBackupLog;
class TBackupStore;

// Thread safety: the objects it names have their own notes; the calls are safe from the
// worker's and the change reader's threads.
struct TBackupRun {
    TBackupStore* store = nullptr;
    TBackupLog* log = nullptr;
    TBackupIdSource* ids = nullptr;
    TBlobKeys classicKeys;  // the keys of classic versions
    QByteArray password;    // the preferences password: chunked versions' keys come from it
    QString dataFolder;     // where backups.db lies: its free space is asked
    std::function<bool()> lowSpace;                 // the data folder is short of space
    std::function<void()> ended;                    // the run ended by itself
    std::function<void(const QString&)> showError;  // a message for the status panel
    std::function<void()> batchGate;                // tests' ordering hook; may be empty
};
