#include "backup/backup_log.h"

#include "base/utf16le.h"

#include "platform/native_name.h"

#include <QMutexLocker>

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr mode_t kLogMode = 0600;

constexpr char16_t kNoBreakSpace = u'\u00A0';
const QString kLineEnd = QStringLiteral("\r\n");

bool WriteAll(int fd, const QByteArray& bytes) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n =
            write(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += n;
    }
    return true;
}

qint64 SizeOf(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 ? static_cast<qint64>(st.st_size) : -1;
}

}  // namespace

TBackupLog::TBackupLog(const QString& logsFolder)
    : m_logsFolder(logsFolder), m_clock([] { return QDateTime::currentDateTime(); }) {}

TBackupLog::~TBackupLog() {
    CloseLog();
}

QString TBackupLog::LogFileName(const QString& logsFolder, const QDateTime& when) {
    return logsFolder + QStringLiteral("Backups") + when.toString(QStringLiteral("yyMMdd_hhmmss")) +
           QStringLiteral(".log");
}

QString TBackupLog::FormatLogTime(const QDateTime& when) {
    return when.toString(QStringLiteral("yyyy/MM/dd")) + QChar(kNoBreakSpace) +
           when.toString(QStringLiteral("hh:mm:ss"));
}

void TBackupLog::SetClock(std::function<QDateTime()> clock) {
    QMutexLocker locker(&m_lock);
    m_clock = std::move(clock);
}

void TBackupLog::OpenNewLog() {
    QMutexLocker locker(&m_lock);
    CloseLocked();
    const QString name = LogFileName(m_logsFolder, m_clock());
    // Private whatever the umask, never through a link; a log continued within the same
    // second is tightened too. Every line is written straight to the file (appended), so
    // that readers and a crash see it at once.
    const int fd = open(
        EncodeNativeName(name).constData(),
        O_RDWR | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, kLogMode);
    if (fd < 0) {
        return;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || fchmod(fd, kLogMode) != 0) {
        close(fd);
        return;
    }
    m_fd = fd;
    m_fileName = name;
}

void TBackupLog::CloseLog() {
    QMutexLocker locker(&m_lock);
    CloseLocked();
}

void TBackupLog::CloseLocked() {
    if (m_fd < 0) {
        return;
    }
    const qint64 size = SizeOf(m_fd);
    close(m_fd);
    m_fd = -1;
    if (size == 0) {
        unlink(EncodeNativeName(m_fileName).constData());
    }
    m_fileName.clear();
}

void TBackupLog::AppendLogLine(const QString& event, const QString& reason) {
    QMutexLocker locker(&m_lock);
    if (m_fd < 0) {
        return;
    }
    // Names go in their one-line printable form (raw bytes as \xHH, line breaks
    // escaped), so that every event is one line and the log stays valid UTF-16.
    QString safeReason = PrintableName(reason);
    safeReason.replace(',', ';');
    const QString line =
        FormatLogTime(m_clock()) + ',' + PrintableName(event) + ',' + safeReason + kLineEnd;
    (void)WriteAll(m_fd, ToUtf16Le(line));
}

QString TBackupLog::ReadLog() {
    QMutexLocker locker(&m_lock);
    if (m_fd < 0) {
        return {};
    }
    const qint64 size = SizeOf(m_fd);
    QByteArray bytes(std::max<qint64>(size, 0), Qt::Uninitialized);
    qint64 got = 0;
    while (got < bytes.size()) {
        const ssize_t n =
            pread(m_fd, bytes.data() + got, static_cast<size_t>(bytes.size() - got), got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got += n;
    }
    bytes.truncate(got);
    return FromUtf16Le(bytes);
}

QString TBackupLog::FileName() const {
    QMutexLocker locker(&m_lock);
    return m_fileName;
}

QList<TLogEntry> TBackupLog::ParseLog(const QString& text) {
    QList<TLogEntry> entries;
    for (const QStringView line : QStringView(text).split(kLineEnd, Qt::SkipEmptyParts)) {
        const qsizetype first = line.indexOf(',');
        const qsizetype last = line.lastIndexOf(',');
        if (first < 0 || last == first) {
            continue;
        }
        entries.append({line.left(first).toString(),
                        line.mid(first + 1, last - first - 1).toString(),
                        line.mid(last + 1).toString()});
    }
    return entries;
}

int TBackupLog::CountLines(const QString& text) {
    return static_cast<int>(QStringView(text).split(kLineEnd, Qt::SkipEmptyParts).size());
}
