// The speed button of the scroll, browse and save buttons of HexEdit and Compare: the
// toolkit's tool button with a flat look.
#pragma once

#include <QToolButton>

class TQuickButton : public QToolButton {
    Q_OBJECT
public:
    explicit TQuickButton(QWidget* parent = nullptr);
};
