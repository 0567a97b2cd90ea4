// The tool registry: the twelve tools of the tree, each with its window class (a factory
// that creates it in the panel), its caption and its help context.
#pragma once

#include <QString>

#include <vector>

class QWidget;
class TFormBase;

using TToolFactory = TFormBase* (*)(QWidget* panel);

struct TToolEntry {
    int index;              // registry index, also the tree node's key
    const char* category;   // tree category node
    const char* nodeText;   // tree tool node
    int helpContext;
    TToolFactory factory;   // nullptr until the tool is built: the panel stays empty
    const char* title;      // the caption shown while it is created; nullptr: no busy state
};

// The registry, indexed 0..11.
const std::vector<TToolEntry>& ToolRegistry();

// The entry of an index, or nullptr.
const TToolEntry* FindTool(int index);

// Sets the window factory of an index (tests show their own windows through it).
void SetToolFactory(int index, TToolFactory factory);

// Help contexts of the windows that are not tools.
constexpr int kHelpMain = 10;
constexpr int kHelpPreferences = 120;
constexpr int kHelpVersion = 130;

// Creates a tool window of type T in the panel: the factory stored in the registry.
template <typename T>
TFormBase* CreateTool(QWidget* panel) {
    return new T(panel);
}
