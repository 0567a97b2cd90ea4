// EquiSize: brings two files to the same size by rewriting one of them (zero bytes in
// front of or behind the smaller, or the bigger cut down), with the size labels and stored
// settings that its window uses.
#pragma once

#include <QByteArray>
#include <QString>

#include <array>
#include <optional>

class TAppStores;

// ---- texts ------------------------------------------------------------------------------
// A file name in a message is shown with PrintableName: one readable line whatever its bytes.
inline constexpr const char* kEqualizerTitle = "Size Equalizer";
inline constexpr const char* kEqualizeDoneText = "Done!";

inline constexpr const char* kEqualizeSelectMessage = "First select the files to be equalized!";
inline constexpr const char* kEqualizeSameFileMessage = "FileA is the same as FileB!";
// Information, not an error: nothing needs doing.
inline constexpr const char* kEqualizeSameSizeMessage = "The two files have the same size!";
inline constexpr const char* kEqualizeOpenMessage = "Could not open %1";        // file name
inline constexpr const char* kEqualizeReplaceMessage = "Could not replace %1";  // file name

// ---- routes (rgRoute) -------------------------------------------------------------------
enum TEqualizeRoute : int {
    kRoutePrefix = 0,    // zero bytes in front of the smaller file
    kRoutePostfix = 1,   // zero bytes behind the smaller file
    kRouteTruncate = 2,  // the bigger file cut to the smaller one's size
};
inline constexpr std::array<const char*, 3> kRouteNames{"Prefix smaller", "Postfix smaller",
                                                        "Truncate bigger"};
inline constexpr int kDefaultRoute = kRoutePostfix;

// ---- the equalize -----------------------------------------------------------------------
// The two files as the checks found them.
struct TEqualizeCheck {
    qint64 sizeA = 0;
    qint64 sizeB = 0;
    bool sameSize = false;
};

// The checks before an equalize, in order; raises EQuiva with the first that fails:
// kEqualizeSelectMessage (a path is empty), kEqualizeSameFileMessage (both paths name the
// same file, by device and inode, so also through a link; paths of missing files compared
// exactly), kEqualizeOpenMessage with the file's name (a path names no regular file).
// Returns both sizes as they are now; sameSize tells the caller to show
// kEqualizeSameSizeMessage as information and stop. Any thread.
TEqualizeCheck CheckEqualize(const QString& fileA, const QString& fileB);

struct TEqualizeResult {
    bool changed = false;  // false: the sizes were already equal, nothing was written
    int target = -1;       // 0 file A, 1 file B: the file rewritten
    qint64 sizeA = 0;      // both sizes afterwards
    qint64 sizeB = 0;
};

// Runs CheckEqualize, then rewrites the target that the route (TEqualizeRoute) picks: the
// smaller file for prefix and postfix (d zero bytes in front or behind, d the difference),
// the bigger for truncate (its first bytes up to the smaller size). The new content is
// written beside the target and replaces it only when complete, so the target keeps its
// content on any failure and no temporary file stays behind. The other file is only
// measured, never opened. The new target has default permissions and current times.
// Raises EQuiva: the check messages; kEqualizeOpenMessage (the target cannot be read);
// kEqualizeReplaceMessage (the new content cannot be created beside the target or put in
// its place, or the user may not write the target); the system's own text when reading or writing
// fails meanwhile. Any route number other than 0 and 2 counts as postfix. Any thread.
TEqualizeResult Equalize(const QString& fileA, const QString& fileB, int route);

// ---- size labels (lblSizeA, lblSizeB) ---------------------------------------------------
// After browsing: "[1,234,567 Bytes]" with the user's thousands separator.
QString BrowsedSizeLabel(qint64 size);
// After a settings load: "[1234567 Bytes]", plain digits.
QString LoadedSizeLabel(qint64 size);

// ---- stored settings, key "Equalize" ----------------------------------------------------
inline constexpr const char* kEqualizeSettingsKey = "Equalize";
inline constexpr int kEqualizeSettingsFields = 3;

// The window's stored state. Read back, only existing files are kept (with their size
// now); an empty path or folder means "keep what the window has".
struct TEqualizeSettings {
    QString fileA;              // field 0
    QString fileB;              // field 1
    int route = kDefaultRoute;  // field 2
    qint64 sizeA = 0;           // not stored: measured on load
    qint64 sizeB = 0;
    QString folder;  // not stored: the folder of field 0 when it exists
};

// The stored text (before scrambling): fileA|fileB|route|.
// Paths are stored as the bytes of their names: UTF-8 for every name that is UTF-8, and
// exactly the name's own bytes for one that is not, so that reading back loses nothing.
QByteArray EqualizeSettingsText(const TEqualizeSettings& settings);

// Reads a stored text (already unscrambled). None unless it has exactly 3 fields. The
// route is 1 when not a number and 0 when outside 0..2.
std::optional<TEqualizeSettings> ParseEqualizeSettings(const QByteArray& text);

// Scrambles and stores the settings under kEqualizeSettingsKey through the host. Main
// thread.
void SaveEqualizeSettings(TAppStores& stores, const TEqualizeSettings& settings);

// Loads, unscrambles and parses the stored settings through the host; none when nothing
// usable is stored. Main thread.
std::optional<TEqualizeSettings> LoadEqualizeSettings(TAppStores& stores);
