#include "tools/checksummer/digest_check.h"

#include "tools/common/sum_list.h"

#include <algorithm>

namespace {

constexpr std::array<const char*, kDigestCount> kTags = {"CRC32", "MD5", "SHA1", "SHA256",
                                                         "QUIVASH"};
constexpr std::array<qsizetype, kDigestCount> kDigits = {8, 32, 40, 64, 64};

bool IsHexText(const QByteArray& text) {
    return std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
    });
}

// The digests with hex texts of this length; none for another length.
TDigestSet DigestsOfLength(qsizetype digits) {
    TDigestSet set = 0;
    for (int kind = 0; kind < kDigestCount; ++kind) {
        if (kDigits[kind] == digits) {
            set |= DigestBit(static_cast<TDigestKind>(kind));
        }
    }
    return set;
}

}  // namespace

TVerifyTarget ParseVerifyText(const QString& text) {
    TVerifyTarget target;
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty()) {
        return target;
    }
    const QByteArray bytes = trimmed.toUtf8();
    if (!IsHexText(bytes)) {
        target.problem = QString::fromUtf8(kVerifyNotHexMessage);
        return target;
    }
    target.digests = DigestsOfLength(bytes.size());
    if (target.digests == 0) {
        target.problem = QString::fromUtf8(kVerifyLengthMessage).arg(bytes.size());
        return target;
    }
    target.hex = bytes.toUpper();
    return target;
}

TVerifyOutcome VerifyDigests(const TVerifyTarget& target,
                             const std::array<QByteArray, kDigestCount>& results) {
    TVerifyOutcome outcome;
    if (!target.problem.isEmpty()) {
        outcome.text = target.problem;
        return outcome;
    }
    QStringList differing;
    for (int kind = 0; kind < kDigestCount; ++kind) {
        const auto digest = static_cast<TDigestKind>(kind);
        if ((target.digests & DigestBit(digest)) == 0) {
            continue;
        }
        if (results[kind].toUpper() == target.hex) {
            outcome.matched |= DigestBit(digest);
            if (outcome.text.isEmpty()) {
                outcome.text = QString::fromUtf8(kVerifyMatchText).arg(DigestLabel(digest));
            }
        } else {
            outcome.mismatched |= DigestBit(digest);
            differing << DigestLabel(digest);
        }
    }
    if (outcome.matched != 0) {
        // A 64-digit hash is either digest's; the one that matched is the answer.
        outcome.mismatched = 0;
    } else if (differing.size() == 1) {
        outcome.text = QString::fromUtf8(kVerifyMismatchMessage).arg(differing[0]);
    } else if (differing.size() == 2) {
        outcome.text =
            QString::fromUtf8(kVerifyMismatchEitherMessage).arg(differing[0], differing[1]);
    }
    return outcome;
}

QByteArray DigestTag(TDigestKind kind) {
    return QByteArray(kTags.at(kind));
}

qsizetype DigestDigits(TDigestKind kind) {
    return kDigits.at(kind);
}

TDigestList ReadDigestList(const QByteArray& text, std::optional<TDigestKind> untagged) {
    QList<QByteArray> tags;
    for (const char* tag : kTags) {
        tags.append(QByteArray(tag));
    }
    TSumListReader reader(tags);
    TDigestList list;
    QList<QByteArray> lines = text.split('\n');
    if (text.endsWith('\n')) {
        lines.removeLast();
    }
    for (const QByteArray& content : lines) {
        TSumLine line;
        const TSumListReader::TResult result = reader.Read(content, line);
        if (result == TSumListReader::kSkipped) {
            continue;
        }
        std::optional<TDigestKind> kind;
        if (result == TSumListReader::kRead) {
            if (!line.tag.isEmpty()) {
                kind = static_cast<TDigestKind>(std::find(kTags.begin(), kTags.end(), line.tag) -
                                                kTags.begin());
            } else if (untagged) {
                kind = untagged;
            } else {
                // By length; 64 digits without a tag are SHA-256, as sha256sum writes them.
                for (const TDigestKind candidate :
                     {kDigestCrc32, kDigestMd5, kDigestSha1, kDigestSha256}) {
                    if (kDigits[candidate] == line.hex.size()) {
                        kind = candidate;
                    }
                }
            }
        }
        if (!kind || line.hex.size() != kDigits[*kind]) {
            ++list.malformed;
            continue;
        }
        list.entries.append({*kind, line.hex.toUpper(), line.name});
    }
    return list;
}
