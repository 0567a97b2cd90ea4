// "Is another instance running?": an exclusive lock on a lock file in the program folder,
// so that the desktop program and every command that writes the program's data exclude
// each other whatever the environment says. The kernel drops the lock when a process ends
// in any way, so a crash never blocks the next start.
#pragma once

#include <QString>

// Thread safety: one thread at a time per object; the lock serialises processes.
class TInstanceLock {
public:
    // The lock file `path` (see PathIn).
    explicit TInstanceLock(const QString& path);
    ~TInstanceLock();
    TInstanceLock(const TInstanceLock&) = delete;
    TInstanceLock& operator=(const TInstanceLock&) = delete;

    // Takes the lock without waiting. True when this object now holds it (this is the
    // first instance); false when another holder has it or the file cannot be used: it is
    // opened without following a symbolic link, created 0600, and must be a regular file
    // of the user's own.
    [[nodiscard]] bool TryAcquire();
    void Release();
    bool Held() const { return m_held; }
    // After a TryAcquire that failed: true when another process holds the lock, false when
    // the lock file itself could not be used.
    bool HeldElsewhere() const { return m_heldElsewhere; }

    // While the lock is held: records who holds it (one line, such as "quiva backup run"),
    // with this process's id, in the lock file for a refused second comer to name. The
    // desktop program records nothing.
    void SetHolder(const QByteArray& text);
    // After a TryAcquire that failed because another process holds the lock: what the
    // holder recorded ("quiva backup run (process 1234)"), empty when it recorded nothing.
    QByteArray Holder() const;

    // The lock file of a program folder (which holds qvde.d); the folder must exist.
    static QString PathIn(const QString& programFolder);
    // The folder for the program's per-user run-time objects (the hand-over socket):
    // $XDG_RUNTIME_DIR, else the temporary folder.
    static QString RuntimeFolder();

private:
    QString m_path;
    int m_fd = -1;
    bool m_held = false;
    bool m_heldElsewhere = false;
};
