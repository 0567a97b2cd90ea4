// Small builders the tool windows share for their controls.
#pragma once

#include <QFrame>
#include <QStyle>
#include <QToolButton>

// Gives a widget its component name (tests and stylesheets find it by that name).
template <typename T>
T* Named(T* widget, const char* name) {
    widget->setObjectName(QLatin1String(name));
    return widget;
}

// A raised panel that groups a window's controls.
inline QFrame* MakePanel(QWidget* parent, const char* name) {
    auto* panel = Named(new QFrame(parent), name);
    panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
    return panel;
}

// A browse button with the folder icon; `tag` tells which input it serves.
inline QToolButton* MakeBrowseButton(QWidget* parent, const char* name, int tag = 0) {
    auto* button = Named(new QToolButton(parent), name);
    button->setIcon(button->style()->standardIcon(QStyle::SP_DirOpenIcon));
    button->setProperty("Tag", tag);
    return button;
}
