// The panel the shell's own windows open with: the program's logo, its version and the
// link to its web site.
#pragma once

class QBoxLayout;
class QLabel;
class QWidget;
class TUrlLabel;

struct TLogoPanel {
    QWidget* pnlImg = nullptr;
    QLabel* imgLogo = nullptr;
    QLabel* lblVer = nullptr;
    TUrlLabel* lblURL = nullptr;
};

// Builds the panel (the version label grey and bold) and the link label below it, adds
// both to the layout and returns their parts.
TLogoPanel AddLogoPanel(QWidget* window, QBoxLayout* layout);
