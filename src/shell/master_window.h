// The program's main window and the desktop's host: it owns the stores and the script
// engine and shows status texts in its status bar.
#pragma once

#include "shell/host.h"

#include <QMainWindow>

class TMaster : public QMainWindow, public THost {
    Q_OBJECT
public:
    // Opens the stores in the program folder and starts the script engine.
    explicit TMaster(const QString& programFolder, QWidget* parent = nullptr);
    ~TMaster() override;

    void ShowStatus(const QString& text, bool hold, int kind) override;
};
