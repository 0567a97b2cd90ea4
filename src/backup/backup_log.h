// The backup log: one text file at a time in the logs folder, "Backups" + the local time
// of its creation + ".log", holding one UTF-16LE line "date,event,reason" per backup
// event (stored versions, skips, failures, blocked runs, watch problems).
#pragma once

#include <QDateTime>
#include <QList>
#include <QMutex>
#include <QString>

#include <functional>

// One line of the log, split into its three fields.
struct TLogEntry {
    QString when;  // "yyyy/mm/dd hh:nn:ss" with a no-break space between date and time
    QString event;
    QString reason;
};

// Thread safety: every operation runs under the log lock. The lock is never held while
// another lock of the program is taken; a caller may hold the backups lock while it
// appends a line, never the reverse.
class TBackupLog {
public:
    explicit TBackupLog(const QString& logsFolder);
    ~TBackupLog();
    TBackupLog(const TBackupLog&) = delete;
    TBackupLog& operator=(const TBackupLog&) = delete;

    // Closes the current log and opens a new one named after the current local time,
    // mode 0600 whatever the umask. A file of that name that already holds lines (a log
    // opened within the same second) is continued rather than replaced, so that no logged
    // line is lost, and is made 0600 as well; a symbolic link or anything but a regular
    // file of that name is never opened (no log then). Main thread.
    void OpenNewLog();

    // Closes the log; a log without lines is deleted. Main thread.
    void CloseLog();

    // Appends one line built from the current local time, the event and the reason. The
    // event and the reason are written in their one-line printable form (PrintableName:
    // raw name bytes as "\xHH", line breaks and tabs as "\n", "\r", "\t"), and commas in
    // the reason become ";", so that every event stays one line of three fields whatever
    // a file name holds. Does nothing without an open log. Any thread.
    void AppendLogLine(const QString& event, const QString& reason);

    // The whole text of the current log; empty without one. Main thread.
    QString ReadLog();

    // The path of the open log, or empty.
    QString FileName() const;

    // Replaces the clock (tests); by default the current local time.
    void SetClock(std::function<QDateTime()> clock);

    // "Backups" + "yyMMdd_hhmmss" + ".log" in the folder.
    static QString LogFileName(const QString& logsFolder, const QDateTime& when);
    // The time field of a line: "yyyy/MM/dd", U+00A0, "hh:mm:ss".
    static QString FormatLogTime(const QDateTime& when);

    // Splits a log's text into entries: the time up to the first comma, the reason after
    // the last comma, the event between them (so an event may hold commas and spaces).
    // Lines without two commas are left out.
    static QList<TLogEntry> ParseLog(const QString& text);
    // The number of lines in a log's text.
    static int CountLines(const QString& text);

private:
    void CloseLocked();

    mutable QMutex m_lock;
    QString m_logsFolder;
    int m_fd = -1;  // the open log, appended to
    QString m_fileName;
    std::function<QDateTime()> m_clock;
};
