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

void TStatusPanel::SetText(const QString& text) {
    m_text = text;
    UpdateToolTip();
}

void TStatusPanel::SetKind(int kind) {
    m_kind = kind;
    UpdateToolTip();  // bold text is wider
}

QFont TStatusPanel::TextFont() const {
    QFont textFont = font();
    textFont.setBold(TextBold());
    return textFont;
}

QRect TStatusPanel::TextArea() const {
    return rect().adjusted(5, 0, -2, 0);
}

QString TStatusPanel::ShownText() const {
    return QFontMetrics(TextFont()).elidedText(m_text, Qt::ElideMiddle, TextArea().width());
}

void TStatusPanel::UpdateToolTip() {
    const QString tip = ShownText() == m_text ? QString() : m_text;
    if (toolTip() != tip) {
        setToolTip(tip);
    }
}

void TStatusPanel::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    UpdateToolTip();
}

void TStatusPanel::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    painter.setClipRect(rect());
    painter.setFont(TextFont());
    painter.setPen(TextColour());
    painter.drawText(TextArea(), Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine,
                     ShownText());
}
