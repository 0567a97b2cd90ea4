// The Pwd Maker's engine: six site passwords derived from a master password, a site
// mnemonic and the installation key, with the idle clock and the stored settings.
#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <array>
#include <optional>

class THost;
class TScriptRunner;

// ---- character tables (lower case) ---------------------------------------------------
// Indexed 0-3; the fifth entry is never chosen, so no password contains "u".
extern const std::array<const char*, 5> kPwdVowels;
// Indexed by a value mod 76; the last entry is never chosen.
extern const std::array<const char*, 77> kPwdOnsets;
// Indexed by a value mod 72; the last entry is never chosen.
extern const std::array<const char*, 73> kPwdCodas;

// ---- the six boxes -------------------------------------------------------------------
constexpr int kPasswordBoxes = 6;
using TPasswords = std::array<QByteArray, kPasswordBoxes>;

enum TPwdInput : int { kInputKey, kInputMaster, kInputMnemonic };
enum TPwdFormat : int { kFormatPattern, kFormatSyllable };

// The order in which a box joins the three inputs, and its formatter.
struct TPwdBox {
    TPwdInput first;
    TPwdInput second;
    TPwdInput third;
    TPwdFormat format;
};

// Boxes in order: edtOne, edtTwo, edtThree (pattern), edtFour, edtFive, edtSix (syllable).
extern const std::array<TPwdBox, kPasswordBoxes> kPwdBoxes;

// ---- derivation ------------------------------------------------------------------------
// The pattern formatter: from a 32-byte digest, eight letters alternating consonant and
// vowel, then two upper-case hex digits 00-1F. Ten characters.
QByteArray PatternPassword(const QByteArray& digest);

// The syllable formatter: from a 32-byte digest, a syllable, a number of one or two digits
// (0-98) and a syllable.
QByteArray SyllablePassword(const QByteArray& digest);

// The password of one box: the inputs joined "%s|%s|%s" in the box's order, digested with
// TextSha256, formatted with the box's formatter. Thread safety: any thread.
QByteArray BoxPassword(const TPwdBox& box, const QByteArray& master, const QByteArray& mnemonic,
                       const QByteArray& installKey);

// The six passwords in box order, with no checks. Thread safety: any thread.
TPasswords DerivePasswords(const QByteArray& master, const QByteArray& mnemonic,
                           const QByteArray& installKey);

// Generate: an empty mnemonic shows "First enter a site mnemonic!" and an empty key
// "Installation key not available" (both errors, timed) and gives none. Otherwise the
// script "pwdchk" vets the master password (variable "pwd"); a refusal is shown and
// raised as EQuiva through FailWith and nothing is derived. Returns the six passwords
// from the master password as the script left it. Main thread (runs a script).
std::optional<TPasswords> GeneratePasswords(THost& host, TScriptRunner& scripts,
                                            const QByteArray& master, const QByteArray& mnemonic,
                                            const QByteArray& installKey);

// ---- clearing after idle time ---------------------------------------------------------
constexpr int kClearAfterItems = 6;
// The items of cbClearAfter: "Never Clear", "10 Seconds", "30 Seconds", "One Minute",
// "Two Minutes", "Five Minutes".
extern const std::array<const char*, kClearAfterItems> kClearAfterNames;
// Their periods in seconds; 0 means never.
constexpr std::array<quint32, kClearAfterItems> kClearAfterSeconds = {0, 10, 30, 60, 120, 300};
constexpr int kDefaultClearAfter = 4;  // "Two Minutes"
constexpr quint32 kNeverClear = 4294967295u;

// The clear-after limit of an item: its period, kNeverClear for "Never Clear"; an index
// outside the list counts as the default item.
quint32 ClearAfterLimit(int index);

// Counts idle time in check-timer ticks and says when the sensitive fields are due to be
// cleared. Thread safety: one thread.
class TIdleClock {
public:
    // `checkIntervalMs`: the main window's check-timer interval; one tick counts it in whole
    // seconds, rounded (2 for 2000 ms), and at least 1 so that clearing always happens.
    explicit TIdleClock(int checkIntervalMs);

    void SetClearAfter(int index) { m_limit = ClearAfterLimit(index); }
    // Any user activity: the idle count starts again.
    void Restart() { m_idle = 0; }

    // One check tick. True when the fields are to be cleared now (the master password only
    // when it is not stored); the idle count then starts again.
    [[nodiscard]] bool Tick();

    int SecondsPerTick() const { return m_secondsPerTick; }
    quint32 Limit() const { return m_limit; }
    quint64 IdleSeconds() const { return m_idle; }

private:
    int m_secondsPerTick;
    quint32 m_limit = ClearAfterLimit(kDefaultClearAfter);
    quint64 m_idle = 0;
};

// ---- stored settings ("PwdGen") ----------------------------------------------------------
// Four fields, each followed by "|": 0 the master password when it is stored (else empty),
// 1 the cbClearAfter index, 2 "Store Master Password" "1"/"0", 3 "Mask Master Password"
// "1"/"0". The defaults are the Reset state.
struct TPwdGenSettings {
    QByteArray master;
    int clearAfter = kDefaultClearAfter;
    bool remember = false;
    bool mask = true;
};

// The text SaveSettings stores before scrambling ("%s|%d|%d|%d|").
QByteArray FormatPwdGenSettings(const TPwdGenSettings& settings);

// The settings a stored (unscrambled) text gives. With exactly four fields: the index
// (default when not a number or negative, "Never Clear" when beyond the list), remember
// when field 2 is "1", mask when field 2 or field 3 is "1" (a stored master password is
// always loaded masked), and field 0 as the master password. Any other field count — a
// stored master password holding "|" makes more — gives the defaults.
TPwdGenSettings ParsePwdGenSettings(const QByteArray& text);
