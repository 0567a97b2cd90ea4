// The clean-close marker of a backup store: a small file beside backups.db
// ("backups.db-state") that lets an open trust a store without reading every page of it.
//
// While a process has the store open for writing, the marker says "open" and that process
// holds a shared lock on it (the kernel drops the lock when the process dies). The last
// process to close the store writes "closed" with the facts of backups.db as it left it:
// device, inode, size, and the modification and change times in nanoseconds. Any later
// change of the file by anyone else (another tool, a copy put back, a cut file) changes
// its change time, which no one can set, so a store whose facts still match is byte for
// byte the one that was closed cleanly. A crash or kill leaves "open" (or a -wal file
// with changes), and the next open then checks the store in full.
#pragma once

#include <QByteArray>
#include <QString>

// Thread safety: one object per open of the store, used under the backups lock.
class TStoreMarker {
public:
    // `storeNative`: the store's path as the system call takes it.
    explicit TStoreMarker(QByteArray storeNative);
    // Releases the lock and leaves the marker as it is.
    ~TStoreMarker();
    TStoreMarker(const TStoreMarker&) = delete;
    TStoreMarker& operator=(const TStoreMarker&) = delete;

    // True when the store is known to be as its last writer left it: another process has
    // it open for writing now (that open vouched for it), or the marker records a clean
    // close of this very file and no -wal or -journal file with changes lies beside it.
    // Reads only; makes nothing. `why` receives the reason when it is false.
    bool VouchesForStore(QString* why = nullptr) const;

    // Records that the store is open for writing, before anything is written to it: the
    // marker is made when missing (0600, a link there is not followed), locked shared
    // until MarkClosed or destruction, and set to "open" on disk. False when it cannot be
    // (then the next open checks the store in full).
    bool MarkOpen();

    // After the store's connection is closed: when no other process has the store open,
    // records its facts as cleanly closed. Then releases the lock.
    void MarkClosed();

    // The marker's path beside a store.
    static QByteArray PathFor(const QByteArray& storeNative);

private:
    QByteArray m_store;
    QByteArray m_path;
    int m_fd = -1;
};
