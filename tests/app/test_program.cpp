// The desktop program end to end, headless: one instance at a time, hand-over to the
// running one, an orderly shutdown on the quit message and on SIGTERM, its answers to
// --help and --version, and the pictures of every window that the README shows.
#include "platform/instance_guard.h"
#include "storage/sqlite_layer.h"
#include "support/test_dir.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
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

TEST_F(Program, HelpAndVersionAreAnsweredWithoutADisplay) {
    m_env.remove("QT_QPA_PLATFORM");
    m_env.remove("DISPLAY");
    m_env.remove("WAYLAND_DISPLAY");
    struct TCase {
        const char* argument;
        const char* begins;
    };
    for (const TCase& c : {TCase{"--version", "quiva-tessaline 1.01a\n"},
                           TCase{"--help", "Usage: quiva-tessaline [--help] [--version]\n"}}) {
        SCOPED_TRACE(c.argument);
        QProcess process;
        process.setProcessEnvironment(m_env);
        process.start(QStringLiteral(QUIVA_PROGRAM_PATH), {c.argument});
        ASSERT_TRUE(process.waitForFinished(20000));
        EXPECT_EQ(process.exitCode(), 0);
        EXPECT_TRUE(process.readAllStandardOutput().startsWith(c.begins));
        // Nothing was made: no program folder.
        EXPECT_FALSE(QFile::exists(m_dir.Sub("data/quiva-tessaline")));
    }
}

TEST_F(Program, UnknownArgumentsAreRefusedWithAPointerToTheHelp) {
    struct TCase {
        QStringList arguments;
        bool display;  // whether the refusal comes after the application object is made
        const char* err;
    };
    const TCase cases[] = {
        {{"file.txt"}, false, "quiva-tessaline: unexpected argument 'file.txt'\n"},
        {{"--bogus"}, true, "quiva-tessaline: unknown option '--bogus'\n"},
        {{"-x"}, true, "quiva-tessaline: unknown option '-x'\n"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.arguments.join(' ').toStdString());
        QProcessEnvironment env = m_env;
        if (!c.display) {
            env.remove("QT_QPA_PLATFORM");
            env.remove("DISPLAY");
            env.remove("WAYLAND_DISPLAY");
        }
        QProcess process;
        process.setProcessEnvironment(env);
        process.start(QStringLiteral(QUIVA_PROGRAM_PATH), c.arguments);
        ASSERT_TRUE(process.waitForFinished(20000));
        EXPECT_EQ(process.exitCode(), 2);
        EXPECT_EQ(process.readAllStandardError(),
                  QByteArray(c.err) + "Try 'quiva-tessaline --help' for more information.\n");
        // It ended before building anything: no program folder.
        EXPECT_FALSE(QFile::exists(m_dir.Sub("data/quiva-tessaline")));
    }
}

// The screenshot script's run: a picture of every window, each of them in the README's
// table and in docs/screenshots/, and nothing in the table that the program no longer has.
TEST_F(Program, TheScreenshotTourPicturesEveryWindowTheReadmeShows) {
    const QString folder = m_dir.MakeDir("shots");
    m_env.insert("QUIVA_SCREENSHOT_FOLDER", folder);
    auto program = Launch();
    ASSERT_TRUE(program->waitForFinished(120000));
    EXPECT_EQ(program->exitCode(), 0);
    const QStringList taken = QDir(folder).entryList({"*.png"}, QDir::Files, QDir::Name);
    for (const char* name : {"welcome.png", "help.png", "split.png", "checksummer.png"}) {
        EXPECT_TRUE(taken.contains(name)) << name;
    }
    for (const QString& name : taken) {
        EXPECT_GT(QFileInfo(folder + "/" + name).size(), 1000) << name.toStdString();
    }

    QFile readme(QStringLiteral(QUIVA_SOURCE_DIR "/README.md"));
    ASSERT_TRUE(readme.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(readme.readAll());
    QStringList shown;
    const QRegularExpression picture(QStringLiteral("docs/screenshots/([a-z0-9-]+\\.png)"));
    for (auto match = picture.globalMatch(text); match.hasNext();) {
        const QString name = match.next().captured(1);
        if (!shown.contains(name)) {
            shown << name;
        }
    }
    shown.sort();
    EXPECT_EQ(shown, taken) << "run scripts/screenshots.sh and update the README's table";
    for (const QString& name : shown) {
        EXPECT_TRUE(QFile::exists(QStringLiteral(QUIVA_SOURCE_DIR "/docs/screenshots/") + name))
            << name.toStdString();
    }
}

}  // namespace
