#include "shell/splash_window.h"

#include "base/version.h"

#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QRegion>
#include <QScreen>
#include <QTimer>

namespace {

constexpr int kLogoSide = 128;

// The splash picture: the logo and the program's name and version, white on black.
QPixmap SplashPicture() {
    QPixmap picture(TfrmSplash::kWidth, TfrmSplash::kHeight);
    picture.fill(Qt::black);
    QPainter painter(&picture);
    const QPixmap logo(QStringLiteral(":/shell/logoimg.png"));
    const int logoLeft = 70;
    const int logoTop = (TfrmSplash::kHeight - kLogoSide) / 2;
    if (!logo.isNull()) {
        painter.drawPixmap(QRect(logoLeft, logoTop, kLogoSide, kLogoSide), logo);
    }
    painter.setPen(Qt::white);
    QFont title = QApplication::font();
    title.setPointSize(18);
    title.setBold(true);
    painter.setFont(title);
    const QRect text(logoLeft + kLogoSide + 16, logoTop, TfrmSplash::kWidth, kLogoSide);
    painter.drawText(text.adjusted(0, 0, 0, -kLogoSide / 2), Qt::AlignLeft | Qt::AlignBottom,
                     QStringLiteral("Quiva\nTessaline"));
    QFont small = QApplication::font();
    small.setPointSize(10);
    painter.setFont(small);
    painter.drawText(text.adjusted(0, kLogoSide / 2 + 8, 0, 0), Qt::AlignLeft | Qt::AlignTop,
                     QString::fromLatin1(kQuivaVersion));
    return picture;
}

}  // namespace

TfrmSplash::TfrmSplash(QWidget* parent)
    : QWidget(parent, Qt::SplashScreen | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint) {
    setObjectName(QStringLiteral("frmSplash"));
    setFixedSize(kWidth, kHeight);
    QPalette black = palette();
    black.setColor(QPalette::Window, Qt::black);
    setPalette(black);
    setAutoFillBackground(true);
    imgSplash = new QLabel(this);
    imgSplash->setObjectName(QStringLiteral("imgSplash"));
    imgSplash->setGeometry(0, 0, kWidth, kHeight);
    imgSplash->setAlignment(Qt::AlignCenter);
    imgSplash->setPixmap(
        SplashPicture().scaled(kWidth, kHeight, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    // The outline: the ellipse inscribed in (1, -1)..(width - 1, height). Where the platform
    // cannot shape windows the splash stays a rectangle.
    setMask(QRegion(QRect(1, -1, kWidth - 2, kHeight + 1), QRegion::Ellipse));
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.x() + (area.width() - kWidth) / 2, area.y() + (area.height() - kHeight) / 2);
    }
}

void TfrmSplash::ShowNow() {
    show();
    raise();
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    repaint();
}

void TfrmSplash::CloseAfterShown(QWidget* mainWindow, int delayMs) {
    m_mainWindow = mainWindow;
    m_delayMs = delayMs;
    connect(mainWindow, &QObject::destroyed, this, [this] {
        m_mainWindow = nullptr;
        deleteLater();
    });
    if (mainWindow->isVisible()) {
        StartClosing();
    } else {
        mainWindow->installEventFilter(this);
    }
}

bool TfrmSplash::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_mainWindow && event->type() == QEvent::Show) {
        m_mainWindow->removeEventFilter(this);
        StartClosing();
    }
    return QWidget::eventFilter(watched, event);
}

void TfrmSplash::StartClosing() {
    if (m_closing) {
        return;
    }
    m_closing = true;
    QTimer::singleShot(m_delayMs, this, [this] {
        hide();
        deleteLater();
    });
}
