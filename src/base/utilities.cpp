#include "base/utilities.h"

#include "base/day_number.h"
#include "base/errors.h"

#include <QDate>
#include <QLocale>
#include <QRegularExpression>
#include <QTime>

QString WithTrailingSlash(QString path) {
    if (!path.isEmpty() && !path.endsWith('/')) {
        path += '/';
    }
    return path;
}

void IncludeTrailingBackslash(QString& path) {
    if (!path.endsWith('/')) {
        path += '/';
    }
}

QString FormatThousands(const QString& prefix, quint64 value, const QString& suffix) {
    const QString digits = QString::number(value);
    const QString separator = QLocale().groupSeparator();
    QString number;
    number.reserve(digits.size() + digits.size() / 3 * separator.size());
    for (qsizetype i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) {
            number += separator;
        }
        number += digits[i];
    }
    return prefix + number + suffix;
}

void RejectSequence(const QString& sequence, const QString& text) {
    if (!sequence.isEmpty() && text.contains(sequence)) {
        RaiseError(QStringLiteral("Illegal character sequence %1").arg(sequence));
    }
}

void ParseStamp(const QString& text, double& date, double& time) {
    QString list = text;
    list.replace('/', ',').replace(':', ',');
    // Commas separate items (an empty item between two commas counts); blanks inside an
    // item separate it further.
    QStringList items;
    static const QRegularExpression blanks(QStringLiteral("\\s+"));
    for (const QString& piece : list.split(',')) {
        const QStringList words = piece.split(blanks, Qt::SkipEmptyParts);
        if (words.isEmpty()) {
            items.append(QString());
        } else {
            items.append(words);
        }
    }
    if (items.size() < 6) {
        RaiseError(QStringLiteral("List index out of bounds (%1)").arg(items.size()));
    }
    auto number = [&items](int index, int fallback) {
        bool ok = false;
        const int value = items[index].toInt(&ok);
        return ok ? value : fallback;
    };
    const QDate day(number(0, 2000), number(1, 1), number(2, 1));
    if (!day.isValid()) {
        RaiseError(QStringLiteral("Invalid argument to date encode"));
    }
    const QTime clock(number(3, 0), number(4, 0), number(5, 0));
    if (!clock.isValid()) {
        RaiseError(QStringLiteral("Invalid argument to time encode"));
    }
    date = DayNumberFromDate(day);
    time = DayFractionFromTime(clock);
}

QString RemoveAll(QString text, const QString& sub) {
    if (sub.isEmpty()) {
        return text;
    }
    for (qsizetype at = text.indexOf(sub); at >= 0; at = text.indexOf(sub)) {
        text.remove(at, sub.size());
    }
    return text;
}

QString ReplaceAll(QString text, const QString& sub, const QString& replacement) {
    if (sub.isEmpty()) {
        return text;
    }
    if (replacement.contains(sub)) {
        return text.replace(sub, replacement);
    }
    for (qsizetype at = text.indexOf(sub); at >= 0; at = text.indexOf(sub)) {
        text.replace(at, sub.size(), replacement);
    }
    return text;
}

int BoundIndex(int value, int maximum) {
    return value <= maximum ? value : 0;
}

QByteArray BytesToHex(const QByteArray& bytes) {
    return bytes.toHex().toUpper();
}
