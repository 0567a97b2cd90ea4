#include "backup/backup_log.h"

#include <QMutexLocker>

namespace {

constexpr char16_t kNoBreakSpace = u'\u00A0';
const QString kLineEnd = QStringLiteral("\r\n");

QByteArray Utf16Le(const QString& text) {
    QByteArray bytes(text.size() * 2, Qt::Uninitialized);
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i].unicode();
        bytes[2 * i] = static_cast<char>(unit & 0xFF);
        bytes[2 * i + 1] = static_cast<char>(unit >> 8);
    }
    return bytes;
}

QString FromUtf16Le(const QByteArray& bytes) {
    QString text(bytes.size() / 2, Qt::Uninitialized);
    for (qsizetype i = 0; i < text.size(); ++i) {
        text[i] = QChar(static_cast<char16_t>(static_cast<quint8>(bytes[2 * i]) |
                                              (static_cast<quint8>(bytes[2 * i + 1]) << 8)));
    }
    return text;
}

QString OneLine(QString text) {
    text.replace('\r', ' ');
    text.replace('\n', ' ');
    return text;
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
    m_file.setFileName(LogFileName(m_logsFolder, m_clock()));
    // Unbuffered, so that every line is in the file at once for readers and a crash.
    if (m_file.open(QIODevice::ReadWrite | QIODevice::Unbuffered)) {
        m_file.seek(m_file.size());
    }
}

void TBackupLog::CloseLog() {
    QMutexLocker locker(&m_lock);
    CloseLocked();
}

void TBackupLog::CloseLocked() {
    if (!m_file.isOpen()) {
        return;
    }
    const qint64 size = m_file.size();
    m_file.close();
    if (size == 0) {
        m_file.remove();
    }
}

void TBackupLog::AppendLogLine(const QString& event, const QString& reason) {
    QMutexLocker locker(&m_lock);
    if (!m_file.isOpen()) {
        return;
    }
    QString safeReason = OneLine(reason);
    safeReason.replace(',', ';');
    const QString line =
        FormatLogTime(m_clock()) + ',' + OneLine(event) + ',' + safeReason + kLineEnd;
    m_file.seek(m_file.size());
    m_file.write(Utf16Le(line));
}

QString TBackupLog::ReadLog() {
    QMutexLocker locker(&m_lock);
    if (!m_file.isOpen()) {
        return {};
    }
    m_file.seek(0);
    const QByteArray bytes = m_file.readAll();
    m_file.seek(m_file.size());
    return FromUtf16Le(bytes);
}

QString TBackupLog::FileName() const {
    QMutexLocker locker(&m_lock);
    return m_file.isOpen() ? m_file.fileName() : QString();
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
