#include "platform/instance_guard.h"

#include "base/errors.h"

#include <QCoreApplication>
#include <QLocalServer>
#include <QLocalSocket>

#include <unistd.h>

namespace {
constexpr int kBlockSize = 8;
constexpr int kBlockTimeoutMs = 2000;
constexpr int kHandOverTimeoutMs = 2000;
}  // namespace

QString TInstanceGuard::SocketPathIn(const QString& runtimeFolder) {
    return runtimeFolder + QStringLiteral("/quiva-tessaline-%1.sock").arg(getuid());
}

TInstanceGuard::TInstanceGuard(const QString& programFolder, const QString& runtimeFolder,
                               QObject* parent)
    : QObject(parent),
      m_programFolder(programFolder),
      m_folder(runtimeFolder),
      m_lock(TInstanceLock::PathIn(programFolder)) {}

TInstanceGuard::~TInstanceGuard() {
    if (m_server != nullptr) {
        m_server->close();
    }
    if (m_block && m_lock.Held()) {
        m_block->Unlink();
    }
}

bool TInstanceGuard::Start() {
    try {
        m_block = std::make_unique<TMapStream>(QString::fromLatin1(kBlockName), kBlockTimeoutMs,
                                               kBlockSize);
    } catch (const EQuiva&) {
        m_block.reset();  // the hand-over works without the block
    }
    (void)MakePrivateFolder(m_programFolder);
    // A lock file that cannot be used (the program folder is unusable) excludes no one:
    // the program then runs on its defaults and keeps nothing there.
    if (!m_lock.TryAcquire() && m_lock.HeldElsewhere()) {
        if (m_block) {
            quint32 handle = 0;
            m_block->Seek(0);
            (void)m_block->Read(&handle, sizeof handle);
        }
        m_handOverFailed = !Send(m_folder, kRaiseMessage);
        return false;
    }
    // First instance: a socket left by a crashed run is stale, since the lock was free.
    QLocalServer::removeServer(SocketPath());
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    m_server->listen(SocketPath());
    connect(m_server, &QLocalServer::newConnection, this, &TInstanceGuard::OnConnection);
    if (m_block && m_block->Clear()) {
        const quint32 handle = static_cast<quint32>(getpid());
        (void)m_block->Write(&handle, sizeof handle);
    }
    return true;
}

bool TInstanceGuard::Send(const QString& runtimeFolder, const QByteArray& message) {
    QLocalSocket socket;
    socket.connectToServer(SocketPathIn(runtimeFolder));
    if (!socket.waitForConnected(kHandOverTimeoutMs)) {
        return false;
    }
    socket.write(message + '\n');
    const bool written = socket.waitForBytesWritten(kHandOverTimeoutMs);
    socket.disconnectFromServer();
    return written;
}

bool TInstanceGuard::SendQuit(const QString& runtimeFolder) {
    return Send(runtimeFolder, kQuitMessage);
}

void TInstanceGuard::OnConnection() {
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket]() {
            while (socket->canReadLine()) {
                const QByteArray line = socket->readLine().trimmed();
                if (line == kQuitMessage) {
                    emit quitRequested();
                } else if (line == kRaiseMessage) {
                    emit raiseRequested();
                }
            }
        });
    }
}

// The meta-object code in this object too, so that only a program that uses the guard
// links it.
#include "moc_instance_guard.cpp"
