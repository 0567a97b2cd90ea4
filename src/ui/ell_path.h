// The path panel every tool shows its source and destination paths in: one line, a long
// path shortened with an ellipsis in the middle when it does not fit.
#pragma once

#include <QFrame>
#include <QString>

class TEllPath : public QFrame {
    Q_OBJECT
public:
    explicit TEllPath(QWidget* parent = nullptr);

    void SetCaption(const QString& caption);
    const QString& Caption() const { return m_caption; }
    // The text as drawn at the current width.
    QString ShownText() const;

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString m_caption;
};
