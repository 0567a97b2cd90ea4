#include "tools/pwdmaker/pwd_maker.h"

#include "base/bar_list.h"
#include "base/digests.h"
#include "base/host.h"
#include "base/utilities.h"
#include "script/script_runner.h"

#include <QString>

#include <algorithm>
#include <cmath>

const std::array<const char*, 5> kPwdVowels = {"a", "e", "i", "o", "u"};

const std::array<const char*, 77> kPwdOnsets = {
    "b",  "c",  "d",  "f",  "g",  "h",  "j",  "k",  "l",  "m",  "n",  "p",  "q",  "r",  "s",  "t",
    "v",  "w",  "x",  "y",  "z",  "bl", "br", "by", "ch", "cl", "cr", "cy", "dh", "dr", "dy", "fl",
    "fr", "fy", "gh", "gl", "gr", "gy", "kl", "kr", "ky", "lh", "ly", "mc", "mh", "my", "nh", "ph",
    "pl", "pr", "ps", "py", "rh", "ry", "sh", "sk", "sl", "sm", "sn", "st", "sv", "sw", "sy", "th",
    "tr", "tw", "ty", "vh", "vy", "wh", "wr", "wy", "xy", "zh", "zl", "zr", "zy",
};

const std::array<const char*, 73> kPwdCodas = {
    "bs", "by", "ch", "ck", "ct", "cy", "dh", "ds", "dy", "fs", "ft", "fy", "gs", "gy", "hy",
    "jy", "kh", "ky", "ly", "mb", "mp", "ms", "mt", "my", "ny", "ph", "ps", "pt", "py", "rb",
    "rd", "rf", "rk", "rm", "rp", "rs", "rt", "ry", "sh", "sk", "sm", "sp", "st", "sy", "th",
    "ty", "vy", "wy", "zh", "zk", "zm", "zy", "bb", "cc", "dd", "ff", "gg", "hh", "jj", "kk",
    "ll", "mm", "nn", "pp", "qq", "rr", "ss", "tt", "vv", "ww", "xx", "yy", "zz",
};

const std::array<TPwdBox, kPasswordBoxes> kPwdBoxes = {{
    {kInputKey, kInputMaster, kInputMnemonic, kFormatPattern},
    {kInputKey, kInputMnemonic, kInputMaster, kFormatPattern},
    {kInputMaster, kInputKey, kInputMnemonic, kFormatPattern},
    {kInputMaster, kInputMnemonic, kInputKey, kFormatSyllable},
    {kInputMnemonic, kInputKey, kInputMaster, kFormatSyllable},
    {kInputMnemonic, kInputMaster, kInputKey, kFormatSyllable},
}};

const std::array<const char*, kClearAfterItems> kClearAfterNames = {
    "Never Clear", "10 Seconds", "30 Seconds", "One Minute", "Two Minutes", "Five Minutes",
};

namespace {

constexpr int kDigestBytes = 32;
constexpr int kVowelChoices = 4;
constexpr int kOnsetChoices = 76;
constexpr int kCodaChoices = 72;
constexpr int kSettingsFields = 4;

// Byte i of the digest as 0-255; the formatters keep every index inside 0-31.
class TDigestBytes {
public:
    explicit TDigestBytes(const QByteArray& digest) : m_digest(digest) {
        Q_ASSERT(digest.size() == kDigestBytes);
    }
    int operator[](int index) const {
        return static_cast<uchar>(m_digest.at(index % kDigestBytes));
    }

private:
    const QByteArray& m_digest;
};

// Onset, vowel and coda, each picked through the digest from position p within n bytes.
QByteArray ConsonantVowelCoda(const TDigestBytes& d, int p, int n) {
    const int k1 = d[p] % n;
    const char* onset = kPwdOnsets[d[k1] % kOnsetChoices];
    const int k2 = d[k1] % n;
    const char* vowel = kPwdVowels[d[k2] % kVowelChoices];
    const int k3 = d[k2] % n;
    const char* coda = kPwdCodas[d[k3] % kCodaChoices];
    return QByteArray(onset) + vowel + coda;
}

// Vowel, a middle onset (or coda), vowel.
QByteArray VowelMiddleVowel(const TDigestBytes& d, int p, int n) {
    const int k1 = d[p] % n;
    const char* first = kPwdVowels[d[k1] % kVowelChoices];
    const int k2 = d[k1] % n;
    const char* middle =
        d[k1] % 31 != 0 ? kPwdOnsets[d[k2] % kOnsetChoices] : kPwdCodas[d[k2] % kCodaChoices];
    const int k3 = d[k2] % n;
    const char* last = kPwdVowels[d[k3] % kVowelChoices];
    return QByteArray(first) + middle + last;
}

const QByteArray& Input(TPwdInput input, const QByteArray& master, const QByteArray& mnemonic,
                        const QByteArray& installKey) {
    switch (input) {
        case kInputMaster:
            return master;
        case kInputMnemonic:
            return mnemonic;
        case kInputKey:
            break;
    }
    return installKey;
}

}  // namespace

QByteArray PatternPassword(const QByteArray& digest) {
    const TDigestBytes d(digest);
    int a = d[0] % 31;
    int b = d[31] % 31;
    QByteArray password;
    for (int pair = 0; pair < 4; ++pair) {
        a = d[a] % 32;
        password += kPwdOnsets[d[a] % kOnsetChoices][0];
        b = d[b] % 17;
        password += kPwdVowels[d[b] % kVowelChoices];
    }
    return password + QByteArray::number(a ^ b, 16).toUpper().rightJustified(2, '0');
}

QByteArray SyllablePassword(const QByteArray& digest) {
    const TDigestBytes d(digest);
    const int c = d[0];
    QByteArray password = c % 43 != 0 ? ConsonantVowelCoda(d, 1, 16) : VowelMiddleVowel(d, 1, 16);
    password += QByteArray::number(d[16] % 99);
    password += c % 37 != 0 ? ConsonantVowelCoda(d, 17, 32) : VowelMiddleVowel(d, 17, 32);
    return password;
}

QByteArray BoxPassword(const TPwdBox& box, const QByteArray& master, const QByteArray& mnemonic,
                       const QByteArray& installKey) {
    const QByteArray joined = Input(box.first, master, mnemonic, installKey) + '|' +
                              Input(box.second, master, mnemonic, installKey) + '|' +
                              Input(box.third, master, mnemonic, installKey);
    const QByteArray digest = TextSha256(joined);
    return box.format == kFormatPattern ? PatternPassword(digest) : SyllablePassword(digest);
}

TPasswords DerivePasswords(const QByteArray& master, const QByteArray& mnemonic,
                           const QByteArray& installKey) {
    TPasswords passwords;
    for (int box = 0; box < kPasswordBoxes; ++box) {
        passwords[box] = BoxPassword(kPwdBoxes[box], master, mnemonic, installKey);
    }
    return passwords;
}

std::optional<TPasswords> GeneratePasswords(THost& host, TScriptRunner& scripts,
                                            const QByteArray& master, const QByteArray& mnemonic,
                                            const QByteArray& installKey) {
    if (mnemonic.isEmpty()) {
        host.ShowStatus(QStringLiteral("First enter a site mnemonic!"), false, kStatusError);
        return std::nullopt;
    }
    if (installKey.isEmpty()) {
        host.ShowStatus(QStringLiteral("Installation key not available"), false, kStatusError);
        return std::nullopt;
    }
    QByteArray checked = master;
    QByteArray error;
    scripts.RunScript("pwdchk", "pwd", checked, error);
    host.FailWith(error);
    return DerivePasswords(checked, mnemonic, installKey);
}

quint32 ClearAfterLimit(int index) {
    if (index < 0 || index >= kClearAfterItems) {
        index = kDefaultClearAfter;
    }
    const quint32 period = kClearAfterSeconds[index];
    return period == 0 ? kNeverClear : period;
}

TIdleClock::TIdleClock(int checkIntervalMs)
    : m_secondsPerTick(std::max(1, static_cast<int>(std::lround(checkIntervalMs / 1000.0)))) {}

bool TIdleClock::Tick() {
    m_idle += static_cast<quint64>(m_secondsPerTick);
    if (m_limit > m_idle) {
        return false;
    }
    m_idle = 0;
    return true;
}

QByteArray FormatPwdGenSettings(const TPwdGenSettings& settings) {
    const QByteArray master = settings.remember ? settings.master : QByteArray();
    return master + '|' + QByteArray::number(settings.clearAfter) + '|' +
           (settings.remember ? "1" : "0") + '|' + (settings.mask ? "1" : "0") + '|';
}

TPwdGenSettings ParsePwdGenSettings(const QByteArray& text) {
    TPwdGenSettings settings;
    const TBarList fields(text);
    if (fields.Count() != kSettingsFields) {
        return settings;
    }
    const int index = BoundIndex(fields.Int(1, kDefaultClearAfter), kClearAfterItems - 1);
    settings.clearAfter = index < 0 ? kDefaultClearAfter : index;
    settings.remember = fields.Flag(2);
    settings.mask = fields.Flag(2) || fields.Flag(3);
    settings.master = fields[0];
    return settings;
}
