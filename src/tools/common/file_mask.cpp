#include "tools/common/file_mask.h"

namespace {

bool SameLetter(QChar a, QChar b) {
    return a == b || a.toCaseFolded() == b.toCaseFolded();
}

// "*" and "?" against the whole name, backtracking to the last "*" on a mismatch.
bool WildcardMatches(const QString& name, const QString& mask) {
    qsizetype n = 0;
    qsizetype m = 0;
    qsizetype starMask = -1;
    qsizetype starName = 0;
    while (n < name.size()) {
        if (m < mask.size() && mask[m] == '*') {
            starMask = m++;
            starName = n;
        } else if (m < mask.size() && (mask[m] == '?' || SameLetter(mask[m], name[n]))) {
            ++m;
            ++n;
        } else if (starMask >= 0) {
            m = starMask + 1;
            n = ++starName;
        } else {
            return false;
        }
    }
    while (m < mask.size() && mask[m] == '*') {
        ++m;
    }
    return m == mask.size();
}

}  // namespace

bool FileMaskMatches(const QString& name, const QString& mask) {
    if (mask.endsWith(QLatin1String(".*")) && WildcardMatches(name, mask.chopped(2))) {
        return true;
    }
    if (mask.endsWith('.') && !mask.endsWith(QLatin1String(".."))) {
        return !name.contains('.') && WildcardMatches(name, mask.chopped(1));
    }
    return WildcardMatches(name, mask);
}
