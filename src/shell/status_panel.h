// The main window's one-panel status bar, drawn by the program: the text in the colour
// of its kind and fade step, bold for notices and errors.
#pragma once

#include <QColor>
#include <QWidget>

// Text colour of a kind (0..3) at a fade step (0..12). Steps 0..11 run from pure blue
// (pure red for errors) towards white; step 12 is the button-face colour, so the text
// vanishes into the bar.
QColor StatusColour(int kind, int step, const QColor& buttonFace);

class TStatusPanel : public QWidget {
    Q_OBJECT
public:
    static constexpr int kLastStep = 12;

    explicit TStatusPanel(QWidget* parent = nullptr);

    // A text too long for the panel is shown shortened in the middle ("..."), with the
    // whole text as the panel's tooltip.
    void SetText(const QString& text);
    const QString& Text() const { return m_text; }
    // The text as drawn at the panel's width.
    QString ShownText() const;
    void SetKind(int kind);
    int Kind() const { return m_kind; }
    void SetStep(int step) { m_step = step; }
    int Step() const { return m_step; }

    // The colour the text is drawn in now.
    QColor TextColour() const;
    bool TextBold() const { return m_kind >= 2; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QFont TextFont() const;
    QRect TextArea() const;
    // The whole text as tooltip while it is shortened; none otherwise.
    void UpdateToolTip();

    QString m_text;
    int m_kind = 0;
    int m_step = 0;
};
