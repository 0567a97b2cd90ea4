// The program's HTTP client: one request at a time, described by a request record (server,
// path, method, body, credentials, timeout) and answered with the status, the response
// body and, on failure, the stage that failed with an error code and the library's text.
// The main window owns one for the version check.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

class QEventLoop;
class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

// How the request is sent.
enum TRequestMethod : quint8 {
    kMethodGet = 0,            // GET, no body
    kMethodPostForm = 1,       // POST with the url-encoded post data as body
    kMethodPostMultipart = 2,  // POST with one file as a multipart body
};

enum TRequestScheme : quint8 {
    kSchemeHttp = 0,   // port 80 unless told
    kSchemeHttps = 1,  // port 443 unless told, a secure request
};

// The step of a request that failed.
enum TRequestStage : quint8 {
    kStageNone = 0,
    kStageConnectivity = 1,  // the machine has no network to reach the server by
    kStageOpen = 2,          // the client could not take the request (one runs already)
    kStageConnect = 3,       // the server's address cannot be used
    kStageOpenRequest = 4,   // the path cannot be used
    kStageSend = 5,          // sending the request (connecting included)
    kStageEndRequest = 6,    // a multipart request was sent but no answer came
    kStageTimeouts = 7,      // (timeouts cannot fail here)
    kStageCredentials = 8,   // (credentials cannot fail here)
    kStageStatus = 9,        // the response status is not 200
    kStageContentType = 10,  // (a missing content type is no failure here)
    kStageRead = 11,         // reading the response body
    kStageWrite = 12,        // writing a multipart body
};

// The request record: what the caller asks for, and what the client reports back.
struct TWinRequest {
    QByteArray agent;      // the user-agent name, "Quiva Tessaline"
    QByteArray fileName;   // multipart: the file name sent
    QByteArray data;       // multipart: the bytes sent
    QByteArray fieldName;  // multipart: the form field's name
    // After a failure: the library's error code (a QNetworkReply::NetworkError), or
    // -(stage) when the library gave none.
    qint32 errorCode = 0;
    QByteArray postData;  // url-encoded POST: the body
    QByteArray path;      // the object's path on the server, with its query
    // The HTTP status of the response (-1 when it was not a number), 0 before one came.
    qint32 status = 0;
    QByteArray host;  // the server's host name or address
    // Set on the request when not empty: for the server, and for the proxy.
    QByteArray userName;
    QByteArray password;
    QByteArray proxyUserName;
    QByteArray proxyPassword;
    quint8 method = kMethodGet;
    // Seconds, 1..30; any other value means 30. The whole request ends within it.
    quint8 timeout = 0;
    quint8 scheme = kSchemeHttp;
    quint8 failedStage = kStageNone;  // after a failure: the stage that failed
};

// Thread safety: one thread (the one that made it); one request at a time. Perform runs a
// local event loop, so the program's other events (painting, timers, queued calls) go on
// while it waits; the caller keeps the user from starting another action meanwhile.
class TWinWrap : public QObject {
    Q_OBJECT
public:
    explicit TWinWrap(QObject* parent = nullptr);
    ~TWinWrap() override;

    // Forgets the last request: response, counters, texts and the record.
    void Reset();

    // Performs the request: the record is copied in, and back out with the status, the
    // failed stage and the error code. Returns 1 on success (status 200 and the whole body
    // read), 0 on failure. The proxy is taken from the environment (ProxyFromEnvironment).
    // OnBytes is told minus the length the server announces (0 when it announces none),
    // the running count after each piece of up to 4096 bytes, and 0 at the end.
    int Perform(TWinRequest& request);

    // The port to connect to; 0 (the default) is the scheme's own.
    void SetPort(quint16 port) { m_port = port; }
    quint16 Port() const { return m_port; }

    // The response body of the last request (complete only after a success).
    const QByteArray& Response() const { return m_response; }
    // The response's content type, and the length the server announced (0: none).
    const QByteArray& ContentType() const { return m_contentType; }
    qint64 ContentLength() const { return m_contentLength; }
    // The multipart boundary of the last multipart request.
    const QByteArray& Boundary() const { return m_boundary; }
    // The library's own text for the last failure, or empty.
    const QString& LibraryMessage() const { return m_message; }
    // True while Perform runs.
    bool IsBusy() const { return m_busy; }

    // The words for a failed request: "HTTP Error:%d" for a status other than 200, "Error:No
    // internet connection" when the network cannot be reached, otherwise the library's own
    // text (cleaned by CleanLibraryMessage; "Error:%d" with the code when it gave none).
    QString FailureText(const TWinRequest& request) const;

    // The byte-count event (see Perform). Kept across requests.
    std::function<void(qint64)> OnBytes;

    // The longest a request may take when the record names no valid timeout, in seconds.
    static constexpr int kLongestTimeout = 30;
    // The largest piece read or counted at once.
    static constexpr qint64 kChunkSize = 4096;

private:
    void Fire(qint64 count);
    void Fail(int stage, qint32 code, const QString& message);
    void Start();
    // The stage a failure before the response's headers belongs to.
    int SendingStage() const;
    void TakeHeaders();
    void ReadBody();
    void WhenFinished();
    void WhenTimedOut();
    void Finish();

    QNetworkAccessManager* m_manager = nullptr;
    QPointer<QNetworkReply> m_reply;
    QEventLoop* m_loop = nullptr;
    QTimer* m_deadline = nullptr;
    TWinRequest m_record;
    quint16 m_port = 0;
    QByteArray m_response;
    QByteArray m_contentType;
    QByteArray m_boundary;
    QString m_message;
    qint64 m_contentLength = 0;
    qint64 m_count = 0;
    qint64 m_bodyLength = 0;
    qint64 m_sent = 0;
    bool m_headersTaken = false;
    bool m_reading = false;
    bool m_finishPending = false;
    bool m_done = false;
    bool m_busy = false;
    bool m_serverAsked = false;
    bool m_proxyAsked = false;
};
