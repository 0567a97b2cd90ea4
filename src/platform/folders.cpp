#include "platform/folders.h"

#include <QDir>
#include <QFileInfo>

namespace {

QString WithSlash(QString path) {
    if (!path.endsWith('/')) {
        path += '/';
    }
    return path;
}

}  // namespace

QString DefaultProgramFolder() {
    QString base = qEnvironmentVariable("XDG_DATA_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base)) {
        base = QDir::homePath() + "/.local/share";
    }
    return WithSlash(base) + "quiva-tessaline/";
}

QString HomeFolder() { return WithSlash(QDir::homePath()); }

QString TempFolder() { return QDir::tempPath(); }

bool MakeFolderPath(const QString& path) {
    if (path.isEmpty()) {
        return false;
    }
    QDir().mkpath(path);
    return QFileInfo(path).isDir();
}

bool FolderExists(const QString& path) { return !path.isEmpty() && QFileInfo(path).isDir(); }
