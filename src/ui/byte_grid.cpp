#include "ui/byte_grid.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>

void DrawCentredText(QPainter& painter, const QRect& cell, const QString& text) {
    painter.drawText(cell, Qt::AlignCenter | Qt::TextSingleLine, text);
}

// ---- TDrawGrid ----------------------------------------------------------------------------

TDrawGrid::TDrawGrid(int columns, int rows, QWidget* parent)
    : QWidget(parent), m_columnWidths(columns, 24), m_rows(rows) {
    setFocusPolicy(Qt::StrongFocus);
    setAutoFillBackground(true);
}

void TDrawGrid::SetDefaultColumnWidth(int width) {
    for (int& each : m_columnWidths) {
        each = width;
    }
    update();
}

void TDrawGrid::SetColumnWidth(int column, int width) {
    if (column >= 0 && column < m_columnWidths.size()) {
        m_columnWidths[column] = width;
        update();
    }
}

void TDrawGrid::SetRowHeight(int height) {
    m_rowHeight = height;
    update();
}

void TDrawGrid::SetGridLines(bool on) {
    m_gridLines = on;
    update();
}

void TDrawGrid::SetColor(const QColor& color) {
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, color);
    palette.setColor(QPalette::Base, color);
    setPalette(palette);
}

int TDrawGrid::CellsWidth() const {
    int width = 0;
    for (const int each : m_columnWidths) {
        width += each + GridLineWidth();
    }
    return width;
}

int TDrawGrid::CellsHeight() const {
    return m_rows * (m_rowHeight + GridLineWidth());
}

void TDrawGrid::FitToCells() {
    setFixedSize(CellsWidth(), CellsHeight());
}

QSize TDrawGrid::sizeHint() const {
    return QSize(CellsWidth(), CellsHeight());
}

QRect TDrawGrid::CellRect(int column, int row) const {
    int x = 0;
    for (int c = 0; c < column && c < m_columnWidths.size(); ++c) {
        x += m_columnWidths[c] + GridLineWidth();
    }
    return QRect(x, row * (m_rowHeight + GridLineWidth()), m_columnWidths.value(column),
                 m_rowHeight);
}

QPoint TDrawGrid::CellAt(const QPoint& point) const {
    if (point.x() < 0 || point.y() < 0) {
        return {-1, -1};
    }
    const int row = point.y() / (m_rowHeight + GridLineWidth());
    int x = 0;
    for (int c = 0; c < m_columnWidths.size(); ++c) {
        x += m_columnWidths[c] + GridLineWidth();
        if (point.x() < x) {
            return row < m_rows ? QPoint(c, row) : QPoint(-1, -1);
        }
    }
    return {-1, -1};
}

bool TDrawGrid::SelectCell(int column, int row) {
    if (column < 0 || row < 0 || column >= ColCount() || row >= m_rows) {
        return false;
    }
    if (onSelectCell && !onSelectCell(column, row)) {
        return false;
    }
    m_col = column;
    m_row = row;
    return true;
}

void TDrawGrid::InvalidateCell(int column, int row) {
    update(CellRect(column, row));
}

void TDrawGrid::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    if (m_gridLines) {
        painter.fillRect(rect(), palette().color(QPalette::Mid));
    }
    for (int row = 0; row < m_rows; ++row) {
        for (int column = 0; column < m_columnWidths.size(); ++column) {
            const QRect cell = CellRect(column, row);
            if (!event->rect().intersects(cell)) {
                continue;
            }
            painter.save();
            painter.setClipRect(cell);
            if (onDrawCell) {
                onDrawCell(painter, cell, column, row);
            }
            painter.restore();
        }
    }
}

void TDrawGrid::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    const QPoint cell = CellAt(event->position().toPoint());
    if (cell.x() >= 0) {
        SelectCell(cell.x(), cell.y());
    }
}

void TDrawGrid::keyPressEvent(QKeyEvent* event) {
    if (onKey && onKey(event->key(), event->modifiers())) {
        event->accept();
        return;
    }
    int column = m_col;
    int row = m_row;
    switch (event->key()) {
        case Qt::Key_Left:
            --column;
            break;
        case Qt::Key_Right:
            ++column;
            break;
        case Qt::Key_Up:
            --row;
            break;
        case Qt::Key_Down:
            ++row;
            break;
        default:
            QWidget::keyPressEvent(event);
            return;
    }
    SelectCell(column, row);
}

// ---- TByteGrid ----------------------------------------------------------------------------

TByteGrid::TByteGrid(int columns, int rows, QWidget* parent) : TDrawGrid(columns, rows, parent) {}

void TByteGrid::SetEditor(QLineEdit* editor) {
    m_editor = editor;
    if (editor != nullptr) {
        editor->setParent(this);
        editor->hide();
    }
}

void TByteGrid::PlaceEditor(int column, int row, int extraWidth) {
    if (m_editor == nullptr) {
        return;
    }
    QRect cell = CellRect(column, row);
    cell.setWidth(cell.width() + extraWidth);
    m_editor->setGeometry(cell);
    m_editor->show();
    m_editor->raise();
    m_editor->selectAll();
}
