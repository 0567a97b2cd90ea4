// Split: cuts a file into numbered pieces of a chosen size (name.ext.001, .002, ...), with
// the quick picks, count limits and stored settings that its window uses.
#pragma once

#include "tools/common/size_parts.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <optional>

class TAppStores;

// ---- texts ------------------------------------------------------------------------------
// A path in a message is shown with PrintableName: one readable line whatever its bytes.
inline constexpr const char* kSplitterTitle = "File Splitter";
inline constexpr const char* kSplittingText = "Splitting...";
inline constexpr const char* kSplittingCompleteText = "Splitting Complete";

inline constexpr const char* kSplitNoSourceMessage = "Could not open source file";
inline constexpr const char* kSplitZeroPieceMessage = "Piece size cannot be 0 bytes";
inline constexpr const char* kSplitTooManyMessage = "Split would create too many files";
inline constexpr const char* kSplitTooSmallMessage = "File too small to split!";
inline constexpr const char* kSplitExistsMessage = "%1 already exists";  // the piece path
inline constexpr const char* kSplitWriteMessage = "Could not write %1";  // the piece path
// The same with the system's reason ("No space left on device").
inline constexpr const char* kSplitWriteReasonMessage = "Could not write %1: %2";
// The error's own text, then the piece path.
inline constexpr const char* kSplitOtherMessage = "Error \"%1\" while splitting %2";

// ---- limits -----------------------------------------------------------------------------
// The max file count slider tbCount: 2..1022, page and ticks 128, default 16.
inline constexpr int kMinFileCount = 2;
inline constexpr int kMaxFileCount = 1022;
inline constexpr int kDefaultFileCount = 16;
// The piece size the three sliders allow at most.
inline constexpr qint64 kMaxPieceSize = kMaxSliderSize;

// ---- quick picks (cbCommon) -------------------------------------------------------------
inline constexpr std::array<TQuickPick, 6> kSplitQuickPicks{{
    {"Custom", 0},
    {"1Mb USB Drive", MegabytesToBytes(1.0)},
    {"1.2 Mb Floppy Disk", MegabytesToBytes(1.2)},
    {"1.44 Mb Floppy Disk", MegabytesToBytes(1.44)},
    {"640 Mb CD", MegabytesToBytes(640)},
    {"700 Mb CD", MegabytesToBytes(700)},
}};

// ---- the split --------------------------------------------------------------------------
struct TSplitRequest {
    QString source;      // the file to cut
    QString destFolder;  // the folder that receives the pieces; one trailing "/" is dropped
    qint64 pieceSize = 131072;
    int maxCount = kDefaultFileCount;  // the most pieces the split may create
    bool overwrite = false;            // replace existing pieces instead of stopping
    bool checksumList = false;         // also write the checksum list (ChecksumListName)
};

// The path of piece `number`: destination folder + "/" + the source's file name + "." +
// the number with at least three digits (.001 ... .999, .1000).
QString PieceName(const QString& destFolder, const QString& source, int number);

// The checksum list of a split: destination folder + "/" + the source's file name +
// ".sha256".
QString ChecksumListName(const QString& destFolder, const QString& source);

// The number of pieces a source of `sourceSize` bytes gives (rounded up); 0 for a piece
// size of 0.
qint64 PieceCount(qint64 sourceSize, qint64 pieceSize);

// Cuts the source into pieces of `pieceSize` bytes, the last one holding the rest, and
// returns the number of pieces written. Each piece is written beside its final name and
// put in place only when complete, so a failed piece never appears half-written and an
// existing piece of that name stays as it was. `progress` gets n * 100 / count (halves to
// even) after piece n. The source is never changed; pieces with higher numbers from an
// earlier split are left alone.
// With `checksumList` the SHA-256 of every piece and of the whole source are computed from
// the bytes as they are copied (the source is read once), and ChecksumListName is written
// after the last piece: one sha256sum line "HEX  NAME.001" per piece, in order, then the
// comment "# HEX  NAME" for the whole source (kSumCommentPrefix), so that `sha256sum -c`
// in the pieces' folder passes the list as it is written and Splice can check the pieces
// before joining them and the joined file while writing it.
// Raises EQuiva, checked in this order: kSplitNoSourceMessage (no source, or not a regular
// readable file), kSplitZeroPieceMessage, kSplitTooManyMessage, kSplitTooSmallMessage, and
// for the checksum list kSplitExistsMessage (overwrite off) or kSplitWriteMessage (it may
// not be replaced) — nothing is written for any of these; then per piece
// kSplitExistsMessage (overwrite off), kSplitWriteMessage (the piece cannot be created,
// written or put in place; also when a FIFO, socket or device, or a file the user may not
// write, is in the piece's place) or kSplitOtherMessage (reading the source failed); last
// kSplitWriteMessage naming the list when it cannot be written. Pieces written before a
// failure stay; the list is written only after every piece. kSplitWriteMessage carries the
// system's reason where there is one (kSplitWriteReasonMessage).
// Any thread; `progress` runs on the caller's thread.
int Split(const TSplitRequest& request, const TPercentProgress& progress = {});

// ---- stored settings, key "Split" -------------------------------------------------------
inline constexpr const char* kSplitSettingsKey = "Split";
inline constexpr int kSplitSettingsFields = 8;

// The window's stored state. Paths read back are only those that still exist; an empty
// path means "keep what the window has".
struct TSplitSettings {
    QString source;                    // field 0: kept only when it names an existing file
    QString sourceFolder;              // not stored: the folder of field 0 when that folder exists
    QString destFolder;                // field 1: kept only when the folder exists
    bool overwrite = false;            // field 2
    TSizeParts parts;                  // fields 3, 4, 5 (bytes, kilobytes, megabytes)
    int quickPick = 0;                 // field 6: index into kSplitQuickPicks
    int maxCount = kDefaultFileCount;  // field 7
};

// The stored text (before scrambling): source|destFolder|overwrite|B|KB|MB|pick|count|.
// Paths are stored as the bytes of their names: UTF-8 for every name that is UTF-8, and
// exactly the name's own bytes for one that is not, so that reading back loses nothing.
QByteArray SplitSettingsText(const TSplitSettings& settings);

// Reads a stored text (already unscrambled). None unless it has exactly 8 fields.
// Otherwise: paths as described on TSplitSettings; parts as numbers (0 when not a
// number) within 0..1023; a quick-pick index above the last item gives 0; the count
// (16 when not a number, 0 when above 1022) kept within 2..1022, as the slider holds it.
std::optional<TSplitSettings> ParseSplitSettings(const QByteArray& text);

// Scrambles and stores the settings under kSplitSettingsKey through the host; the host
// reports its own failures. Main thread.
void SaveSplitSettings(TAppStores& stores, const TSplitSettings& settings);

// Loads, unscrambles and parses the stored settings through the host. None when nothing
// is stored or the text is damaged or has the wrong field count. Main thread.
std::optional<TSplitSettings> LoadSplitSettings(TAppStores& stores);

// ---- stored option "Write checksum list", key "SplitList" -------------------------------
// Kept under a key of its own, one field "1"/"0", so that the state under "Split" keeps
// its eight fields.
inline constexpr const char* kSplitListSettingsKey = "SplitList";

void SaveSplitListSetting(TAppStores& stores, bool checksumList);
// The stored option; false when nothing usable is stored. Main thread.
bool LoadSplitListSetting(TAppStores& stores);
