#include "tools/hexedit/hex_inspector.h"

#include "tools/common/hex_text.h"

#include <QLocale>

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

// The byte count each interpretation reads.
constexpr std::array<int, 4> kWidths{1, 2, 4, 8};

void TrimFraction(QString& digits) {
    if (!digits.contains(QLatin1Char('.'))) {
        return;
    }
    while (digits.endsWith(QLatin1Char('0'))) {
        digits.chop(1);
    }
    if (digits.endsWith(QLatin1Char('.'))) {
        digits.chop(1);
    }
}

}  // namespace

QString FormatGeneral(double value, int precision, QChar decimalPoint) {
    if (std::isnan(value)) {
        return QStringLiteral("NAN");
    }
    if (std::isinf(value)) {
        return value < 0 ? QStringLiteral("-INF") : QStringLiteral("INF");
    }
    if (value == 0) {
        return QStringLiteral("0");
    }
    // The value rounded to `precision` significant digits decides the form.
    char scientific[64];
    std::snprintf(scientific, sizeof scientific, "%.*e", precision - 1, value);
    const char* e = std::strchr(scientific, 'e');
    const int exponent = std::atoi(e + 1);
    QString text;
    if (exponent + 1 <= precision && exponent >= -5) {
        char fixed[400];
        std::snprintf(fixed, sizeof fixed, "%.*f", std::max(0, precision - 1 - exponent), value);
        text = QString::fromLatin1(fixed);
        TrimFraction(text);
    } else {
        QString mantissa = QString::fromLatin1(scientific, e - scientific);
        TrimFraction(mantissa);
        text = mantissa + QStringLiteral("E") +
               (exponent < 0 ? QStringLiteral("-") : QStringLiteral("+")) +
               QString::number(std::abs(exponent));
    }
    text.replace(QLatin1Char('.'), decimalPoint);
    return text;
}

TInspectorRows Interpret(const QByteArray& pageHex, qsizetype hexPosition, int interpretation,
                         bool bigEndian) {
    TInspectorRows rows;
    if (hexPosition <= 0 || interpretation < 0 || interpretation >= int(kWidths.size())) {
        return rows;
    }
    const int width = kWidths[interpretation];
    if (hexPosition + 2 * width - 1 > pageHex.size()) {
        return rows;
    }
    quint64 value = 0;
    for (int i = 0; i < width; ++i) {
        const quint64 byte = ByteAt(pageHex, hexPosition + 2 * i);
        const int shift = bigEndian ? 8 * (width - 1 - i) : 8 * i;
        value |= byte << shift;
    }
    const QChar point =
        QLocale().decimalPoint().isEmpty() ? QLatin1Char('.') : QLocale().decimalPoint().front();
    switch (interpretation) {
        case kInterpretByte: {
            rows[0] = {QString::number(value), true};
            rows[1] = {QString::number(static_cast<qint8>(value)), true};
            if (value > 32) {
                rows[2] = {QString(QChar(static_cast<char16_t>(value))), true};
            } else {
                rows[2] = {QStringLiteral("."), false};
            }
            break;
        }
        case kInterpretWord: {
            rows[0] = {QString::number(value), true};
            rows[1] = {QString::number(static_cast<qint16>(value)), true};
            if (value == 0xE000 || value == 0xF8FF) {
                rows[2] = {QStringLiteral("."), false};
            } else {
                rows[2] = {QString(QChar(static_cast<char16_t>(value))), true};
            }
            break;
        }
        case kInterpretDword: {
            rows[0] = {QString::number(value), true};
            rows[1] = {QString::number(static_cast<qint32>(value)), true};
            const float single = std::bit_cast<float>(static_cast<quint32>(value));
            const QString text = FormatGeneral(single, 7, point);
            rows[2] = {text, !text.contains(QLatin1Char('N'))};
            break;
        }
        case kInterpretQword: {
            rows[0] = {QString::number(static_cast<qint64>(value)), true};
            const QString text = FormatGeneral(std::bit_cast<double>(value), 15, point);
            rows[1] = {text, !text.contains(QLatin1Char('N'))};
            break;
        }
    }
    return rows;
}
