// HexEdit's inspector: the bytes at the cursor read as integers, a character or a
// floating-point number, in either byte order.
#pragma once

#include <QByteArray>
#include <QString>

#include <array>

enum THexInterpretation : int {
    kInterpretByte = 0,
    kInterpretWord = 1,
    kInterpretDword = 2,
    kInterpretQword = 3,
};

// The items of cbInter, with their leading blanks.
inline constexpr std::array<const char*, 4> kInterpretationNames{" Byte", " Word", " DWORD",
                                                                 " QWORD"};

// The labels of dgInfo's column 0 by interpretation and row.
inline constexpr std::array<std::array<const char*, 3>, 4> kInspectorLabels{{
    {"UINT", "INT", "Text"},
    {"UINT", "INT", "UNICODE"},
    {"UINT", "INT", "FLOAT"},
    {"INT", "DOUBLE", ""},
}};

struct TInspectorRow {
    QString text;
    bool valid = false;
};
using TInspectorRows = std::array<TInspectorRow, 3>;

// The rows for the byte at 1-based character index `hexPosition` of a page's hexadecimal
// text: empty unless a byte is selected (hexPosition > 0) and the page holds every byte the
// interpretation needs from there on (1, 2, 4 or 8). The selected byte is the least
// significant one, or the most significant with `bigEndian`. Integer rows are valid;
// floating-point rows are valid unless they read NAN, INF or -INF. Any thread.
TInspectorRows Interpret(const QByteArray& pageHex, qsizetype hexPosition, int interpretation,
                         bool bigEndian);

// A floating-point value in the general format with `precision` significant digits:
// fixed-point when it has at most `precision` integer digits and is at least 0.00001 in
// magnitude, else scientific ("1.5E+20", "1E-6"); trailing zeros and an unneeded decimal
// separator dropped; NAN, INF and -INF for the special values. `decimalPoint` separates
// the fraction. Any thread.
QString FormatGeneral(double value, int precision, QChar decimalPoint = QLatin1Char('.'));
