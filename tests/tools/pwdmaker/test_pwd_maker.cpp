// The Pwd Maker's engine: the formatters and the derivation against an independent Python
// reading (hashlib's SHA-256 with TextSha256's word order), the stated properties, the idle
// clock, the stored settings, and Generate with the real "pwdchk" script.
#include "base/digests.h"
#include "base/errors.h"
#include "support/test_dir.h"
#include "support/test_host.h"
#include "tools/pwdmaker/pwd_maker.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <random>

namespace {

// Reads lines "D <digest hex>" (prints the pattern and syllable passwords of that digest)
// and "P <master hex> <mnemonic hex> <key hex>" ("-" for empty; prints the six passwords).
constexpr const char* kPythonReference = R"py(
import sys, hashlib
V = ['a', 'e', 'i', 'o', 'u']
O = ('b c d f g h j k l m n p q r s t v w x y z bl br by ch cl cr cy dh dr dy fl fr fy gh gl gr '
     'gy kl kr ky lh ly mc mh my nh ph pl pr ps py rh ry sh sk sl sm sn st sv sw sy th tr tw ty '
     'vh vy wh wr wy xy zh zl zr zy').split()
C = ('bs by ch ck ct cy dh ds dy fs ft fy gs gy hy jy kh ky ly mb mp ms mt my ny ph ps pt py rb '
     'rd rf rk rm rp rs rt ry sh sk sm sp st sy th ty vy wy zh zk zm zy bb cc dd ff gg hh jj kk '
     'll mm nn pp qq rr ss tt vv ww xx yy zz').split()
assert len(O) == 77 and len(C) == 73

def text_sha256(data):
    s = hashlib.sha256(data).digest()
    return b''.join(s[i:i + 4][::-1] for i in range(0, 32, 4))

def pattern(d):
    a, b, out = d[0] % 31, d[31] % 31, ''
    for _ in range(4):
        a = d[a] % 32
        out += O[d[a] % 76][0]
        b = d[b] % 17
        out += V[d[b] % 4]
    return out + '%02X' % (a ^ b)

def cvc(d, p, n):
    k1 = d[p] % n; k2 = d[k1] % n; k3 = d[k2] % n
    return O[d[k1] % 76] + V[d[k2] % 4] + C[d[k3] % 72]

def vmv(d, p, n):
    k1 = d[p] % n; k2 = d[k1] % n; k3 = d[k2] % n
    middle = O[d[k2] % 76] if d[k1] % 31 != 0 else C[d[k2] % 72]
    return V[d[k1] % 4] + middle + V[d[k3] % 4]

def syllable(d):
    c = d[0]
    first = cvc(d, 1, 16) if c % 43 != 0 else vmv(d, 1, 16)
    second = cvc(d, 17, 32) if c % 37 != 0 else vmv(d, 17, 32)
    return first + str(d[16] % 99) + second

for line in sys.stdin:
    f = line.split()
    if f[0] == 'D':
        d = bytes.fromhex(f[1])
        print(pattern(d), syllable(d))
    else:
        M, S, P = (b'' if x == '-' else bytes.fromhex(x) for x in f[1:4])
        boxes = [(P, M, S, pattern), (P, S, M, pattern), (M, P, S, pattern),
                 (M, S, P, syllable), (S, P, M, syllable), (S, M, P, syllable)]
        print(' '.join(fmt(text_sha256(a + b'|' + b + b'|' + c)) for a, b, c, fmt in boxes))
)py";

QList<QByteArray> RunPython(const QByteArray& input) {
    QProcess python;
    // Debian's own Python starts faster than a shim in front of another one.
    const QString program =
        QFile::exists("/usr/bin/python3") ? QStringLiteral("/usr/bin/python3") : "python3";
    python.start(program, {"-c", kPythonReference});
    if (!python.waitForStarted(10000)) {
        return {};
    }
    python.write(input);
    python.closeWriteChannel();
    if (!python.waitForFinished(60000) || python.exitCode() != 0) {
        ADD_FAILURE() << python.readAllStandardError().constData();
        return {};
    }
    return python.readAllStandardOutput().trimmed().split('\n');
}

QByteArray Hex(const QByteArray& bytes) {
    return bytes.isEmpty() ? "-" : bytes.toHex();
}

const QByteArray kKey = "6D1C0A43F9E29B7702A5D9C1E3F01B2C8A9E4D7F6C5B4A3928170615F4E3D2C1";

QByteArray RandomDigest(std::mt19937& generator) {
    QByteArray digest(32, Qt::Uninitialized);
    for (char& byte : digest) {
        byte = static_cast<char>(generator() & 0xFF);
    }
    return digest;
}

// ---- formatters and derivation against the Python reference ------------------------------

TEST(PwdMaker, FormattersAgreeWithAnIndependentReading) {
    std::mt19937 generator(5);
    QList<QByteArray> digests;
    for (int i = 0; i < 200; ++i) {
        digests << RandomDigest(generator);
    }
    // First bytes that take the vowel-middle-vowel syllables (0 both, 43 and 215 the first,
    // 37 and 74 the second), with the middle taken from the codas where d[k1] mod 31 is 0.
    for (const int first : {0, 43, 215, 37, 74}) {
        for (int i = 0; i < 20; ++i) {
            QByteArray digest = RandomDigest(generator);
            digest[0] = static_cast<char>(first);
            if (i % 2 == 0) {
                digest[1] = 5;
                digest[5] = 62;
                digest[17] = 9;
                digest[9] = 31;
            }
            digests << digest;
        }
    }
    QByteArray input;
    for (const QByteArray& digest : digests) {
        input += "D " + digest.toHex() + "\n";
    }
    const QList<QByteArray> lines = RunPython(input);
    ASSERT_EQ(lines.size(), digests.size());
    for (qsizetype i = 0; i < digests.size(); ++i) {
        EXPECT_EQ(PatternPassword(digests[i]) + ' ' + SyllablePassword(digests[i]), lines[i])
            << "digest " << digests[i].toHex().constData();
    }
}

TEST(PwdMaker, SixPasswordsAgreeWithAnIndependentReading) {
    struct Inputs {
        QByteArray master;
        QByteArray mnemonic;
        QByteArray key;
    };
    const Inputs cases[] = {
        {"secret123", "gmail.com", kKey},
        {"secret123", "Gmail.com", kKey},
        {"", "mail.example.org/alice", kKey},
        {"pa|ss", "site|with|bars", kKey},
        {"grüß1234", "bücher.de", kKey},
        {"secret123", "gmail.com", TextQuivash("another installation")},
    };
    QByteArray input;
    for (const Inputs& c : cases) {
        input += "P " + Hex(c.master) + ' ' + Hex(c.mnemonic) + ' ' + Hex(c.key) + "\n";
    }
    const QList<QByteArray> lines = RunPython(input);
    ASSERT_EQ(lines.size(), std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) {
        const TPasswords ours = DerivePasswords(cases[i].master, cases[i].mnemonic, cases[i].key);
        QByteArray joined;
        for (const QByteArray& password : ours) {
            joined += (joined.isEmpty() ? "" : " ") + password;
        }
        EXPECT_EQ(joined, lines[i]) << cases[i].mnemonic.constData();
    }
}

// ---- properties ----------------------------------------------------------------------------

TEST(PwdMaker, SameInputsSamePasswordsAndEachInputCounts) {
    const TPasswords base = DerivePasswords("secret123", "gmail.com", kKey);
    EXPECT_EQ(DerivePasswords("secret123", "gmail.com", kKey), base);
    const TPasswords others[] = {
        DerivePasswords("secret123", "gmail.com", TextQuivash("other key")),
        DerivePasswords("secret123", "Gmail.com", kKey),
        DerivePasswords("secret124", "gmail.com", kKey),
    };
    for (const TPasswords& other : others) {
        for (int box = 0; box < kPasswordBoxes; ++box) {
            EXPECT_NE(other[box], base[box]) << "box " << box;
        }
    }
    // The boxes hash the inputs in six different orders.
    EXPECT_EQ(QSet<QByteArray>(base.begin(), base.end()).size(), kPasswordBoxes);
}

TEST(PwdMaker, SwappingMasterAndMnemonicMovesPasswordsBetweenBoxes) {
    const TPasswords base = DerivePasswords("secret123", "gmail.com", kKey);
    const TPasswords swapped = DerivePasswords("gmail.com", "secret123", kKey);
    EXPECT_EQ(swapped[1], base[0]);  // (P, M, S) <-> (P, S, M)
    EXPECT_EQ(swapped[0], base[1]);
    EXPECT_EQ(swapped[5], base[3]);  // (M, S, P) <-> (S, M, P)
    EXPECT_EQ(swapped[3], base[5]);
    EXPECT_NE(swapped[0], base[0]);
}

TEST(PwdMaker, ShapesOfThePasswords) {
    static const QRegularExpression patternShape("^([a-z][aeio]){4}[01][0-9A-F]$");
    static const QRegularExpression syllableShape("^[a-z]{3,5}[0-9]{1,2}[a-z]{3,5}$");
    std::mt19937 generator(9);
    for (int i = 0; i < 5000; ++i) {
        const QByteArray digest = RandomDigest(generator);
        const QString pattern = QString::fromLatin1(PatternPassword(digest));
        const QString syllable = QString::fromLatin1(SyllablePassword(digest));
        ASSERT_EQ(pattern.size(), 10) << qPrintable(pattern);
        ASSERT_TRUE(patternShape.match(pattern).hasMatch()) << qPrintable(pattern);
        ASSERT_LE(pattern.right(2).toInt(nullptr, 16), 0x1F) << qPrintable(pattern);
        ASSERT_TRUE(syllableShape.match(syllable).hasMatch()) << qPrintable(syllable);
        ASSERT_FALSE(pattern.contains('u') || syllable.contains('u'));
    }
}

// ---- idle clock -------------------------------------------------------------------------------

TEST(PwdMakerIdle, TenSecondsClearsOnTheFifthTickOfTwoSeconds) {
    TIdleClock clock(2000);
    EXPECT_EQ(clock.SecondsPerTick(), 2);
    clock.SetClearAfter(1);  // "10 Seconds"
    for (int round = 0; round < 2; ++round) {
        for (int tick = 1; tick <= 4; ++tick) {
            EXPECT_FALSE(clock.Tick()) << "tick " << tick;
        }
        EXPECT_TRUE(clock.Tick());  // and the count starts again
    }
    // Activity restarts the count.
    EXPECT_FALSE(clock.Tick());
    EXPECT_FALSE(clock.Tick());
    clock.Restart();
    for (int tick = 1; tick <= 4; ++tick) {
        EXPECT_FALSE(clock.Tick());
    }
    EXPECT_TRUE(clock.Tick());
}

TEST(PwdMakerIdle, LimitsAndTicks) {
    EXPECT_EQ(ClearAfterLimit(0), kNeverClear);
    EXPECT_EQ(ClearAfterLimit(4), 120u);
    EXPECT_EQ(ClearAfterLimit(5), 300u);
    EXPECT_EQ(ClearAfterLimit(-1), 120u);
    EXPECT_EQ(ClearAfterLimit(6), 120u);

    TIdleClock never(2000);
    never.SetClearAfter(0);
    for (int tick = 0; tick < 100000; ++tick) {
        ASSERT_FALSE(never.Tick());
    }
    // A check timer faster than half a second still counts, so clearing still happens.
    EXPECT_EQ(TIdleClock(300).SecondsPerTick(), 1);
    EXPECT_EQ(TIdleClock(1500).SecondsPerTick(), 2);
    TIdleClock fast(300);
    fast.SetClearAfter(1);
    int ticks = 1;
    while (!fast.Tick()) {
        ++ticks;
    }
    EXPECT_EQ(ticks, 10);
}

// ---- stored settings -------------------------------------------------------------------------

TEST(PwdMakerSettings, FormatAndParse) {
    TPwdGenSettings stored;
    stored.master = "secret123";
    stored.clearAfter = 1;
    stored.remember = true;
    stored.mask = false;
    EXPECT_EQ(FormatPwdGenSettings(stored), "secret123|1|1|0|");
    const TPwdGenSettings loaded = ParsePwdGenSettings(FormatPwdGenSettings(stored));
    EXPECT_EQ(loaded.master, "secret123");
    EXPECT_EQ(loaded.clearAfter, 1);
    EXPECT_TRUE(loaded.remember);
    EXPECT_TRUE(loaded.mask);  // a stored master password is always loaded masked

    stored.remember = false;
    EXPECT_EQ(FormatPwdGenSettings(stored), "|1|0|0|");
    EXPECT_EQ(FormatPwdGenSettings(TPwdGenSettings()), "|4|0|1|");

    struct Case {
        QByteArray text;
        QByteArray master;
        int clearAfter;
        bool remember;
        bool mask;
    };
    const Case cases[] = {
        {"|0|0|0|", "", 0, false, false},
        {"|x|0|1|", "", 4, false, true},   // not a number: "Two Minutes"
        {"|9|0|1|", "", 0, false, true},   // beyond the list: the first item
        {"|-1|0|1|", "", 4, false, true},  // negative: "Two Minutes"
        {"pw1|5|0|0|", "pw1", 5, false, false},
        {"pa|ss1|3|1|1|", "", 4, false, true},  // "|" in the password: five fields, ignored
        {"|3|1|", "", 4, false, true},
        {"", "", 4, false, true},
    };
    for (const Case& c : cases) {
        const TPwdGenSettings parsed = ParsePwdGenSettings(c.text);
        EXPECT_EQ(parsed.master, c.master) << c.text.constData();
        EXPECT_EQ(parsed.clearAfter, c.clearAfter) << c.text.constData();
        EXPECT_EQ(parsed.remember, c.remember) << c.text.constData();
        EXPECT_EQ(parsed.mask, c.mask) << c.text.constData();
    }
}

// ---- Generate with the stored script -----------------------------------------------------

class PwdMakerGenerate : public ::testing::Test {
protected:
    void SetUp() override {
        m_host.OpenStores(m_dir.Sub("prog"));
        m_host.StartScriptEngine();
        ASSERT_TRUE(m_host.IsFlagSet(kFlagScriptEngine));
    }
    TestDir m_dir;
    TTestHost m_host;
};

TEST_F(PwdMakerGenerate, AcceptedPasswordGivesTheDerivedSix) {
    const auto passwords =
        GeneratePasswords(m_host, m_host.Scripts(), "secret123", "gmail.com", kKey);
    ASSERT_TRUE(passwords.has_value());
    EXPECT_EQ(*passwords, DerivePasswords("secret123", "gmail.com", kKey));
    EXPECT_TRUE(m_host.statuses.isEmpty());
}

TEST_F(PwdMakerGenerate, EmptyMnemonicOrKeyGeneratesNothing) {
    EXPECT_FALSE(GeneratePasswords(m_host, m_host.Scripts(), "secret123", "", kKey).has_value());
    EXPECT_TRUE(m_host.HasError("First enter a site mnemonic!"));
    EXPECT_FALSE(m_host.statuses.last().hold);
    EXPECT_FALSE(
        GeneratePasswords(m_host, m_host.Scripts(), "secret123", "gmail.com", "").has_value());
    EXPECT_TRUE(m_host.HasError("Installation key not available"));
}

TEST_F(PwdMakerGenerate, TheScriptsRefusalIsShownAndRaised) {
    try {
        (void)GeneratePasswords(m_host, m_host.Scripts(), "abc", "gmail.com", kKey);
        FAIL() << "a short password should be refused";
    } catch (const EQuiva& error) {
        EXPECT_EQ(error.Message(), "Password should be at least 7 characters long");
    }
    EXPECT_TRUE(m_host.HasError("Password should be at least 7 characters long"));
}

}  // namespace
