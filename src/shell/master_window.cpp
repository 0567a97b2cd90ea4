#include "shell/master_window.h"

#include <QApplication>
#include <QStatusBar>

TMaster::TMaster(const QString& programFolder, QWidget* parent) : QMainWindow(parent) {
    setWindowTitle(QStringLiteral("Quiva Tessaline"));
    resize(467, 307);
    statusBar();
    SetHost(this);
    OpenStores(programFolder);
    StartScriptEngine();
}

TMaster::~TMaster() {
    CloseStores();
    if (Host() == this) {
        SetHost(nullptr);
    }
}

void TMaster::ShowStatus(const QString& text, bool hold, int kind) {
    statusBar()->showMessage(text, hold ? 0 : 4800);
    if (kind == kStatusError) {
        QApplication::beep();
    }
    QCoreApplication::processEvents();
}
