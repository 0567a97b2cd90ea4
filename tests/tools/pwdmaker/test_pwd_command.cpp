// `quiva pwd` end to end: the master password from standard input, "pwdchk", this
// installation's key from its application database, and the failures.
#include "support/test_dir.h"
#include "support/test_host.h"
#include "tools/pwdmaker/pwd_maker.h"

#include "platform/folders.h"
#include "platform/instance_lock.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <gtest/gtest.h>

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
    EXPECT_EQ(refused.err, "Quiva Tessaline is running; close it before using quiva pwd\n");
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
    EXPECT_EQ(noMnemonic.err, "First enter a site mnemonic!\n");

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

}  // namespace
