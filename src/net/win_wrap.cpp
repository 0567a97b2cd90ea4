#include "net/win_wrap.h"

#include "net/http_helpers.h"

#include <QAuthenticator>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

#include <chrono>

namespace {

constexpr const char* kFormContentType = "application/x-www-form-urlencoded";
constexpr int kMillisecondsPerSecond = 1000;
constexpr int kHttpOk = 200;

// The record's timeout in milliseconds: 1..30 seconds, anything else 30.
int TimeoutMs(quint8 seconds) {
    const int valid =
        seconds >= 1 && seconds <= TWinWrap::kLongestTimeout ? seconds : TWinWrap::kLongestTimeout;
    return valid * kMillisecondsPerSecond;
}

// The platform's millisecond tick count (time since boot), as 32 bits.
quint32 TickCount() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<quint32>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

}  // namespace

TWinWrap::TWinWrap(QObject* parent)
    : QObject(parent), m_manager(new QNetworkAccessManager(this)), m_deadline(new QTimer(this)) {
    m_deadline->setSingleShot(true);
    connect(m_deadline, &QTimer::timeout, this, &TWinWrap::WhenTimedOut);
    // The server's credentials are offered once; a second challenge means they were refused,
    // and the request then ends with the server's status.
    connect(m_manager, &QNetworkAccessManager::authenticationRequired, this,
            [this](QNetworkReply* reply, QAuthenticator* authenticator) {
                if (reply != m_reply || m_serverAsked) {
                    return;
                }
                m_serverAsked = true;
                if (!m_record.userName.isEmpty()) {
                    authenticator->setUser(QString::fromUtf8(m_record.userName));
                }
                if (!m_record.password.isEmpty()) {
                    authenticator->setPassword(QString::fromUtf8(m_record.password));
                }
            });
}

TWinWrap::~TWinWrap() {
    m_deadline->stop();
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
    }
}

void TWinWrap::Reset() {
    if (m_busy) {
        return;
    }
    if (m_reply) {
        m_reply->disconnect(this);
        delete m_reply;
    }
    // Nothing carries over: no connection, no credentials of an earlier request.
    m_manager->clearAccessCache();
    m_record = TWinRequest{};
    m_response.clear();
    m_contentType.clear();
    m_boundary.clear();
    m_message.clear();
    m_contentLength = 0;
    m_count = 0;
    m_bodyLength = 0;
    m_sent = 0;
    m_headersTaken = false;
    m_reading = false;
    m_finishPending = false;
    m_done = false;
    m_serverAsked = false;
}

int TWinWrap::Perform(TWinRequest& request) {
    if (m_busy) {
        // The request that runs is left alone.
        request.failedStage = kStageOpen;
        request.errorCode = -kStageOpen;
        return 0;
    }
    Reset();
    m_record = request;
    m_record.status = 0;
    m_record.errorCode = 0;
    m_record.failedStage = kStageNone;
    m_busy = true;
    Start();
    if (!m_done) {
        QEventLoop loop;
        m_loop = &loop;
        loop.exec();
        m_loop = nullptr;
        // The loop also ends when the program quits; the request then ends here.
        if (!m_done && m_reply) {
            m_reply->abort();
        }
        if (!m_done) {
            Fail(m_headersTaken ? kStageRead : SendingStage(),
                 QNetworkReply::OperationCanceledError, QStringLiteral("Operation canceled"));
        }
    }
    m_deadline->stop();
    if (m_reply) {
        m_reply->disconnect(this);
        delete m_reply;
    }
    m_busy = false;
    request = m_record;
    Fire(0);
    return m_record.failedStage == kStageNone ? 1 : 0;
}

void TWinWrap::Start() {
    const QString host = QString::fromUtf8(m_record.host).trimmed();
    const bool https = m_record.scheme == kSchemeHttps;
    if (!IsLoopbackHost(host) && !HasNetworkConnection()) {
        Fail(kStageConnectivity, 0, QString());
        return;
    }

    QUrl server;
    server.setScheme(https ? QStringLiteral("https") : QStringLiteral("http"));
    server.setHost(host, QUrl::StrictMode);
    if (m_port != 0) {
        server.setPort(m_port);
    }
    if (host.isEmpty() || !server.isValid() || server.host().isEmpty()) {
        Fail(kStageConnect, 0, QStringLiteral("The server name is not valid"));
        return;
    }
    const QByteArray path = m_record.path.isEmpty() ? QByteArray("/") : m_record.path;
    const QUrl url = QUrl::fromEncoded(server.toEncoded() + path, QUrl::TolerantMode);
    if (!path.startsWith('/') || !url.isValid()) {
        Fail(kStageOpenRequest, 0, QStringLiteral("The object path is not valid"));
        return;
    }

    QNetworkProxy proxy(QNetworkProxy::NoProxy);
    if (const auto setting = ProxyFromEnvironment(server.scheme(), host)) {
        proxy = QNetworkProxy(
            QNetworkProxy::HttpProxy, setting->host, setting->port,
            m_record.proxyUserName.isEmpty() ? setting->user
                                             : QString::fromUtf8(m_record.proxyUserName),
            m_record.proxyPassword.isEmpty() ? setting->password
                                             : QString::fromUtf8(m_record.proxyPassword));
    }
    m_manager->setProxy(proxy);

    QNetworkRequest request(url);
    request.setRawHeader("User-Agent", m_record.agent);
    // Always from the server, never kept.
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    m_deadline->start(TimeoutMs(m_record.timeout));

    switch (m_record.method) {
        case kMethodPostForm:
            request.setRawHeader("Content-Type", kFormContentType);
            m_reply = m_manager->post(request, m_record.postData);
            break;
        case kMethodPostMultipart: {
            // A boundary that the data holds would end the part early.
            quint32 tick = TickCount();
            m_boundary = MakeBoundary(tick);
            while (m_record.data.contains(m_boundary)) {
                m_boundary = MakeBoundary(++tick);
            }
            const QByteArray body =
                MultipartBody(m_boundary, m_record.fieldName, m_record.fileName, m_record.data);
            request.setRawHeader("Content-Type", "multipart/form-data;boundary=" + m_boundary);
            m_bodyLength = body.size();
            Fire(-m_bodyLength);
            m_reply = m_manager->post(request, body);
            connect(m_reply, &QNetworkReply::uploadProgress, this, [this](qint64 sent, qint64) {
                if (!m_done && sent > m_sent) {
                    m_sent = sent;
                    Fire(sent);
                }
            });
            break;
        }
        default:
            request.setRawHeader("Content-Type", kFormContentType);
            m_reply = m_manager->get(request);
            break;
    }
    connect(m_reply, &QNetworkReply::readyRead, this, &TWinWrap::ReadBody);
    connect(m_reply, &QNetworkReply::finished, this, &TWinWrap::WhenFinished);
}

int TWinWrap::SendingStage() const {
    if (m_record.method != kMethodPostMultipart || m_sent <= 0) {
        return kStageSend;
    }
    return m_sent < m_bodyLength ? kStageWrite : kStageEndRequest;
}

void TWinWrap::TakeHeaders() {
    if (m_headersTaken || m_done || !m_reply) {
        return;
    }
    const QVariant status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid()) {
        return;  // no response yet
    }
    m_headersTaken = true;
    bool isNumber = false;
    const int code = status.toInt(&isNumber);
    m_record.status = isNumber ? code : -1;
    const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
    m_contentLength = length.isValid() ? length.toLongLong() : 0;
    Fire(-m_contentLength);
    if (m_done) {
        return;
    }
    if (m_record.status != kHttpOk) {
        Fail(kStageStatus, 0, QString());
        return;
    }
    m_contentType = m_reply->rawHeader("Content-Type");
}

void TWinWrap::ReadBody() {
    // Reporting a count may let other events run (the status panel paints), among them
    // more of the body or its end: the read under way takes the bytes, and the end waits
    // for it.
    if (m_reading) {
        return;
    }
    m_reading = true;
    TakeHeaders();
    while (m_headersTaken && !m_done && m_reply && m_reply->bytesAvailable() > 0) {
        const QByteArray piece = m_reply->read(kChunkSize);
        if (piece.isEmpty()) {
            break;
        }
        m_response += piece;
        m_count += piece.size();
        Fire(m_count);
    }
    m_reading = false;
    if (m_finishPending) {
        m_finishPending = false;
        WhenFinished();
    }
}

void TWinWrap::WhenFinished() {
    if (m_done || !m_reply) {
        return;
    }
    if (m_reading) {
        m_finishPending = true;
        return;
    }
    ReadBody();
    if (m_done) {
        return;
    }
    const QNetworkReply::NetworkError error = m_reply->error();
    if (!m_headersTaken) {
        Fail(SendingStage(), error, m_reply->errorString());
    } else if (error != QNetworkReply::NoError) {
        Fail(kStageRead, error, m_reply->errorString());
    } else {
        Finish();
    }
}

void TWinWrap::WhenTimedOut() {
    if (!m_done) {
        Fail(m_headersTaken ? kStageRead : SendingStage(), QNetworkReply::TimeoutError,
             QStringLiteral("The operation timed out"));
    }
}

void TWinWrap::Fail(int stage, qint32 code, const QString& message) {
    if (m_done) {
        return;
    }
    m_done = true;
    m_deadline->stop();
    m_record.failedStage = static_cast<quint8>(stage);
    m_record.errorCode = code != 0 ? code : -stage;
    m_message = message;
    // A reply that carries an error already (an HTTP error status) is only let go: it is
    // freed when Perform ends.
    if (m_reply && m_reply->isRunning() && m_reply->error() == QNetworkReply::NoError) {
        m_reply->abort();
    }
    if (m_loop != nullptr) {
        m_loop->quit();
    }
}

void TWinWrap::Finish() {
    m_done = true;
    m_deadline->stop();
    if (m_loop != nullptr) {
        m_loop->quit();
    }
}

void TWinWrap::Fire(qint64 count) {
    if (OnBytes) {
        OnBytes(count);
    }
}

QString TWinWrap::FailureText(const TWinRequest& request) const {
    if (request.failedStage == kStageStatus) {
        return QStringLiteral("HTTP Error:%1").arg(request.status);
    }
    if (request.errorCode == -kStageConnectivity ||
        request.errorCode == QNetworkReply::TemporaryNetworkFailureError ||
        request.errorCode == QNetworkReply::NetworkSessionFailedError) {
        return QStringLiteral("Error:No internet connection");
    }
    const QString text = CleanLibraryMessage(m_message);
    return text.isEmpty() ? QStringLiteral("Error:%1").arg(request.errorCode) : text;
}
