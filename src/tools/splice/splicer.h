// Splice: joins an ordered list of files into one destination, byte for byte, with the
// list rules and stored settings that its window uses.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class TAppStores;

// ---- texts ------------------------------------------------------------------------------
// A path in a message is shown with PrintableName: one readable line whatever its bytes.
inline constexpr const char* kSplicerTitle = "File Splicer";
inline constexpr const char* kSplicingText = "Splicing...";
inline constexpr const char* kSplicingCompleteText = "Splicing Complete";

inline constexpr const char* kSpliceNoDestMessage = "Destination filename required";
inline constexpr const char* kSpliceTooFewMessage = "Two or more files required for splicing";
inline constexpr const char* kSpliceDestInListMessage = "Destination cannot be in source file list";
inline constexpr const char* kSpliceDestExistsMessage = "Destination file already exists";
inline constexpr const char* kSpliceCannotWriteMessage = "Cannot write %1";  // destination
inline constexpr const char* kSpliceAccessMessage = "Access to %1 failed";   // source
// The error's own text, then the destination path.
inline constexpr const char* kSpliceOtherMessage = "Error \"%1\" while building %2";

// The checksum list that Split writes beside the pieces (NAME.sha256 for NAME.001, ...).
inline constexpr const char* kSpliceListDamagedMessage =
    "The checksum list %1 is damaged at line %2";                           // list, line number
inline constexpr const char* kSplicePieceMissingMessage = "%1 is missing";  // piece
inline constexpr const char* kSplicePieceNotAddedMessage =
    "%1 is missing from the source list";  // piece
inline constexpr const char* kSplicePieceOrderMessage =
    "%1 is out of order: the checksum list %2 puts it elsewhere";  // piece, list
inline constexpr const char* kSpliceNotListedMessage =
    "%1 is not in the checksum list %2";  // source, list
inline constexpr const char* kSplicePieceDamagedMessage =
    "%1 is damaged: its checksum does not match %2";  // piece, list
inline constexpr const char* kSpliceWholeDamagedMessage =
    "The joined file does not match the checksum in %1";          // list
inline constexpr const char* kSplicePieceCheckedText = "%1: OK";  // piece

// ---- the splice -------------------------------------------------------------------------
// Called after each source was copied, with that source's path (the window shows it as
// the progress text).
using TSpliceProgress = std::function<void(const QString& sourcePath)>;

// The checks before a splice, in order; raises EQuiva with the first that fails:
// kSpliceNoDestMessage (empty destination), kSpliceTooFewMessage (fewer than two
// sources), kSpliceDestInListMessage (the destination is the same file as a source, by
// device and inode, so also through a hard or symbolic link; paths of missing files
// compared exactly), kSpliceDestExistsMessage (something other than a folder exists at
// the destination and overwrite is off). Any thread.
void CheckSplice(const QString& destination, const QStringList& sources, bool overwrite);

// Runs CheckSplice, then writes the sources one after another, each from its first byte
// to its end, into a new file beside the destination, and puts it in place only when
// every source was copied: until then an existing destination keeps its content, and on
// any failure nothing is left behind. Returns the destination's size.
//
// When the first source is a piece (NAME.001, NAME.002, ...: a name ending in "." and at
// least three digits) and the checksum list NAME.sha256 that Split writes lies beside it,
// the list is read (sha256sum lines, "HEX  NAME" or "SHA256 (NAME) = HEX"; lines about
// other files are passed over) and, before anything is written:
//  - every piece it lists must exist (kSplicePieceMissingMessage) and the sources must be
//    exactly the listed pieces in the list's order (kSplicePieceNotAddedMessage,
//    kSplicePieceOrderMessage, kSpliceNotListedMessage, naming the first that is not);
//  - every piece is read and its SHA-256 compared with the list's
//    (kSplicePieceDamagedMessage names the first that differs); `checked` gets each piece
//    that matched.
// A list with a line for NAME itself (as Split writes it, the comment "# HEX  NAME"; a
// plain line from earlier lists too) is the whole file's checksum: the joined bytes are
// digested as they are copied and, when they differ, nothing is put in place
// (kSpliceWholeDamagedMessage). A list that cannot be read is refused with
// kSpliceAccessMessage, a malformed line with kSpliceListDamagedMessage. Without a list
// nothing of this happens.
//
// Raises EQuiva: the check messages; the list's messages above; kSpliceCannotWriteMessage
// (the new file cannot be created, or cannot be put in place: also for a FIFO, socket or
// device, or a file the user may not write, at the destination); kSpliceAccessMessage (a
// source cannot be opened or is not a regular file); kSpliceOtherMessage (reading or
// writing failed meanwhile).
// Any thread; `progress` and `checked` run on the caller's thread.
qint64 Splice(const QString& destination, const QStringList& sources, bool overwrite,
              const TSpliceProgress& progress = {}, const TSpliceProgress& checked = {});

// ---- the source list --------------------------------------------------------------------
// Appends the path unless `multiples` is off and the list already holds exactly that
// path (two names differing only in case are two files). True when it was appended.
bool AddSource(QStringList& list, const QString& path, bool multiples);

// The list with later repeats of a path removed; rows keep their relative order.
QStringList WithoutDuplicates(const QStringList& list);

// Which list buttons are enabled for the selected row (-1 for none) of `count` rows.
struct TListButtons {
    bool moveUp;
    bool moveDown;
    bool remove;
    bool operator==(const TListButtons&) const = default;
};
TListButtons ListButtons(int selected, int count);

// Exchanges row `row` with its neighbour in `direction` (-1 up, +1 down) and returns the
// row's new index; returns `row` unchanged when there is no such neighbour.
int MoveRow(QStringList& list, int row, int direction);

// ---- stored settings, key "Splice" ------------------------------------------------------
inline constexpr const char* kSpliceSettingsKey = "Splice";
inline constexpr int kSpliceSettingsFields = 6;

// The window's stored state. Paths read back are only those that pass the load rules; an
// empty folder means "keep what the window has".
struct TSpliceSettings {
    QString sourceFolder;  // field 0: kept only when the folder exists
    QString destFolder;    // field 1: kept only when the folder exists
    QStringList sources;   // field 2: each row followed by CR LF; rows of missing files dropped
    QString
        destination;  // field 3, in the local 8-bit encoding (UTF-8 here): see ParseSpliceSettings
    bool multiples = false;  // field 4
    bool overwrite = false;  // field 5
};

// The stored text (before scrambling).
// Paths are stored as the bytes of their names: UTF-8 for every name that is UTF-8, and
// exactly the name's own bytes for one that is not, so that reading back loses nothing.
QByteArray SpliceSettingsText(const TSpliceSettings& settings);

// Reads a stored text (already unscrambled). None unless it has exactly 6 fields. The
// destination is kept only when its folder exists and, with overwrite off, nothing exists
// under its name; otherwise it is empty.
std::optional<TSpliceSettings> ParseSpliceSettings(const QByteArray& text);

// Scrambles and stores the settings under kSpliceSettingsKey through the host. Main thread.
void SaveSpliceSettings(TAppStores& stores, const TSpliceSettings& settings);

// Loads, unscrambles and parses the stored settings through the host; none when nothing
// usable is stored. Main thread.
std::optional<TSpliceSettings> LoadSpliceSettings(TAppStores& stores);
