// Real scripts through the process-wide PHP engine: the shipped check scripts, how texts
// are read, how values travel in and out, and how failures leave the engine usable.
#include "script/script_engine.h"
#include "script/stored_scripts.h"

#include <QElapsedTimer>
#include <QTemporaryFile>

#include <gtest/gtest.h>

#include <unistd.h>
#include <csignal>
#include <cstdio>
#include <functional>

namespace {

// Signals PHP handles while a script runs, and their handlers before the engine started.
const int kWatchedSignals[] = {SIGPROF, SIGALRM, SIGHUP,  SIGINT, SIGQUIT,
                               SIGTERM, SIGUSR1, SIGUSR2, SIGPIPE};

using THandler = void (*)(int);

THandler HandlerOf(int signal) {
    struct sigaction action;
    sigaction(signal, nullptr, &action);
    return action.sa_handler;
}

// Taken during static initialisation, before the engine starts.
const QList<THandler> g_handlersBeforeStart = [] {
    QList<THandler> handlers;
    for (const int signal : kWatchedSignals) {
        handlers.append(HandlerOf(signal));
    }
    return handlers;
}();

volatile std::sig_atomic_t g_usr1Count = 0;
void CountUsr1(int) {
    g_usr1Count = g_usr1Count + 1;
}

// PHP runs once per process: the engine starts before the first test and ends after the
// last one.
class TEngineEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_TRUE(TScriptEngine::Instance().Start()); }
    void TearDown() override { TScriptEngine::Instance().Shutdown(); }
};

[[maybe_unused]] ::testing::Environment* const g_engineEnvironment =
    ::testing::AddGlobalTestEnvironment(new TEngineEnvironment);

struct TRunResult {
    bool ok = false;
    QByteArray failure;
    QList<TScriptVariable> variables;

    QByteArray Value(const QByteArray& name) const {
        for (const TScriptVariable& variable : variables) {
            if (variable.name == name) {
                return variable.value;
            }
        }
        ADD_FAILURE() << "no variable " << name.constData();
        return {};
    }
};

TRunResult RunScript(const QByteArray& script, QList<TScriptVariable> variables = {}) {
    TRunResult result;
    result.variables = std::move(variables);
    result.ok = TScriptEngine::Instance().Run(script, result.variables, result.failure);
    return result;
}

// Runs a trivial script to show the engine still works.
void ExpectEngineWorks() {
    const TRunResult after = RunScript("$x = 'still ' . 'working';", {{"x", ""}});
    EXPECT_TRUE(after.ok) << after.failure.constData();
    EXPECT_EQ(after.Value("x"), "still working");
}

// What the process writes to its stdout and stderr while `action` runs.
QByteArray CaptureProcessOutput(const std::function<void()>& action) {
    QTemporaryFile file;
    if (!file.open()) {
        ADD_FAILURE() << "no temporary file";
        return {};
    }
    std::fflush(stdout);
    std::fflush(stderr);
    const int savedOut = dup(STDOUT_FILENO);
    const int savedErr = dup(STDERR_FILENO);
    dup2(file.handle(), STDOUT_FILENO);
    dup2(file.handle(), STDERR_FILENO);
    action();
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(savedOut, STDOUT_FILENO);
    dup2(savedErr, STDERR_FILENO);
    close(savedOut);
    close(savedErr);
    file.seek(0);
    return file.readAll();
}

// ---- the shipped scripts -------------------------------------------------------------

TEST(StoredScripts, ShippedUnderTheirNamesInNameOrder) {
    const QList<QPair<QByteArray, QByteArray>> scripts = ShippedScripts();
    ASSERT_EQ(scripts.size(), 2);
    EXPECT_EQ(scripts[0].first, "gfm");
    EXPECT_EQ(scripts[0].second, GfmScript());
    EXPECT_EQ(scripts[1].first, "pwdchk");
    EXPECT_EQ(scripts[1].second, PwdChkScript());
}

struct TCheckCase {
    QByteArray input;
    const char* error;  // a piece of the expected $err; empty when the input passes
};

TEST(StoredScripts, PasswordCheck) {
    const QByteArray tooShort = "at least 7 characters";
    const QByteArray badCharacters = "only letters";
    const QByteArray noNumeral = "at least one numeral";
    const TCheckCase cases[] = {
        {"abc1234", ""},
        {"Password2024", ""},
        {"1234567", ""},
        {"9zzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzz", ""},
        {"", tooShort},
        {"abc123", tooShort},
        {"abcdefgh", noNumeral},
        {"ABCDEFGHIJK", noNumeral},
        {"abc 1234", badCharacters},
        {"abc-1234", badCharacters},
        {"abc_1234", badCharacters},
        {"abc1234\n", badCharacters},
        {"p\xC3\xA4sswort1", badCharacters},
        {QByteArray("abc") + '\0' + "1234", badCharacters},
        {"a1!", badCharacters},
    };
    for (const TCheckCase& c : cases) {
        SCOPED_TRACE(c.input.toPercentEncoding().constData());
        const TRunResult result = RunScript(PwdChkScript(), {{"pwd", c.input}, {"err", "stale"}});
        ASSERT_TRUE(result.ok) << result.failure.constData();
        EXPECT_EQ(result.Value("pwd"), c.input);
        if (*c.error == '\0') {
            EXPECT_EQ(result.Value("err"), "");
        } else {
            EXPECT_TRUE(result.Value("err").contains(c.error)) << result.Value("err").constData();
        }
    }
}

TEST(StoredScripts, FileMaskCheck) {
    const char* empty = "empty";
    const char* slash = "\"/\"";
    const char* nul = "NUL";
    const char* dots = "\".\" or \"..\"";
    const char* tooLong = "too long";
    const TCheckCase cases[] = {
        {"*.txt", ""},
        {"a?c.*", ""},
        {"*", ""},
        {"?", ""},
        {".profile", ""},
        {"...", ""},
        {".*", ""},
        {" spaced name.txt", ""},
        {"back\\slash", ""},
        {QByteArray(255, 'a'), ""},
        {QByteArray(300, '*') + "x", ""},
        {"", empty},
        {"   ", empty},
        {" \t ", empty},
        {"a/b", slash},
        {"/", slash},
        {"*.txt/", slash},
        {"../*", slash},
        {QByteArray("a\0b", 3), nul},
        {".", dots},
        {"..", dots},
        {QByteArray(256, 'a'), tooLong},
        {QByteArray(200, 'a') + QByteArray(56, '?'), tooLong},
    };
    for (const TCheckCase& c : cases) {
        SCOPED_TRACE(c.input.left(40).toPercentEncoding().constData());
        const TRunResult result = RunScript(GfmScript(), {{"fm", c.input}, {"err", "stale"}});
        ASSERT_TRUE(result.ok) << result.failure.constData();
        EXPECT_EQ(result.Value("fm"), c.input);
        if (*c.error == '\0') {
            EXPECT_EQ(result.Value("err"), "");
        } else {
            EXPECT_TRUE(result.Value("err").contains(c.error)) << result.Value("err").constData();
        }
    }
}

TEST(StoredScripts, EachRefusalHasItsOwnMessage) {
    const auto errorOf = [](const QByteArray& script, const QByteArray& name,
                            const QByteArray& value) {
        return RunScript(script, {{name, value}, {"err", ""}}).Value("err");
    };
    const QList<QByteArray> passwordErrors = {errorOf(PwdChkScript(), "pwd", "a1"),
                                              errorOf(PwdChkScript(), "pwd", "abc#1234"),
                                              errorOf(PwdChkScript(), "pwd", "abcdefg")};
    const QList<QByteArray> maskErrors = {
        errorOf(GfmScript(), "fm", " "), errorOf(GfmScript(), "fm", "a/b"),
        errorOf(GfmScript(), "fm", QByteArray("a\0", 2)), errorOf(GfmScript(), "fm", ".."),
        errorOf(GfmScript(), "fm", QByteArray(300, 'x'))};
    for (const QList<QByteArray>& errors : {passwordErrors, maskErrors}) {
        for (qsizetype i = 0; i < errors.size(); ++i) {
            EXPECT_FALSE(errors[i].isEmpty());
            for (qsizetype j = i + 1; j < errors.size(); ++j) {
                EXPECT_NE(errors[i], errors[j]);
            }
        }
    }
}

// ---- reading the text ----------------------------------------------------------------

TEST(ScriptEngine, StartWhenActiveKeepsTheEngine) {
    EXPECT_TRUE(TScriptEngine::Instance().Start());
    EXPECT_TRUE(TScriptEngine::Instance().IsActive());
    ExpectEngineWorks();
}

TEST(ScriptEngine, ScriptChangesAValue) {
    const TRunResult result = RunScript("$v = strtoupper($v) . '!';", {{"v", "abc"}});
    ASSERT_TRUE(result.ok) << result.failure.constData();
    EXPECT_EQ(result.Value("v"), "ABC!");
}

TEST(ScriptEngine, TagsAndBareTexts) {
    const struct {
        const char* script;
        const char* expected;
    } cases[] = {
        {"<? $x = 'short tag'; ?>", "short tag"},
        {"<?php $x = 'long tag';", "long tag"},
        {"<?= 'printed' ?><? $x = 'after echo tag'; ?>", "after echo tag"},
        {"text before <? $x = 'between'; ?> text after", "between"},
        {"$x = 'bare';", "bare"},
        {"$x = 'bare';\n$x .= ' lines';\n", "bare lines"},
        {"$x = 'comment'; // a note to the end of the line", "comment"},
        {"if (true): $x = 'alt'; endif", "alt"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        const TRunResult result = RunScript(c.script, {{"x", "unset"}});
        ASSERT_TRUE(result.ok) << result.failure.constData();
        EXPECT_EQ(result.Value("x"), c.expected);
    }
}

TEST(ScriptEngine, OutputAndWarningsAreDiscarded) {
    bool printed = false;
    bool failed = true;
    const QByteArray output = CaptureProcessOutput([&] {
        std::printf("control-line\n");
        printed = RunScript(
                      "page text <? echo 'echo-marker'; print 'print-marker'; "
                      "printf('%s', 'printf-marker'); var_dump('dump-marker'); "
                      "$y = $undefined . 'warning-marker'; "
                      "trigger_error('notice-marker', E_USER_NOTICE); "
                      "fwrite(fopen('php://output', 'w'), 'stream-marker'); ?> more")
                      .ok;
        failed = RunScript("$x = ; // parse-marker").ok;
    });
    EXPECT_TRUE(printed);
    EXPECT_FALSE(failed);
    // The capture itself works: the control line arrives.
    EXPECT_TRUE(output.contains("control-line"));
    for (const char* marker :
         {"page text", "echo-marker", "print-marker", "printf-marker", "dump-marker",
          "warning-marker", "notice-marker", "stream-marker", "parse-marker", "syntax"}) {
        EXPECT_FALSE(output.contains(marker)) << marker;
    }
}

TEST(ScriptEngine, WarningsAndNoticesDoNotFailTheRun) {
    const TRunResult result = RunScript(
        "$a = $undefined . 'x'; $b = [] ; $c = $b['missing'] ?? 'd'; $e = 1 + $b['gone'];"
        "trigger_error('careful', E_USER_WARNING); trigger_error('fyi', E_USER_NOTICE);"
        "trigger_error('old', E_USER_DEPRECATED); $v = 'done';",
        {{"v", ""}});
    EXPECT_TRUE(result.ok) << result.failure.constData();
    EXPECT_EQ(result.Value("v"), "done");
}

TEST(ScriptEngine, ExitEndsTheScriptNormally) {
    const TRunResult result = RunScript("$err = 'set'; exit(3); $err = 'later';", {{"err", ""}});
    EXPECT_TRUE(result.ok) << result.failure.constData();
    EXPECT_EQ(result.Value("err"), "set");
}

TEST(ScriptEngine, TheProgramKeepsItsSignalHandlers) {
    for (qsizetype i = 0; i < g_handlersBeforeStart.size(); ++i) {
        EXPECT_EQ(HandlerOf(kWatchedSignals[i]), g_handlersBeforeStart[i])
            << "signal " << kWatchedSignals[i];
    }
    // A handler set after the start survives runs, failed ones included.
    std::signal(SIGUSR1, &CountUsr1);
    EXPECT_TRUE(RunScript("$x = 1;").ok);
    EXPECT_FALSE(RunScript("throw new Exception('x');").ok);
    EXPECT_TRUE(RunScript("$x = 2;").ok);
    EXPECT_EQ(HandlerOf(SIGUSR1), &CountUsr1);
    const int before = g_usr1Count;
    std::raise(SIGUSR1);
    EXPECT_EQ(g_usr1Count, before + 1);
    std::signal(SIGUSR1, SIG_DFL);
}

// ---- values in and out ---------------------------------------------------------------

TEST(ScriptEngine, BytesAboveAsciiAndBarsRoundTrip) {
    QByteArray value = "a|b||";
    for (int byte = 0x80; byte <= 0xFF; ++byte) {
        value.append(char(byte));
    }
    value.append("|\xC3\xA4|");
    const TRunResult result =
        RunScript("$n = (string)strlen($v); $w = $v . '|';", {{"v", value}, {"n", ""}, {"w", ""}});
    ASSERT_TRUE(result.ok) << result.failure.constData();
    EXPECT_EQ(result.Value("v"), value);
    EXPECT_EQ(result.Value("n"), QByteArray::number(value.size()));
    EXPECT_EQ(result.Value("w"), value + "|");
}

TEST(ScriptEngine, NulBytesKeepTheFullLength) {
    const QByteArray input("x\0y", 3);
    const TRunResult result =
        RunScript("$s = \"a\\0b\\0\\0c\"; $n = strlen($v);", {{"s", ""}, {"v", input}, {"n", ""}});
    ASSERT_TRUE(result.ok) << result.failure.constData();
    EXPECT_EQ(result.Value("s"), QByteArray("a\0b\0\0c", 6));
    EXPECT_EQ(result.Value("v"), input);
    EXPECT_EQ(result.Value("n"), "3");
}

TEST(ScriptEngine, ValuesAreReadBackAsText) {
    const struct {
        const char* script;
        const char* expected;
    } cases[] = {
        {"unset($v);", ""},
        {"$v = null;", ""},
        {"$v = 42;", "42"},
        {"$v = -7;", "-7"},
        {"$v = 1.5;", "1.5"},
        {"$v = true;", "1"},
        {"$v = false;", ""},
        {"$v = [1, 2];", "Array"},
        {"$w = 'by reference'; $v = &$w;", "by reference"},
        {"$v = 'first'; $r = &$v; $r = 'through reference';", "through reference"},
        {"function f() { global $v; $v = 'global'; } f();", "global"},
        {"function g() { $GLOBALS['v'] = 'GLOBALS'; } g();", "GLOBALS"},
        {"class T { function __toString(): string { return 'object'; } } $v = new T;", "object"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        const TRunResult result = RunScript(c.script, {{"v", "input"}});
        ASSERT_TRUE(result.ok) << result.failure.constData();
        EXPECT_EQ(result.Value("v"), c.expected);
    }
}

TEST(ScriptEngine, RunsDoNotShareState) {
    const TRunResult first = RunScript(
        "function helper() { return 1; } class Helper {} $leak = 'x'; $v = 'first';", {{"v", ""}});
    ASSERT_TRUE(first.ok) << first.failure.constData();
    // Declaring the same function and class again would be fatal within one request.
    const TRunResult second = RunScript(
        "$seen = isset($leak) ? 'leaked' : 'clean'; function helper() { return 2; }"
        " class Helper {} $v = $seen . helper();",
        {{"v", ""}});
    ASSERT_TRUE(second.ok) << second.failure.constData();
    EXPECT_EQ(second.Value("v"), "clean2");
}

// ---- failures ------------------------------------------------------------------------

TEST(ScriptEngine, FailuresKeepValuesAndLeaveTheEngineWorking) {
    const struct {
        const char* name;
        const char* script;
        const char* fragment;  // a piece of PHP's message in the failure text
    } cases[] = {
        {"parse error", "$err = 'changed'; $x = ;", "syntax error"},
        {"unclosed block", "$err = 'changed'; if (true) {", "Unclosed '{'"},
        {"uncaught exception", "$err = 'changed'; throw new RuntimeException('boom-42');",
         "Uncaught RuntimeException: boom-42"},
        {"undefined function", "$err = 'changed'; no_such_function();",
         "undefined function no_such_function()"},
        {"type error", "$err = 'changed'; strlen([]);", "strlen()"},
        {"user fatal", "$err = 'changed'; trigger_error('my-fatal', E_USER_ERROR);", "my-fatal"},
        {"redeclared function", "function twice() {} function twice() {}", "redeclare"},
        {"memory exhausted",
         "$err = 'changed'; ini_set('memory_limit', '16M'); $s = str_repeat('x', 64 << 20);",
         "memory size"},
        {"value without text", "$err = 'changed'; $v = new stdClass;",
         "$v cannot be read as text: Object of class stdClass"},
        {"fatal in __toString",
         "class T { function __toString(): string { throw new Exception('in-tostring'); } }"
         " $err = 'changed'; $v = new T;",
         "in-tostring"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TRunResult result = RunScript(c.script, {{"err", "old"}, {"v", "before"}});
        EXPECT_FALSE(result.ok);
        EXPECT_TRUE(result.failure.startsWith("Script error")) << result.failure.constData();
        EXPECT_TRUE(result.failure.contains(c.fragment)) << result.failure.constData();
        EXPECT_EQ(result.Value("err"), "old");
        EXPECT_EQ(result.Value("v"), "before");
        ExpectEngineWorks();
    }
}

TEST(ScriptEngine, FailureNamesTheLineInOneShortLine) {
    const TRunResult thrown = RunScript("$a = 1;\n$b = 2;\nthrow new Exception('third line');\n");
    EXPECT_FALSE(thrown.ok);
    EXPECT_EQ(thrown.failure, "Script error on line 3: Uncaught Exception: third line");

    const TRunResult parse = RunScript("<?\n$a = 1;\n$b = ;\n?>");
    EXPECT_FALSE(parse.ok);
    EXPECT_TRUE(parse.failure.startsWith("Script error on line 3: syntax error"))
        << parse.failure.constData();
    EXPECT_FALSE(parse.failure.contains('\n'));
}

// Longer than any stopped run takes, even on a loaded machine.
constexpr qint64 kHangMs = 120000;

TEST(ScriptEngine, EndlessLoopIsStoppedAtTheTimeLimit) {
    QElapsedTimer clock;
    clock.start();
    const TRunResult result = RunScript("$err = 'changed'; while (true) {}", {{"err", "old"}});
    const qint64 elapsedMs = clock.elapsed();
    EXPECT_FALSE(result.ok);
    EXPECT_TRUE(result.failure.contains("Maximum execution time")) << result.failure.constData();
    EXPECT_EQ(result.Value("err"), "old");
    EXPECT_GE(elapsedMs, (TScriptEngine::kTimeLimitSeconds - 1) * 1000);
    // The limit counts processor time, which a loaded machine hands out slowly: the bound
    // below only tells a stopped run from a hung one.
    EXPECT_LT(elapsedMs, kHangMs);
    ExpectEngineWorks();
}

TEST(ScriptEngine, EndlessShutdownCodeIsStoppedToo) {
    // Shutdown functions run after the values are read: the run succeeds, but ends.
    QElapsedTimer clock;
    clock.start();
    const TRunResult result = RunScript(
        "register_shutdown_function(function () { while (true) {} }); $v = 'read';", {{"v", ""}});
    EXPECT_LT(clock.elapsed(), kHangMs);
    EXPECT_TRUE(result.ok) << result.failure.constData();
    EXPECT_EQ(result.Value("v"), "read");
    ExpectEngineWorks();
}

TEST(ScriptEngine, EachRunHasTheWholeTimeLimit) {
    // Two busy runs of 60% of the limit each: together they exceed it, so a limit that
    // carried over from one run to the next would stop the second.
    const QByteArray busy = "$end = microtime(true) + " +
                            QByteArray::number(TScriptEngine::kTimeLimitSeconds * 0.6) +
                            "; while (microtime(true) < $end) {} $v = 'done';";
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        const TRunResult result = RunScript(busy, {{"v", ""}});
        EXPECT_TRUE(result.ok) << result.failure.constData();
        EXPECT_EQ(result.Value("v"), "done");
    }
}

}  // namespace
