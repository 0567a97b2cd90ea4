#include "tools/common/hex_text.h"

#include "base/settings_codec.h"

#include <cstring>

namespace {

constexpr std::array<std::array<char, 2>, 256> MakeHexTable() {
    constexpr char kDigits[] = "0123456789ABCDEF";
    std::array<std::array<char, 2>, 256> table{};
    for (int i = 0; i < 256; ++i) {
        table[i] = {kDigits[i >> 4], kDigits[i & 0xF]};
    }
    return table;
}

constexpr std::array<std::array<char, 2>, 256> kHexTable = MakeHexTable();

constexpr std::array<qint8, 256> MakeDigitTable() {
    std::array<qint8, 256> table{};
    for (int i = 0; i < 256; ++i) {
        table[i] = -1;
    }
    for (int i = 0; i < 10; ++i) {
        table['0' + i] = static_cast<qint8>(i);
    }
    for (int i = 0; i < 6; ++i) {
        table['A' + i] = static_cast<qint8>(10 + i);
        table['a' + i] = static_cast<qint8>(10 + i);
    }
    return table;
}

constexpr std::array<qint8, 256> kDigitTable = MakeDigitTable();

}  // namespace

qint64 LastTopRow(qint64 chars) {
    const qint64 rows = (chars + kCharsPerRow - 1) / kCharsPerRow;
    return rows > kRowsPerPage ? rows - kRowsPerPage : 0;
}

std::optional<qint64> WheelTopRow(bool forward, qint64 topRow, qint64 lastTopRow) {
    if (forward && topRow > 0) {
        return topRow - 1;
    }
    if (!forward && topRow < lastTopRow) {
        return topRow + 1;
    }
    return std::nullopt;
}

QString OffsetText(qint64 offset) {
    return QStringLiteral("%1")
        .arg(static_cast<qulonglong>(offset), 8, 16, QLatin1Char('0'))
        .toUpper();
}

const std::array<std::array<char, 2>, 256>& HexTable() {
    return kHexTable;
}

void BytesToHexText(const uchar* bytes, qsizetype n, char* out) {
    for (qsizetype i = 0; i < n; ++i) {
        std::memcpy(out + 2 * i, kHexTable[bytes[i]].data(), 2);
    }
}

QByteArray BytesToHexText(const QByteArray& bytes) {
    QByteArray text(2 * bytes.size(), Qt::Uninitialized);
    BytesToHexText(reinterpret_cast<const uchar*>(bytes.constData()), bytes.size(), text.data());
    return text;
}

void HexTextToBytes(const char* text, qsizetype n, uchar* out) {
    for (qsizetype i = 0; i < n; ++i) {
        const qint8 high = kDigitTable[static_cast<uchar>(text[2 * i])];
        const qint8 low = kDigitTable[static_cast<uchar>(text[2 * i + 1])];
        out[i] = static_cast<uchar>(((high < 0 ? 0 : high) << 4) | (low < 0 ? 0 : low));
    }
}

int HexDigitValue(char c) {
    return kDigitTable[static_cast<uchar>(c)];
}

uchar ByteAt(const QByteArray& hexText, qsizetype index) {
    uchar value = 0;
    HexTextToBytes(hexText.constData() + index - 1, 1, &value);
    return value;
}

quint32 PageHash(const QByteArray& pageHex) {
    return Hash32(pageHex);
}

QChar TextCellChar(uchar value) {
    if (value < 32 || (value >= 0x7F && value < 0xA0)) {
        return QLatin1Char('.');
    }
    return QChar(value);
}
