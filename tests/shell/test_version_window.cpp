// The version check window against a real server on the loopback interface, shown from
// the Help menu of a real main window: the text with its links, the byte counts in the
// status panel, the failures in the system's words, and the main window disabled only
// while the request runs.
#include "app/tool_table.h"
#include "shell/master_window.h"
#include "shell/red_url.h"
#include "shell/status_panel.h"
#include "shell/version_window.h"
#include "support/scoped_environment.h"
#include "support/test_dir.h"
#include "support/test_http_server.h"

#include <QAction>
#include <QDesktopServices>
#include <QMenuBar>
#include <QTextCursor>
#include <QUrl>
#include <QtTest/QTest>

#include <algorithm>

#include <gtest/gtest.h>

// Takes the links the program hands the desktop to open.
class TUrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void Open(const QUrl& url) { opened.append(url); }
};

namespace {

QAction* MenuAction(QMainWindow& window, const QString& text) {
    for (QAction* menu : window.menuBar()->actions()) {
        for (QAction* item : menu->menu()->actions()) {
            if (item->text() == text) {
                return item;
            }
        }
    }
    return nullptr;
}

class VersionCheck : public ::testing::Test {
protected:
    void SetUp() override {
        m_environment.ClearProxies();
        ASSERT_TRUE(m_server.IsListening());
        m_environment.Set("QUIVA_UPDATE_SERVER", m_server.Address().toUtf8());
        m_master = std::make_unique<TMaster>(m_dir.Sub("prog"), ToolTable());
        m_master->show();
        // Every byte count the client reports, with the status text it left.
        TWinWrap& client = m_master->HttpClient();
        auto shown = client.OnBytes;
        client.OnBytes = [this, shown](qint64 count) {
            shown(count);
            m_counts.append({count, m_master->StatusPanel()->Text()});
        };
        m_server.Answer = [this](const TReceivedRequest&) {
            m_enabledDuringRequest = m_master->isEnabled();
            return m_reply;
        };
    }
    void TearDown() override { m_master.reset(); }

    // Help > Check Current Version, then the check's end.
    TfrmVerInf* Check() {
        QAction* entry = MenuAction(*m_master, QStringLiteral("Check Current &Version"));
        EXPECT_NE(entry, nullptr);
        entry->trigger();
        return WaitForCheck();
    }
    TfrmVerInf* WaitForCheck() {
        auto* window = dynamic_cast<TfrmVerInf*>(m_master->CurrentWindow());
        EXPECT_NE(window, nullptr);
        if (window != nullptr) {
            EXPECT_TRUE(QTest::qWaitFor([window] { return window->CheckEnded(); }, 60000));
        }
        return window;
    }
    QString Status() const { return m_master->StatusPanel()->Text(); }

    TScopedEnvironment m_environment;
    TTestHttpServer m_server;
    TestDir m_dir;
    std::unique_ptr<TMaster> m_master;
    TServerReply m_reply;
    std::optional<bool> m_enabledDuringRequest;
    QList<QPair<qint64, QString>> m_counts;
};

TEST_F(VersionCheck, TheServersTextIsShownWithItsLinks) {
    QByteArray body =
        "Quiva Tessaline 1.01b is out.\r\n"
        "Read about it at https://quiva-tessaline.example/news.\r\n";
    while (body.size() < 10000) {
        body += "More news, line " + QByteArray::number(body.size()) + "\r\n";
    }
    body.truncate(9998);
    body += "\r\n";
    m_reply.body = body;
    m_reply.headers = {{"Content-Type", "text/plain"}};

    TfrmVerInf* window = Check();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(HelpContextOf(window), 130);
    EXPECT_EQ(window->size(), QSize(330, 443));
    ASSERT_EQ(m_server.requests.size(), 1);
    EXPECT_EQ(m_server.requests.first().target, "/qvscr/qvvi.php");
    EXPECT_EQ(m_server.requests.first().headers.value("user-agent"), "Quiva Tessaline");

    // The main window took no input while the request ran, and does again now.
    ASSERT_TRUE(m_enabledDuringRequest.has_value());
    EXPECT_FALSE(*m_enabledDuringRequest);
    EXPECT_TRUE(m_master->isEnabled());

    const QStringList lines = window->rurlVerInf->toPlainText().split('\n');
    EXPECT_EQ(lines.value(0), "Quiva Tessaline 1.01b is out.");
    EXPECT_EQ(lines.value(1), "Read about it at https://quiva-tessaline.example/news.");
    EXPECT_EQ(lines, ResponseLines(body));
    EXPECT_EQ(window->rurlVerInf->Links(), QStringList({"https://quiva-tessaline.example/news"}));

    // Rising counts shown as "%d bytes received", the last 10000.
    QList<qint64> positive;
    for (const auto& [count, text] : m_counts) {
        if (count > 0) {
            positive.append(count);
            EXPECT_EQ(text, QStringLiteral("%1 bytes received").arg(count));
        }
    }
    ASSERT_FALSE(positive.isEmpty());
    EXPECT_TRUE(std::is_sorted(positive.begin(), positive.end()));
    EXPECT_EQ(positive.last(), 10000);
    EXPECT_EQ(Status(), "10000 bytes received");

    // A link in the text opens in the desktop's browser, selected as it is clicked.
    TUrlCatcher catcher;
    QDesktopServices::setUrlHandler("https", &catcher, "Open");
    const int at = window->rurlVerInf->toPlainText().indexOf("https://");
    QTextCursor cursor(window->rurlVerInf->document());
    cursor.setPosition(at + 3);
    const QPoint point = window->rurlVerInf->cursorRect(cursor).center();
    QTest::mouseClick(window->rurlVerInf->viewport(), Qt::LeftButton, {}, point);
    QDesktopServices::unsetUrlHandler("https");
    EXPECT_EQ(catcher.opened, QList<QUrl>({QUrl("https://quiva-tessaline.example/news")}));
    EXPECT_EQ(window->rurlVerInf->textCursor().selectedText(),
              "https://quiva-tessaline.example/news");
}

TEST_F(VersionCheck, AMissingPageIsReportedAndTheViewStaysEmpty) {
    m_reply = TServerReply{404, "Not Found", {}, "missing"};
    TfrmVerInf* window = Check();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(Status(), "HTTP Error:404");
    EXPECT_EQ(m_master->StatusPanel()->Kind(), kStatusError);
    EXPECT_TRUE(window->rurlVerInf->toPlainText().isEmpty());
    EXPECT_TRUE(m_master->isEnabled());
}

TEST_F(VersionCheck, ARefusedConnectionIsReportedInTheLibrarysWords) {
    m_environment.Set("QUIVA_UPDATE_SERVER", QByteArray("http://127.0.0.1:") +
                                                 QByteArray::number(TTestHttpServer::ClosedPort()));
    TfrmVerInf* window = Check();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(Status(), CleanLibraryMessage(m_master->HttpClient().LibraryMessage()));
    EXPECT_FALSE(Status().isEmpty());
    EXPECT_FALSE(Status().startsWith("Error:"));
    EXPECT_EQ(m_master->StatusPanel()->Kind(), kStatusError);
    EXPECT_TRUE(window->rurlVerInf->toPlainText().isEmpty());
    EXPECT_TRUE(m_master->isEnabled());
}

TEST_F(VersionCheck, AServerThatNeverAnswersTimesOutAndTheWindowComesBack) {
    m_reply.silent = true;
    // The check as the menu makes it, with a time limit of one second instead of twenty.
    m_master->ShowPanelWindow(
        [this](QWidget* panel, const TToolContext& context) {
            return new TfrmVerInf(panel, context, &m_master->HttpClient(), 1);
        },
        kHelpVersion, kStatusInfo, QString());
    TfrmVerInf* window = WaitForCheck();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(m_server.requests.size(), 1);
    EXPECT_EQ(Status(), "The operation timed out");
    EXPECT_TRUE(window->rurlVerInf->toPlainText().isEmpty());
    EXPECT_TRUE(m_master->isEnabled());
}

TEST_F(VersionCheck, WithoutAConfiguredServerNothingIsAsked) {
    for (const QByteArray& configured : {QByteArray(""), QByteArray("  ")}) {
        m_environment.Set("QUIVA_UPDATE_SERVER", configured);
        TfrmVerInf* window = Check();
        ASSERT_NE(window, nullptr);
        EXPECT_TRUE(window->rurlVerInf->toPlainText().startsWith(
            "No update server is configured for this copy of Quiva Tessaline"));
        EXPECT_EQ(Status(), "No update server is configured");
        EXPECT_EQ(m_server.connections, 0);
        EXPECT_TRUE(m_master->isEnabled());
    }
}

TEST_F(VersionCheck, AnUnusableServerAddressIsSaid) {
    m_environment.Set("QUIVA_UPDATE_SERVER", "ftp://files.example.org");
    TfrmVerInf* window = Check();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(Status(), "The update server address \"ftp://files.example.org\" is not valid");
    EXPECT_EQ(m_server.connections, 0);
}

TEST(VersionRequest, TheRecordOfTheCheck) {
    const TWinRequest request =
        VersionRequest(TServerAddress{true, QStringLiteral("updates.example.org"), 0}, 20);
    EXPECT_EQ(request.agent, "Quiva Tessaline");
    EXPECT_EQ(request.host, "updates.example.org");
    EXPECT_EQ(request.path, "/qvscr/qvvi.php");
    EXPECT_EQ(request.method, kMethodGet);
    EXPECT_EQ(request.scheme, kSchemeHttps);
    EXPECT_EQ(request.timeout, 20);
    EXPECT_TRUE(request.postData.isEmpty());
    EXPECT_EQ(ResponseLines("a\r\nb\n\nc"), QStringList({"a", "b", "", "c"}));
    EXPECT_EQ(ResponseLines("a\r\n"), QStringList({"a"}));
}

}  // namespace

#include "test_version_window.moc"
