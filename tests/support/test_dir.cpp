#include "support/test_dir.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/stat.h>

TestDir::TestDir() : m_dir(QDir::tempPath() + "/quiva-test-XXXXXX") {}

QString TestDir::Sub(const QString& relative) const { return m_dir.filePath(relative); }

QString TestDir::Write(const QString& relative, const QByteArray& content) {
    const QString path = Sub(relative);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        file.write(content);
    }
    return path;
}

QString TestDir::WriteSized(const QString& relative, qint64 size, char fill) {
    const QString path = Sub(relative);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        const QByteArray block(64 * 1024, fill);
        for (qint64 left = size; left > 0; left -= block.size()) {
            file.write(block.constData(), std::min<qint64>(left, block.size()));
        }
    }
    return path;
}

QString TestDir::MakeDir(const QString& relative) {
    const QString path = Sub(relative);
    QDir().mkpath(path);
    return path;
}

QByteArray TestDir::Read(const QString& relative) const {
    QFile file(QFileInfo(relative).isAbsolute() ? relative : Sub(relative));
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return file.readAll();
}

void TestDir::SetTimes(const QString& relative, const QDateTime& when) {
    const QByteArray path = Sub(relative).toLocal8Bit();
    struct timespec times[2];
    const qint64 ms = when.toMSecsSinceEpoch();
    times[0].tv_sec = times[1].tv_sec = ms / 1000;
    times[0].tv_nsec = times[1].tv_nsec = (ms % 1000) * 1000000;
    utimensat(AT_FDCWD, path.constData(), times, 0);
}
