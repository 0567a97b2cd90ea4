// The welcome window shown in the panel when the program starts.
#pragma once

#include "ui/form_base.h"

class QLabel;

// A link label to the program's web site: a click opens it, and each time the mouse
// enters it the underline flips.
class TUrlLabel : public QWidget {
    Q_OBJECT
public:
    explicit TUrlLabel(QWidget* parent = nullptr);
    QLabel* Label() const { return m_label; }
    // The address opened on a click.
    static const char* kAddress;

protected:
    void enterEvent(QEnterEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    QLabel* m_label;
    int m_tag = 1;
};

class TfrmBareSplash : public TFormBase {
    Q_OBJECT
public:
    TfrmBareSplash(QWidget* panel, const TToolContext& context);

    QLabel* imgLogo = nullptr;
    QLabel* lblVer = nullptr;
    TUrlLabel* lblURL = nullptr;
    QLabel* lblStart = nullptr;
};
