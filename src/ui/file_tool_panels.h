// The panels the file tools' windows share: the size panel of Split and Fill (three size
// sliders with their size label and quick-pick list) and the destination panel of Fill and
// Splice (a file's path with its browse button and an overwrite box). Each builder makes
// the controls with their component names and hints; the window keeps the pointers.
#pragma once

#include <QString>

class QCheckBox;
class QComboBox;
class QFrame;
class QLabel;
class QPushButton;
class QSlider;
class QWidget;
class TEllPath;

struct TSizePanel {
    QFrame* panel = nullptr;         // its own name, given by the window
    QLabel* title = nullptr;         // the panel's caption, top left
    QLabel* size = nullptr;          // "lblSize": the size in the unit of the slider last moved
    QSlider* bytes = nullptr;        // "tbB"
    QSlider* kilobytes = nullptr;    // "tbKb"
    QSlider* megabytes = nullptr;    // "tbMb"
    QLabel* quickLabel = nullptr;    // "lblCommon": "Quick Pick"
    QComboBox* quickPick = nullptr;  // "cbCommon"
};

// The size panel: the caption (component name `titleName`) with the size label at its
// right, the three sliders, and "Quick Pick" with its list. Main thread.
TSizePanel MakeSizePanel(QWidget* parent, const char* panelName, const QString& title,
                         const char* titleName, int verticalSpacing);

struct TDestinationPanel {
    QFrame* panel = nullptr;         // "pnlDest"
    QLabel* label = nullptr;         // "lblDest": "Destination File"
    TEllPath* path = nullptr;        // "stDest"
    QPushButton* browse = nullptr;   // "bbnBrowse"
    QCheckBox* overwrite = nullptr;  // "cbxOverwrite"
};

// The destination panel with the overwrite box's caption and the browse button's hint.
// Main thread.
TDestinationPanel MakeDestinationPanel(QWidget* parent, const QString& overwriteCaption,
                                       const QString& browseHint);
