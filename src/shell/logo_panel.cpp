#include "shell/logo_panel.h"

#include "base/version.h"
#include "shell/welcome_window.h"
#include "ui/form_base.h"

#include <QBoxLayout>
#include <QLabel>

TLogoPanel AddLogoPanel(QWidget* window, QBoxLayout* layout) {
    TLogoPanel parts;
    parts.pnlImg = new QWidget(window);
    parts.pnlImg->setObjectName(QStringLiteral("pnlImg"));
    auto* inner = new QVBoxLayout(parts.pnlImg);
    inner->setContentsMargins(0, 0, 0, 0);
    parts.imgLogo = new QLabel(parts.pnlImg);
    parts.imgLogo->setObjectName(QStringLiteral("imgLogo"));
    parts.imgLogo->setAlignment(Qt::AlignCenter);
    LoadLogo(parts.imgLogo);
    parts.lblVer = new QLabel(QString::fromLatin1(kQuivaVersion), parts.pnlImg);
    parts.lblVer->setObjectName(QStringLiteral("lblVer"));
    parts.lblVer->setAlignment(Qt::AlignCenter);
    QFont bold = parts.lblVer->font();
    bold.setBold(true);
    parts.lblVer->setFont(bold);
    QPalette grey = parts.lblVer->palette();
    grey.setColor(QPalette::WindowText, Qt::gray);
    parts.lblVer->setPalette(grey);
    inner->addWidget(parts.imgLogo);
    inner->addWidget(parts.lblVer);
    parts.lblURL = new TUrlLabel(window);
    parts.lblURL->setObjectName(QStringLiteral("lblURL"));
    layout->addWidget(parts.pnlImg);
    layout->addWidget(parts.lblURL);
    return parts;
}
