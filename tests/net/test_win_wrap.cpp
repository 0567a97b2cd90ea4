// The HTTP client against a real server on the loopback interface: the answers, the
// failures with their stages and words, the bodies sent byte for byte, the byte counts, the
// proxy rule and the request's time limit.
#include "net/http_helpers.h"
#include "net/win_wrap.h"
#include "support/scoped_environment.h"
#include "support/test_http_server.h"

#include <QCoreApplication>
#include <QNetworkReply>
#include <QProcess>

#include <gtest/gtest.h>

namespace {

TWinRequest Request(const QByteArray& path, quint8 timeout = 5) {
    TWinRequest request;
    request.agent = "Quiva Tessaline";
    request.host = "127.0.0.1";
    request.path = path;
    request.timeout = timeout;
    return request;
}

class WinWrap : public ::testing::Test {
protected:
    void SetUp() override {
        m_environment.ClearProxies();
        ASSERT_TRUE(m_server.IsListening());
        m_client.SetPort(m_server.Port());
        m_client.OnBytes = [this](qint64 count) { m_counts.append(count); };
    }

    TScopedEnvironment m_environment;
    TTestHttpServer m_server;
    TWinWrap m_client;
    QList<qint64> m_counts;
};

TEST_F(WinWrap, AResponseOfTenThousandBytesIsCountedAsItArrives) {
    QByteArray body;
    for (int i = 0; body.size() < 10000; ++i) {
        body += "line " + QByteArray::number(i) + " https://quiva-tessaline.example/news\n";
    }
    body.truncate(10000);
    m_server.Answer = [&](const TReceivedRequest&) {
        return TServerReply{200, "OK", {{"Content-Type", "text/plain; charset=utf-8"}}, body};
    };
    TWinRequest request = Request("/qvscr/qvvi.php");
    ASSERT_EQ(m_client.Perform(request), 1);
    EXPECT_EQ(request.failedStage, kStageNone);
    EXPECT_EQ(request.errorCode, 0);
    EXPECT_EQ(request.status, 200);
    EXPECT_EQ(m_client.Response(), body);
    EXPECT_EQ(m_client.ContentType(), "text/plain; charset=utf-8");
    EXPECT_EQ(m_client.ContentLength(), 10000);

    // Minus the announced length, then rising counts in pieces of at most 4096 bytes, the
    // last 10000, then 0.
    ASSERT_GE(m_counts.size(), 5);
    EXPECT_EQ(m_counts.first(), -10000);
    EXPECT_EQ(m_counts.last(), 0);
    const QList<qint64> rising = m_counts.mid(1, m_counts.size() - 2);
    for (qsizetype i = 0; i < rising.size(); ++i) {
        const qint64 before = i == 0 ? 0 : rising[i - 1];
        EXPECT_GT(rising[i], before);
        EXPECT_LE(rising[i] - before, TWinWrap::kChunkSize);
    }
    EXPECT_EQ(rising.last(), 10000);

    ASSERT_EQ(m_server.requests.size(), 1);
    const TReceivedRequest& received = m_server.requests.first();
    EXPECT_EQ(received.method, "GET");
    EXPECT_EQ(received.target, "/qvscr/qvvi.php");
    EXPECT_EQ(received.headers.value("user-agent"), "Quiva Tessaline");
}

TEST_F(WinWrap, AStatusOtherThan200FailsWithItsNumber) {
    m_server.Answer = [](const TReceivedRequest&) {
        return TServerReply{404, "Not Found", {}, "no such page"};
    };
    TWinRequest request = Request("/qvscr/qvvi.php");
    EXPECT_EQ(m_client.Perform(request), 0);
    EXPECT_EQ(request.failedStage, kStageStatus);
    EXPECT_EQ(request.status, 404);
    EXPECT_EQ(request.errorCode, -kStageStatus);
    EXPECT_EQ(m_client.FailureText(request), "HTTP Error:404");
    EXPECT_TRUE(m_client.Response().isEmpty());
    EXPECT_EQ(m_counts.last(), 0);
    EXPECT_FALSE(m_counts.contains(12));  // the error page's bytes are not counted
}

TEST_F(WinWrap, ARefusedConnectionGivesTheLibrarysOwnWords) {
    m_client.SetPort(TTestHttpServer::ClosedPort());
    TWinRequest request = Request("/qvscr/qvvi.php");
    EXPECT_EQ(m_client.Perform(request), 0);
    EXPECT_EQ(request.failedStage, kStageSend);
    EXPECT_EQ(request.errorCode, QNetworkReply::ConnectionRefusedError);
    EXPECT_EQ(request.status, 0);
    const QString text = m_client.FailureText(request);
    EXPECT_FALSE(text.isEmpty());
    EXPECT_EQ(text, CleanLibraryMessage(m_client.LibraryMessage()));
    EXPECT_NE(text, "Error:No internet connection");
    EXPECT_EQ(m_counts, QList<qint64>({0}));
}

TEST_F(WinWrap, AServerThatNeverAnswersEndsWithinTheTimeout) {
    m_server.Answer = [](const TReceivedRequest&) {
        TServerReply reply;
        reply.silent = true;
        return reply;
    };
    TWinRequest request = Request("/qvscr/qvvi.php", 1);
    EXPECT_EQ(m_client.Perform(request), 0);
    EXPECT_EQ(request.failedStage, kStageSend);
    EXPECT_EQ(request.errorCode, QNetworkReply::TimeoutError);
    EXPECT_EQ(m_client.FailureText(request), "The operation timed out");
    EXPECT_EQ(m_server.requests.size(), 1);
    EXPECT_FALSE(m_client.IsBusy());
}

TEST_F(WinWrap, AFormPostSendsItsBodyAsItIs) {
    TWinRequest request = Request("/form?x=1");
    request.method = kMethodPostForm;
    request.postData = "name=quiva&value=a%26b+c";
    ASSERT_EQ(m_client.Perform(request), 1);
    ASSERT_EQ(m_server.requests.size(), 1);
    const TReceivedRequest& received = m_server.requests.first();
    EXPECT_EQ(received.method, "POST");
    EXPECT_EQ(received.target, "/form?x=1");
    EXPECT_EQ(received.headers.value("content-type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(received.body, request.postData);
}

TEST_F(WinWrap, AMultipartPostIsSentByteForByte) {
    QByteArray data;
    for (int i = 0; i < 9000; ++i) {
        data.append(static_cast<char>(i % 256));
    }
    data += "\r\n--\r\n";
    // The server rebuilds the body from the boundary in the header and compares.
    m_server.Answer = [&](const TReceivedRequest& received) {
        const QByteArray type = received.headers.value("content-type");
        const QByteArray prefix = "multipart/form-data;boundary=";
        if (!type.startsWith(prefix)) {
            return TServerReply{400, "Bad Request", {}, "type"};
        }
        const QByteArray line = "--" + type.mid(prefix.size());
        const QByteArray expected =
            line + "\r\n" +
            "Content-Disposition:form-data;name=\"upload\";filename=\"report.bin\"\r\n" +
            "Content-Type:application/octet-stream\r\n\r\n" + data + "\r\n" + line + "--\r\n";
        return received.body == expected ? TServerReply{200, "OK", {}, "matched"}
                                         : TServerReply{400, "Bad Request", {}, "body"};
    };
    TWinRequest request = Request("/upload");
    request.method = kMethodPostMultipart;
    request.fieldName = "upload";
    request.fileName = "report.bin";
    request.data = data;
    ASSERT_EQ(m_client.Perform(request), 1) << m_client.FailureText(request).toStdString();
    EXPECT_EQ(m_client.Response(), "matched");
    EXPECT_FALSE(data.contains(m_client.Boundary()));
    EXPECT_TRUE(m_client.Boundary().startsWith("---"));
    // Minus the body's length first.
    const qint64 bodyLength = m_server.requests.first().body.size();
    EXPECT_EQ(m_counts.first(), -bodyLength);
}

TEST_F(WinWrap, AnUploadTheServerRefusesIsAFailure) {
    m_server.Answer = [](const TReceivedRequest&) {
        return TServerReply{413, "Payload Too Large", {}, {}};
    };
    TWinRequest request = Request("/upload");
    request.method = kMethodPostMultipart;
    request.data = "x";
    EXPECT_EQ(m_client.Perform(request), 0);
    EXPECT_EQ(m_client.FailureText(request), "HTTP Error:413");
}

TEST_F(WinWrap, CredentialsAnswerTheServersChallenge) {
    m_server.Answer = [](const TReceivedRequest& received) {
        if (received.headers.value("authorization") ==
            "Basic " + QByteArray("quiva:s3cret").toBase64()) {
            return TServerReply{200, "OK", {}, "welcome"};
        }
        return TServerReply{401, "Unauthorized", {{"WWW-Authenticate", "Basic realm=\"q\""}}, {}};
    };
    TWinRequest without = Request("/private");
    EXPECT_EQ(m_client.Perform(without), 0);
    EXPECT_EQ(m_client.FailureText(without), "HTTP Error:401");

    TWinRequest with = Request("/private");
    with.userName = "quiva";
    with.password = "s3cret";
    ASSERT_EQ(m_client.Perform(with), 1);
    EXPECT_EQ(m_client.Response(), "welcome");

    TWinRequest wrong = Request("/private");
    wrong.userName = "quiva";
    wrong.password = "wrong";
    EXPECT_EQ(m_client.Perform(wrong), 0);
    EXPECT_EQ(m_client.FailureText(wrong), "HTTP Error:401");
}

TEST_F(WinWrap, ASecondRequestWhileOneRunsIsRefusedAndTheFirstGoesOn) {
    m_server.Answer = [](const TReceivedRequest&) {
        return TServerReply{200, "OK", {}, QByteArray(5000, 'q')};
    };
    int inner = -1;
    TWinRequest second = Request("/second");
    m_client.OnBytes = [&](qint64 count) {
        if (count > 0 && inner < 0) {
            inner = m_client.Perform(second);
        }
    };
    TWinRequest first = Request("/first");
    EXPECT_EQ(m_client.Perform(first), 1);
    EXPECT_EQ(inner, 0);
    EXPECT_EQ(second.failedStage, kStageOpen);
    EXPECT_EQ(m_client.Response(), QByteArray(5000, 'q'));
    EXPECT_EQ(m_server.requests.size(), 1);
}

TEST_F(WinWrap, TheServerNameAndPathMustBeUsable) {
    TWinRequest noHost = Request("/");
    noHost.host = "";
    EXPECT_EQ(m_client.Perform(noHost), 0);
    EXPECT_EQ(noHost.failedStage, kStageConnect);
    EXPECT_EQ(noHost.errorCode, -kStageConnect);

    TWinRequest badPath = Request("no-slash");
    EXPECT_EQ(m_client.Perform(badPath), 0);
    EXPECT_EQ(badPath.failedStage, kStageOpenRequest);
    EXPECT_EQ(m_server.connections, 0);
}

TEST_F(WinWrap, TheEnvironmentsProxyCarriesRequestsForOtherHosts) {
    if (!HasNetworkConnection()) {
        GTEST_SKIP() << "the machine has no network interface but the loopback one";
    }
    // The test server plays the proxy: a request for another host reaches it in the
    // absolute form a proxy is asked in, and nothing leaves the machine.
    m_server.Answer = [](const TReceivedRequest&) {
        return TServerReply{200, "OK", {}, "through the proxy"};
    };
    m_environment.Set("http_proxy", m_server.Address().toUtf8());
    m_client.SetPort(0);
    TWinRequest request = Request("/qvscr/qvvi.php");
    request.host = "quiva-tessaline.example";
    ASSERT_EQ(m_client.Perform(request), 1) << m_client.FailureText(request).toStdString();
    ASSERT_EQ(m_server.requests.size(), 1);
    EXPECT_EQ(m_server.requests.first().target, "http://quiva-tessaline.example/qvscr/qvvi.php");
    EXPECT_EQ(m_client.Response(), "through the proxy");
}

// Run in a network namespace of its own (only a loopback interface, and that one down):
// the connectivity test fails before any connection is tried.
TEST(WinWrapInner, WithoutANetworkThereIsNoInternetConnection) {
    if (!qEnvironmentVariableIsSet("QUIVA_TEST_NO_NETWORK")) {
        GTEST_SKIP() << "run by WithoutANetworkTheCheckSaysSo";
    }
    EXPECT_FALSE(HasNetworkConnection());
    TWinWrap client;
    TWinRequest request = Request("/qvscr/qvvi.php");
    request.host = "quiva-tessaline.example";
    EXPECT_EQ(client.Perform(request), 0);
    EXPECT_EQ(request.failedStage, kStageConnectivity);
    EXPECT_EQ(request.errorCode, -1);
    EXPECT_EQ(client.FailureText(request), "Error:No internet connection");
}

TEST(WinWrapNoNetwork, WithoutANetworkTheCheckSaysSo) {
    QProcess probe;
    probe.start(QStringLiteral("unshare"), {QStringLiteral("-n"), QStringLiteral("true")});
    if (!probe.waitForFinished(10000) || probe.exitStatus() != QProcess::NormalExit ||
        probe.exitCode() != 0) {
        GTEST_SKIP() << "no network namespace can be made here (unshare -n)";
    }
    QProcess inner;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QUIVA_TEST_NO_NETWORK"), QStringLiteral("1"));
    inner.setProcessEnvironment(environment);
    inner.setProcessChannelMode(QProcess::MergedChannels);
    inner.start(QStringLiteral("unshare"),
                {QStringLiteral("-n"), QCoreApplication::applicationFilePath(),
                 QStringLiteral("--gtest_filter=WinWrapInner.*")});
    ASSERT_TRUE(inner.waitForFinished(60000));
    const QByteArray output = inner.readAll();
    EXPECT_EQ(inner.exitCode(), 0) << output.toStdString();
    EXPECT_TRUE(output.contains("[  PASSED  ] 1 test")) << output.toStdString();
}

// ---- the pieces of a request ------------------------------------------------------

TEST(ProxyList, TheEntryForTheRequestsScheme) {
    struct TCase {
        const char* list;
        const char* scheme;
        const char* proxy;
    };
    const TCase cases[] = {
        {"http=proxy:8080;https=other:8443", "http", "proxy:8080"},
        {"http=proxy:8080;https=other:8443", "https", "other:8443"},
        {"https=other:8443;http=proxy:8080", "http", "proxy:8080"},
        {"http=proxy", "http", ""},  // an entry without ":" is no proxy
        {"proxy:8080", "http", "proxy:8080"},
        {"proxy:8080", "https", "proxy:8080"},
        {"proxy:8080 other:9", "http", "proxy:8080"},
        {"http=proxy:8080 ftp=x:21", "http", "proxy:8080"},
        // A list by scheme without this scheme gives no proxy, not another entry.
        {"https=other:8443;ftp=files:21", "http", ""},
        {"", "http", ""},
    };
    for (const TCase& c : cases) {
        EXPECT_EQ(ProxyFromList(QString::fromLatin1(c.list), QString::fromLatin1(c.scheme)),
                  QString::fromLatin1(c.proxy))
            << c.list << " for " << c.scheme;
    }
}

TEST(ProxyList, TheEnvironmentStandsInForThePlatformsSettings) {
    TScopedEnvironment environment;
    environment.ClearProxies();
    EXPECT_FALSE(ProxyFromEnvironment("http", "example.org").has_value());

    environment.Set("http_proxy", "http://user:pw@proxy.example:3128/");
    environment.Set("https_proxy", "secure.example:8443");
    const auto http = ProxyFromEnvironment("http", "example.org");
    ASSERT_TRUE(http.has_value());
    EXPECT_EQ(http->host, "proxy.example");
    EXPECT_EQ(http->port, 3128);
    EXPECT_EQ(http->user, "user");
    EXPECT_EQ(http->password, "pw");
    const auto https = ProxyFromEnvironment("https", "example.org");
    ASSERT_TRUE(https.has_value());
    EXPECT_EQ(https->host, "secure.example");
    EXPECT_EQ(https->port, 8443);

    // Loopback hosts and what no_proxy names go direct.
    EXPECT_FALSE(ProxyFromEnvironment("http", "localhost").has_value());
    EXPECT_FALSE(ProxyFromEnvironment("http", "127.0.0.1").has_value());
    EXPECT_FALSE(ProxyFromEnvironment("http", "::1").has_value());
    environment.Set("no_proxy", "intranet, .example.org");
    EXPECT_FALSE(ProxyFromEnvironment("http", "www.example.org").has_value());
    EXPECT_FALSE(ProxyFromEnvironment("http", "INTRANET").has_value());
    EXPECT_TRUE(ProxyFromEnvironment("http", "example.net").has_value());
    environment.Set("no_proxy", "*");
    EXPECT_FALSE(ProxyFromEnvironment("http", "example.net").has_value());

    // An address without a port is no proxy, as an entry without ":" is.
    environment.Unset("no_proxy");
    environment.Set("http_proxy", "http://proxy.example/");
    EXPECT_FALSE(ProxyFromEnvironment("http", "example.org").has_value());
}

TEST(RequestPieces, TheMultipartBoundaryComesFromTheTickCount) {
    EXPECT_EQ(MakeBoundary(0), "---00000000-00000000");
    EXPECT_EQ(MakeBoundary(1000), "---000003e8-000003e8");  // 1000 mod 200 = 0
    EXPECT_EQ(MakeBoundary(0x12345678),
              "---12345678-" +
                  QByteArray::number(0x12345678u + 0x12345678u % 200, 16).rightJustified(8, '0'));
    // A tick count past 2^31 is negative as the platform's 32-bit value: |t| mod 200.
    EXPECT_EQ(MakeBoundary(0xFFFFFFFFu), "---ffffffff-00000000");
}

TEST(RequestPieces, TheMultipartBody) {
    EXPECT_EQ(MultipartBody("---b", "f", "n.txt", QByteArray("a\0b", 3)),
              QByteArray("-----b\r\n"
                         "Content-Disposition:form-data;name=\"f\";filename=\"n.txt\"\r\n"
                         "Content-Type:application/octet-stream\r\n\r\n"
                         "a\0b\r\n"
                         "-----b--\r\n",
                         8 + 57 + 41 + 3 + 2 + 10));
}

TEST(RequestPieces, LibraryMessagesLoseControlCharactersAndStopAt256) {
    EXPECT_EQ(CleanLibraryMessage("Host\r\nnot\tfound\x01"), "Hostnotfound");
    const QString longText = QString(300, QLatin1Char('x'));
    EXPECT_EQ(CleanLibraryMessage("\n" + longText).size(), 256);
}

TEST(RequestPieces, ServerAddresses) {
    struct TCase {
        const char* text;
        bool valid;
        bool https;
        const char* host;
        quint16 port;
    };
    const TCase cases[] = {
        {"updates.example.org", true, true, "updates.example.org", 0},
        {"updates.example.org:8443", true, true, "updates.example.org", 8443},
        {"http://127.0.0.1:8080", true, false, "127.0.0.1", 8080},
        {"https://updates.example.org/", true, true, "updates.example.org", 0},
        {"HTTP://Updates.Example.org", true, false, "updates.example.org", 0},
        {"[::1]:81", true, true, "::1", 81},
        {"", false, false, "", 0},
        {"ftp://files.example.org", false, false, "", 0},
        {"https://updates.example.org/path", false, false, "", 0},
        {"https://user@updates.example.org", false, false, "", 0},
        {"http://", false, false, "", 0},
    };
    for (const TCase& c : cases) {
        const auto address = ParseServerAddress(QString::fromLatin1(c.text));
        ASSERT_EQ(address.has_value(), c.valid) << c.text;
        if (address) {
            EXPECT_EQ(address->https, c.https) << c.text;
            EXPECT_EQ(address->host, QString::fromLatin1(c.host)) << c.text;
            EXPECT_EQ(address->port, c.port) << c.text;
        }
    }
}

TEST(RequestPieces, LoopbackHosts) {
    for (const char* host :
         {"localhost", "LocalHost", "a.localhost", "127.0.0.1", "127.1.2.3", "::1", "[::1]"}) {
        EXPECT_TRUE(IsLoopbackHost(QString::fromLatin1(host))) << host;
    }
    for (const char* host : {"example.org", "10.0.0.1", "localhost.example", ""}) {
        EXPECT_FALSE(IsLoopbackHost(QString::fromLatin1(host))) << host;
    }
}

}  // namespace
