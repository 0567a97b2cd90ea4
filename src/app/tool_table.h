// The desktop program's tools: the twelve nodes of the tree with their windows.
#pragma once

#include "ui/tool_entry.h"

// The table, indexed 0..11 by registry index. A tool not built yet has no factory: its
// node shows an empty panel.
TToolTable ToolTable();
