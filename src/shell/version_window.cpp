#include "shell/version_window.h"

#include "base/host.h"
#include "shell/red_url.h"

#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>

#ifndef QUIVA_UPDATE_SERVER
#define QUIVA_UPDATE_SERVER ""
#endif

namespace {

constexpr int kVersionWidth = 330;
constexpr int kVersionHeight = 443;
constexpr const char* kServerVariable = "QUIVA_UPDATE_SERVER";

}  // namespace

QString ConfiguredUpdateServer() {
    if (qEnvironmentVariableIsSet(kServerVariable)) {
        return qEnvironmentVariable(kServerVariable).trimmed();
    }
    return QString::fromUtf8(QUIVA_UPDATE_SERVER).trimmed();
}

TWinRequest VersionRequest(const TServerAddress& server, int timeoutSeconds) {
    TWinRequest request;
    request.agent = "Quiva Tessaline";
    request.host = server.host.toUtf8();
    request.scheme = server.https ? kSchemeHttps : kSchemeHttp;
    request.method = kMethodGet;
    request.timeout = static_cast<quint8>(timeoutSeconds);
    request.path = TfrmVerInf::kVersionPath;
    return request;
}

QStringList ResponseLines(const QByteArray& body) {
    QStringList lines = QString::fromUtf8(body).split(QLatin1Char('\n'));
    for (QString& line : lines) {
        if (line.endsWith(QLatin1Char('\r'))) {
            line.chop(1);
        }
    }
    if (!lines.isEmpty() && lines.last().isEmpty()) {
        lines.removeLast();
    }
    return lines;
}

TfrmVerInf::TfrmVerInf(QWidget* panel, const TToolContext& context, TWinWrap* client,
                       int timeoutSeconds)
    : TFormBase(panel, context), m_client(client), m_timeoutSeconds(timeoutSeconds) {
    setFixedSize(kVersionWidth, kVersionHeight);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 10, 8, 8);
    logo = AddLogoPanel(this, layout);
    rurlVerInf = new TRedURL(this);
    rurlVerInf->setObjectName(QStringLiteral("rurlVerInf"));
    rurlVerInf->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    layout->addWidget(rurlVerInf, 1);
    connect(rurlVerInf, &TRedURL::LinkClick, this,
            [](const QString& link) { (void)TRedURL::OpenWebLink(link); });
}

void TfrmVerInf::showEvent(QShowEvent* event) {
    TFormBase::showEvent(event);
    // The check runs once the window is in place, not inside the showing itself.
    if (!m_scheduled) {
        m_scheduled = true;
        QTimer::singleShot(0, this, &TfrmVerInf::FormShow);
    }
}

void TfrmVerInf::EndCheck() {
    m_ended = true;
    emit CheckFinished();
}

void TfrmVerInf::FormShow() {
    if (m_started) {
        return;
    }
    m_started = true;
    rurlVerInf->clear();
    const QString configured = ConfiguredUpdateServer();
    if (configured.isEmpty()) {
        rurlVerInf->SetLines(
            {QStringLiteral("No update server is configured for this copy of "
                            "Quiva Tessaline, so the current version cannot "
                            "be checked from here.")});
        Host().ShowStatus(QStringLiteral("No update server is configured"), false, kStatusNotice);
        EndCheck();
        return;
    }
    const std::optional<TServerAddress> server = ParseServerAddress(configured);
    if (!m_client) {
        EndCheck();
        return;
    }
    if (!server) {
        Host().ShowStatus(
            QStringLiteral("The update server address \"%1\" is not valid").arg(configured), false,
            kStatusError);
        EndCheck();
        return;
    }

    QPointer<QWidget> main = window();
    QPointer<TfrmVerInf> self = this;
    const bool wasEnabled = main->isEnabled();
    main->setEnabled(false);
    TWinRequest request = VersionRequest(*server, m_timeoutSeconds);
    m_client->SetPort(server->port);
    const int result = m_client->Perform(request);
    if (main) {
        main->setEnabled(wasEnabled);
    }
    if (!self || !m_client) {
        return;  // the window went while the request ran (the program is ending)
    }
    if (result == 1) {
        rurlVerInf->SetLines(ResponseLines(m_client->Response()));
        rurlVerInf->verticalScrollBar()->setValue(0);
    } else {
        Host().ShowStatus(m_client->FailureText(request), false, kStatusError);
    }
    EndCheck();
}
