#include "shell/tool_registry.h"

#include "tools/file/equalize/equalize_window.h"
#include "tools/file/fill/fill_window.h"
#include "tools/file/splice/splice_window.h"
#include "tools/file/split/split_window.h"
#include "tools/security/hash/hash_window.h"
#include "tools/security/pwdgen/pwdgen_window.h"

// Each tool's window header is included here when the tool lands, and its factory set in
// the table below.

namespace {

std::vector<TToolEntry>& Registry() {
    static std::vector<TToolEntry> registry = {
        {0, "Archive Tools", "Backup", 150, nullptr, "Quiva Version Tracker"},
        {1, "File Tools", "Compare", 220, nullptr, "File Comparator"},
        {2, "File Tools", "Date Control", 230, nullptr, "Date Control"},
        {3, "File Tools", "DirTrack", 240, nullptr, nullptr},
        {4, "File Tools", "EquiSize", 250, &CreateTool<TfrmEqualizer>, "Size Equalizer"},
        {5, "File Tools", "Fill", 260, &CreateTool<TfrmFill>, "File Filler"},
        {6, "File Tools", "HexEdit", 270, nullptr, "Hexadecimal Editor"},
        {7, "File Tools", "Name Control", 280, nullptr, "Name Central"},
        {8, "File Tools", "Splice", 290, &CreateTool<TfrmSplice>, "File Splicer"},
        {9, "File Tools", "Split", 300, &CreateTool<TfrmSplit>, "File Splitter"},
        {10, "Security Tools", "Checksummer", 310, &CreateTool<TfrmHash>, "Checksum Calculator"},
        {11, "Security Tools", "Pwd Maker", 320, &CreateTool<TfrmPwdGen>, "Password Generator"},
    };
    return registry;
}

}  // namespace

const std::vector<TToolEntry>& ToolRegistry() { return Registry(); }

void SetToolFactory(int index, TToolFactory factory) {
    if (index >= 0 && index < static_cast<int>(Registry().size())) {
        Registry()[index].factory = factory;
    }
}

const TToolEntry* FindTool(int index) {
    const auto& registry = ToolRegistry();
    if (index < 0 || index >= static_cast<int>(registry.size())) {
        return nullptr;
    }
    return &registry[index];
}
