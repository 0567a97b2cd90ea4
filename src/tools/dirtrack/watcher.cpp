#include "tools/dirtrack/watcher.h"

#include "base/errors.h"
#include "base/host.h"
#include "base/utilities.h"
#include "platform/file_access.h"
#include "platform/file_facts.h"
#include "platform/file_system.h"
#include "platform/folders.h"
#include "platform/native_name.h"

namespace {

constexpr int kCsvNameAttempts = 1000;

}  // namespace

QByteArray TrackCsvField(const QByteArray& text) {
    if (!text.contains(',') && !text.contains('"') && !text.contains('\n') &&
        !text.contains('\r')) {
        return text;
    }
    QByteArray quoted = text;
    quoted.replace('"', "\"\"");
    return '"' + quoted + '"';
}

namespace {

QString WithoutTrailingSlash(QString path) {
    while (path.size() > 1 && path.endsWith('/')) {
        path.chop(1);
    }
    return path;
}

}  // namespace

QString TrackActionWord(int action) {
    switch (action) {
        case kTrackAdded:
            return QStringLiteral("Added");
        case kTrackRemoved:
            return QStringLiteral("Removed");
        case kTrackModified:
            return QStringLiteral("Modified");
        case kTrackOldName:
            return QStringLiteral("OldName");
        case kTrackNewName:
            return QStringLiteral("NewName");
        case kTrackOverflow:
            return QStringLiteral("Overflow");
        default:
            return {};
    }
}

bool TrackActionInDetails(int action) {
    return action >= kTrackAdded && action <= kTrackNewName && action != kTrackOldName;
}

quint32 TrackFilter(quint16 options) {
    quint32 filter = 0;
    if ((options & (kTrackAdditions | kTrackDeletions | kTrackNameChanges)) != 0) {
        filter |= kNotifyFileName | kNotifyDirName;
    }
    // Reading a file is not a change: the system announces every read, not a new access
    // time, so last access is left out.
    if ((options & kTrackPropertyChanges) != 0) {
        filter |=
            kNotifyAttributes | kNotifySize | kNotifyLastWrite | kNotifyCreation | kNotifySecurity;
    }
    return filter;
}

quint32 TrackDisplaySet(quint16 options) {
    quint32 shown = 1u << kTrackOverflow;
    if ((options & kTrackAdditions) != 0) {
        shown |= 1u << kTrackAdded;
    }
    if ((options & kTrackDeletions) != 0) {
        shown |= 1u << kTrackRemoved;
    }
    if ((options & kTrackNameChanges) != 0) {
        shown |= (1u << kTrackOldName) | (1u << kTrackNewName);
    }
    if ((options & kTrackPropertyChanges) != 0) {
        shown |= 1u << kTrackModified;
    }
    return shown;
}

// ---- the waiting thread ----------------------------------------------------------------------

TWaitThread::TWaitThread(TFolderWatcher& watcher, TWatcher& owner)
    : m_watcher(watcher), m_owner(owner) {}

void TWaitThread::run() {
    for (;;) {
        QList<TFolderChange> batch;
        const TFolderWatcher::TWaitResult result = m_watcher.Wait(batch);
        if (result == TFolderWatcher::kWaitStopped) {
            return;
        }
        TWatcher::TBlock block;
        block.changes = std::move(batch);
        block.lost = result == TFolderWatcher::kWaitLost;
        block.failed = result == TFolderWatcher::kWaitFailed;
        if (block.failed) {
            block.error = m_watcher.ErrorText();
        }
        const bool failed = block.failed;
        if (!block.changes.isEmpty() || block.lost || block.failed) {
            m_owner.Enqueue(std::move(block));
        }
        if (failed) {
            return;
        }
    }
}

// ---- the tracker -------------------------------------------------------------------------------

TWatcher::TWatcher(THost* host, const TTrackStart& start)
    : m_host(host),
      m_options(start.options),
      m_clearAt(start.clearAt),
      m_logsFolder(start.logsFolder),
      m_wake(start.wake) {
    if (start.folder.isEmpty() || !IsFolder(start.folder)) {
        RaiseError(QString::fromUtf8(kTrackNoFolderMessage));
    }
    const quint32 filter = TrackFilter(m_options);
    if (filter == 0) {
        RaiseError(QString::fromUtf8(kTrackNothingMessage));
    }
    m_folder = WithoutTrailingSlash(start.folder) + '/';
    if (m_folder == QLatin1String("//")) {
        m_folder = QStringLiteral("/");
    }
    m_displaySet = TrackDisplaySet(m_options);

    // The program's own folders inside the tracked tree are left out of the record.
    const QString root = CanonicalPath(m_folder);
    for (const QString& folder : start.excluded) {
        const QString own = CanonicalPath(folder);
        if (root.isEmpty() || own.isEmpty()) {
            continue;
        }
        const QString prefix = root == QLatin1String("/") ? root : root + '/';
        if (own.startsWith(prefix) && own.size() > prefix.size()) {
            m_excludedPrefixes.append(own.mid(prefix.size()) + '/');
        }
    }

    TFolderWatcher::TOptions options = start.watch;
    options.recursive = (m_options & kTrackRecurse) != 0;
    options.filter = filter;
    options.whenWriterDone = false;
    options.pairRenames = true;
    if (!m_watcher.Open(m_folder, options)) {
        RaiseError(m_watcher.ErrorText());
    }
    m_startTime = QDateTime::currentDateTime();
    m_clock.start();
    Tick = [this] { return m_clock.elapsed(); };
    m_thread = std::make_unique<TWaitThread>(m_watcher, *this);
    m_thread->start();
}

TWatcher::~TWatcher() {
    StopThread();
}

void TWatcher::StopThread() {
    if (m_thread) {
        m_watcher.RequestStop();
        m_thread->wait();
        m_thread.reset();
    }
    m_watcher.Close();
}

void TWatcher::Enqueue(TBlock block) {
    bool wasEmpty = false;
    {
        const std::lock_guard<std::mutex> locker(m_queueLock);
        wasEmpty = m_queue.empty();
        m_queue.push_back(std::move(block));
    }
    m_queued.notify_all();
    if (wasEmpty && m_wake) {
        m_wake();
    }
}

bool TWatcher::WaitForBlock(int timeoutMs) {
    std::unique_lock<std::mutex> locker(m_queueLock);
    return m_queued.wait_for(locker, std::chrono::milliseconds(timeoutMs),
                             [this] { return !m_queue.empty(); });
}

bool TWatcher::Excluded(const QString& name) const {
    for (const QString& prefix : m_excludedPrefixes) {
        if (name.startsWith(prefix) || name == prefix.chopped(1)) {
            return true;
        }
    }
    return false;
}

void TWatcher::RecordEntry(int action, const QString& name, qint64 elapsed) {
    QList<TTrackEntry>& list = m_lists[action];
    // The same change announced twice within one millisecond is one entry. The entries of
    // that millisecond are the last ones of the list; names are compared exactly, as the
    // file system tells them apart.
    for (auto it = list.crbegin(); it != list.crend() && it->elapsedMs == elapsed; ++it) {
        if (it->name == name) {
            return;
        }
    }
    list.append({name, elapsed});
    m_sequence.append(static_cast<quint8>(action));
    m_newData = true;
    if (OnRecorded) {
        OnRecorded(action, list.last());
    }
}

bool TWatcher::Record() {
    TBlock block;
    bool fewerThanTwo = true;
    {
        const std::lock_guard<std::mutex> locker(m_queueLock);
        fewerThanTwo = m_queue.size() < 2;
        if (m_queue.empty()) {
            return true;
        }
        block = std::move(m_queue.front());
        m_queue.pop_front();
    }
    for (const TFolderChange& change : block.changes) {
        if (change.action < kTrackAdded || change.action > kTrackNewName || Excluded(change.name)) {
            continue;
        }
        RecordEntry(change.action, change.name, Tick());
    }
    if (block.lost) {
        const QString folder = WithoutTrailingSlash(m_folder);
        RecordEntry(kTrackOverflow, folder, Tick());
        if (m_host != nullptr) {
            m_host->ShowStatus(QString::fromUtf8(kTrackOverflowMessage).arg(PrintableName(folder)),
                               false, kStatusError);
        }
    }
    if (block.failed && !m_failed) {
        m_failed = true;
        m_failure = block.error;
    }
    if (m_clearAt > 0 && m_sequence.size() >= m_clearAt) {
        bool saved = true;
        AutoSaveBeforeEmptying(saved);
        if (saved) {
            Empty();
            // The record changed under the window's rows: it must show the empty record.
            m_newData = true;
        }
    }
    return fewerThanTwo;
}

bool TWatcher::RecordAll() {
    // Only what is queued now: a flood of changes must not hold the main thread here.
    size_t waiting = 0;
    {
        const std::lock_guard<std::mutex> locker(m_queueLock);
        waiting = m_queue.size();
    }
    bool done = true;
    for (; waiting > 0; --waiting) {
        done = Record();
    }
    return !done;
}

void TWatcher::CatchUpAndRecord(int timeoutMs) {
    m_watcher.CatchUp(timeoutMs);
    StopThread();
    RecordAll();
}

void TWatcher::AutoSaveBeforeEmptying(bool& saved) {
    saved = true;
    if (!AutoSave() || !HasEntries()) {
        return;
    }
    try {
        (void)SaveToLogs();
    } catch (const EQuiva& error) {
        saved = false;
        if (m_host != nullptr) {
            m_host->ShowStatus(error.Message(), false, kStatusError);
        }
    }
}

void TWatcher::Empty() {
    for (QList<TTrackEntry>& list : m_lists) {
        list.clear();
    }
    m_sequence.clear();
    m_newData = false;
}

void TWatcher::Clear() {
    {
        const std::lock_guard<std::mutex> locker(m_queueLock);
        // The changes go; why watching ended, should it have, does not.
        for (const TBlock& block : m_queue) {
            if (block.failed && !m_failed) {
                m_failed = true;
                m_failure = block.error;
            }
        }
        m_queue.clear();
    }
    bool saved = true;
    AutoSaveBeforeEmptying(saved);
    Empty();
}

void TWatcher::SaveAndStop() {
    bool saved = true;
    AutoSaveBeforeEmptying(saved);
    StopThread();
}

const QList<TTrackEntry>& TWatcher::Entries(int action) const {
    static const QList<TTrackEntry> none;
    return action >= kTrackAdded && action <= kTrackLastAction ? m_lists[action] : none;
}

QList<QPair<int, TTrackEntry>> TWatcher::InOrder() const {
    QList<QPair<int, TTrackEntry>> entries;
    std::array<qsizetype, kTrackLastAction + 1> next{};
    for (const quint8 action : m_sequence) {
        entries.append({action, m_lists[action].at(next[action]++)});
    }
    return entries;
}

QDateTime TWatcher::EntryTime(const TTrackEntry& entry) const {
    return m_startTime.addMSecs(entry.elapsedMs);
}

QByteArray TWatcher::CsvText() const {
    QByteArray text("\xEF\xBB\xBF");
    text += "Object,Date,Operation\r\n";
    for (int action = kTrackAdded; action <= kTrackLastAction; ++action) {
        const QByteArray word = TrackActionWord(action).toUtf8();
        for (const TTrackEntry& entry : m_lists[action]) {
            text += TrackCsvField(EncodeNativeName(entry.name));
            text += ',';
            text +=
                TrackCsvField(EntryTime(entry).toString(QStringLiteral("yyMMdd:HHmmss")).toUtf8());
            text += ',';
            text += TrackCsvField(word);
            text += "\r\n";
        }
    }
    return text;
}

QString TWatcher::SaveToLogs() {
    if (!HasEntries()) {
        return {};
    }
    const QString folder = WithTrailingSlash(m_logsFolder);
    if (folder.isEmpty() || !MakePrivateFolder(folder)) {
        RaiseError(QString::fromUtf8(kTrackWriteMessage).arg(PrintableName(folder)));
    }
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyMMdd_HHmmss"));
    // A name already taken (an earlier save within the same second) is never replaced.
    for (int attempt = 1; attempt <= kCsvNameAttempts; ++attempt) {
        const QString name = attempt == 1
                                 ? QStringLiteral("DirTrack %1.csv").arg(stamp)
                                 : QStringLiteral("DirTrack %1-%2.csv").arg(stamp).arg(attempt);
        const QString path = folder + name;
        if (EntryKind(path) != kEntryMissing || !CreatePrivateFile(path)) {
            continue;
        }
        const TWriteFileResult result = WriteFileInFolder(folder, name, CsvText(), 0600);
        if (result != kWriteFileOk && result != kWriteFileOkWithoutTimes) {
            (void)RemoveFile(path);
            RaiseError(QString::fromUtf8(kTrackWriteMessage).arg(PrintableName(path)));
        }
        return path;
    }
    RaiseError(QString::fromUtf8(kTrackWriteMessage).arg(PrintableName(folder)));
}

void TWatcher::SaveTo(const QString& path) {
    const QString absolute = AbsolutePath(path);
    const qsizetype slash = absolute.lastIndexOf('/');
    const QString folder = absolute.left(slash + 1);
    const QString name = absolute.mid(slash + 1);
    const TWriteFileResult result = WriteFileInFolder(folder, name, CsvText(), 0600);
    if (result != kWriteFileOk && result != kWriteFileOkWithoutTimes) {
        RaiseError(QString::fromUtf8(kTrackWriteMessage).arg(PrintableName(path)));
    }
}
