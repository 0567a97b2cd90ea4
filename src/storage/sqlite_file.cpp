#include "storage/sqlite_file.h"

#include "platform/folders.h"
#include "platform/native_name.h"
#include "storage/sqlite_layer.h"

#include <sqlite3.h>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kNewFileBusyTimeoutMs = 100;
constexpr int kNewFileSynchronous = 1;

QString ErrnoText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

}  // namespace

bool CreateDatabaseFile(const QString& path, const std::function<void(TSQLTables&)>& build,
                        QString* reason) {
    errno = 0;
    if (!CreatePrivateFile(path)) {
        if (reason != nullptr) {
            *reason = ErrnoText(errno != 0 ? errno : EIO);
        }
        return false;
    }
    try {
        TSQLTables db(path, kNewFileBusyTimeoutMs, kNewFileSynchronous, TSQLOpenMode::kReadWrite);
        build(db);
    } catch (const ESQLite& error) {
        RemoveFile(path);
        RemoveFile(path + QStringLiteral("-journal"));
        if (reason != nullptr) {
            *reason = QString::fromUtf8(sqlite3_errstr(error.Code()));
        }
        return false;
    }
    return true;
}

bool CreateDatabaseInPlace(const QString& path, const std::function<void(TSQLTables&)>& build,
                           QString* reason) {
    const QString building = path + QStringLiteral(".new");
    RemoveFile(building);  // a leftover of a run that stopped half-way
    if (!CreateDatabaseFile(building, build, reason)) {
        return false;
    }
    if (!RenameNoReplace(building, path)) {
        const int error = errno;
        RemoveFile(building);  // another file took the name meanwhile, or it cannot be moved
        if (reason != nullptr) {
            *reason = ErrnoText(error);
        }
        return false;
    }
    return true;
}

void CompactDatabase(TSQLTables& db) {
    try {
        db.ExecScript(QStringLiteral("vacuum"));
    } catch (const ESQLite&) {
        // Compacting is a courtesy; the data is already safe.
    }
}

bool RenameNoReplace(const QString& from, const QString& to) {
    const QByteArray source = EncodeNativeName(from);
    const QByteArray target = EncodeNativeName(to);
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) ==
        0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return false;
    }
    // A file system without the no-replace rename: test first, then rename.
    struct stat facts {};
    if (::lstat(target.constData(), &facts) == 0) {
        errno = EEXIST;
        return false;
    }
    return errno == ENOENT && ::rename(source.constData(), target.constData()) == 0;
}
