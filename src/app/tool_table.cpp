#include "app/tool_table.h"

#include "windows/backup/backup_window.h"
#include "windows/checksummer/hash_window.h"
#include "windows/compare/compare_window.h"
#include "windows/datecontrol/datecon_window.h"
#include "windows/dirtrack/dirtrack_window.h"
#include "windows/equisize/equalize_window.h"
#include "windows/fill/fill_window.h"
#include "windows/hexedit/hex_window.h"
#include "windows/namecontrol/namecen_window.h"
#include "windows/pwdmaker/pwdgen_window.h"
#include "windows/splice/splice_window.h"
#include "windows/split/split_window.h"

TToolTable ToolTable() {
    return {
        {0, "Archive Tools", "Backup", 150, &CreateTool<TfrmBackup>, "Quiva Version Tracker"},
        {1, "File Tools", "Compare", 220, &CreateTool<TfrmComp>, "File Comparator"},
        {2, "File Tools", "Date Control", 230, &CreateTool<TfrmDateCon>, "Date Control"},
        {3, "File Tools", "DirTrack", 240, &CreateTool<TfrmDirTrack>, nullptr},
        {4, "File Tools", "EquiSize", 250, &CreateTool<TfrmEqualizer>, "Size Equalizer"},
        {5, "File Tools", "Fill", 260, &CreateTool<TfrmFill>, "File Filler"},
        {6, "File Tools", "HexEdit", 270, &CreateTool<TfrmHex>, "Hexadecimal Editor"},
        {7, "File Tools", "Name Control", 280, &CreateTool<TfrmNameCen>, "Name Central"},
        {8, "File Tools", "Splice", 290, &CreateTool<TfrmSplice>, "File Splicer"},
        {9, "File Tools", "Split", 300, &CreateTool<TfrmSplit>, "File Splitter"},
        {10, "Security Tools", "Checksummer", 310, &CreateTool<TfrmHash>, "Checksum Calculator"},
        {11, "Security Tools", "Pwd Maker", 320, &CreateTool<TfrmPwdGen>, "Password Generator"},
    };
}
