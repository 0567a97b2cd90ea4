// "Is another instance running?": an exclusive lock on a per-user lock file. The kernel
// drops the lock when a process ends in any way, so a crash never blocks the next start.
#pragma once

#include <QString>

class TInstanceLock {
public:
    // The lock file: in $XDG_RUNTIME_DIR, else the temporary folder, named per user.
    explicit TInstanceLock(const QString& path = DefaultPath());
    ~TInstanceLock();
    TInstanceLock(const TInstanceLock&) = delete;
    TInstanceLock& operator=(const TInstanceLock&) = delete;

    // Takes the lock without waiting. True when this object now holds it (this is the
    // first instance); false when another holder has it or the file cannot be opened.
    [[nodiscard]] bool TryAcquire();
    void Release();
    bool Held() const { return m_held; }

    static QString DefaultPath();
    // The folder for the program's per-user run-time objects (lock file, socket).
    static QString RuntimeFolder();

private:
    QString m_path;
    int m_fd = -1;
    bool m_held = false;
};
