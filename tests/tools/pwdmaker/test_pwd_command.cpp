// `quiva pwd` end to end: the master password from standard input, "pwdchk", this
// installation's key from its application database, and the failures; the key's recovery
// text out and back in, on a pipe and on a terminal.
#include "support/test_dir.h"
#include "support/test_host.h"
#include "tools/pwdmaker/pwd_maker.h"

#include "platform/folders.h"
#include "platform/instance_lock.h"

#include "tools/pwdmaker/recovery_key.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>

#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Outcome {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

class PwdCommand : public ::testing::Test {
protected:
    Outcome Run(const QStringList& args, const QByteArray& input) {
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_DATA_HOME", m_dir.Sub("data"));
        process.setProcessEnvironment(env);
        // No controlling terminal, whatever runs the test: a question would have no one to
        // answer it.
        process.setChildProcessModifier([] { setsid(); });
        process.start(QStringLiteral(QUIVA_CLI_PATH), QStringList{"pwd"} + args);
        Outcome outcome;
        if (!process.waitForStarted(10000)) {
            return outcome;
        }
        process.write(input);
        process.closeWriteChannel();
        if (process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit) {
            outcome.exitCode = process.exitCode();
        }
        outcome.out = process.readAllStandardOutput();
        outcome.err = process.readAllStandardError();
        return outcome;
    }
    // Runs `quiva pwd ARGS` on a new pseudo-terminal, as at a terminal: each answer is typed
    // once the terminal shows its prompt. Returns the exit code and all the terminal showed.
    Outcome RunOnTerminal(const QStringList& args,
                          const QList<std::pair<QByteArray, QByteArray>>& dialogue) {
        QList<QByteArray> argBytes{QUIVA_CLI_PATH, "pwd"};
        for (const QString& arg : args) {
            argBytes << arg.toUtf8();
        }
        QList<char*> argv;
        for (QByteArray& arg : argBytes) {
            argv << arg.data();
        }
        argv << nullptr;
        QList<QByteArray> envBytes{"XDG_DATA_HOME=" + m_dir.Sub("data").toUtf8(), "TERM=dumb"};
        for (char** entry = environ; *entry != nullptr; ++entry) {
            if (!QByteArray(*entry).startsWith("XDG_DATA_HOME=")) {
                envBytes << QByteArray(*entry);
            }
        }
        QList<char*> envp;
        for (QByteArray& entry : envBytes) {
            envp << entry.data();
        }
        envp << nullptr;

        Outcome outcome;
        int master = -1;
        const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
        if (pid < 0) {
            return outcome;
        }
        if (pid == 0) {
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        qsizetype next = 0;
        qsizetype answeredUpTo = 0;
        for (;;) {
            if (next < dialogue.size() &&
                outcome.out.indexOf(dialogue[next].first, answeredUpTo) >= 0) {
                answeredUpTo = outcome.out.size();
                const QByteArray& typed = dialogue[next++].second;
                if (write(master, typed.constData(), typed.size()) != typed.size()) {
                    break;
                }
                continue;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            pollfd ready{master, POLLIN, 0};
            if (left <= 0 || poll(&ready, 1, static_cast<int>(left)) <= 0) {
                kill(pid, SIGKILL);
                break;
            }
            char buffer[1024];
            const ssize_t got = read(master, buffer, sizeof buffer);
            if (got <= 0) {
                break;  // the program ended and closed the terminal
            }
            outcome.out.append(buffer, got);
        }
        close(master);
        int status = 0;
        waitpid(pid, &status, 0);
        if (WIFEXITED(status)) {
            outcome.exitCode = WEXITSTATUS(status);
        }
        return outcome;
    }
    // The key the command's installation keeps.
    QByteArray StoredKey() {
        TTestHost host;
        host.OpenStores(m_dir.Sub("data/quiva-tessaline"));
        return host.GetInstallKey();
    }
    TestDir m_dir;
};

TEST_F(PwdCommand, PrintsTheSixPasswordsOfThisInstallation) {
    const Outcome first = Run({"--mnemonic", "gmail.com"}, "secret123\n");
    ASSERT_EQ(first.exitCode, 0) << first.err.constData();
    const QByteArray key = StoredKey();
    ASSERT_EQ(key.size(), 64);
    QByteArray expected;
    for (const QByteArray& password : DerivePasswords("secret123", "gmail.com", key)) {
        expected += password + "\n";
    }
    EXPECT_EQ(first.out, expected);

    // The key is kept: the same inputs give the same passwords in a later run, also when
    // the line ends in CR LF or not at all.
    EXPECT_EQ(Run({"--mnemonic", "gmail.com"}, "secret123\r\n").out, expected);
    EXPECT_EQ(Run({"--mnemonic=gmail.com"}, "secret123").out, expected);
}

TEST_F(PwdCommand, AfterTheFirstRunItOnlyReadsAndNeedsNoLock) {
    ASSERT_EQ(Run({"--mnemonic", "gmail.com"}, "secret123\n").exitCode, 0);
    const QString program = m_dir.Sub("data/quiva-tessaline/");
    QFile db(program + "qvde.d");
    ASSERT_TRUE(db.open(QIODevice::ReadOnly));
    const QByteArray before = db.readAll();
    db.close();
    EXPECT_FALSE(QFileInfo::exists(program + "Data/backups.db"));

    // The desktop program runs (it holds the lock): the passwords still come, and the
    // application database stays byte for byte as it was.
    TInstanceLock desktop(TInstanceLock::PathIn(program));
    ASSERT_TRUE(desktop.TryAcquire());
    const Outcome again = Run({"--mnemonic", "gmail.com"}, "secret123\n");
    EXPECT_EQ(again.exitCode, 0) << again.err.constData();
    EXPECT_EQ(again.out.count('\n'), 6);
    ASSERT_TRUE(db.open(QIODevice::ReadOnly));
    EXPECT_EQ(db.readAll(), before);
    EXPECT_FALSE(QFileInfo::exists(program + "Data/backups.db"));
}

TEST_F(PwdCommand, TheFirstRunWaitsForTheDesktopProgramToMakeTheKey) {
    // Making the installation's key writes; while another program holds the data it is
    // refused and nothing is made.
    const QString program = m_dir.Sub("data/quiva-tessaline/");
    ASSERT_TRUE(MakePrivateFolder(program));
    TInstanceLock desktop(TInstanceLock::PathIn(program));
    ASSERT_TRUE(desktop.TryAcquire());
    const Outcome refused = Run({"--mnemonic", "gmail.com"}, "secret123\n");
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.err,
              "quiva pwd: Quiva Tessaline is running; close it before using quiva pwd\n");
    EXPECT_FALSE(QFileInfo::exists(program + "qvde.d"));
}

TEST_F(PwdCommand, Refusals) {
    const Outcome weak = Run({"--mnemonic", "gmail.com"}, "abc\n");
    EXPECT_EQ(weak.exitCode, 1);
    EXPECT_TRUE(weak.out.isEmpty());
    EXPECT_TRUE(weak.err.contains("Password should be at least 7 characters long"))
        << weak.err.constData();

    const Outcome noMnemonic = Run({"--mnemonic", ""}, "secret123\n");
    EXPECT_EQ(noMnemonic.exitCode, 1);
    EXPECT_EQ(noMnemonic.err, "quiva pwd: First enter a site mnemonic!\n");

    const Outcome tooLong = Run({"--mnemonic", "gmail.com"}, QByteArray(25, 'a') + "1\n");
    EXPECT_EQ(tooLong.exitCode, 1);
    EXPECT_TRUE(tooLong.out.isEmpty());

    for (const QStringList& args :
         {QStringList{}, QStringList{"gmail.com"}, QStringList{"--mnemonic", QString(65, 'm')}}) {
        const Outcome usage = Run(args, "secret123\n");
        EXPECT_EQ(usage.exitCode, 2) << qPrintable(args.join(' '));
        EXPECT_TRUE(usage.err.startsWith("quiva pwd: ")) << usage.err.constData();
    }
}

QByteArray OtherRecoveryText() {
    return FormatRecoveryText(QByteArray(64, 'C'));
}

TEST_F(PwdCommand, AnExportedKeyBringsThePasswordsBackAfterTheDataIsLost) {
    const Outcome made = Run({"--mnemonic", "gmail.com"}, "secret123\n");
    ASSERT_EQ(made.exitCode, 0) << made.err.constData();
    const Outcome exported = Run({"--export-key"}, "");
    ASSERT_EQ(exported.exitCode, 0) << exported.err.constData();
    const QByteArray key = StoredKey();
    EXPECT_EQ(exported.out, FormatRecoveryText(key) +
                                "This key together with your master password yields every "
                                "password Pwd Maker makes, so keep it somewhere safe.\n");

    // The application database is lost with the whole program folder.
    ASSERT_TRUE(QDir(m_dir.Sub("data")).removeRecursively());
    const Outcome imported = Run({"--import-key"}, exported.out);
    EXPECT_EQ(imported.exitCode, 0) << imported.err.constData();
    EXPECT_EQ(imported.out, "The installation key was stored.\n");
    EXPECT_EQ(StoredKey(), key);
    const Outcome again = Run({"--mnemonic", "gmail.com"}, "secret123\n");
    EXPECT_EQ(again.exitCode, 0) << again.err.constData();
    EXPECT_EQ(again.out, made.out);

    // Importing the key an installation already has changes nothing and says so.
    const QString file = m_dir.Write("key.txt", exported.out);
    const Outcome same = Run({"--import-key", file}, "");
    EXPECT_EQ(same.exitCode, 0) << same.err.constData();
    EXPECT_EQ(same.out, "This installation already has this key.\n");
}

TEST_F(PwdCommand, ADamagedRecoveryTextIsRefusedBeforeAnythingIsOpened) {
    QByteArray damaged = OtherRecoveryText();
    damaged.replace("CCCC CCCC CCCC CCCC", "CCCC CCCC CCCC CCCD");
    const Outcome refused = Run({"--import-key"}, damaged);
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.err,
              "quiva pwd: The recovery key is damaged: line 1 does not match its check group "
              "(a group is mistyped)\n");
    EXPECT_FALSE(QFileInfo::exists(m_dir.Sub("data/quiva-tessaline/qvde.d")));

    const Outcome missing = Run({"--import-key", m_dir.Sub("nowhere.txt")}, "");
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(missing.err,
              ("quiva pwd: " + m_dir.Sub("nowhere.txt") + " not accessible\n").toUtf8());
}

TEST_F(PwdCommand, ImportWaitsForTheDesktopProgram) {
    ASSERT_EQ(Run({"--mnemonic", "gmail.com"}, "secret123\n").exitCode, 0);
    const QByteArray key = StoredKey();
    TInstanceLock desktop(TInstanceLock::PathIn(m_dir.Sub("data/quiva-tessaline/")));
    ASSERT_TRUE(desktop.TryAcquire());
    const Outcome refused = Run({"--import-key", "--yes"}, OtherRecoveryText());
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.err,
              "quiva pwd: Quiva Tessaline is running; close it before using quiva pwd\n");
    // Exporting only reads, and goes on.
    EXPECT_EQ(Run({"--export-key"}, "").exitCode, 0);
    desktop.Release();
    EXPECT_EQ(StoredKey(), key);
}

TEST_F(PwdCommand, ADifferentKeyIsReplacedOnlyWhenTheUserSaysSo) {
    ASSERT_EQ(Run({"--mnemonic", "gmail.com"}, "secret123\n").exitCode, 0);
    const QByteArray key = StoredKey();
    const QString other = m_dir.Write("other.txt", OtherRecoveryText());

    // Without a terminal to ask on, and without --yes: refused.
    const Outcome unasked = Run({"--import-key", other}, "");
    EXPECT_EQ(unasked.exitCode, 1);
    EXPECT_EQ(unasked.err,
              "quiva pwd: This installation has a different key; add --yes to replace it\n");
    EXPECT_EQ(StoredKey(), key);

    // On a terminal the question comes; "n" keeps the key.
    const QByteArray question = "Replace it? [y/N] ";
    const Outcome no = RunOnTerminal({"--import-key", other}, {{question, "n\n"}});
    EXPECT_EQ(no.exitCode, 1) << no.out.constData();
    EXPECT_TRUE(
        no.out.contains("This installation has a different key; the passwords made with "
                        "it will no longer come. Replace it? [y/N] "))
        << no.out.constData();
    EXPECT_TRUE(no.out.contains("The installation key was not changed")) << no.out.constData();
    EXPECT_EQ(StoredKey(), key);

    // The text typed (pasted) on the terminal, ended by an empty line, then "y".
    const Outcome yes = RunOnTerminal(
        {"--import-key"},
        {{"Type or paste the recovery key, then an empty line:", OtherRecoveryText() + "\n"},
         {question, "y\n"}});
    EXPECT_EQ(yes.exitCode, 0) << yes.out.constData();
    EXPECT_TRUE(yes.out.contains("The installation key was stored.")) << yes.out.constData();
    EXPECT_EQ(StoredKey(), QByteArray(64, 'C'));

    // --yes replaces without asking.
    const Outcome forced = Run({"--import-key", "-", "--yes"}, FormatRecoveryText(key));
    EXPECT_EQ(forced.exitCode, 0) << forced.err.constData();
    EXPECT_EQ(StoredKey(), key);
}

TEST_F(PwdCommand, RecoveryKeyUsageErrors) {
    for (const QStringList& args :
         {QStringList{"--export-key", "--mnemonic", "x"},
          QStringList{"--export-key", "--import-key"}, QStringList{"--yes", "--mnemonic", "x"},
          QStringList{"--export-key", "--yes"}, QStringList{"--export-key", "file"},
          QStringList{"--import-key", "a", "b"}}) {
        const Outcome usage = Run(args, "");
        EXPECT_EQ(usage.exitCode, 2) << qPrintable(args.join(' '));
        EXPECT_TRUE(usage.err.startsWith("quiva pwd: ")) << usage.err.constData();
    }
    EXPECT_FALSE(QFileInfo::exists(m_dir.Sub("data/quiva-tessaline/qvde.d")));
}

}  // namespace
