// Name Control: renames, in one pass, the files of a folder (and optionally its subfolders)
// that match a mask — new letter case, new extension, spaces stripped — never replacing
// another file; a preview that renames nothing; and the undo of the last batch.
#pragma once

#include "base/bar_list.h"
#include "platform/file_times.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <optional>

class TAppStores;

// ---- texts --------------------------------------------------------------------------------
inline constexpr const char* kRenamerTitle = "Name Central";
inline constexpr const char* kRenamingText = "Changing...";
inline constexpr const char* kRenamedText = "%1 Changes";  // the successful renames
inline constexpr const char* kPreviewedText = "Preview: %1 Changes";
inline constexpr const char* kUndoneText = "Undo: %1 Changes";
inline constexpr const char* kNothingToUndoMessage = "Nothing to undo";

inline constexpr const char* kNoMaskMessage = "File mask not specified";
inline constexpr const char* kMaskDotMessage = "Mask MUST contain \".\"";
// The forbidden characters, then "mask" or "extension".
inline constexpr const char* kNotAllowedMessage = "%1 not allowed in %2";
inline constexpr const char* kForbiddenCharacters = "\\/:<|>";
// A folder that cannot be read ends the run: the folder, the system's reason.
inline constexpr const char* kCannotReadMessage = "Could not read %1: %2";

// Why a rename was refused (the reason column of an "N" row).
inline constexpr const char* kNameTakenReason = "A file or folder of that name exists";
inline constexpr const char* kEmptyNameReason = "The new name would be empty";
inline constexpr const char* kRenamedSinceReason = "The file has been renamed or replaced since";

// ---- the request --------------------------------------------------------------------------
enum TNameCase : int {
    kCaseLower = 0,
    kCaseUpper = 1,
    kCaseFirst = 2,  // first character upper case, the rest lower case
};

// Option bits, by the check list's item index.
enum TNameOption : quint32 {
    kNameChangeCase = 0x1,
    kNameChangeExtension = 0x2,
    kNameRecurse = 0x4,
    kNameStripSpaces = 0x8,
};

struct TRenameRequest {
    QString folder;
    QString mask = QStringLiteral("*.*");
    QString extension;  // the new extension without its dot
    int nameCase = kCaseLower;
    quint32 options = kNameChangeCase;
};

// Raises EQuiva when the request is refused, in this order: kNoMaskMessage, kMaskDotMessage,
// kNotAllowedMessage for the mask (forbidden characters), kNotAllowedMessage for the
// extension (forbidden characters and "."). Any thread.
void CheckRenameRequest(const TRenameRequest& request);

// The new name of a file name (no folder): with "Change Extension" everything from the last
// dot is replaced by "." + the extension (an empty extension removes the extension with its
// dot); with "Change Capitalization" the name (new extension included) gets the case; with
// "Strip Spaces" every space (U+0020) goes. Any thread.
QString NewFileName(const QString& name, const TRenameRequest& request);

// ---- running --------------------------------------------------------------------------------
struct TRenameRow {
    enum TState : int {
        kRenamed = 0,  // "Y"
        kRefused = 1,  // "N", with the reason
        kPreview = 2,  // nothing done; the reason tells why it would be refused
    };
    QString path;     // the file as found (full path)
    QString newPath;  // what it becomes (full path)
    TState state = kRenamed;
    QString reason;
};

// The "Success" text of a row: "Y", "N", or empty for a preview.
QString RowSuccessText(const TRenameRow& row);

// One rename done, so that it can be undone: the names, and the file's identity (its inode
// and, where the file system keeps one, its birth time, since a new file may get the inode
// number of one removed).
struct TRenamed {
    QString from;
    QString to;
    quint64 device = 0;
    quint64 inode = 0;
    std::optional<TFileTime> born;
};

// Renames the eligible files that match the mask in the request's folder: regular files
// (not links) that are not hidden (a name starting with "."), that the user may write (not
// read-only for them) and may rename.
// With "Recurse", the plain subfolders (not links, not hidden) come first, each completely,
// before the folder's own files. Every eligible file goes to the rename, even when its name
// stays the same; a rename never replaces another file (a refused one is a kRefused row
// with the reason). With `preview` nothing is renamed: each row tells what would happen,
// judged against the folder's names as they are and as the earlier rows would leave them.
// `folderDone` gets the rows of each folder in turn. Returns the renames that succeeded
// (for a preview, the rows that would); `renamed` (may be null) gets each rename that
// changed a name. Raises EQuiva: the checks of CheckRenameRequest, kCannotReadMessage
// (renames done before stay done). Any thread; `folderDone` runs on the caller's.
int RunRenamer(const TRenameRequest& request, bool preview,
               const std::function<void(const QList<TRenameRow>&)>& folderDone,
               QList<TRenamed>* renamed = nullptr);

// Renames a batch back, last first. A file whose name or identity changed since is a
// kRefused row (kRenamedSinceReason); so is one whose old name is taken now. Returns the
// rows and counts the names restored in `restored`. Any thread.
QList<TRenameRow> UndoRenames(const QList<TRenamed>& batch, int& restored);

// The last batch of renames done in this program run, for "Undo last". Main thread.
QList<TRenamed>& LastRenameBatch();

// ---- stored settings, key "NameCen" -----------------------------------------------------------
inline constexpr const char* kNameSettingsKey = "NameCen";
inline constexpr int kNameSettingsFields = 5;

struct TNameSettings {
    QString folder;  // empty: keep the window's (a stored folder that is gone is not taken)
    QString mask = QStringLiteral("*.*");
    QString extension;
    int caseIndex = 0;
    quint32 options = kNameChangeCase;
};

// The fields to store: folder (its bytes), mask, extension (UTF-8), case index, options.
QList<QByteArray> NameSettingsFields(const TNameSettings& settings);
// Reads stored fields (exactly 5): the folder only when it exists; a case index that is not
// a number or above `lastCaseIndex` (or negative) gives 0; options 0 when not a number.
TNameSettings ParseNameSettings(const TBarList& fields, int lastCaseIndex);
