// The host services: flags, FailWith, BytesToHex and the script runner with the real
// PHP engine and the scripts stored in a real application database.
#include "base/errors.h"
#include "base/settings_codec.h"
#include "base/utilities.h"
#include "script/script_engine.h"
#include "storage/sqlite_layer.h"
#include "support/test_dir.h"
#include "support/test_host.h"

#include <gtest/gtest.h>

namespace {

class HostTest : public ::testing::Test {
protected:
    void SetUp() override { m_host.OpenStores(m_dir.Sub("prog")); }

    // Stores a script under a name, as the shipped ones are stored.
    void StoreScript(const QByteArray& name, const QByteArray& text) {
        TSQLTables raw(m_host.UiDatabasePath(), 100, 1, false);
        raw.Exec("INSERT INTO pScr (scrN, scrD) VALUES (?, ?)", {name, EncodeSettings(text)});
    }

    TestDir m_dir;
    TTestHost m_host;
};

TEST(HostFlags, SetTakeAndOutOfRange) {
    TTestHost host;
    EXPECT_FALSE(host.IsFlagSet(27));
    host.SetFlag(27, true);
    host.SetFlag(16, true);
    EXPECT_TRUE(host.IsFlagSet(27));
    EXPECT_TRUE(host.TakeFlag(27));
    EXPECT_FALSE(host.IsFlagSet(27));
    EXPECT_FALSE(host.TakeFlag(27));
    EXPECT_TRUE(host.IsFlagSet(16));
    host.SetFlag(16, false);
    EXPECT_FALSE(host.IsFlagSet(16));
    host.SetFlag(40, true);
    EXPECT_FALSE(host.IsFlagSet(40));
}

TEST(HostFailWith, EmptyDoesNothingTextShowsAndAborts) {
    TTestHost host;
    EXPECT_NO_THROW(host.FailWith(""));
    EXPECT_TRUE(host.statuses.isEmpty());
    try {
        host.FailWith("Bad mask");
        FAIL() << "FailWith should abort";
    } catch (const EQuiva& error) {
        EXPECT_EQ(error.Message(), "Bad mask");
    }
    ASSERT_EQ(host.statuses.size(), 1);
    EXPECT_EQ(host.statuses[0].kind, kStatusError);
    EXPECT_FALSE(host.statuses[0].hold);
}

TEST(HostBytesToHex, TwoUpperCaseDigitsPerByte) {
    EXPECT_EQ(BytesToHex(QByteArray("\x00\x0f\xab\xff", 4)), "000FABFF");
    EXPECT_EQ(BytesToHex(QByteArray()), "");
}

// Runs before the engine is started in this process: the seam keeps it from starting.
TEST_F(HostTest, EngineAbsentRefusesEveryScript) {
    TScriptEngine::BlockStartForTesting(true);
    m_host.StartScriptEngine();
    TScriptEngine::BlockStartForTesting(false);
    EXPECT_FALSE(m_host.IsFlagSet(kFlagScriptEngine));
    QByteArray value = "abc1234";
    QByteArray error;
    m_host.RunScript("pwdchk", "pwd", value, error);
    EXPECT_EQ(error, "FS_PHPE. Please contact us");
    EXPECT_TRUE(m_host.HasError("FS_PHPE. Please contact us"));
    EXPECT_EQ(value, "abc1234");
}

class ScriptRunner : public HostTest {
protected:
    void SetUp() override {
        HostTest::SetUp();
        m_host.StartScriptEngine();
        ASSERT_TRUE(m_host.IsFlagSet(kFlagScriptEngine));
    }
    QByteArray Run(const QByteArray& script, const QByteArray& variable, QByteArray& value) {
        QByteArray error;
        m_host.RunScript(script, variable, value, error);
        return error;
    }
};

TEST_F(ScriptRunner, PwdChkAcceptsAndRefuses) {
    struct Case {
        QByteArray password;
        bool accepted;
    };
    const Case cases[] = {
        {"abcdef1", true},   {"1234567", true},  {"Passw0rdLong", true},
        {"abc1", false},     {"abcdefg", false}, {"abc 1234", false},
        {"abc-1234", false}, {"", false},        {"pässw0rd", false},
    };
    for (const Case& c : cases) {
        QByteArray value = c.password;
        const QByteArray error = Run("pwdchk", "pwd", value);
        EXPECT_EQ(error.isEmpty(), c.accepted)
            << c.password.constData() << ": " << error.constData();
        EXPECT_EQ(value, c.password);
    }
}

TEST_F(ScriptRunner, GfmAcceptsAndRefuses) {
    struct Case {
        QByteArray mask;
        bool accepted;
    };
    const Case cases[] = {
        {"*.txt", true},
        {"a?c.*", true},
        {"*", true},
        {"", false},
        {"   ", false},
        {"sub/*.txt", false},
        {".", false},
        {"..", false},
        {QByteArray(300, 'a'), false},
        {QByteArray("a\0b", 3), false},
    };
    for (const Case& c : cases) {
        QByteArray value = c.mask;
        const QByteArray error = Run("gfm", "fm", value);
        EXPECT_EQ(error.isEmpty(), c.accepted) << c.mask.toHex().constData();
    }
}

TEST_F(ScriptRunner, MissingScriptIsRefusedByName) {
    QByteArray value = "x";
    EXPECT_EQ(Run("nosuch", "v", value), "FSE:nosuch. Please contact us");
    EXPECT_TRUE(m_host.HasError("FSE:nosuch. Please contact us"));
}

TEST_F(ScriptRunner, ScriptsChangeTheValueWrappedOrNot) {
    StoreScript("upper", "$v = strtoupper($v);");                   // wrapped in "<? ... ?>"
    StoreScript("tagged", "<?php $v = $v . '|' . strlen($v); ?>");  // run as it is
    StoreScript("refuse", "<? if ($v == 'no') { $err = 'Refused: ' . $v; } ?>");
    QByteArray value = "abc";
    EXPECT_EQ(Run("upper", "v", value), "");
    EXPECT_EQ(value, "ABC");
    value = "grüß";
    EXPECT_EQ(Run("tagged", "v", value), "");
    EXPECT_EQ(value, QByteArray("grüß|6"));
    value = "no";
    EXPECT_EQ(Run("refuse", "v", value), "Refused: no");
    value = "yes";
    EXPECT_EQ(Run("refuse", "v", value), "");
}

TEST_F(ScriptRunner, VariablesDoNotOutliveARun) {
    StoreScript("remember", "if (isset($kept)) { $err = 'leaked'; } $kept = 1;");
    QByteArray value;
    EXPECT_EQ(Run("remember", "v", value), "");
    EXPECT_EQ(Run("remember", "v", value), "");
}

TEST_F(ScriptRunner, ScriptFailuresComeBackAsErrorsAndTheEngineGoesOn) {
    StoreScript("broken", "this is not php(");
    StoreScript("throws", "throw new Exception('bad');");
    QByteArray value = "keep";
    const QByteArray parse = Run("broken", "v", value);
    EXPECT_FALSE(parse.isEmpty());
    EXPECT_EQ(value, "keep");
    const QByteArray thrown = Run("throws", "v", value);
    EXPECT_TRUE(thrown.contains("bad")) << thrown.constData();
    EXPECT_TRUE(m_host.HasError(QString::fromUtf8(thrown)));
    QByteArray password = "abcdef1";
    EXPECT_EQ(Run("pwdchk", "pwd", password), "");
}

}  // namespace
