// Pairs the two halves of a rename inside a watched tree. The system reports a rename as a
// "renamed from" and a "renamed to" event with the same cookie, queued by the same call; a
// first half whose other half never comes went outside the tree. Used by the folder
// watcher only, on its reader thread.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

#include <functional>

class TRenamePairing {
public:
    // The "renamed from" half of a rename whose other half has not come yet.
    struct THalf {
        QString name;  // relative to the watched folder
        bool folder = false;
        qsizetype record = -1;  // its record in the batch, or -1
        int watch = -1;         // the folder it left
        QByteArray nativeName;  // its name in that folder
    };
    // Called for a first half that went outside the tree.
    using TMovedOut = std::function<void(const THalf&)>;

    // Forgets the halves of an earlier pass.
    void BeginPass();
    // A new read of events from `begin` to `end`: a first half that ended the previous read
    // went outside the tree unless its other half is in this one.
    void NewRead(const char* begin, const char* end, const TMovedOut& movedOut);
    // A "renamed from" with `cookie`; `rest` to `end` are the events after it in the same
    // read. Held when its other half follows, or when it ends the read (its other half may
    // open the next); otherwise it went outside the tree and `movedOut` is called at once.
    void MovedFrom(quint32 cookie, const char* rest, const char* end, THalf half,
                   const TMovedOut& movedOut);
    // The first half of the "renamed to" with `cookie`; false (and `half` untouched) when the
    // name came from outside the tree.
    bool TakeFirstHalf(quint32 cookie, THalf& half);
    // True when the last read ended with a first half, whose other half may be in the next.
    bool WaitsForNextRead() const { return m_undecided; }
    // The pass ends: the halves still waiting went outside the tree.
    void EndPass(const TMovedOut& movedOut);

    // True when the events from `at` to `end` hold the "renamed to" half with `cookie`.
    static bool HasSecondHalf(const char* at, const char* end, quint32 cookie);

private:
    void Resolve(quint32 cookie, const TMovedOut& movedOut);

    QHash<quint32, THalf> m_waiting;  // by cookie
    bool m_undecided = false;
    quint32 m_undecidedCookie = 0;
};
