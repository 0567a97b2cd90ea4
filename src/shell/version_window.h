// The version check window: when it appears it asks the program's update server for the
// text about the current version and shows it, its web addresses as links.
#pragma once

#include "net/http_helpers.h"
#include "net/win_wrap.h"
#include "shell/logo_panel.h"
#include "ui/form_base.h"

#include <QPointer>
#include <QString>
#include <QStringList>

class TRedURL;

// The update server this program asks: the environment's QUIVA_UPDATE_SERVER when it is
// set (also when empty), else the one the build was configured with (the CMake cache
// variable QUIVA_UPDATE_SERVER); empty when there is none.
QString ConfiguredUpdateServer();

// The request of the version check to a server: agent "Quiva Tessaline", GET of
// "/qvscr/qvvi.php", the given timeout in seconds.
TWinRequest VersionRequest(const TServerAddress& server, int timeoutSeconds);

// A response body as the lines the version window shows (UTF-8; CR LF or LF ends a line).
QStringList ResponseLines(const QByteArray& body);

// Thread safety: main thread only.
class TfrmVerInf : public TFormBase {
    Q_OBJECT
public:
    static constexpr int kTimeoutSeconds = 20;
    static constexpr const char* kVersionPath = "/qvscr/qvvi.php";

    // `client` performs the request (the main window's); it must outlive the window.
    TfrmVerInf(QWidget* panel, const TToolContext& context, TWinWrap* client,
               int timeoutSeconds = kTimeoutSeconds);

    // The check, run once after the window first appears: with the main window disabled
    // (so that no other action starts while the request runs; the status panel still
    // paints), the request is performed; on success the text is shown, on failure the
    // failure is shown in the status panel and the view stays empty. The main window is
    // enabled again in every case. Without a configured server, the window says so and
    // makes no connection.
    void FormShow();
    // True once the check has ended.
    bool CheckEnded() const { return m_ended; }

    TLogoPanel logo;
    TRedURL* rurlVerInf = nullptr;

signals:
    void CheckFinished();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void EndCheck();

    QPointer<TWinWrap> m_client;
    int m_timeoutSeconds;
    bool m_scheduled = false;
    bool m_started = false;
    bool m_ended = false;
};
