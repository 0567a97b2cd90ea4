#include "app/screenshot_tour.h"

#include "shell/master_window.h"

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QKeyEvent>
#include <QMenu>
#include <QMenuBar>
#include <QPixmap>
#include <QRegularExpression>
#include <QScreen>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>

#include <cstdio>

namespace {

// "Pwd Maker" -> "pwd-maker", "&About" -> "about".
QString PictureName(QString text) {
    text.remove('&');
    text = text.trimmed().toLower();
    text.replace(QRegularExpression(QStringLiteral("[^a-z0-9]+")), QStringLiteral("-"));
    return text;
}

// Lets layouts and painting catch up with what was just shown.
void Settle() {
    for (int round = 0; round < 3; ++round) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
    }
}

// The visible top-level window that is not the main window (the help viewer), or nullptr.
QWidget* OtherWindow(const TMaster& master) {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget != &master && widget->isVisible() && widget->isWindow() &&
            !qobject_cast<QMenu*>(widget)) {
            return widget;
        }
    }
    return nullptr;
}

}  // namespace

int TakeScreenshotTour(TMaster& master, const QString& folder) {
    int failed = 0;
    // The pointer out of the way, so that no hint covers the status texts.
    if (const QScreen* screen = master.screen()) {
        QCursor::setPos(screen->geometry().bottomRight());
    }
    auto shoot = [&](const QString& name, QWidget* window) {
        Settle();
        const QString path = folder + '/' + name + QStringLiteral(".png");
        const bool saved = window->grab().save(path, "PNG");
        std::fprintf(stderr, "%s %s\n", saved ? "Screenshot saved to" : "Could not save",
                     qPrintable(path));
        failed += saved ? 0 : 1;
    };

    if (master.CurrentWindow() != nullptr) {
        shoot(QStringLiteral("welcome"), &master);
    }

    // The help viewer, at the page of the window shown at start, opened with its menu
    // entry (the entries that stay usable while busy show nothing in the panel).
    QList<QAction*> entries;
    for (QAction* top : master.menuBar()->actions()) {
        if (top->menu() == nullptr) {
            continue;
        }
        for (QAction* entry : top->menu()->actions()) {
            if (entry->isSeparator() || entry->menu() != nullptr) {
                continue;
            }
            if (!entry->property(kStaysWhileBusyProperty).toBool()) {
                entries.append(entry);
            } else if (entry->shortcut() == QKeySequence(Qt::Key_F1)) {
                entry->trigger();
                Settle();
                if (QWidget* viewer = OtherWindow(master)) {
                    shoot(QStringLiteral("help"), viewer);
                    viewer->close();
                }
            }
        }
    }

    // Each tool: its node made current in the tree and picked with Enter.
    QTreeWidget* tree = master.ToolTree();
    tree->expandAll();
    QList<QTreeWidgetItem*> tools;
    for (QTreeWidgetItemIterator it(tree, QTreeWidgetItemIterator::NoChildren); *it; ++it) {
        if ((*it)->parent() != nullptr) {
            tools.append(*it);
        }
    }
    for (QTreeWidgetItem* node : tools) {
        tree->setFocus();
        tree->setCurrentItem(node);
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
        QCoreApplication::sendEvent(tree, &press);
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_Return, Qt::NoModifier);
        QCoreApplication::sendEvent(tree, &release);
        if (master.CurrentWindow() != nullptr) {
            shoot(PictureName(node->text(0)), &master);
        }
    }

    // Each menu entry that shows a window in the panel.
    for (QAction* entry : entries) {
        const QWidget* before = master.CurrentWindow();
        entry->trigger();
        if (master.CurrentWindow() != nullptr && master.CurrentWindow() != before) {
            shoot(PictureName(entry->text()), &master);
        }
    }
    return failed;
}
