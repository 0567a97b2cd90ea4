#include "ui/quick_button.h"

TQuickButton::TQuickButton(QWidget* parent) : QToolButton(parent) {
    setAutoRaise(true);
}
