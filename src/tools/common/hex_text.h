// The hexadecimal text of the pages of HexEdit and Compare: every byte as two upper-case
// hexadecimal characters, high nibble first, nothing between bytes; and the page arithmetic
// both tools share.
#pragma once

#include <QByteArray>
#include <QString>

#include <array>
#include <optional>

// ---- the page --------------------------------------------------------------------------
inline constexpr int kBytesPerRow = 16;
inline constexpr int kRowsPerPage = 16;
inline constexpr int kCharsPerRow = 2 * kBytesPerRow;           // 32
inline constexpr int kPageBytes = kBytesPerRow * kRowsPerPage;  // 256
inline constexpr int kPageChars = 2 * kPageBytes;               // 512

// The top row that shows the last row at the bottom of the page for content of
// `chars` characters: max(0, ceil(chars / 32) - 16). 64-bit throughout.
qint64 LastTopRow(qint64 chars);

// The top row one mouse-wheel step shows: a row up when turned forward, a row down
// otherwise; none at either end of the file.
std::optional<qint64> WheelTopRow(bool forward, qint64 topRow, qint64 lastTopRow);

// The 1-based index, in a page's hexadecimal text, of the first character of the byte in
// a cell of the byte grid (row * 32 + column * 2 + 1), and of the byte in a cell of the
// text grid (row * 16 + column + 1).
constexpr int HexCellIndex(int row, int column) {
    return row * kCharsPerRow + column * 2 + 1;
}
constexpr int TextCellIndex(int row, int column) {
    return row * kBytesPerRow + column + 1;
}

// The offset column's text: the byte offset in upper-case hexadecimal with at least 8
// digits ("00000010", "100000010" past 4 GiB).
QString OffsetText(qint64 offset);

// The timestamp warning of both tools repeats on every this many ticks while a change lasts.
inline constexpr int kTimestampRepeatTicks = 4;

// The text a page cell shows outside the page.
inline const QString kBlankCell = QStringLiteral(" ");

// ---- conversions -----------------------------------------------------------------------
// The 256 two-character texts "00" to "FF".
const std::array<std::array<char, 2>, 256>& HexTable();

// Writes n bytes as 2n upper-case hexadecimal characters to `out`. Any thread.
void BytesToHexText(const uchar* bytes, qsizetype n, char* out);
QByteArray BytesToHexText(const QByteArray& bytes);

// Reads 2n characters back into n bytes: '0'-'9' are 0-9 and 'A'-'F' 10-15 (lower case
// is read as well; anything else counts as 0). Any thread.
void HexTextToBytes(const char* text, qsizetype n, uchar* out);

// The value of one hexadecimal digit (either case), or -1.
int HexDigitValue(char c);

// The byte at 1-based character index `index` of a hexadecimal text (its two characters
// at index and index + 1). The index must lie inside the text.
uchar ByteAt(const QByteArray& hexText, qsizetype index);

// The page hash: 32-bit FNV-1 (basis 0x811C9DC5, prime 0x01000193, multiply then XOR)
// of the page's hexadecimal text.
quint32 PageHash(const QByteArray& pageHex);

// The character a byte shows as in a text column: the byte's own character (Latin-1) for
// 32 and above, "." below. Control characters of the 0x7F-0x9F range draw as "." too,
// although they count as printable.
QChar TextCellChar(uchar value);
