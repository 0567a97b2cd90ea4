// The desktop program end to end, headless: one instance at a time, hand-over to the
// running one, and an orderly shutdown on the quit message and on SIGTERM.
#include "platform/instance_guard.h"
#include "storage/sqlite_layer.h"
#include "support/test_dir.h"

#include <QFile>
#include <QProcess>
#include <QtTest/QTest>

#include <csignal>

#include <gtest/gtest.h>

namespace {

class Program : public ::testing::Test {
protected:
    void SetUp() override {
        m_env = QProcessEnvironment::systemEnvironment();
        m_env.insert("XDG_DATA_HOME", m_dir.MakeDir("data"));
        m_env.insert("XDG_RUNTIME_DIR", m_dir.MakeDir("run"));
        QFile::setPermissions(m_dir.Sub("run"),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        m_env.insert("QT_QPA_PLATFORM", "offscreen");
        m_env.remove("QUIVA_SCREENSHOT");
    }
    std::unique_ptr<QProcess> Launch() {
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(m_env);
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->start(QStringLiteral(QUIVA_PROGRAM_PATH), {});
        EXPECT_TRUE(process->waitForStarted(10000));
        return process;
    }
    // Waits until the running instance listens for hand-overs.
    bool WaitListening() {
        const QString socket = TInstanceGuard::SocketPathIn(m_dir.Sub("run"));
        return QTest::qWaitFor([&] { return QFile::exists(socket); }, 20000);
    }
    QString Database() const { return m_dir.Sub("data/quiva-tessaline/qvde.d"); }
    int ShellStateRows() {
        TSQLTables db(Database(), 100, 1, false);
        return db.Query("SELECT appname FROM seridata WHERE appname = 'Quiva'", 1, 10)->RowCount();
    }
    void ForgetShellState() {
        TSQLTables db(Database(), 100, 1, false);
        db.Exec("DELETE FROM seridata WHERE appname = 'Quiva'");
    }

    TestDir m_dir;
    QProcessEnvironment m_env;
};

TEST_F(Program, SecondStartHandsOverAndTheQuitMessageEndsTheFirst) {
    auto first = Launch();
    ASSERT_TRUE(WaitListening());
    auto second = Launch();
    ASSERT_TRUE(second->waitForFinished(20000));
    EXPECT_EQ(second->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second->exitCode(), 0);
    EXPECT_EQ(first->state(), QProcess::Running);

    ASSERT_TRUE(TInstanceGuard::SendQuit(m_dir.Sub("run")));
    ASSERT_TRUE(first->waitForFinished(20000));
    EXPECT_EQ(first->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(first->exitCode(), 0);
    EXPECT_EQ(ShellStateRows(), 1);
}

TEST_F(Program, TerminationSignalsEndThroughTheNormalShutdown) {
    for (const int number : {SIGTERM, SIGINT}) {
        auto first = Launch();
        ASSERT_TRUE(WaitListening());
        if (QFile::exists(Database())) {
            ForgetShellState();
        }
        kill(static_cast<pid_t>(first->processId()), number);
        ASSERT_TRUE(first->waitForFinished(20000));
        EXPECT_EQ(first->exitStatus(), QProcess::NormalExit) << number;
        EXPECT_EQ(first->exitCode(), 0);
        EXPECT_EQ(ShellStateRows(), 1) << "shell state saved on signal " << number;
        // The next start is a first instance again.
        QFile::remove(TInstanceGuard::SocketPathIn(m_dir.Sub("run")));
    }
}

TEST_F(Program, AKilledInstanceDoesNotBlockTheNextStart) {
    auto first = Launch();
    ASSERT_TRUE(WaitListening());
    first->kill();
    ASSERT_TRUE(first->waitForFinished(20000));
    auto next = Launch();
    // The next start becomes the running instance: it stays up until told to quit.
    EXPECT_FALSE(next->waitForFinished(3000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return TInstanceGuard::SendQuit(m_dir.Sub("run")); }, 20000));
    ASSERT_TRUE(next->waitForFinished(20000));
    EXPECT_EQ(next->exitCode(), 0);
}

}  // namespace
