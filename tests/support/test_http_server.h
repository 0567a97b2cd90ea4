// A small HTTP server on 127.0.0.1 for the tests of the HTTP client and the version window:
// it records every request it receives and answers as the test says. It runs on the
// test's own thread, served by whatever event loop runs (the client's included).
#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPair>
#include <QTcpServer>

#include <functional>

struct TReceivedRequest {
    QByteArray method;
    QByteArray target;                     // as on the request line (absolute through a proxy)
    QMap<QByteArray, QByteArray> headers;  // names in lower case
    QByteArray body;
};

struct TServerReply {
    int status = 200;
    QByteArray reason = "OK";
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
    bool silent = false;  // read the request, never answer
};

class TTestHttpServer {
public:
    TTestHttpServer();
    ~TTestHttpServer();

    bool IsListening() const { return m_server.isListening(); }
    quint16 Port() const { return m_server.serverPort(); }
    // "http://127.0.0.1:PORT"
    QString Address() const;

    // The answer to each request; by default 200 with an empty body.
    std::function<TServerReply(const TReceivedRequest&)> Answer;
    QList<TReceivedRequest> requests;
    int connections = 0;

    // A port on 127.0.0.1 where nothing listens.
    static quint16 ClosedPort();

private:
    QTcpServer m_server;
};
