// Checking digests against expected ones: the hash a user pastes into the Checksummer's
// Verify field, and checksum lists in GNU's formats (quiva checksum --check and --tag).
#pragma once

#include "base/digests.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <array>
#include <optional>

// ---- the Verify field --------------------------------------------------------------------
// What the Verify text asks for: the upper-case hex digits and the digests of that length
// (8 CRC32, 32 MD5, 40 SHA1, 64 SHA256 or Quivash). An empty text asks for nothing; a text
// that fits no digest has `problem` set and no digests.
struct TVerifyTarget {
    QByteArray hex;
    TDigestSet digests = 0;
    QString problem;
};

// Reads the Verify text: surrounding blanks and the case of the letters do not count.
// Problems: kVerifyNotHexMessage, kVerifyLengthMessage. Any thread.
TVerifyTarget ParseVerifyText(const QString& text);

inline constexpr const char* kVerifyNotHexMessage =
    "No match possible: the Verify text is not hexadecimal";
// The number of digits.
inline constexpr const char* kVerifyLengthMessage =
    "No match possible: %1 hexadecimal digits fit no hash (8, 32, 40 or 64)";
// The digest's label ("SHA256").
inline constexpr const char* kVerifyMatchText = "Verified: the file's %1 matches";
inline constexpr const char* kVerifyMismatchMessage = "Mismatch: the file's %1 does not match";
// Both labels, for a 64-digit hash.
inline constexpr const char* kVerifyMismatchEitherMessage =
    "Mismatch: neither the file's %1 nor its %2 matches";

// The outcome of comparing the computed digests with the target.
struct TVerifyOutcome {
    TDigestSet matched = 0;     // digests equal to the target (at most one in practice)
    TDigestSet mismatched = 0;  // digests of the target's length that differ
    QString text;               // the status text: a match, a mismatch or the problem
};

// Compares the results (upper-case hex by digest, as the Checksummer's rows hold them) with
// the target. A match of any of the target's digests is a match. Any thread.
TVerifyOutcome VerifyDigests(const TVerifyTarget& target,
                             const std::array<QByteArray, kDigestCount>& results);

// ---- checksum lists -------------------------------------------------------------------
// The tag of a digest in tagged lines ("SHA256 (NAME) = HEX"): "CRC32", "MD5", "SHA1",
// "SHA256", "QUIVASH".
QByteArray DigestTag(TDigestKind kind);

// The number of hex digits of a digest: 8, 32, 40, 64, 64.
qsizetype DigestDigits(TDigestKind kind);

// One line of a checksum list, read.
struct TListedDigest {
    TDigestKind kind = kDigestSha256;
    QByteArray hex;   // upper case
    QByteArray name;  // the file name's bytes
};

// A checksum list read whole.
struct TDigestList {
    QList<TListedDigest> entries;  // in the list's order
    int malformed = 0;             // lines that are not checksum lines
};

// Reads a checksum list as sha256sum -c and its kin read theirs (see TSumListReader): a
// tagged line holds the digest its tag names; an untagged line holds `untagged` when given,
// otherwise the digest its length gives (8 CRC32, 32 MD5, 40 SHA1, 64 SHA256). A line whose
// hex has another length counts as malformed. Any thread.
TDigestList ReadDigestList(const QByteArray& text, std::optional<TDigestKind> untagged);
