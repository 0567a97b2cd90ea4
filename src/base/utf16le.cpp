#include "base/utf16le.h"

void AppendUtf16Le(QByteArray& bytes, QStringView text) {
    const qsizetype start = bytes.size();
    bytes.resize(start + 2 * text.size());
    char* out = bytes.data() + start;
    for (const QChar c : text) {
        const char16_t unit = c.unicode();
        *out++ = static_cast<char>(unit & 0xFF);
        *out++ = static_cast<char>(unit >> 8);
    }
}

QByteArray ToUtf16Le(QStringView text) {
    QByteArray bytes;
    AppendUtf16Le(bytes, text);
    return bytes;
}

QString ReadUtf16Le(const QByteArray& bytes, qsizetype& at, qsizetype units) {
    QString text(units, Qt::Uninitialized);
    QChar* out = text.data();
    for (qsizetype i = 0; i < units; ++i, at += 2) {
        out[i] = QChar(static_cast<char16_t>(static_cast<quint8>(bytes[at]) |
                                             (static_cast<quint8>(bytes[at + 1]) << 8)));
    }
    return text;
}

QString FromUtf16Le(const QByteArray& bytes) {
    qsizetype at = 0;
    return ReadUtf16Le(bytes, at, bytes.size() / 2);
}
