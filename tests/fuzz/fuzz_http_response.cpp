// Fuzz target: the HTTP client reading a response. A server on 127.0.0.1 answers each
// request with the input's bytes as they stand (status line, headers, body, anything) and
// closes the connection; the client must end every request within its timeout, take
// success only for status 200 with the whole body, and name the failing stage otherwise.
#include "fuzz_target.h"

#include "net/win_wrap.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#include <memory>

namespace {

struct TFixture {
    std::unique_ptr<QCoreApplication> app;
    std::unique_ptr<QTcpServer> server;
    std::unique_ptr<TWinWrap> client;
    QByteArray answer;
};

TFixture& Fixture() {
    static TFixture fixture;
    return fixture;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** argv) {
    TFixture& f = Fixture();
    // The application keeps a reference to its argument count: one that outlives main.
    static int count = 1;
    static char* arguments[] = {(*argv)[0], nullptr};
    f.app = std::make_unique<QCoreApplication>(count, arguments);
    f.server = std::make_unique<QTcpServer>();
    FUZZ_CHECK(f.server->listen(QHostAddress::LocalHost));
    QObject::connect(f.server.get(), &QTcpServer::newConnection, [&f] {
        while (QTcpSocket* socket = f.server->nextPendingConnection()) {
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            // Answers once the request has come, then closes: the whole answer is the input.
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket, &f] {
                if (socket->property("answered").toBool()) {
                    socket->readAll();
                    return;
                }
                socket->readAll();
                socket->setProperty("answered", true);
                socket->write(f.answer);
                socket->disconnectFromHost();
            });
        }
    });
    f.client = std::make_unique<TWinWrap>();
    f.client->SetPort(f.server->serverPort());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TFixture& f = Fixture();
    f.answer = QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    TWinRequest request;
    request.agent = "Quiva Tessaline";
    request.host = "127.0.0.1";
    request.path = "/qvscr/qvvi.php";
    request.method = kMethodGet;
    request.scheme = kSchemeHttp;
    request.timeout = 2;
    f.client->Reset();
    const int result = f.client->Perform(request);
    FUZZ_CHECK(result == 0 || result == 1);
    if (result == 1) {
        FUZZ_CHECK(request.status == 200);
        FUZZ_CHECK(request.failedStage == kStageNone);
    } else {
        FUZZ_CHECK(request.failedStage != kStageNone);
        FUZZ_CHECK(!f.client->FailureText(request).isEmpty());
        if (request.status != 0 && request.status != 200) {
            FUZZ_CHECK(request.failedStage == kStageStatus);
        }
    }
    FUZZ_CHECK(!f.client->IsBusy());
    return 0;
}
