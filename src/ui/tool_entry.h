// A tool of the tree: its window class (a factory that makes it in the panel with what it
// is given), its node, caption and help context. The desktop program holds the table of
// its tools; the main window shows whatever table it is given.
#pragma once

#include "ui/tool_context.h"

#include <vector>

class QWidget;
class TFormBase;

using TToolFactory = TFormBase* (*)(QWidget* panel, const TToolContext& context);

struct TToolEntry {
    int index;             // registry index, also the tree node's key
    const char* category;  // tree category node
    const char* nodeText;  // tree tool node
    int helpContext;
    TToolFactory factory;  // nullptr until the tool is built: the panel stays empty
    const char* title;     // the caption shown while it is created; nullptr: no busy state
};

using TToolTable = std::vector<TToolEntry>;

// Help contexts of the windows that are not tools.
constexpr int kHelpMain = 10;
constexpr int kHelpPreferences = 120;
constexpr int kHelpVersion = 130;

// Creates a tool window of type T in the panel: the factory stored in a table.
template <typename T>
TFormBase* CreateTool(QWidget* panel, const TToolContext& context) {
    return new T(panel, context);
}
