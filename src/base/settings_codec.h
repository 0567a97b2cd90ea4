// The settings text codec that scrambles every stored settings text behind a 64-bit
// digest, and the kit's small hashes (64-bit digest, FNV-1, chunked stream digest).
#pragma once

#include <QByteArray>
#include <QString>

class QIODevice;

// Scrambles a text for storage: digest, padding, the text's hex digits through one of
// 23 substitution alphabets picked at random, marker, padding. An input of n bytes
// gives 29 + 2n characters. Thread safety: any thread.
QByteArray EncodeSettings(const QByteArray& text);

// Checks and unscrambles a text made by EncodeSettings. Returns the empty text when the
// text is too short, its digest does not match, or it is otherwise damaged; never raises.
QByteArray DecodeSettings(const QByteArray& encoded);

// The kit's 64-bit digest: a shift-and-fold hash started at 0x811C9DC5 and FNV-1 with a
// zero basis, side by side, as 16 upper-case hex digits.
QByteArray Digest64(const QByteArray& text);

// Digest64 of each 64 KiB chunk of the device read from its start, concatenated. The
// device's position is put back afterwards, also when a read fails. Empty for an empty
// device.
QByteArray StreamDigest64(QIODevice& device);

// 32-bit FNV-1 (basis 0x811C9DC5, prime 0x01000193).
quint32 Hash32(const char* bytes, qsizetype length);
inline quint32 Hash32(const QByteArray& bytes) {
    return Hash32(bytes.constData(), bytes.size());
}

// Hash32 of the text's UTF-8 form.
quint32 PathHash32(const QString& text);
