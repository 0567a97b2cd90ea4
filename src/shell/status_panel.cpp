#include "shell/status_panel.h"

#include <QPainter>

QColor StatusColour(int kind, int step, const QColor& buttonFace) {
    if (step >= TStatusPanel::kLastStep || step < 0) {
        return buttonFace;
    }
    // round(step * 255 / 12), halves rounded up.
    const int rising = (step * 255 * 2 + 12) / 24;
    if (kind == 3) {
        return QColor(255, rising, rising);
    }
    return QColor(rising, rising, 255);
}

TStatusPanel::TStatusPanel(QWidget* parent) : QWidget(parent) {
    setFont(QFont(font().family(), 9));
}

QColor TStatusPanel::TextColour() const {
    return StatusColour(m_kind, m_step, palette().color(QPalette::Button));
}

QSize TStatusPanel::sizeHint() const {
    return QSize(50, 19);
}

void TStatusPanel::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    painter.setClipRect(rect());
    QFont bold = font();
    bold.setBold(TextBold());
    painter.setFont(bold);
    painter.setPen(TextColour());
    const QRect area = rect().adjusted(5, 0, -2, 0);
    painter.drawText(area, Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine, m_text);
}
