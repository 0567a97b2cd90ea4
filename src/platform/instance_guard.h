// The single-instance guard: the first start of the program holds the instance lock of its
// program folder and listens for hand-overs; a second start asks it to come to the front
// and ends before it builds any window or opens any database.
#pragma once

#include "platform/folders.h"
#include "platform/instance_lock.h"
#include "platform/map_stream.h"

#include <QObject>
#include <QString>

#include <memory>

class QLocalServer;

// Thread safety: main thread only.
class TInstanceGuard : public QObject {
    Q_OBJECT
public:
    // The registered message that makes every running instance end.
    static constexpr const char* kQuitMessage = "Quiva_Tessaline_Ident";
    static constexpr const char* kRaiseMessage = "Quiva_Tessaline_Raise";

    // `programFolder` holds the lock file (it is made, private, when missing) and
    // `runtimeFolder` the hand-over socket (tests use their own).
    explicit TInstanceGuard(const QString& programFolder = DefaultProgramFolder(),
                            const QString& runtimeFolder = TInstanceLock::RuntimeFolder(),
                            QObject* parent = nullptr);
    ~TInstanceGuard() override;

    // True for the first instance, which then keeps the lock and listens. For a second
    // instance, hands over (asks the running one to restore and raise its window) and
    // returns false; the caller ends.
    [[nodiscard]] bool Start();

    // After a Start that returned false: true when no running instance took the hand-over
    // (the lock is held by a process that does not listen, such as a `quiva` command, or
    // the lock file cannot be used).
    bool HandOverFailed() const { return m_handOverFailed; }

    // Sends the quit message to the running instance. False when none answers.
    static bool SendQuit(const QString& runtimeFolder = TInstanceLock::RuntimeFolder());

    QString SocketPath() const { return SocketPathIn(m_folder); }
    static QString SocketPathIn(const QString& runtimeFolder);

    // The shared block's names.
    static constexpr const char* kBlockName = "Quiva_Tessaline Map";

signals:
    // A second start asked this instance to come to the front.
    void raiseRequested();
    // The quit message arrived.
    void quitRequested();

private:
    static bool Send(const QString& runtimeFolder, const QByteArray& message);
    void OnConnection();

    QString m_programFolder;
    QString m_folder;
    TInstanceLock m_lock;
    std::unique_ptr<TMapStream> m_block;
    QLocalServer* m_server = nullptr;
    bool m_handOverFailed = false;
};
