#include "platform/folder_watcher.h"

#include "platform/file_access.h"
#include "platform/native_name.h"

#include <QScopeGuard>

#include <cerrno>
#include <cstring>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
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

QString SystemText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// True when the events from `at` to `end` hold the "renamed to" half of a rename.
bool HasRenameTarget(const char* at, const char* end, quint32 cookie) {
    while (at < end) {
        const auto* event = reinterpret_cast<const struct inotify_event*>(at);
        if ((event->mask & IN_MOVED_TO) != 0 && event->cookie == cookie) {
            return true;
        }
        at += sizeof(struct inotify_event) + event->len;
    }
    return false;
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

quint32 TFolderWatcher::WatchMask() const {
    const quint32 filter = m_options.filter;
    quint32 mask = IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK | IN_DELETE_SELF | IN_MOVE_SELF;
    if ((filter & (kNotifyFileName | kNotifyDirName)) != 0 || m_options.recursive) {
        mask |= IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
    }
    if ((filter & (kNotifySize | kNotifyLastWrite)) != 0) {
        // When the writer must be done: the kernel merges a close with the close before it
        // while that one is unread; the opens between them keep two writes of a file two
        // records. Writes (and the truncation of a file opened for writing again) are noted,
        // not reported. Otherwise every write counts, and so does a close after writing
        // (which also catches writes through a memory map).
        mask |= m_options.whenWriterDone ? (IN_CREATE | IN_OPEN | IN_CLOSE_WRITE | IN_MODIFY)
                                         : (IN_MODIFY | IN_CLOSE_WRITE);
    }
    if ((filter & (kNotifyAttributes | kNotifySecurity)) != 0) {
        mask |= IN_ATTRIB;
    }
    if ((filter & kNotifyLastAccess) != 0) {
        mask |= IN_ACCESS;
    }
    return mask;
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
    QList<TFolderChange> none;
    if (!AddTree(QString(), kChangeNone, none) || m_rootWatch < 0) {
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
    m_created.clear();
    m_scanned.clear();
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

// Watches the folder `relative` (below the root, "" for the root itself, else ending in
// "/") and, when recursive, every folder below it. With a report action, every file (and,
// when folder names are watched, every folder) found is added to the batch. False only
// when watching must end (the system's limit); m_error then says why.
bool TFolderWatcher::AddTree(const QString& relative, int reportAction,
                             QList<TFolderChange>& batch) {
    QStringList folders{relative};
    const quint32 mask = WatchMask();
    while (!folders.isEmpty()) {
        const QString current = folders.takeFirst();
        const int watch =
            inotify_add_watch(m_inotifyFd, EncodeNativeName(m_root + current).constData(), mask);
        if (watch >= 0 && !m_watches.contains(watch) && m_options.watchLimit > 0 &&
            m_watches.size() >= m_options.watchLimit) {
            inotify_rm_watch(m_inotifyFd, watch);
            m_error = WatchLimitText();
            return false;
        }
        if (watch < 0) {
            if (errno == ENOSPC) {
                m_error = WatchLimitText();
                return false;
            }
            if (current.isEmpty()) {
                m_error = QStringLiteral("Could not watch %1: %2").arg(m_root, SystemText(errno));
                return false;
            }
            continue;  // gone again, or not readable: nothing to watch there
        }
        m_watches.insert(watch, current);
        if (current.isEmpty()) {
            m_rootWatch = watch;
        }
        if (!m_options.recursive && reportAction == kChangeNone) {
            continue;
        }
        QList<TFolderEntry> entries;
        if (!ListFolder(m_root + current, entries)) {
            continue;
        }
        for (const TFolderEntry& entry : entries) {
            const QString name = current + entry.name;
            if (entry.kind == kEntryFolder) {
                if (m_options.recursive) {
                    folders.append(name + '/');
                }
                if (reportAction != kChangeNone) {
                    m_scanned.insert(name);
                    if ((m_options.filter & kNotifyDirName) != 0) {
                        batch.append({reportAction, name});
                    }
                }
            } else if (reportAction != kChangeNone && (m_options.filter & kNotifyFileName) != 0) {
                m_scanned.insert(name);
                batch.append({reportAction, name});
            }
        }
    }
    return true;
}

void TFolderWatcher::DropTree(const QString& relative) {
    for (auto it = m_watches.begin(); it != m_watches.end();) {
        if (it.value().startsWith(relative)) {
            inotify_rm_watch(m_inotifyFd, it.key());
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

void TFolderWatcher::MovedOut(const QString& name, bool folder, qsizetype record,
                              QList<TFolderChange>& batch) {
    if (folder) {
        DropTree(name + '/');
    }
    if (m_options.pairRenames && record >= 0 && record < batch.size()) {
        batch[record].action = kChangeRemoved;
    }
}

// Reads every event the kernel holds and turns them into records. False when watching
// must end (m_error says why).
bool TFolderWatcher::ReadEvents(QList<TFolderChange>& batch, bool& lost) {
    alignas(struct inotify_event) char buffer[kEventBufferSize];
    const quint32 filter = m_options.filter;
    const bool fileNames = (filter & kNotifyFileName) != 0;
    const bool dirNames = (filter & kNotifyDirName) != 0;
    const bool pair = m_options.pairRenames;
    // Names renamed from inside the tree whose other half has not come yet, by cookie.
    struct TMoveHalf {
        QString name;
        bool folder = false;
        qsizetype record = -1;  // its record in the batch, or -1
    };
    QHash<quint32, TMoveHalf> movedAway;
    // The cookie of a "renamed from" that ended a read: its other half may open the next.
    bool undecided = false;
    quint32 undecidedCookie = 0;
    bool waitedForHalf = false;
    const auto resolveMovedOut = [&](quint32 cookie) {
        const auto half = movedAway.find(cookie);
        if (half != movedAway.end()) {
            MovedOut(half->name, half->folder, half->record, batch);
            movedAway.erase(half);
        }
    };
    bool alive = true;
    m_scanned.clear();

    for (;;) {
        const ssize_t length = read(m_inotifyFd, buffer, sizeof buffer);
        if (length < 0) {
            if (errno == EINTR) {
                continue;
            }
            // EAGAIN: nothing more for now. The system queues both halves of a rename in
            // the same call, so a first half that ended what was queued gets one short wait.
            if (undecided && !waitedForHalf) {
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
        if (undecided) {
            if (!HasRenameTarget(buffer, buffer + length, undecidedCookie)) {
                resolveMovedOut(undecidedCookie);
            }
            undecided = false;
            waitedForHalf = false;
        }
        for (ssize_t offset = 0; offset < length;) {
            const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + offset);
            offset += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
            const quint32 mask = event->mask;
            ++m_serial;
            // Every record this event makes carries its serial.
            const qsizetype firstNew = batch.size();
            const auto stamp = qScopeGuard([&] {
                for (qsizetype i = firstNew; i < batch.size(); ++i) {
                    batch[i].serial = m_serial;
                }
            });
            if ((mask & IN_Q_OVERFLOW) != 0 ||
                (m_options.overflowAt != 0 && m_serial == m_options.overflowAt)) {
                lost = true;
                continue;
            }
            const auto watch = m_watches.constFind(event->wd);
            if (watch == m_watches.cend()) {
                continue;
            }
            const QString folder = watch.value();
            if ((mask & IN_IGNORED) != 0 ||
                (event->wd == m_rootWatch && (mask & (IN_DELETE_SELF | IN_MOVE_SELF)) != 0)) {
                if (event->wd == m_rootWatch) {
                    m_error = QStringLiteral("The folder %1 is no longer available").arg(m_root);
                    alive = false;
                }
                if ((mask & IN_IGNORED) != 0) {
                    m_watches.remove(event->wd);
                }
                continue;
            }
            if (event->len == 0) {
                continue;  // an event of the watched folder itself
            }
            const QString name = folder + DecodeNativeName(event->name);
            const bool isFolder = (mask & IN_ISDIR) != 0;
            if ((mask & IN_MOVED_FROM) != 0) {
                if (!isFolder) {
                    m_created.remove(name);
                }
                m_scanned.remove(name);
                qsizetype record = -1;
                if (isFolder ? dirNames : fileNames) {
                    record = batch.size();
                    batch.append({kChangeRenamedFrom, name});
                }
                // Without the other half later in this read the name went outside the
                // tree: a folder's watches go at once, so that changes made in it now are
                // not reported under its old name. A first half that ends the read waits
                // for the next one.
                const bool halfFollows =
                    HasRenameTarget(buffer + offset, buffer + length, event->cookie);
                if (halfFollows || offset == length) {
                    movedAway.insert(event->cookie, {name, isFolder, record});
                    if (!halfFollows) {
                        undecided = true;
                        undecidedCookie = event->cookie;
                    }
                } else {
                    MovedOut(name, isFolder, record, batch);
                }
                continue;
            }
            if ((mask & IN_MOVED_TO) != 0) {
                const auto away = movedAway.find(event->cookie);
                const bool paired = away != movedAway.end();
                QString from;
                if (paired) {
                    from = away->name;
                    movedAway.erase(away);
                } else if (m_scanned.remove(name) && (isFolder || !m_options.whenWriterDone)) {
                    continue;  // found by the scan of its new folder, and reported there
                }
                const int action = paired || !pair ? kChangeRenamedTo : kChangeAdded;
                if (isFolder) {
                    if (dirNames) {
                        batch.append({action, name});
                    }
                    if (m_options.recursive) {
                        if (paired) {
                            RenameTree(from + '/', name + '/');
                        } else if (!AddTree(name + '/', kChangeAdded, batch)) {
                            alive = false;
                        }
                    }
                } else {
                    NoteContentEvent(name);
                    if (fileNames) {
                        batch.append({action, name});
                    }
                }
                continue;
            }
            if (isFolder) {
                if ((mask & IN_CREATE) != 0) {
                    if (m_scanned.remove(name)) {
                        continue;  // watched and reported by the scan of its parent
                    }
                    if (dirNames) {
                        batch.append({kChangeAdded, name});
                    }
                    if (m_options.recursive && !AddTree(name + '/', kChangeAdded, batch)) {
                        alive = false;
                    }
                } else if ((mask & IN_DELETE) != 0) {
                    m_scanned.remove(name);
                    if (dirNames) {
                        batch.append({kChangeRemoved, name});
                    }
                } else if ((mask & (IN_ATTRIB | IN_ACCESS)) != 0) {
                    batch.append({kChangeModified, name});
                }
                continue;
            }
            if ((mask & IN_CREATE) != 0) {
                NoteContentEvent(name);
                if (m_options.whenWriterDone) {
                    if (m_created.size() >= kCreatedMemory) {
                        m_created.clear();
                    }
                    m_created.insert(name);
                } else if (m_scanned.remove(name)) {
                    continue;  // reported by the scan of its new folder
                } else if (fileNames) {
                    batch.append({kChangeAdded, name});
                }
            } else if ((mask & IN_CLOSE_WRITE) != 0) {
                NoteContentEvent(name);
                const bool isNew = m_created.remove(name);
                batch.append({isNew && fileNames ? kChangeAdded : kChangeModified, name});
            } else if ((mask & IN_MODIFY) != 0) {
                if (m_options.whenWriterDone) {
                    NoteContentEvent(name);  // taken when its writer closes it
                } else {
                    batch.append({kChangeModified, name});
                }
            } else if ((mask & IN_DELETE) != 0) {
                m_created.remove(name);
                m_scanned.remove(name);
                if (fileNames) {
                    batch.append({kChangeRemoved, name});
                }
            } else if ((mask & (IN_ATTRIB | IN_ACCESS)) != 0) {
                batch.append({kChangeModified, name});
            }
        }
    }
    if (undecided) {
        resolveMovedOut(undecidedCookie);
    }
    m_scanned.clear();
    // Folders made while the system dropped events were never announced: watch them now.
    if (lost && alive && m_options.recursive) {
        QList<TFolderChange> none;
        alive = AddTree(QString(), kChangeNone, none);
    }
    return alive;
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
