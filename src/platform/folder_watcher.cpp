#include "platform/folder_watcher.h"

#include "platform/file_access.h"
#include "platform/native_name.h"

#include <QFile>

#include <algorithm>
#include <limits>

#include <cerrno>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr size_t kEventBufferSize = 64 * 1024;
// How long the first half of a rename that ended what the system had queued waits for its
// second half, which the system queues within the same rename call.
constexpr int kRenameHalfWaitMs = 20;
// New files whose writer never closes them (FIFOs, hard links) are forgotten past this.
constexpr qsizetype kCreatedMemory = 16384;
// Files whose last content event is remembered; past this the memory starts again.
constexpr qsizetype kContentMemory = 16384;

// Now by the coarse real-time clock, which the system stamps status changes with.
qint64 CoarseNow() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME_COARSE, &now);
    return static_cast<qint64>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

qint64 ChangeTime(const struct stat& st) {
    return static_cast<qint64>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
}

QString SystemText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// The number a /proc file holds, or -1.
qint64 ProcNumber(const char* path) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    char text[32] = {};
    const ssize_t length = read(fd, text, sizeof text - 1);
    close(fd);
    if (length <= 0) {
        return -1;
    }
    bool ok = false;
    const qint64 value = QByteArray(text, length).trimmed().toLongLong(&ok);
    return ok ? value : -1;
}

// The watches that the user's programs hold: the "inotify wd:" lines of every inotify
// descriptor of the user's processes (an instance shared by several processes counts once).
qint64 WatchesHeldByUser() {
    const uid_t user = geteuid();
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        return 0;
    }
    qint64 held = 0;
    QSet<size_t> seen;
    while (const struct dirent* process = readdir(proc)) {
        if (process->d_name[0] < '1' || process->d_name[0] > '9') {
            continue;
        }
        const QByteArray base = QByteArray("/proc/") + process->d_name;
        struct stat owner;
        if (stat(base.constData(), &owner) != 0 || owner.st_uid != user) {
            continue;
        }
        DIR* fds = opendir((base + "/fd").constData());
        if (fds == nullptr) {
            continue;
        }
        while (const struct dirent* fd = readdir(fds)) {
            if (fd->d_name[0] < '0' || fd->d_name[0] > '9') {
                continue;
            }
            char target[64] = {};
            const QByteArray link = base + "/fd/" + fd->d_name;
            const ssize_t length = readlink(link.constData(), target, sizeof target - 1);
            if (length <= 0 || qstrcmp(target, "anon_inode:inotify") != 0) {
                continue;
            }
            QFile info(QString::fromLatin1(base + "/fdinfo/" + fd->d_name));
            if (!info.open(QIODevice::ReadOnly)) {
                continue;
            }
            const QByteArray text = info.readAll();
            const size_t key = qHash(text);
            if (seen.contains(key)) {
                continue;
            }
            seen.insert(key);
            held += text.count("inotify wd:");
        }
        closedir(fds);
    }
    closedir(proc);
    return held;
}

}  // namespace

TFolderWatcher::TFolderWatcher() = default;

TFolderWatcher::~TFolderWatcher() {
    Close();
}

QString TFolderWatcher::WatchLimitText() {
    return QStringLiteral(
        "The system's limit on watched folders is reached (fs.inotify.max_user_watches); "
        "raise the limit or watch a smaller folder tree");
}

QString TFolderWatcher::TooManyFoldersText(const QString& folder, qint64 folders, qint64 limit,
                                           qint64 held) {
    // A limit with room to spare, in steps of 64 Ki.
    constexpr qint64 kStep = 65536;
    const qint64 suggested = ((folders + held) * 2 + kStep - 1) / kStep * kStep;
    return QStringLiteral(
               "%1 holds %2 folders, more than can be watched: the system lets this user "
               "watch %3 folders (fs.inotify.max_user_watches) and other programs hold %4 of "
               "them. Raise the limit with a file in /etc/sysctl.d/ (for example "
               "90-watches.conf) holding the line \"fs.inotify.max_user_watches = %5\", then "
               "run \"sysctl --system\"; or watch a smaller folder tree")
        .arg(folder)
        .arg(folders)
        .arg(limit)
        .arg(held)
        .arg(suggested);
}

QString TFolderWatcher::LastRescanText() const {
    return QStringLiteral("%1 folders rescanned, %2 changed files found")
        .arg(m_rescan.folders)
        .arg(m_rescan.files);
}

quint32 TFolderWatcher::WatchMask() const {
    const quint32 filter = m_options.filter;
    quint32 mask = IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK | IN_DELETE_SELF | IN_MOVE_SELF;
    if ((filter & (kNotifyFileName | kNotifyDirName)) != 0 || m_options.recursive) {
        mask |= IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
    }
    if ((filter & (kNotifySize | kNotifyLastWrite)) != 0) {
        // When the writer must be done, writes (and the truncation of a file opened for
        // writing again) are noted, not reported: the close after writing is. Otherwise
        // every write counts, and so does a close after writing (which also catches writes
        // through a memory map). Opens are never watched: the system reports the opening of
        // a watched folder too, so every listing (ours above all) would fill the queue.
        mask |= m_options.whenWriterDone ? (IN_CREATE | IN_CLOSE_WRITE | IN_MODIFY)
                                         : (IN_MODIFY | IN_CLOSE_WRITE);
    }
    if ((filter & (kNotifyAttributes | kNotifySecurity)) != 0) {
        mask |= IN_ATTRIB;
    }
    if ((filter & kNotifyLastAccess) != 0) {
        // Listing a folder reads it too; those reads are never reported.
        mask |= IN_ACCESS;
    }
    return mask;
}

// A file's print: what tells that it changed. Its inode, size and last write; with
// attributes watched, also its mode, owner and status change time.
quint64 TFolderWatcher::Print(const struct stat& st) const {
    quint64 parts[9] = {static_cast<quint64>(st.st_ino),
                        static_cast<quint64>(st.st_size),
                        static_cast<quint64>(st.st_mtim.tv_sec),
                        static_cast<quint64>(st.st_mtim.tv_nsec),
                        0,
                        0,
                        0,
                        0,
                        0};
    if ((m_options.filter & (kNotifyAttributes | kNotifySecurity)) != 0) {
        parts[4] = static_cast<quint64>(st.st_ctim.tv_sec);
        parts[5] = static_cast<quint64>(st.st_ctim.tv_nsec);
        parts[6] = st.st_mode;
        parts[7] = st.st_uid;
        parts[8] = st.st_gid;
    }
    const quint64 print = static_cast<quint64>(qHashBits(parts, sizeof parts, 0x7a11));
    return print == 0 ? 1 : print;
}

bool TFolderWatcher::Open(const QString& folder, const TOptions& options) {
    Close();
    m_error.clear();
    m_options = options;
    m_root = folder.endsWith('/') ? folder : folder + '/';
    m_inotifyFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_inotifyFd < 0) {
        m_error = errno == EMFILE ? QStringLiteral(
                                        "The system's limit on folder watchers is reached "
                                        "(fs.inotify.max_user_instances)")
                                  : SystemText(errno);
        return false;
    }
    m_stopFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_stopFd < 0) {
        m_error = SystemText(errno);
        Close();
        return false;
    }
    if (EntryKind(m_root) != kEntryFolder) {
        m_error = QStringLiteral("Could not watch %1: %2").arg(m_root, SystemText(ENOENT));
        Close();
        return false;
    }
    // What the user may still watch: the system's limit less what other programs hold.
    qint64 limit = m_options.watchLimit;
    qint64 held = 0;
    if (limit <= 0) {
        limit = ProcNumber("/proc/sys/fs/inotify/max_user_watches");
        held = limit > 0 ? WatchesHeldByUser() : 0;
    }
    m_budget = limit > 0 ? std::max<qint64>(limit - held, 0) : std::numeric_limits<qint64>::max();
    m_opening = true;
    m_counting = false;
    m_walked = 0;
    QList<TFolderChange> none;
    const bool walked = Walk(QString(), kWalkQuiet, none);
    m_opening = false;
    if (m_counting) {
        // Refused as a whole rather than watched in part.
        m_error = TooManyFoldersText(m_root, m_walked, limit, held);
        Close();
        return false;
    }
    if (!walked || m_rootWatch < 0) {
        if (m_error.isEmpty()) {
            m_error = QStringLiteral("Could not watch %1").arg(m_root);
        }
        Close();
        return false;
    }
    return true;
}

void TFolderWatcher::Close() {
    const std::lock_guard<std::mutex> locker(m_stateLock);
    m_contentEvents.clear();
    m_passDone.notify_all();
    if (m_inotifyFd >= 0) {
        close(m_inotifyFd);
        m_inotifyFd = -1;
    }
    if (m_stopFd >= 0) {
        close(m_stopFd);
        m_stopFd = -1;
    }
    m_rootWatch = -1;
    m_watches.clear();
    m_marks.Clear();
    m_created.clear();
    m_scanned.clear();
    m_visited.clear();
    m_moved.clear();
    m_confirmBytes = 0;
}

void TFolderWatcher::CatchUp(int timeoutMs) {
    std::unique_lock<std::mutex> locker(m_stateLock);
    int waiting = 0;
    if (m_inotifyFd < 0 || ioctl(m_inotifyFd, FIONREAD, &waiting) != 0 || waiting <= 0) {
        return;
    }
    // The reader reads until the queue is empty in one pass, so the next pass that ends
    // has taken what is queued now.
    const quint64 target = m_passes + 1;
    m_passDone.wait_for(locker, std::chrono::milliseconds(timeoutMs),
                        [&] { return m_passes >= target || m_inotifyFd < 0; });
}

bool TFolderWatcher::ContentChangedSince(const QString& name, quint64 serial) const {
    const std::lock_guard<std::mutex> locker(m_stateLock);
    const auto found = m_contentEvents.constFind(name);
    return found != m_contentEvents.cend() && found.value() > serial;
}

void TFolderWatcher::NoteContentEvent(const QString& name) {
    if (m_contentEvents.size() >= kContentMemory) {
        m_contentEvents.clear();
    }
    m_contentEvents.insert(name, m_serial);
}

void TFolderWatcher::RequestStop() {
    if (m_stopFd >= 0) {
        const quint64 one = 1;
        [[maybe_unused]] const ssize_t written = write(m_stopFd, &one, sizeof one);
    }
}

// ---- walks -------------------------------------------------------------------------------

// Watches the folder `relative` (below the root, "" for the root itself, else ending in
// "/") and, when recursive, every folder below it, marking the files found. A folder is
// watched before it is listed, so that nothing made after the listing goes unannounced.
// What is reported depends on the mode. False only when watching must end (the system's
// limit); m_error then says why.
bool TFolderWatcher::Walk(const QString& relative, TWalkMode mode, QList<TFolderChange>& batch) {
    QStringList folders{relative};
    const bool dirNames = (m_options.filter & kNotifyDirName) != 0;
    const bool fileNames = (m_options.filter & kNotifyFileName) != 0;
    const bool contents = (m_options.filter & (kNotifySize | kNotifyLastWrite | kNotifyAttributes |
                                               kNotifySecurity)) != 0;
    while (!folders.isEmpty()) {
        const QString current = folders.takeFirst();
        int watch = -1;
        if (!WatchFolder(current, mode, batch, watch)) {
            return false;
        }
        if (watch < 0 && !m_counting) {
            continue;  // gone again, or not readable: nothing to watch there
        }
        ++m_walked;
        const QByteArray path = EncodeNativeName(m_root + current);
        const int dirFd = open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (dirFd < 0) {
            continue;
        }
        DIR* dir = fdopendir(dirFd);
        if (dir == nullptr) {
            close(dirFd);
            continue;
        }
        // Only a walk that compares reads each file's status; the others know the files by
        // inode and the moment of the listing. The rescan may have reported the files of a
        // folder that appears just after it already.
        const TWalkMode folderMode =
            mode == kWalkReport && m_confirmBytes > 0 && watch >= 0 ? kWalkCompare : mode;
        const bool compare = folderMode == kWalkCompare && watch >= 0;
        const TMarkList* known = compare ? &m_marks.Known(watch) : nullptr;
        TMarkList list;
        list.SetSince(CoarseNow());
        while (const struct dirent* entry = readdir(dir)) {
            const char* name = entry->d_name;
            if (qstrcmp(name, ".") == 0 || qstrcmp(name, "..") == 0) {
                continue;
            }
            struct stat st;
            bool statted = false;
            bool isFolder = entry->d_type == DT_DIR;
            if (entry->d_type == DT_UNKNOWN) {
                statted = fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0;
                isFolder = statted && S_ISDIR(st.st_mode);
            }
            if (isFolder) {
                if (m_options.recursive) {
                    folders.append(current + DecodeNativeName(name) + '/');
                }
                if (folderMode == kWalkReport) {
                    const QString folderName = current + DecodeNativeName(name);
                    m_scanned.insert(folderName);
                    if (dirNames) {
                        batch.append({kChangeAdded, folderName});
                    }
                }
                continue;
            }
            if (m_counting || watch < 0) {
                continue;
            }
            const qsizetype length = static_cast<qsizetype>(std::strlen(name));
            if (!compare) {
                list.Add(name, length, entry->d_ino, true);
                if (folderMode == kWalkReport) {
                    const QString fileName = current + DecodeNativeName(name);
                    m_scanned.insert(fileName);
                    if (fileNames) {
                        batch.append({kChangeAdded, fileName});
                    }
                }
                continue;
            }
            if (!statted && fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                continue;  // gone again
            }
            const quint64 print = Print(st);
            const TMarkList::TMark* before = known->FindMark(QByteArray::fromRawData(name, length));
            int action = kChangeNone;
            if (before == nullptr) {
                action = fileNames ? kChangeAdded : kChangeNone;
            } else if (contents) {
                const bool changed = before->byInode != 0
                                         ? before->print != static_cast<quint64>(st.st_ino) ||
                                               ChangeTime(st) >= known->Since()
                                         : before->print != print;
                action = changed ? kChangeModified : kChangeNone;
            }
            if (action != kChangeNone) {
                batch.append({action, current + DecodeNativeName(name), m_serial});
                ++m_rescan.files;
            }
            list.Add(name, length, print);
        }
        closedir(dir);
        if (watch < 0) {
            continue;
        }
        list.Finish();
        if (compare && fileNames) {
            ReportRemoved(*known, list, current, batch);
        }
        m_marks.Set(watch, std::move(list));
    }
    return true;
}

// Adds the watch of one folder of a walk (`watch` stays -1 when the folder cannot be
// watched). False when watching must end.
bool TFolderWatcher::WatchFolder(const QString& relative, TWalkMode mode,
                                 QList<TFolderChange>& batch, int& watch) {
    watch = -1;
    if (m_counting) {
        return true;
    }
    watch = inotify_add_watch(m_inotifyFd, EncodeNativeName(m_root + relative).constData(),
                              WatchMask());
    const int error = errno;
    const bool overBudget = watch >= 0 && !m_watches.contains(watch) &&
                            static_cast<qint64>(m_watches.size()) >= m_budget;
    if (overBudget || (watch < 0 && error == ENOSPC)) {
        if (overBudget) {
            inotify_rm_watch(m_inotifyFd, watch);
            watch = -1;
        }
        if (m_opening) {
            m_counting = true;  // the start counts the rest of the tree for its refusal
            return true;
        }
        m_error = WatchLimitText();
        return false;
    }
    if (watch < 0) {
        if (relative.isEmpty()) {
            m_error = QStringLiteral("Could not watch %1: %2").arg(m_root, SystemText(error));
            return false;
        }
        return true;
    }
    const auto known = m_watches.find(watch);
    if (known == m_watches.end()) {
        m_watches.insert(watch, relative);
        if (mode == kWalkCompare && !relative.isEmpty() &&
            (m_options.filter & kNotifyDirName) != 0) {
            batch.append({kChangeAdded, relative.chopped(1), m_serial});  // made meanwhile
        }
    } else if (known.value() != relative) {
        // Moved while events were lost: found at its new place. Its files keep their marks.
        const QString from = known.value();
        const bool implied = std::any_of(m_moved.cbegin(), m_moved.cend(), [&](const auto& move) {
            return from.startsWith(move.first) &&
                   relative == move.second + from.mid(move.first.size());
        });
        if (mode == kWalkCompare && !implied) {
            m_moved.append({from, relative});
            if ((m_options.filter & kNotifyDirName) != 0) {
                batch.append({kChangeRenamedFrom, from.chopped(1)});
                batch.append({kChangeRenamedTo, relative.chopped(1)});
                ++m_rescan.files;
            }
        }
        known.value() = relative;
    }
    if (relative.isEmpty()) {
        m_rootWatch = watch;
    }
    if (mode == kWalkCompare) {
        m_visited.insert(watch);
    }
    return true;
}

// Reports the files of `before` (what was known of a folder) that `now` (its listing, by
// name hash) no longer holds.
void TFolderWatcher::ReportRemoved(const TMarkList& before, const TMarkList& now,
                                   const QString& relative, QList<TFolderChange>& batch) {
    const auto& found = now.Marks();
    size_t i = 0;
    for (const TMarkList::TMark& mark : before.Marks()) {
        while (i < found.size() && found[i].nameHash < mark.nameHash) {
            ++i;
        }
        if (i == found.size() || found[i].nameHash != mark.nameHash) {
            batch.append(
                {kChangeRemoved, relative + DecodeNativeName(before.NameOf(mark)), m_serial});
            ++m_rescan.files;
        }
    }
}

// After the system dropped events: walks the whole tree again, watching the folders made
// meanwhile and reporting every file that differs from what the watcher knew. The walk
// itself causes no event the watches report. False when watching must end.
bool TFolderWatcher::Rescan(QList<TFolderChange>& batch) {
    m_rescan = {};
    m_visited.clear();
    m_moved.clear();
    m_walked = 0;
    QList<TFolderChange> found;
    m_confirmBytes = 0;
    const bool walked = Walk(QString(), kWalkCompare, found);
    m_rescan.folders = static_cast<int>(m_walked);
    if (walked) {
        // Folders the walk no longer found are gone, with their files.
        const bool fileNames = (m_options.filter & kNotifyFileName) != 0;
        const bool dirNames = (m_options.filter & kNotifyDirName) != 0;
        for (auto it = m_watches.begin(); it != m_watches.end();) {
            if (m_visited.contains(it.key())) {
                ++it;
                continue;
            }
            const TMarkList& known = m_marks.Known(it.key());
            for (const TMarkList::TMark& mark : known.Marks()) {
                if (fileNames) {
                    found.append({kChangeRemoved, it.value() + DecodeNativeName(known.NameOf(mark)),
                                  m_serial});
                    ++m_rescan.files;
                }
            }
            if (dirNames && !it.value().isEmpty()) {
                found.append({kChangeRemoved, it.value().chopped(1), m_serial});
            }
            m_marks.Drop(it.key());
            inotify_rm_watch(m_inotifyFd, it.key());
            it = m_watches.erase(it);
        }
    }
    m_visited.clear();
    m_moved.clear();
    batch += found;
    // The events queued by now may announce changes the walk has just reported.
    int waiting = 0;
    if (ioctl(m_inotifyFd, FIONREAD, &waiting) == 0) {
        m_confirmBytes = waiting;
    }
    if (!walked) {
        m_confirmBytes = 0;
    }
    return walked;
}

void TFolderWatcher::DropTree(const QString& relative) {
    for (auto it = m_watches.begin(); it != m_watches.end();) {
        if (it.value().startsWith(relative)) {
            inotify_rm_watch(m_inotifyFd, it.key());
            m_marks.Drop(it.key());
            it = m_watches.erase(it);
        } else {
            ++it;
        }
    }
}

void TFolderWatcher::RenameTree(const QString& from, const QString& to) {
    for (auto it = m_watches.begin(); it != m_watches.end(); ++it) {
        if (it.value().startsWith(from)) {
            it.value() = to + it.value().mid(from.size());
        }
    }
}

void TFolderWatcher::MovedOut(const TRenamePairing::THalf& half, QList<TFolderChange>& batch) {
    if (half.folder) {
        DropTree(half.name + '/');
    }
    if (m_options.pairRenames && half.record >= 0 && half.record < batch.size()) {
        batch[half.record].action = kChangeRemoved;
    }
}

// ---- the event handler -------------------------------------------------------------------

void TFolderWatcher::ReportFile(int action, bool report, int watch, const QString& name,
                                const QByteArray& native, QList<TFolderChange>& batch) {
    struct stat st;
    const quint64 print =
        lstat(EncodeNativeName(m_root + name).constData(), &st) == 0 ? Print(st) : 0;
    if (m_confirmBytes > 0 && print != 0 && m_marks.Find(watch, native) == print) {
        return;  // the rescan found it so and reported it
    }
    m_marks.Note(watch, native, print);
    if (report) {
        batch.append({action, name});
    }
}

void TFolderWatcher::ForgetFile(bool report, int watch, const QString& name,
                                const QByteArray& native, QList<TFolderChange>& batch) {
    if (m_confirmBytes > 0 && m_marks.Find(watch, native) == 0) {
        return;  // the rescan found it gone and reported it
    }
    m_marks.Note(watch, native, 0);
    if (report) {
        batch.append({kChangeRemoved, name});
    }
}

void TFolderWatcher::HandleEvent(const struct inotify_event& event, const char* rest,
                                 const char* end, TPass& pass) {
    const quint32 mask = event.mask;
    if ((mask & IN_Q_OVERFLOW) != 0 ||
        (m_options.overflowAt != 0 && m_serial == m_options.overflowAt)) {
        pass.lost = true;
        return;
    }
    const auto watch = m_watches.constFind(event.wd);
    if (watch == m_watches.cend()) {
        return;
    }
    const QString folder = watch.value();
    if ((mask & IN_IGNORED) != 0 ||
        (event.wd == m_rootWatch && (mask & (IN_DELETE_SELF | IN_MOVE_SELF)) != 0)) {
        if (event.wd == m_rootWatch) {
            m_error = QStringLiteral("The folder %1 is no longer available").arg(m_root);
            pass.alive = false;
        }
        if ((mask & IN_IGNORED) != 0) {
            m_watches.remove(event.wd);
            m_marks.Drop(event.wd);
        }
        return;
    }
    if (event.len == 0) {
        return;  // an event of the watched folder itself
    }
    const QByteArray native(event.name);
    const QString name = folder + DecodeNativeName(native);
    if ((mask & IN_MOVED_FROM) != 0) {
        HandleMovedFrom(event, event.wd, name, rest, end, pass);
    } else if ((mask & IN_MOVED_TO) != 0) {
        HandleMovedTo(event, event.wd, name, pass);
    } else if ((mask & IN_ISDIR) != 0) {
        HandleFolderEvent(mask, name, pass);
    } else {
        HandleFileEvent(mask, event.wd, name, native, pass);
    }
}

void TFolderWatcher::HandleMovedFrom(const struct inotify_event& event, int watch,
                                     const QString& name, const char* rest, const char* end,
                                     TPass& pass) {
    const bool isFolder = (event.mask & IN_ISDIR) != 0;
    const QByteArray native(event.name);
    if (!isFolder) {
        m_created.remove(name);
        m_marks.Note(watch, native, 0);
    }
    m_scanned.remove(name);
    qsizetype record = -1;
    if ((m_options.filter & (isFolder ? kNotifyDirName : kNotifyFileName)) != 0) {
        record = pass.batch.size();
        pass.batch.append({kChangeRenamedFrom, name});
    }
    // Without the other half later in this read the name went outside the tree: a
    // folder's watches go at once, so that changes made in it now are not reported under
    // its old name. A first half that ends the read waits for the next one.
    m_pairing.MovedFrom(event.cookie, rest, end, {name, isFolder, record, watch, native},
                        [&](const TRenamePairing::THalf& half) { MovedOut(half, pass.batch); });
}

void TFolderWatcher::HandleMovedTo(const struct inotify_event& event, int watch,
                                   const QString& name, TPass& pass) {
    const bool isFolder = (event.mask & IN_ISDIR) != 0;
    TRenamePairing::THalf from;
    const bool paired = m_pairing.TakeFirstHalf(event.cookie, from);
    if (!paired && m_scanned.remove(name) && (isFolder || !m_options.whenWriterDone)) {
        return;  // found by the scan of its new folder, and reported there
    }
    const int action = paired || !m_options.pairRenames ? kChangeRenamedTo : kChangeAdded;
    if (isFolder) {
        if ((m_options.filter & kNotifyDirName) != 0) {
            pass.batch.append({action, name});
        }
        if (m_options.recursive) {
            if (paired) {
                RenameTree(from.name + '/', name + '/');
            } else if (!Walk(name + '/', kWalkReport, pass.batch)) {
                pass.alive = false;
            }
        }
        return;
    }
    NoteContentEvent(name);
    ReportFile(action, (m_options.filter & kNotifyFileName) != 0, watch, name,
               QByteArray(event.name), pass.batch);
}

void TFolderWatcher::HandleFolderEvent(quint32 mask, const QString& name, TPass& pass) {
    const bool dirNames = (m_options.filter & kNotifyDirName) != 0;
    if ((mask & IN_CREATE) != 0) {
        if (m_scanned.remove(name)) {
            return;  // watched and reported by the scan of its parent
        }
        if (dirNames) {
            pass.batch.append({kChangeAdded, name});
        }
        if (m_options.recursive && !Walk(name + '/', kWalkReport, pass.batch)) {
            pass.alive = false;
        }
    } else if ((mask & IN_DELETE) != 0) {
        m_scanned.remove(name);
        if (dirNames) {
            pass.batch.append({kChangeRemoved, name});
        }
    } else if ((mask & IN_ATTRIB) != 0) {
        // Reads of a folder are listings (ours among them), not changes.
        pass.batch.append({kChangeModified, name});
    }
}

void TFolderWatcher::HandleFileEvent(quint32 mask, int watch, const QString& name,
                                     const QByteArray& native, TPass& pass) {
    const bool fileNames = (m_options.filter & kNotifyFileName) != 0;
    if ((mask & IN_CREATE) != 0) {
        NoteContentEvent(name);
        if (m_options.whenWriterDone) {
            // Reported when its writer closes it; until then the rescan knows it as new.
            if (m_created.size() >= kCreatedMemory) {
                m_created.clear();
            }
            m_created.insert(name);
        } else if (!m_scanned.remove(name)) {
            ReportFile(kChangeAdded, fileNames, watch, name, native, pass.batch);
        }
    } else if ((mask & IN_CLOSE_WRITE) != 0) {
        NoteContentEvent(name);
        const bool isNew = m_created.remove(name);
        ReportFile(isNew && fileNames ? kChangeAdded : kChangeModified, true, watch, name, native,
                   pass.batch);
    } else if ((mask & IN_MODIFY) != 0) {
        if (m_options.whenWriterDone) {
            NoteContentEvent(name);  // taken when its writer closes it
        } else {
            ReportFile(kChangeModified, true, watch, name, native, pass.batch);
        }
    } else if ((mask & IN_DELETE) != 0) {
        m_created.remove(name);
        m_scanned.remove(name);
        ForgetFile(fileNames, watch, name, native, pass.batch);
    } else if ((mask & IN_ATTRIB) != 0) {
        ReportFile(kChangeModified, true, watch, name, native, pass.batch);
    } else if ((mask & IN_ACCESS) != 0) {
        pass.batch.append({kChangeModified, name});
    }
}

// Reads every event the kernel holds and hands each to the event handler. False when
// watching must end (m_error says why).
bool TFolderWatcher::ReadEvents(QList<TFolderChange>& batch, bool& lost) {
    alignas(struct inotify_event) char buffer[kEventBufferSize];
    TPass pass{batch};
    bool waitedForHalf = false;
    const auto movedOut = [&](const TRenamePairing::THalf& half) { MovedOut(half, batch); };
    m_scanned.clear();
    m_pairing.BeginPass();

    for (;;) {
        const ssize_t length = read(m_inotifyFd, buffer, sizeof buffer);
        if (length < 0) {
            if (errno == EINTR) {
                continue;
            }
            // EAGAIN: nothing more for now. The system queues both halves of a rename in
            // the same call, so a first half that ended what was queued gets one short wait.
            if (m_pairing.WaitsForNextRead() && !waitedForHalf) {
                waitedForHalf = true;
                struct pollfd more = {m_inotifyFd, POLLIN, 0};
                if (poll(&more, 1, kRenameHalfWaitMs) > 0) {
                    continue;
                }
            }
            break;
        }
        if (length == 0) {
            break;
        }
        waitedForHalf = false;
        const char* end = buffer + length;
        m_pairing.NewRead(buffer, end, movedOut);
        for (const char* at = buffer; at < end;) {
            const auto* event = reinterpret_cast<const struct inotify_event*>(at);
            const qsizetype size =
                static_cast<qsizetype>(sizeof(struct inotify_event) + event->len);
            at += size;
            ++m_serial;
            // Every record this event makes carries its serial.
            const qsizetype firstNew = batch.size();
            HandleEvent(*event, at, end, pass);
            for (qsizetype i = firstNew; i < batch.size(); ++i) {
                batch[i].serial = m_serial;
            }
            m_confirmBytes = std::max<qint64>(m_confirmBytes - size, 0);
        }
    }
    m_pairing.EndPass(movedOut);
    m_scanned.clear();
    lost = pass.lost;
    // Folders made while the system dropped events were never announced, nor were the
    // changes of their files and of many others: the tree is walked again.
    if (pass.lost && pass.alive) {
        pass.alive = Rescan(batch);
    }
    return pass.alive;
}

TFolderWatcher::TWaitResult TFolderWatcher::Wait(QList<TFolderChange>& batch) {
    batch.clear();
    if (m_inotifyFd < 0) {
        return kWaitFailed;
    }
    for (;;) {
        struct pollfd fds[2] = {{m_stopFd, POLLIN, 0}, {m_inotifyFd, POLLIN, 0}};
        const int ready = poll(fds, 2, -1);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            m_error = SystemText(errno);
            return kWaitFailed;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            return kWaitStopped;
        }
        if ((fds[1].revents & POLLIN) == 0) {
            continue;
        }
        bool lost = false;
        bool alive = true;
        {
            const std::lock_guard<std::mutex> locker(m_stateLock);
            alive = ReadEvents(batch, lost);
            ++m_passes;
        }
        m_passDone.notify_all();
        if (!alive) {
            return kWaitFailed;
        }
        if (lost) {
            return kWaitLost;
        }
        if (!batch.isEmpty()) {
            return kWaitBatch;
        }
    }
}
