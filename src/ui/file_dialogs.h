// The file dialogs of the file-tool windows (Split, Splice, Fill, EquiSize): all files
// listed, hidden ones included, starting in the tool's remembered folder.
#pragma once

#include <QString>
#include <QStringList>

class QWidget;

// The open dialog for one existing file. Returns its path, or empty when cancelled.
// Main thread.
QString AskOpenFile(QWidget* parent, const QString& title, const QString& folder);

// The open dialog for one or more existing files. Returns their paths in the dialog's
// order, or none when cancelled. Main thread.
QStringList AskOpenFiles(QWidget* parent, const QString& title, const QString& folder);

// The save dialog: a name in an existing folder, without asking whether to replace an
// existing file (the tool's own overwrite box decides that). Returns the path, or empty
// when cancelled. Main thread.
QString AskSaveFile(QWidget* parent, const QString& title, const QString& folder);
