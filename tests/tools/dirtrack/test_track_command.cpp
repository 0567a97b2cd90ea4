// `quiva track` end to end on a real folder: the lines it prints while changes happen, the
// end on an interrupt with the CSV file written, --only, and its refusals and usage errors.
#include "support/run_program.h"
#include "support/test_dir.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>

#include <csignal>

#include <gtest/gtest.h>

// Readable failures: a QString as its text.
void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace {

constexpr int kWaitMs = 15000;

void Touch(const QString& path) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Append)) << qPrintable(path);
    file.write("x");
}

// A running `quiva track` and what it has printed so far.
class TTracking {
public:
    TTracking(const TestDir& dir, const QStringList& args) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_DATA_HOME", dir.Sub("xdg"));
        m_process.setProcessEnvironment(environment);
        m_process.start(QStringLiteral(QUIVA_CLI_PATH), QStringList{"track"} + args);
    }
    ~TTracking() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }
    // Waits (bounded) until the output holds the text.
    bool WaitForOutput(const QString& text, int timeoutMs = kWaitMs) {
        QElapsedTimer clock;
        clock.start();
        while (!m_out.contains(text)) {
            if (clock.elapsed() > timeoutMs || m_process.state() == QProcess::NotRunning) {
                return false;
            }
            m_process.waitForReadyRead(100);
            m_out += QString::fromUtf8(m_process.readAllStandardOutput());
        }
        return true;
    }
    // Interrupts it as Ctrl+C does and waits for its end; its exit code.
    int Interrupt() {
        kill(static_cast<pid_t>(m_process.processId()), SIGINT);
        if (!m_process.waitForFinished(kWaitMs) || m_process.exitStatus() != QProcess::NormalExit) {
            return -1;
        }
        m_out += QString::fromUtf8(m_process.readAllStandardOutput());
        m_err = QString::fromUtf8(m_process.readAllStandardError());
        return m_process.exitCode();
    }
    QStringList Lines() const { return m_out.split('\n', Qt::SkipEmptyParts); }
    const QString& Err() const { return m_err; }

private:
    QProcess m_process;
    QString m_out;
    QString m_err;
};

// Makes marker files until the tracker reports one: from then on it is watching. (A marker
// made before its watch began is never reported, hence the next one.)
bool WaitUntilWatching(TTracking& tracking, const QString& folder) {
    for (int i = 0; i < 50; ++i) {
        const QString marker = QStringLiteral("marker%1").arg(i);
        Touch(folder + "/" + marker);
        if (tracking.WaitForOutput(marker, kWaitMs / 50)) {
            return true;
        }
    }
    return false;
}

TEST(TrackCommand, PrintsEachChangeAndWritesTheCsvAtTheEnd) {
    TestDir dir;
    const QString root = dir.MakeDir("watched");
    dir.MakeDir("outside");
    const QString csv = dir.Sub("record.csv");
    TTracking tracking(dir, {root, "--recurse", "--csv", csv});
    ASSERT_TRUE(WaitUntilWatching(tracking, root));

    Touch(root + "/report.txt");
    ASSERT_EQ(rename(qPrintable(root + "/report.txt"), qPrintable(root + "/final.txt")), 0);
    ASSERT_TRUE(QDir().mkpath(root + "/sub"));
    Touch(root + "/sub/inner.txt");
    Touch(root + "/a,b.txt");
    ASSERT_EQ(rename(qPrintable(root + "/final.txt"), qPrintable(dir.Sub("outside/final.txt"))), 0);
    ASSERT_TRUE(tracking.WaitForOutput(" Removed final.txt"));
    ASSERT_TRUE(tracking.WaitForOutput(" Added sub/inner.txt"));
    EXPECT_EQ(tracking.Interrupt(), 0) << qPrintable(tracking.Err());

    const QRegularExpression line(
        "^\\d\\d:\\d\\d:\\d\\d:\\d\\d\\d "
        "(Added|Removed|Modified|OldName|NewName) .+$");
    for (const QString& text : tracking.Lines()) {
        EXPECT_TRUE(line.match(text).hasMatch()) << qPrintable(text);
    }
    const QStringList lines = tracking.Lines();
    const auto has = [&lines](const QString& ending) {
        return std::any_of(lines.cbegin(), lines.cend(),
                           [&](const QString& l) { return l.endsWith(ending); });
    };
    EXPECT_TRUE(has(" Added report.txt"));
    EXPECT_TRUE(has(" OldName report.txt"));
    EXPECT_TRUE(has(" NewName final.txt"));
    EXPECT_TRUE(has(" Added sub"));
    EXPECT_TRUE(has(" Added a,b.txt"));

    QFile file(csv);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    EXPECT_TRUE(text.startsWith("\xEF\xBB\xBFObject,Date,Operation\r\n"));
    EXPECT_TRUE(text.contains("\r\n\"a,b.txt\",")) << text.constData();
    const QRegularExpression renamed("\r\nfinal.txt,\\d{6}:\\d{6},NewName\r\n");
    EXPECT_TRUE(renamed.match(QString::fromUtf8(text)).hasMatch()) << text.constData();
}

TEST(TrackCommand, OnlyPrintsTheKindsAskedButRecordsTheirCompanions) {
    TestDir dir;
    const QString root = dir.MakeDir("watched");
    const QString csv = dir.Sub("record.csv");
    TTracking tracking(dir, {root, "--only", "added", "--csv", csv});
    ASSERT_TRUE(WaitUntilWatching(tracking, root));
    Touch(root + "/short-lived.txt");
    ASSERT_TRUE(QFile::remove(root + "/short-lived.txt"));
    Touch(root + "/after.txt");
    ASSERT_TRUE(tracking.WaitForOutput(" Added after.txt"));
    EXPECT_EQ(tracking.Interrupt(), 0);
    for (const QString& text : tracking.Lines()) {
        EXPECT_TRUE(text.contains(" Added ")) << qPrintable(text);
    }
    QFile file(csv);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_TRUE(file.readAll().contains("short-lived.txt,"));
}

TEST(TrackCommand, RefusalsAndUsageErrors) {
    TestDir dir;
    const QString root = dir.MakeDir("watched");
    struct Case {
        QList<QByteArray> args;
        int exitCode;
        QByteArray err;  // the start of what it says on stderr
    };
    const QByteArray folder = QFile::encodeName(root);
    const Case cases[] = {
        {{"track"}, 2, "quiva track: expected one folder DIR"},
        {{"track", folder, folder}, 2, "quiva track: expected one folder DIR"},
        {{"track", folder, "--seconds", "0"}, 2, "quiva track: --seconds takes a number"},
        {{"track", folder, "--only", "added,bogus"},
         2,
         "quiva track: --only takes added, removed, modified or renamed: 'bogus'"},
        {{"track", folder, "--frequency"}, 2, "quiva track: unknown option --frequency"},
        {{"track", QFile::encodeName(dir.Sub("missing")), "--seconds", "1"},
         1,
         "quiva track: First select a valid folder to track\n"},
        {{"track", folder, "--only", ",", "--seconds", "1"},
         1,
         "quiva track: First select something to track!\n"},
        {{"track", folder, "--seconds", "1", "--csv", QFile::encodeName(dir.Sub("none.csv"))},
         1,
         "Tracking " + folder +
             "/\nquiva track: Nothing to save!\n"},  // the start, then the refusal
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.join(' ').constData());
        const TProgramRun run = RunProgram(QList<QByteArray>{QUIVA_CLI_PATH} + c.args, {},
                                           {"XDG_DATA_HOME=" + QFile::encodeName(dir.Sub("xdg"))});
        EXPECT_EQ(run.exitCode, c.exitCode);
        EXPECT_TRUE(run.err.startsWith(c.err)) << run.err.constData();
        EXPECT_TRUE(run.out.isEmpty()) << run.out.constData();
    }
    EXPECT_FALSE(QFile::exists(dir.Sub("none.csv")));
}

}  // namespace
