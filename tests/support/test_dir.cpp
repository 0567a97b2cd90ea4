#include "support/test_dir.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>

namespace {

int RemoveEntry(const char* path, const struct stat*, int, FTW*) {
    remove(path);
    return 0;  // go on with the rest whatever happened
}

}  // namespace

TestDir::TestDir() : m_dir(QDir::tempPath() + "/quiva-test-XXXXXX") {}

TestDir::~TestDir() {
    if (m_dir.isValid()) {
        nftw(QFile::encodeName(m_dir.path()).constData(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    }
}

QString TestDir::Sub(const QString& relative) const {
    return m_dir.filePath(relative);
}

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
