// Texts as UTF-16LE bytes, the form of the backup log and of the texts in profile blobs:
// two bytes per UTF-16 unit, low byte first, no byte-order mark. Every unit is kept as it
// is (a lone surrogate included), so a text comes back exactly.
#pragma once

#include <QByteArray>
#include <QString>

// Appends the text's units to `bytes`. Any thread.
void AppendUtf16Le(QByteArray& bytes, QStringView text);
// The text's units as bytes. Any thread.
QByteArray ToUtf16Le(QStringView text);
// `units` units read from `bytes` at `at` (the caller checks that they are there); `at`
// moves past them. Any thread.
QString ReadUtf16Le(const QByteArray& bytes, qsizetype& at, qsizetype units);
// The whole of `bytes` as units (an odd last byte is left out). Any thread.
QString FromUtf16Le(const QByteArray& bytes);
