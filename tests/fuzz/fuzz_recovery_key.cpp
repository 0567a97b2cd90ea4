// Fuzz target: the recovery key text reader. Whatever the input, the reader either gives a
// key of 64 upper-case hexadecimal digits, which written again reads back to itself, or an
// error in the system's words. The input's first 32 bytes also serve as a key: its text,
// with one character of the input put over one of its digits, must read back to the same
// key or be refused (a changed group is always caught).
#include "fuzz_target.h"

#include "base/errors.h"
#include "tools/pwdmaker/recovery_key.h"

#include <QByteArray>
#include <QString>

namespace {

bool IsKey(const QByteArray& key) {
    if (key.size() != 64) {
        return false;
    }
    for (const char c : key) {
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray input(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    QString error;
    const std::optional<QByteArray> key = ParseRecoveryText(input, error);
    if (key) {
        FUZZ_CHECK(IsKey(*key));
        QString again;
        FUZZ_CHECK(ParseRecoveryText(FormatRecoveryText(*key), again) == key);
    } else {
        FUZZ_CHECK(error.startsWith(QStringLiteral("The recovery key is damaged")));
    }

    if (size < 32) {
        return 0;
    }
    const QByteArray own = input.left(32).toHex().toUpper();
    QByteArray text = FormatRecoveryText(own);
    QString ownError;
    FUZZ_CHECK(ParseRecoveryText(text, ownError) == own);
    if (size < 34) {
        return 0;
    }
    // One character changed inside a key line (after the title line).
    const qsizetype title = text.indexOf('\n') + 1;
    const qsizetype at = title + static_cast<qsizetype>(data[32]) % (text.size() - title);
    const char replacement = static_cast<char>(data[33]);
    if (text[at] == '\n' || text[at] == ' ') {
        return 0;
    }
    const char before = text[at];
    text[at] = replacement;
    const std::optional<QByteArray> changed = ParseRecoveryText(text, ownError);
    // Only a change of case keeps the key.
    const bool sameDigit = QByteArray(1, before).toUpper() == QByteArray(1, replacement).toUpper();
    if (changed) {
        FUZZ_CHECK(sameDigit || replacement == '-' || replacement == ' ' || replacement == '\t');
        FUZZ_CHECK(!sameDigit || *changed == own);
    }
    return 0;
}
