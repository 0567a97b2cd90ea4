// Fill: writes a file of a chosen size filled with a repeating hexadecimal sequence,
// random bytes from a range, or the 256 byte values in order; with the pattern parsing,
// quick picks and stored settings that its window uses.
#pragma once

#include "tools/common/size_parts.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <optional>

class TAppStores;

// ---- texts ------------------------------------------------------------------------------
// A path in a message is shown with PrintableName: one readable line whatever its bytes.
inline constexpr const char* kFillerTitle = "File Filler";
inline constexpr const char* kFillingText = "Filling...";
inline constexpr const char* kFillingCompleteText = "Filling complete";
// Shown (as information) before an all-bytes fill, whatever size was chosen.
inline constexpr const char* kFillAllBytesNotice = "File size will be 256 bytes";

inline constexpr const char* kFillNoDestMessage = "Destination filename required";
inline constexpr const char* kFillDestExistsMessage = "Destination file already exists";
inline constexpr const char* kFillZeroSizeMessage = "Destination filesize cannot be 0 bytes";
inline constexpr const char* kSequenceOddMessage = "Sequence length must be even";
inline constexpr const char* kSequenceLongMessage = "Sequence too long";
inline constexpr const char* kSequenceHexMessage = "Sequence string must be hexadecimal";
inline constexpr const char* kSequenceEmptyMessage = "Hexadecimal sequence cannot be empty";
inline constexpr const char* kRangeHexMessage = "%1 is not valid hexadecimal";  // the text
inline constexpr const char* kRangeInvalidMessage = "Invalid range";
inline constexpr const char* kFillCannotWriteMessage = "Cannot write %1";          // destination
inline constexpr const char* kFillUnableToWriteMessage = "Unable to write to %1";  // destination
// The same with the system's reason ("No space left on device").
inline constexpr const char* kFillUnableToWriteReasonMessage = "Unable to write to %1: %2";
inline constexpr const char* kFillShorterThanSequenceMessage =
    "Filesize cannot be smaller than sequence length";

// ---- patterns (cbPattern) ---------------------------------------------------------------
enum TFillPattern : int {
    kPatternSequence = 0,  // a repeating hexadecimal sequence
    kPatternRange = 1,     // random bytes from From up to, not including, To
    kPatternAllBytes = 2,  // the 256 bytes 00..FF, whatever the size
};
inline constexpr std::array<const char*, 3> kFillPatternNames{"Repeating Hexadecimal Sequence",
                                                              "Random Range", "Full Byte Sequence"};

inline constexpr const char* kDefaultSequence = "CAFEBABE";
inline constexpr const char* kDefaultRangeFrom = "00";
inline constexpr const char* kDefaultRangeTo = "FF";
// edtSeq takes at most 16 characters, edtFrom and edtTo 2 each.
inline constexpr int kSequenceMaxChars = 16;
inline constexpr int kRangeMaxChars = 2;

// Patterns 0 and 1 write in chunks of this many bytes (a sequence's block is the least
// whole number of sequences reaching it: 65280 bytes, or 65282 for a 7-byte sequence).
inline constexpr qint64 kFillChunk = 65280;

// The largest size the sliders allow.
inline constexpr qint64 kMaxFillSize = kMaxSliderSize;

// ---- quick picks (cbCommon) -------------------------------------------------------------
inline constexpr std::array<TQuickPick, 5> kFillQuickPicks{{
    {"Custom", 0},
    {"256 Bytes", 256},
    {"512 Bytes", 512},
    {"1 Kilobyte", 1024},
    {"1 Megabyte", 1048576},
}};

// ---- parsing ----------------------------------------------------------------------------
// Reads pairs of hexadecimal digits (either case) into 0 to 8 bytes, in text order.
// Raises, checked in this order: kSequenceOddMessage, kSequenceLongMessage (more than 16
// characters), kSequenceHexMessage. The empty text gives no bytes. Any thread.
QByteArray ParseSequence(const QString& text);

struct TByteRange {
    quint8 from;
    quint8 to;
};

// Reads From and then To as hexadecimal numbers, each held as one byte (its low 8 bits).
// Raises kRangeHexMessage with the first text that is not hexadecimal (empty, a sign, a
// blank or more than 8 digits included), then kRangeInvalidMessage when To is below From.
// Any thread.
TByteRange ParseRange(const QString& from, const QString& to);

// ---- the fill ---------------------------------------------------------------------------
struct TFillRequest {
    QString destination;
    qint64 size = 131072;
    int pattern = kPatternSequence;                            // TFillPattern
    QString sequence = QString::fromLatin1(kDefaultSequence);  // pattern 0
    QString from = QString::fromLatin1(kDefaultRangeFrom);     // pattern 1
    QString to = QString::fromLatin1(kDefaultRangeTo);         // pattern 1
    bool overwrite = false;
};

// A request that passed CheckFill, with its pattern read.
struct TFillPlan {
    QString destination;
    qint64 size = 0;
    int pattern = kPatternSequence;
    QByteArray sequence;  // pattern 0: 1 to 8 bytes
    TByteRange range{0, 0xFF};
    bool overwrite = false;
};

// The checks before a fill, in order; raises EQuiva with the first that fails:
// kFillNoDestMessage, kFillDestExistsMessage (something other than a folder exists at the
// destination and overwrite is off), kFillZeroSizeMessage, then the pattern's own:
// pattern 0 the ParseSequence messages and kSequenceEmptyMessage, pattern 1 the
// ParseRange messages. Any other pattern number counts as pattern 2, which has none (its
// window first shows kFillAllBytesNotice). Returns the plan. Any thread.
TFillPlan CheckFill(const TFillRequest& request);

// Writes the plan's content into a new file beside the destination and puts it in place
// when complete, so an existing destination keeps its content until then and a failed
// fill leaves nothing behind. Pattern 0 repeats the sequence without a seam, cut at the
// size; pattern 1 draws each byte uniformly from range.from up to but not including
// range.to (every byte is `from` when both are equal) with a fast non-cryptographic
// generator seeded from the program's random generator; pattern 2 writes the 256 bytes
// 00..FF whatever the size. `progress` gets written * (100 / size) rounded (halves to
// even) after each chunk of patterns 0 and 1. Returns the bytes written.
// Raises EQuiva: kFillCannotWriteMessage (the new file cannot be created; also for a FIFO,
// socket or device, or a file the user may not write, there), kFillShorterThanSequenceMessage
// (size below the sequence length), kFillUnableToWriteReasonMessage with the system's reason
// (writing failed, or the new file could not be put in place). Any thread; `progress` on
// the caller's.
qint64 Fill(const TFillPlan& plan, const TPercentProgress& progress = {});

// CheckFill and then Fill.
qint64 Fill(const TFillRequest& request, const TPercentProgress& progress = {});

// ---- stored settings, key "Fill" --------------------------------------------------------
inline constexpr const char* kFillSettingsKey = "Fill";
inline constexpr int kFillSettingsFields = 10;

// The window's stored state. Read back, a field that fails its rule leaves the default.
struct TFillSettings {
    QString destination;  // field 0: kept when its folder exists (the file need not)
    QString destFolder;   // not stored: that folder, when it exists
    QString sequence = QString::fromLatin1(kDefaultSequence);  // field 1
    QString from = QString::fromLatin1(kDefaultRangeFrom);     // field 2
    QString to = QString::fromLatin1(kDefaultRangeTo);         // field 3
    bool overwrite = false;                                    // field 4
    TSizeParts parts;                                          // fields 5, 6, 7
    int quickPick = 0;               // field 8: index into kFillQuickPicks
    int pattern = kPatternSequence;  // field 9: index into kFillPatternNames
};

// The stored text (before scrambling).
// Paths are stored as the bytes of their names: UTF-8 for every name that is UTF-8, and
// exactly the name's own bytes for one that is not, so that reading back loses nothing.
QByteArray FillSettingsText(const TFillSettings& settings);

// Reads a stored text (already unscrambled). None unless it has exactly 10 fields.
// Otherwise: the sequence, upper-cased, only when it reads as at least one byte; From and
// To, upper-cased, only when they read as a range; parts as numbers (0 when not a number)
// within 0..1023; quick-pick and pattern indexes 0 when not a number or above the last
// item (a negative quick-pick index, no selection, passes; a negative pattern gives 0).
std::optional<TFillSettings> ParseFillSettings(const QByteArray& text);

// Scrambles and stores the settings under kFillSettingsKey through the host. Main thread.
void SaveFillSettings(TAppStores& stores, const TFillSettings& settings);

// Loads, unscrambles and parses the stored settings through the host; none when nothing
// usable is stored. Main thread.
std::optional<TFillSettings> LoadFillSettings(TAppStores& stores);
