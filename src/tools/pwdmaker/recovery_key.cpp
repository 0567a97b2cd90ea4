#include "tools/pwdmaker/recovery_key.h"

#include "base/errors.h"

#include <QList>

#include <algorithm>

namespace {

constexpr int kLineDigits = kRecoveryGroupsPerLine * kRecoveryGroupDigits;  // 16
constexpr int kKeyDigits = kRecoveryLines * kLineDigits;                    // 64
constexpr int kLineCharacters = kLineDigits + kRecoveryGroupDigits;         // 20

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// CRC-16/CCITT: polynomial 0x1021, initial value 0xFFFF, no reflection.
quint16 Crc16(const QByteArray& bytes) {
    quint16 crc = 0xFFFF;
    for (const char byte : bytes) {
        crc ^= static_cast<quint16>(static_cast<uchar>(byte) << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000) != 0 ? static_cast<quint16>((crc << 1) ^ 0x1021)
                                      : static_cast<quint16>(crc << 1);
        }
    }
    return crc;
}

bool IsHexCharacter(QChar c) {
    return c.unicode() < 128 && IsHexDigit(static_cast<char>(c.unicode()));
}

// The line's characters without blanks and "-".
QString Compact(const QByteArray& line) {
    QString compact;
    for (const QChar c : QString::fromUtf8(line)) {
        if (c != ' ' && c != '\t' && c != '-' && c != '\r') {
            compact += c;
        }
    }
    return compact;
}

}  // namespace

QByteArray RecoveryCheckGroup(int line, const QByteArray& bytes) {
    const quint16 crc = Crc16(QByteArray(1, static_cast<char>(line)) + bytes);
    return QByteArray::number(crc, 16).toUpper().rightJustified(kRecoveryGroupDigits, '0');
}

QByteArray FormatRecoveryText(const QByteArray& installKey) {
    if (installKey.size() != kKeyDigits ||
        !std::all_of(installKey.begin(), installKey.end(), IsHexDigit)) {
        RaiseError(QString::fromUtf8(kRecoveryKeyShapeMessage));
    }
    const QByteArray key = installKey.toUpper();
    QByteArray text = QByteArray(kRecoveryTitle) + '\n';
    for (int line = 0; line < kRecoveryLines; ++line) {
        const QByteArray digits = key.mid(line * kLineDigits, kLineDigits);
        for (int group = 0; group < kRecoveryGroupsPerLine; ++group) {
            text += digits.mid(group * kRecoveryGroupDigits, kRecoveryGroupDigits);
            text += ' ';
        }
        text += ' ';
        text += RecoveryCheckGroup(line + 1, QByteArray::fromHex(digits));
        text += '\n';
    }
    return text;
}

std::optional<QByteArray> ParseRecoveryText(const QByteArray& text, QString& error) {
    QList<QString> lines;
    for (const QByteArray& line : text.split('\n')) {
        const QString compact = Compact(line);
        if (compact.size() == kLineCharacters) {
            lines.append(compact);
        }
    }
    if (lines.size() != kRecoveryLines) {
        error = QString::fromUtf8(kRecoveryLinesMessage).arg(lines.size());
        return std::nullopt;
    }
    QByteArray key;
    for (int line = 0; line < kRecoveryLines; ++line) {
        const QString& digits = lines[line];
        const auto bad = std::find_if_not(digits.begin(), digits.end(), IsHexCharacter);
        if (bad != digits.end()) {
            error = QString::fromUtf8(kRecoveryNotHexMessage).arg(line + 1).arg(*bad);
            return std::nullopt;
        }
        const QByteArray keyPart = digits.left(kLineDigits).toLatin1().toUpper();
        if (RecoveryCheckGroup(line + 1, QByteArray::fromHex(keyPart)) !=
            digits.mid(kLineDigits).toLatin1().toUpper()) {
            error = QString::fromUtf8(kRecoveryCheckMessage).arg(line + 1);
            return std::nullopt;
        }
        key += keyPart;
    }
    return key;
}
