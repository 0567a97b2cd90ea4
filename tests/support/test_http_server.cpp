#include "support/test_http_server.h"

#include <QHostAddress>
#include <QTcpSocket>

#include <memory>
#include <optional>

namespace {

// A whole request in the buffer: removed from it and returned.
std::optional<TReceivedRequest> TakeRequest(QByteArray& buffer) {
    const qsizetype end = buffer.indexOf("\r\n\r\n");
    if (end < 0) {
        return std::nullopt;
    }
    const QList<QByteArray> lines = buffer.left(end).split('\n');
    TReceivedRequest request;
    const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
    request.method = first.value(0);
    request.target = first.value(1);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon > 0) {
            request.headers.insert(line.left(colon).trimmed().toLower(),
                                   line.mid(colon + 1).trimmed());
        }
    }
    const qsizetype length = request.headers.value("content-length", "0").toLongLong();
    if (buffer.size() < end + 4 + length) {
        return std::nullopt;
    }
    request.body = buffer.mid(end + 4, length);
    buffer.remove(0, end + 4 + length);
    return request;
}

QByteArray Reply(const TServerReply& reply) {
    QByteArray text = "HTTP/1.1 " + QByteArray::number(reply.status) + ' ' + reply.reason + "\r\n";
    bool hasLength = false;
    for (const auto& [name, value] : reply.headers) {
        text += name + ": " + value + "\r\n";
        hasLength = hasLength || name.toLower() == "content-length";
    }
    if (!hasLength) {
        text += "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n";
    }
    text += "Connection: close\r\n\r\n";
    return text + reply.body;
}

}  // namespace

TTestHttpServer::TTestHttpServer() {
    Answer = [](const TReceivedRequest&) { return TServerReply{}; };
    QObject::connect(&m_server, &QTcpServer::newConnection, &m_server, [this] {
        while (QTcpSocket* socket = m_server.nextPendingConnection()) {
            ++connections;
            auto buffer = std::make_shared<QByteArray>();
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer] {
                buffer->append(socket->readAll());
                while (const std::optional<TReceivedRequest> request = TakeRequest(*buffer)) {
                    requests.append(*request);
                    const TServerReply reply = Answer(*request);
                    if (reply.silent) {
                        continue;
                    }
                    socket->write(Reply(reply));
                    socket->disconnectFromHost();
                }
            });
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
    (void)m_server.listen(QHostAddress::LocalHost, 0);
}

TTestHttpServer::~TTestHttpServer() {
    m_server.close();
}

QString TTestHttpServer::Address() const {
    return QStringLiteral("http://127.0.0.1:%1").arg(Port());
}

quint16 TTestHttpServer::ClosedPort() {
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0)) {
        return 1;
    }
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}
