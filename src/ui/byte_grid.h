// The owner-drawn grids of HexEdit and Compare: TDrawGrid, a grid of fixed-size cells
// that draws nothing by itself (its owner draws every cell) and asks its owner before a
// cell is selected; and TByteGrid, the byte and text grids, which carry an edit box that
// the owner places over the selected cell.
#pragma once

#include <QColor>
#include <QList>
#include <QWidget>

#include <functional>

class QLineEdit;
class QPainter;

// A colour given as 0x00BBGGRR.
constexpr QColor ColorFromBgr(quint32 bgr) {
    return QColor(int(bgr & 0xFF), int((bgr >> 8) & 0xFF), int((bgr >> 16) & 0xFF));
}

// Draws a text as one line centred in a cell.
void DrawCentredText(QPainter& painter, const QRect& cell, const QString& text);

// Thread safety: main thread only.
class TDrawGrid : public QWidget {
    Q_OBJECT
public:
    TDrawGrid(int columns, int rows, QWidget* parent = nullptr);

    int ColCount() const { return m_columnWidths.size(); }
    int RowCount() const { return m_rows; }
    // Every column's width, then one column's own.
    void SetDefaultColumnWidth(int width);
    void SetColumnWidth(int column, int width);
    int ColumnWidth(int column) const { return m_columnWidths.value(column); }
    void SetRowHeight(int height);
    int RowHeight() const { return m_rowHeight; }
    // Grid lines of one pixel between the cells, or none.
    void SetGridLines(bool on);
    int GridLineWidth() const { return m_gridLines ? 1 : 0; }
    // The background behind the cells.
    void SetColor(const QColor& color);
    // The width of all cells with their lines.
    int CellsWidth() const;
    int CellsHeight() const;
    // Resizes the grid to show every cell.
    void FitToCells();

    QRect CellRect(int column, int row) const;
    // The cell under a point, or (-1, -1).
    QPoint CellAt(const QPoint& point) const;

    // Draws one cell (the owner draws every cell).
    std::function<void(QPainter& painter, const QRect& cell, int column, int row)> onDrawCell;
    // Asked before a cell is selected by a click or a key; false keeps the old selection.
    std::function<bool(int column, int row)> onSelectCell;

    // Offered every key first while the grid has the focus; true when it took the key.
    std::function<bool(int key, Qt::KeyboardModifiers modifiers)> onKey;
    // Selects a cell as a click does: asks onSelectCell first. True when it was selected.
    bool SelectCell(int column, int row);
    int Col() const { return m_col; }
    int Row() const { return m_row; }

    // Repaints one cell.
    void InvalidateCell(int column, int row);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QList<int> m_columnWidths;
    int m_rows;
    int m_rowHeight = 19;
    bool m_gridLines = false;
    int m_col = 0;
    int m_row = 0;
};

// The byte and text grids: a draw grid with an edit box (Editor) as its child, which the
// owner shows over the selected cell.
class TByteGrid : public TDrawGrid {
    Q_OBJECT
public:
    TByteGrid(int columns, int rows, QWidget* parent = nullptr);

    // The edit box; made a child of the grid when set.
    QLineEdit* Editor() const { return m_editor; }
    void SetEditor(QLineEdit* editor);
    // Puts the editor over a cell, widened to the right by `extraWidth` pixels, and shows
    // it with its text selected, so that the next key replaces it.
    void PlaceEditor(int column, int row, int extraWidth = 0);

private:
    QLineEdit* m_editor = nullptr;
};
