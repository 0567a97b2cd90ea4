#include "platform/native_name.h"

namespace {

constexpr char16_t kRawByteBase = 0xDC00;
constexpr char16_t kReplacement = 0xFFFD;

bool IsRawByteUnit(char16_t unit) {
    return unit >= 0xDC80 && unit <= 0xDCFF;
}

// The length of the valid UTF-8 sequence at `at` (1 to 4), or 0 when the bytes there do
// not start one. Overlong forms, surrogates and values past U+10FFFF are invalid.
int ValidSequence(const unsigned char* at, qsizetype left) {
    const unsigned char lead = at[0];
    if (lead < 0x80) {
        return 1;
    }
    int length = 0;
    char32_t value = 0;
    char32_t least = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        value = lead & 0x1F;
        least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        value = lead & 0x0F;
        least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        value = lead & 0x07;
        least = 0x10000;
    } else {
        return 0;
    }
    if (left < length) {
        return 0;
    }
    for (int i = 1; i < length; ++i) {
        if ((at[i] & 0xC0) != 0x80) {
            return 0;
        }
        value = (value << 6) | (at[i] & 0x3F);
    }
    if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return 0;
    }
    return length;
}

}  // namespace

QString DecodeNativeName(const QByteArray& bytes) {
    return DecodeNativeName(bytes.constData(), bytes.size());
}

QString DecodeNativeName(const char* bytes, qsizetype length) {
    const auto* data = reinterpret_cast<const unsigned char*>(bytes);
    // Plain ASCII, by far the most common name, needs no checks.
    qsizetype ascii = 0;
    while (ascii < length && data[ascii] < 0x80) {
        ++ascii;
    }
    if (ascii == length) {
        return QString::fromLatin1(bytes, length);
    }
    QString text;
    text.reserve(length);
    text += QLatin1StringView(bytes, ascii);
    qsizetype at = ascii;
    qsizetype runStart = at;  // the start of the valid bytes not yet converted
    auto flush = [&](qsizetype end) {
        if (end > runStart) {
            text += QString::fromUtf8(bytes + runStart, end - runStart);
        }
    };
    while (at < length) {
        const int valid = ValidSequence(data + at, length - at);
        if (valid > 0) {
            at += valid;
            continue;
        }
        flush(at);
        text += QChar(static_cast<char16_t>(kRawByteBase + data[at]));
        ++at;
        runStart = at;
    }
    flush(at);
    return text;
}

QByteArray EncodeNativeName(const QString& name) {
    const char16_t* units = reinterpret_cast<const char16_t*>(name.utf16());
    const qsizetype size = name.size();
    bool plain = true;
    for (qsizetype i = 0; i < size && plain; ++i) {
        plain = !QChar::isSurrogate(units[i]);
    }
    if (plain) {
        return name.toUtf8();
    }
    QByteArray bytes;
    bytes.reserve(size * 3);
    qsizetype runStart = 0;
    auto flush = [&](qsizetype end) {
        if (end > runStart) {
            bytes += QStringView(units + runStart, end - runStart).toUtf8();
        }
    };
    for (qsizetype i = 0; i < size; ++i) {
        const char16_t unit = units[i];
        if (QChar::isHighSurrogate(unit) && i + 1 < size && QChar::isLowSurrogate(units[i + 1])) {
            ++i;  // a proper pair: part of the valid run
            continue;
        }
        if (!QChar::isSurrogate(unit)) {
            continue;
        }
        flush(i);
        if (IsRawByteUnit(unit)) {
            bytes += static_cast<char>(unit - kRawByteBase);
        } else {
            bytes += QStringView(&kReplacement, 1).toUtf8();
        }
        runStart = i + 1;
    }
    flush(size);
    return bytes;
}

bool HasRawBytes(const QString& name) {
    const char16_t* units = reinterpret_cast<const char16_t*>(name.utf16());
    for (qsizetype i = 0; i < name.size(); ++i) {
        if (IsRawByteUnit(units[i]) && (i == 0 || !QChar::isHighSurrogate(units[i - 1]))) {
            return true;
        }
    }
    return false;
}

QString PrintableName(const QString& name) {
    static const char kHex[] = "0123456789ABCDEF";
    auto hexByte = [](QString& out, unsigned value) {
        out += QLatin1StringView("\\x");
        out += QChar(kHex[(value >> 4) & 0xF]);
        out += QChar(kHex[value & 0xF]);
    };
    QString out;
    out.reserve(name.size());
    const char16_t* units = reinterpret_cast<const char16_t*>(name.utf16());
    for (qsizetype i = 0; i < name.size(); ++i) {
        const char16_t unit = units[i];
        if (QChar::isHighSurrogate(unit) && i + 1 < name.size() &&
            QChar::isLowSurrogate(units[i + 1])) {
            out += QChar(unit);
            out += QChar(units[++i]);
        } else if (IsRawByteUnit(unit)) {
            hexByte(out, unit - kRawByteBase);
        } else if (QChar::isSurrogate(unit)) {
            out += QChar(kReplacement);
        } else if (unit == '\n') {
            out += QLatin1StringView("\\n");
        } else if (unit == '\r') {
            out += QLatin1StringView("\\r");
        } else if (unit == '\t') {
            out += QLatin1StringView("\\t");
        } else if (unit < 0x20 || unit == 0x7F) {
            hexByte(out, unit);
        } else {
            out += QChar(unit);
        }
    }
    return out;
}
