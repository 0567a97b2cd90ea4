// The backup log file: its name, UTF-16LE lines with the no-break space, empty logs
// removed on close, and lines never lost to a log opened again within the same second.
#include "backup/backup_log.h"
#include "platform/native_name.h"
#include "support/test_dir.h"

#include <QDir>
#include <QFile>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

const QDateTime kWhen(QDate(2009, 12, 15), QTime(13, 45, 1));

class BackupLog : public ::testing::Test {
protected:
    QString Folder() const { return m_dir.Path() + "/"; }
    QByteArray FileBytes(const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    TestDir m_dir;
};

TEST_F(BackupLog, NameAndLineFormat) {
    EXPECT_EQ(TBackupLog::LogFileName("/logs/", kWhen), "/logs/Backups091215_134501.log");
    TBackupLog log(Folder());
    log.SetClock([] { return kWhen; });
    log.OpenNewLog();
    EXPECT_EQ(log.FileName(), Folder() + "Backups091215_134501.log");
    log.AppendLogLine("/home/u/a.txt", "0");
    log.AppendLogLine("Failed:/home/u/b.txt", "1");

    const QByteArray bytes = FileBytes(log.FileName());
    const QString expected = QStringLiteral(
        "2009/12/15\u00A013:45:01,/home/u/a.txt,0\r\n"
        "2009/12/15\u00A013:45:01,Failed:/home/u/b.txt,1\r\n");
    // UTF-16LE without a byte-order mark, two bytes per character.
    ASSERT_EQ(bytes.size(), expected.size() * 2);
    EXPECT_EQ(static_cast<quint8>(bytes[20]), 0xA0);
    EXPECT_EQ(static_cast<quint8>(bytes[21]), 0x00);
    EXPECT_EQ(
        QString::fromUtf16(reinterpret_cast<const char16_t*>(bytes.constData()), bytes.size() / 2),
        expected);
    EXPECT_EQ(log.ReadLog(), expected);
    // After reading, lines still go to the end.
    log.AppendLogLine("x", "-1");
    EXPECT_TRUE(log.ReadLog().endsWith(",x,-1\r\n"));
    EXPECT_EQ(TBackupLog::CountLines(log.ReadLog()), 3);
}

TEST_F(BackupLog, EmptyLogIsDeletedOnCloseAndOneWithLinesStays) {
    TBackupLog log(Folder());
    log.SetClock([] { return kWhen; });
    log.OpenNewLog();
    const QString first = log.FileName();
    EXPECT_TRUE(QFile::exists(first));
    log.CloseLog();
    EXPECT_FALSE(QFile::exists(first));
    EXPECT_EQ(log.ReadLog(), QString());
    log.AppendLogLine("lost", "0");  // no open log: nothing happens

    log.OpenNewLog();
    log.AppendLogLine("kept", "0");
    log.SetClock([] { return kWhen.addSecs(5); });
    log.OpenNewLog();
    EXPECT_TRUE(QFile::exists(first));
    EXPECT_NE(log.FileName(), first);
    log.CloseLog();
    EXPECT_EQ(QDir(Folder()).entryList(QDir::Files), QStringList({"Backups091215_134501.log"}));
}

TEST_F(BackupLog, AReopenedLogWithinTheSameSecondKeepsItsLines) {
    TBackupLog log(Folder());
    log.SetClock([] { return kWhen; });
    log.OpenNewLog();
    log.AppendLogLine("first", "0");
    log.OpenNewLog();  // same name
    log.AppendLogLine("second", "0");
    const QList<TLogEntry> entries = TBackupLog::ParseLog(log.ReadLog());
    ASSERT_EQ(entries.size(), 2);
    EXPECT_EQ(entries[0].event, "first");
    EXPECT_EQ(entries[1].event, "second");
}

TEST_F(BackupLog, ParsingKeepsEventsWithSpacesAndCommas) {
    TBackupLog log(Folder());
    log.SetClock([] { return kWhen; });
    log.OpenNewLog();
    log.AppendLogLine("/home/u/My Documents/a, b.txt", "0");
    log.AppendLogLine("", "No such file, or folder");
    log.AppendLogLine("line\nbreak", "2");
    const QString text = log.ReadLog();
    EXPECT_EQ(TBackupLog::CountLines(text), 3);
    const QList<TLogEntry> entries = TBackupLog::ParseLog(text);
    ASSERT_EQ(entries.size(), 3);
    EXPECT_EQ(entries[0].when, QStringLiteral("2009/12/15\u00A013:45:01"));
    EXPECT_EQ(entries[0].event, "/home/u/My Documents/a, b.txt");
    EXPECT_EQ(entries[0].reason, "0");
    EXPECT_EQ(entries[1].event, "");
    EXPECT_EQ(entries[1].reason, "No such file; or folder");
    EXPECT_EQ(entries[2].event, "line\\nbreak");
    EXPECT_TRUE(TBackupLog::ParseLog("no commas here\r\none,comma\r\n").isEmpty());
}

TEST_F(BackupLog, EveryNameStaysOneLineAndEveryByteShows) {
    TBackupLog log(Folder());
    log.SetClock([] { return kWhen; });
    log.OpenNewLog();
    const QString raw = DecodeNativeName(QByteArray("/t/caf\xE9\n.txt"));
    log.AppendLogLine(raw, "-2");
    log.AppendLogLine("Failed:/t/tab\there\r.txt", "1");
    log.AppendLogLine("/t/plain, with comma.txt", "why,\nnot");
    const QString text = log.ReadLog();
    EXPECT_EQ(TBackupLog::CountLines(text), 3);
    const QList<TLogEntry> entries = TBackupLog::ParseLog(text);
    ASSERT_EQ(entries.size(), 3);
    EXPECT_EQ(entries[0].event, "/t/caf\\xE9\\n.txt");
    EXPECT_EQ(entries[0].reason, "-2");
    EXPECT_EQ(entries[1].event, "Failed:/t/tab\\there\\r.txt");
    EXPECT_EQ(entries[2].event, "/t/plain, with comma.txt");
    EXPECT_EQ(entries[2].reason, "why;\\nnot");
    // No lone surrogate reaches the file: it stays valid UTF-16.
    EXPECT_FALSE(text.contains(QChar(0xDCE9)));
}

TEST_F(BackupLog, LogsArePrivateWhateverTheUmaskAndNeverALinksTarget) {
    const mode_t old = umask(0);
    TBackupLog log(Folder());
    log.SetClock([] { return kWhen; });
    log.OpenNewLog();
    log.AppendLogLine("a", "0");
    struct stat st;
    ASSERT_EQ(stat(qPrintable(log.FileName()), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    // A log continued within the same second is tightened.
    ASSERT_EQ(chmod(qPrintable(log.FileName()), 0644), 0);
    log.OpenNewLog();
    ASSERT_EQ(stat(qPrintable(log.FileName()), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    log.CloseLog();
    umask(old);

    // A link planted at the next log's name is not followed: no log, the target untouched.
    const QString target = m_dir.Write("elsewhere.txt", "mine");
    const QDateTime later = kWhen.addSecs(60);
    ASSERT_EQ(symlink(qPrintable(target), qPrintable(TBackupLog::LogFileName(Folder(), later))), 0);
    log.SetClock([later] { return later; });
    log.OpenNewLog();
    EXPECT_EQ(log.FileName(), QString());
    log.AppendLogLine("lost", "0");
    EXPECT_EQ(m_dir.Read(target), "mine");
}

}  // namespace
