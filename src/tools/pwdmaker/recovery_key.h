// The recovery text of an installation key, so that a lost or damaged application database
// does not lose every password made with it. The key's 64 hex digits are written as four
// lines of four groups of four digits, each line followed by a fifth group that checks it:
//
//     Quiva Tessaline recovery key
//     9F3A 1C07 E2B4 55D0  7A1E
//     ... (four lines)
//
// The check group is a CRC-16 (CCITT: polynomial 0x1021, initial value 0xFFFF) of the
// line's number and its eight key bytes, so any change inside one group of a line — the
// check group included — is always caught, and the line it is on is named; lines swapped
// or copied are caught too.
#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// ---- texts ------------------------------------------------------------------------------
inline constexpr const char* kRecoveryTitle = "Quiva Tessaline recovery key";
inline constexpr const char* kRecoverySafeText =
    "This key together with your master password yields every password Pwd Maker makes, "
    "so keep it somewhere safe.";
// The number of key lines found.
inline constexpr const char* kRecoveryLinesMessage =
    "The recovery key is damaged: it needs four lines of five groups of four hexadecimal "
    "digits, and %1 were found";
// The line number (1-4) and the character.
inline constexpr const char* kRecoveryNotHexMessage =
    "The recovery key is damaged: line %1 holds \"%2\", which is not a hexadecimal digit";
// The line number (1-4).
inline constexpr const char* kRecoveryCheckMessage =
    "The recovery key is damaged: line %1 does not match its check group (a group is "
    "mistyped)";
inline constexpr const char* kRecoveryKeyShapeMessage =
    "This installation's key cannot be written as a recovery key";

// ---- the text ---------------------------------------------------------------------------
inline constexpr int kRecoveryLines = 4;
inline constexpr int kRecoveryGroupsPerLine = 4;
inline constexpr int kRecoveryGroupDigits = 4;

// The check group of key line `line` (1-4) holding `bytes` (eight bytes): four upper-case
// hex digits. Any thread.
QByteArray RecoveryCheckGroup(int line, const QByteArray& bytes);

// The recovery text of an installation key (64 hex digits, either case): the title and
// the four key lines, each ended by a line feed. Raises EQuiva with kRecoveryKeyShapeMessage
// for a key of another shape. Any thread.
QByteArray FormatRecoveryText(const QByteArray& installKey);

// Reads a recovery text back: lines holding 20 characters once blanks and "-" are left out
// are the key lines (in order); every other line (the title, notes) is passed over. The
// case of the digits does not count. Returns the key as 64 upper-case hex digits, or none
// with `error` set to kRecoveryLinesMessage, kRecoveryNotHexMessage or
// kRecoveryCheckMessage. Any thread.
std::optional<QByteArray> ParseRecoveryText(const QByteArray& text, QString& error);
