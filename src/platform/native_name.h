// File names as the system keeps them: a Linux name is a sequence of bytes that need not
// be UTF-8. These conversions carry every byte from a directory entry into a QString and
// back to a system call unchanged, so that a file whose name is not UTF-8 can still be
// listed, read, stored, restored and replaced.
//
// The text form: valid UTF-8 decodes as usual; each byte of an invalid sequence becomes
// the lone surrogate U+DC00 + byte (U+DC80..U+DCFF). Valid UTF-8 never yields such a
// surrogate, so the mapping is one to one and the bytes come back exactly.
#pragma once

#include <QByteArray>
#include <QString>

// The text form of a name or path as the system gives it. Any thread.
QString DecodeNativeName(const QByteArray& bytes);
QString DecodeNativeName(const char* bytes, qsizetype length);
inline QString DecodeNativeName(const char* bytes) {
    return DecodeNativeName(bytes, bytes == nullptr ? 0 : qstrlen(bytes));
}

// The bytes of a name or path for a system call: the exact bytes DecodeNativeName was
// given. A lone surrogate that no decoding made (it cannot name an existing file) becomes
// U+FFFD. Any thread.
QByteArray EncodeNativeName(const QString& name);

// True when the text holds a byte that is not UTF-8 (a name that only the byte form
// holds exactly). Any thread.
bool HasRawBytes(const QString& name);

// A one-line form of a name for logs, lists and terminals: a raw byte is written as
// "\xHH", and line breaks, tabs and other control characters as "\n", "\r", "\t" or
// "\xHH"; every other character stays as it is, so that an ordinary name reads the same.
// Any thread.
QString PrintableName(const QString& name);
