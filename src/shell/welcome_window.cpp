#include "shell/welcome_window.h"

#include "base/version.h"

#include <QLabel>
#include <QMouseEvent>
#include <QUrl>
#include <QVBoxLayout>

#ifndef QUIVA_WEB_ADDRESS
#define QUIVA_WEB_ADDRESS "https://quiva-tessaline.example/"
#endif

const char* TUrlLabel::kAddress = QUIVA_WEB_ADDRESS;

TUrlLabel::TUrlLabel(QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_label = new QLabel(QUrl(QString::fromUtf8(kAddress)).host(), this);
    m_label->setAlignment(Qt::AlignCenter);
    QFont font = m_label->font();
    font.setBold(true);
    m_label->setFont(font);
    QPalette palette = m_label->palette();
    palette.setColor(QPalette::WindowText, Qt::blue);
    m_label->setPalette(palette);
    layout->addWidget(m_label);
    setCursor(Qt::PointingHandCursor);
}

void TUrlLabel::enterEvent(QEnterEvent* event) {
    QWidget::enterEvent(event);
    QFont font = m_label->font();
    font.setBold(true);
    font.setUnderline(m_tag == 1);
    m_label->setFont(font);
    m_tag = -m_tag;
}

void TUrlLabel::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        TFormBase::ShellOpen(QString::fromUtf8(kAddress));
    }
}

TfrmBareSplash::TfrmBareSplash(QWidget* panel, const TToolContext& context)
    : TFormBase(panel, context) {
    setFixedSize(330, 281);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(12, 16, 12, 16);
    imgLogo = new QLabel(this);
    imgLogo->setObjectName(QStringLiteral("imgLogo"));
    imgLogo->setAlignment(Qt::AlignCenter);
    LoadLogo(imgLogo);
    lblVer = new QLabel(QString::fromLatin1(kQuivaVersion), this);
    lblVer->setObjectName(QStringLiteral("lblVer"));
    lblVer->setAlignment(Qt::AlignCenter);
    lblURL = new TUrlLabel(this);
    lblURL->setObjectName(QStringLiteral("lblURL"));
    lblStart =
        new QLabel(QStringLiteral("Expand a node && select a tool").replace("&&", "&"), this);
    lblStart->setObjectName(QStringLiteral("lblStart"));
    lblStart->setAlignment(Qt::AlignCenter);
    layout->addWidget(imgLogo, 1);
    layout->addWidget(lblVer);
    layout->addWidget(lblURL);
    layout->addSpacing(12);
    layout->addWidget(lblStart);
}
