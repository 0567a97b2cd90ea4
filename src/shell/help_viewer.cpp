#include "shell/help_viewer.h"

#include "ui/tool_entry.h"

#include <QDialog>
#include <QFile>
#include <QPointer>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

namespace {

class THelpViewer : public QDialog {
public:
    explicit THelpViewer(QWidget* parent) : QDialog(parent) {
        setWindowTitle(QStringLiteral("Quiva Tessaline Help"));
        setAttribute(Qt::WA_DeleteOnClose);
        resize(560, 480);
        auto* layout = new QVBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        m_browser = new QTextBrowser(this);
        m_browser->setOpenExternalLinks(true);
        m_browser->setSearchPaths({QStringLiteral(":/help")});
        layout->addWidget(m_browser);
    }
    void ShowPage(int context, const QString& path) {
        m_context = context;
        m_browser->setSource(QUrl(QStringLiteral("qrc") + path));
    }
    int Context() const { return m_context; }

private:
    QTextBrowser* m_browser = nullptr;
    int m_context = 0;
};

QPointer<THelpViewer> g_viewer;

}  // namespace

QString HelpPagePath(int context) {
    const QString path = QStringLiteral(":/help/%1.html").arg(context);
    return QFile::exists(path) ? path : QString();
}

void ShowHelpContext(int context, QWidget* parent) {
    QString path = HelpPagePath(context);
    if (path.isEmpty()) {
        context = kHelpMain;
        path = HelpPagePath(kHelpMain);
    }
    if (!g_viewer) {
        g_viewer = new THelpViewer(parent);
    }
    g_viewer->ShowPage(context, path);
    g_viewer->show();
    g_viewer->raise();
    g_viewer->activateWindow();
}

int ShownHelpContext() {
    return g_viewer && g_viewer->isVisible() ? g_viewer->Context() : 0;
}

void CloseHelpViewer() {
    if (g_viewer) {
        delete g_viewer;
    }
}
