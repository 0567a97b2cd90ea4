#include "ui/ell_path.h"

#include <QPainter>

namespace {
constexpr int kMargin = 2;
}

TEllPath::TEllPath(QWidget* parent) : QFrame(parent) {
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
    setLineWidth(1);
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Button);
    QFont small = font();
    small.setPointSize(8);
    setFont(small);
}

void TEllPath::SetCaption(const QString& caption) {
    m_caption = caption;
    setToolTip(caption);
    update();
}

QString TEllPath::ShownText() const {
    const int width = contentsRect().width() - 2 * kMargin;
    return fontMetrics().elidedText(m_caption, Qt::ElideMiddle, width);
}

QSize TEllPath::sizeHint() const {
    return QSize(200, fontMetrics().height() + 6);
}

void TEllPath::paintEvent(QPaintEvent* event) {
    QFrame::paintEvent(event);
    QPainter painter(this);
    const QRect area = contentsRect().adjusted(kMargin, 0, -kMargin, 0);
    painter.drawText(area, Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine, ShownText());
}
