#include "backup/profile.h"
#include "base/utilities.h"

#include "base/utf16le.h"

#include "backup/backup_log.h"
#include "backup/backup_store.h"
#include "backup/backup_workers.h"
#include "backup/profiles.h"
#include "base/errors.h"
#include "base/host.h"
#include "base/utilities.h"
#include "platform/file_access.h"
#include "platform/file_system.h"
#include "platform/file_utilities.h"
#include "platform/folder_watcher.h"

#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

namespace {

// Bits 0 to 19 survive a change; bits 0 to 7 are stored.
constexpr quint32 kKeptBits = 0xFFFFF;
constexpr quint32 kStoredBits = 0xFF;
// The watch of a monitoring profile: file names and last writes.
constexpr quint32 kMonitorFilter = 17;

std::atomic<quint64> g_runSerials{0};

quint64 NextRunSerial() {
    return ++g_runSerials;
}

struct TSplitName {
    QString base;
    QString extension;
};

// A file name's base and extension, upper-cased; "." for a name without extension.
TSplitName SplitName(const QString& fileName) {
    const QString name = fileName.mid(fileName.lastIndexOf('/') + 1).toUpper();
    const qsizetype dot = name.lastIndexOf('.');
    if (dot < 0) {
        return {name, QStringLiteral(".")};
    }
    return {name.left(dot), name.mid(dot)};
}

TSplitName SplitMask(const QString& mask) {
    const QString upper = mask.toUpper();
    const qsizetype dot = upper.lastIndexOf('.');
    TSplitName split =
        dot < 0 ? TSplitName{upper, QString()} : TSplitName{upper.left(dot), upper.mid(dot)};
    if (split.base.isEmpty()) {
        split.base = QStringLiteral("*");
    }
    if (split.extension.isEmpty()) {
        split.extension = QStringLiteral(".*");
    }
    return split;
}

// Position by position up to the shorter length: "*" matches the rest, "?" any one.
bool PartMatches(const QString& text, const QString& pattern) {
    const qsizetype n = std::min(text.size(), pattern.size());
    for (qsizetype i = 0; i < n; ++i) {
        const QChar p = pattern[i];
        if (p == '*') {
            return true;
        }
        if (p != '?' && p != text[i]) {
            return false;
        }
    }
    return true;
}

bool SplitMatches(const TSplitName& name, const QString& mask) {
    const TSplitName pattern = SplitMask(mask);
    return PartMatches(name.base, pattern.base) && PartMatches(name.extension, pattern.extension);
}

bool HasWildcard(const QString& entry) {
    return entry.contains('*') || entry.contains('?');
}

QStringList OwnFolders(const THost& host) {
    return {host.ProgramFolder(), host.DataFolder(), host.LogsFolder()};
}

}  // namespace

QStringList PriorityOrderTexts() {
    return {QStringLiteral("Always Backup, Always Skip, Ignore Subfolders"),
            QStringLiteral("Always Backup, Ignore Subfolders, Always Skip"),
            QStringLiteral("Always Skip, Always Backup, Ignore Subfolders"),
            QStringLiteral("Always Skip, Ignore Subfolders, Always Backup"),
            QStringLiteral("Ignore Subfolders, Always Backup, Always Skip"),
            QStringLiteral("Ignore Subfolders, Always Skip, Always Backup")};
}

QStringList SizeLimitTexts() {
    QStringList texts;
    for (const qint64 kb : kSizeLimitKb) {
        if (kb < 0) {
            texts << QStringLiteral("No limit");
        } else if (kb <= 4096) {
            texts << QStringLiteral("%1 Kb").arg(kb);  // the texts of the first limits
        } else if (kb < 1024 * 1024) {
            texts << QStringLiteral("%1 MB").arg(kb / 1024);
        } else {
            texts << QStringLiteral("%1 GB").arg(kb / (1024 * 1024));
        }
    }
    return texts;
}

int SizeLimitIndexFromText(const QString& text) {
    auto squeezed = [](QString value) { return value.remove(' ').toLower(); };
    const QString wanted = squeezed(text);
    if (wanted == QLatin1String("none")) {
        return kNoSizeLimit;
    }
    bool isNumber = false;
    const qint64 kb = wanted.toLongLong(&isNumber);
    const QStringList texts = SizeLimitTexts();
    for (int i = 0; i < kSizeLimits; ++i) {
        if ((isNumber && kb >= 0 && kSizeLimitKb[i] == kb) || squeezed(texts[i]) == wanted) {
            return i;
        }
    }
    return -1;
}

QString RunSummaryText(const TProfile::TRunCounts& counts) {
    return QStringLiteral("Stored %1, skipped %2 larger than the limit, %3 empty, %4 failed")
        .arg(counts.stored)
        .arg(counts.skippedLarge)
        .arg(counts.skippedEmpty)
        .arg(counts.failed);
}

QStringList DiscardRuleTexts() {
    return {QStringLiteral("Keep last two"),          QStringLiteral("Keep 10 most recent"),
            QStringLiteral("Keep 20 most recent"),    QStringLiteral("Discard after one day"),
            QStringLiteral("Discard after one week"), QStringLiteral("Discard after 30 days"),
            QStringLiteral("Discard after 90 days"),  QStringLiteral("Never discard")};
}

QStringList DefaultExtensionCatalogue() {
    return {
        ".7z",  ".a",    ".ahk",    ".akp", ".aplt", ".arc",   ".as",   ".asc",     ".asi",
        ".asm", ".asp",  ".aspx",   ".bak", ".bas",  ".bcc",   ".bmp",  ".c",       ".cab",
        ".cad", ".chm",  ".cls",    ".cod", ".cpp",  ".cpr",   ".csc",  ".css",     ".csv",
        ".dat", ".dcr",  ".ddp",    ".def", ".dfm",  ".dic",   ".dlg",  ".dll",     ".do",
        ".doc", ".dpk",  ".dpr",    ".emf", ".eml",  ".eps",   ".eps2", ".epsf",    ".epsi",
        ".exe", ".exp",  ".frs",    ".gif", ".gz",   ".h",     ".hpg",  ".hpgl",    ".hta",
        ".htm", ".html", ".htr",    ".ic",  ".ico",  ".ilk",   ".img",  ".inc",     ".inf",
        ".ins", ".java", ".jpeg",   ".jpg", ".js",   ".jse",   ".jsf",  ".jsfl",    ".json",
        ".jsp", ".lib",  ".lng",    ".lnk", ".loc",  ".log",   ".lua",  ".lzh",     ".m",
        ".mak", ".map",  ".mat",    ".mo",  ".mod",  ".mp3",   ".msi",  ".mso",     ".nsi",
        ".o",   ".obj",  ".odf",    ".odi", ".odif", ".odl",   ".odp",  ".odt",     ".osx",
        ".pas", ".pck",  ".pdb",    ".pdf", ".php",  ".php4",  ".php5", ".phps",    ".pl",
        ".pm",  ".png",  ".policy", ".ppt", ".prg",  ".ps",    ".py",   ".pyc",     ".qb1",
        ".qba", ".qbb",  ".quiva",  ".r",   ".rc",   ".res",   ".ror",  ".rtf",     ".ruby",
        ".s",   ".scpt", ".scr",    ".sh",  ".shtm", ".shtml", ".sm",   ".so",      ".sts",
        ".sw",  ".tcl",  ".txt",    ".uml", ".vbe",  ".vbp",   ".vc6",  ".wmf",     ".wpk",
        ".wsf", ".xbrl", ".xhtml",  ".xla", ".xll",  ".xlnk",  ".xls",  ".xlshtml", ".xlthtml",
        ".xml", ".xul",  ".zfs",    ".zip",
    };
}

bool MaskMatches(const QString& fileName, const QString& mask) {
    return SplitMatches(SplitName(fileName), mask);
}

// ---- construction ------------------------------------------------------------------

TProfile::TProfile(TProfiles& list) : m_list(list) {}

TProfile::TProfile(TProfiles& list, const QString& name, int number, const QString& folder)
    : m_list(list), m_number(number) {
    SetName(name);
    SetTarget(folder);
}

TProfile::~TProfile() {
    Stop();
}

std::unique_ptr<TProfile> TProfile::FromBlob(TProfiles& list, const QByteArray& blob) {
    if (blob.size() < kProfileBlobHeader) {
        return nullptr;
    }
    const char* header = blob.constData();
    auto byteAt = [&](int offset) { return static_cast<int>(static_cast<quint8>(header[offset])); };
    auto wordAt = [&](int offset) {
        return static_cast<int>(qFromLittleEndian<quint16>(header + offset));
    };
    const int reservedLength = byteAt(2);
    const int nameLength = byteAt(20);
    const int targetLength = byteAt(21);
    const int extensionLength = wordAt(16);
    const int ignoreLength = wordAt(14);
    const int overrideLength[3] = {wordAt(8), wordAt(10), wordAt(12)};
    const qint64 textBytes =
        2LL * (reservedLength + nameLength + targetLength + extensionLength + ignoreLength +
               overrideLength[0] + overrideLength[1] + overrideLength[2]);
    if (kProfileBlobHeader + textBytes > blob.size()) {
        return nullptr;
    }

    std::unique_ptr<TProfile> profile(new TProfile(list));
    profile->m_flags = qFromLittleEndian<quint32>(header + 4) & kStoredBits;
    profile->m_number = static_cast<int>(qFromLittleEndian<qint32>(header + 24));
    profile->SetSizeLimit(byteAt(22));
    profile->m_discardRule = std::min(byteAt(23), kNeverDiscardRule);
    profile->m_priority = byteAt(3) < kPriorityOrders ? byteAt(3) : 0;

    qsizetype at = kProfileBlobHeader;
    ReadUtf16Le(blob, at, reservedLength);
    const QString name = ReadUtf16Le(blob, at, nameLength);
    const QString target = ReadUtf16Le(blob, at, targetLength);
    const QString extensions = ReadUtf16Le(blob, at, extensionLength);
    const QString ignore = ReadUtf16Le(blob, at, ignoreLength);
    profile->SetExtensions(extensions);
    profile->SetName(name);
    profile->SetTarget(target);
    profile->SetIgnoreList(ignore);
    for (int index = 0; index < 3; ++index) {
        profile->SetOverrideList(index, ReadUtf16Le(blob, at, overrideLength[index]));
    }
    return profile;
}

// ---- settings ----------------------------------------------------------------------

bool TProfile::TestBit(int bit) const {
    return bit >= 0 && bit < 32 && (m_flags.load() & (1u << bit)) != 0;
}

void TProfile::SetFlagBit(int bit, bool value) {
    quint32 flags = m_flags.load() & ~(1u << bit) & kKeptBits;
    if (value) {
        flags |= 1u << bit;
    }
    m_flags = flags;
}

void TProfile::SetBit(int bit, bool value) {
    if (bit < 0 || bit >= 20) {
        return;
    }
    if (value && bit == kBitAutostart && !TestBit(kBitReady)) {
        RaiseError(
            QStringLiteral("Supply a target directory & at least one file type to monitor!"));
    }
    SetFlagBit(bit, value);
}

void TProfile::SetName(const QString& name) {
    m_name = name.left(kLongestProfileText);
}

void TProfile::SetTarget(const QString& folder) {
    SetFlagBit(kBitReady, false);
    const QString target = WithTrailingSlash(folder);
    if (target.size() <= kLongestProfileText && m_list.IsFolderFree(this, target)) {
        SetFlagBit(kBitReady, !m_extensions.isEmpty());
        m_target = target;
        m_targetUpper = target.toUpper();
        m_ignore.reset();
    }
    bool own = false;
    try {
        RejectOwnFolders(m_target, OwnFolders(m_list.Host()));
    } catch (const EQuiva&) {
        own = true;
    }
    SetFlagBit(kBitAutostart, !own && TestBit(kBitAutostart) && TestBit(kBitReady) &&
                                  m_list.Host().IsFlagSet(kFlagBackupsDatabase));
}

qint64 TProfile::SizeLimitBytes() const {
    const qint64 kb = SizeLimitKb();
    return kb < 0 ? std::numeric_limits<qint64>::max() : kb * 1024 + 1023;
}

void TProfile::SetSizeLimit(int index) {
    if (index >= 0 && index < kSizeLimits) {
        m_sizeLimit = index;
    }
}

void TProfile::SetDiscardRule(int index) {
    if (index >= 0 && index < kDiscardRules) {
        m_discardRule = index;
    }
}

void TProfile::SetPriorityOrder(int index) {
    if (index >= 0 && index < kPriorityOrders) {
        m_priority = index;
    }
}

void TProfile::SetExtensions(const QString& lines) {
    // Split by characters, not by a regular expression: one refuses a text that is not
    // valid UTF-16 (a lone surrogate read from a blob) and would keep it as one line.
    QString text = lines;
    text.replace(u'\r', u'\n');
    m_extensions = text.split(u'\n', Qt::SkipEmptyParts);
}

QString TProfile::ExtensionsText() const {
    QString text;
    for (const QString& extension : m_extensions) {
        text += extension + QStringLiteral("\r\n");
    }
    return text;
}

void TProfile::RecheckReady() {
    SetFlagBit(kBitReady, !m_extensions.isEmpty() && m_list.IsFolderFree(this, m_target));
    SetFlagBit(kBitAutostart, TestBit(kBitAutostart) && TestBit(kBitReady));
}

void TProfile::SetOverrideList(int index, const QString& text) {
    if (index < 0 || index > 2) {
        return;
    }
    m_wildMasks[index].clear();
    m_plainMasks[index].clear();
    for (const QString& entry : text.split(QChar(kListSeparator), Qt::SkipEmptyParts)) {
        (HasWildcard(entry) ? m_wildMasks[index] : m_plainMasks[index]).append(entry);
    }
}

void TProfile::SetOverrideListFrom(int index, const QStringList& entries) {
    SetOverrideList(index, entries.join(QChar(kListSeparator)));
}

QStringList TProfile::OverrideList(int index) const {
    if (index < 0 || index > 2) {
        return {};
    }
    return m_wildMasks[index] + m_plainMasks[index];
}

void TProfile::SetIgnoreList(const QString& text) {
    if (m_target.isEmpty()) {
        return;
    }
    QStringList entries = text.split(QChar(kListSeparator), Qt::SkipEmptyParts);
    for (qsizetype i = entries.size() - 1; i >= 0; --i) {
        if (EntryKind(m_target + entries[i]) != kEntryFolder) {
            entries.removeAt(i);
        }
    }
    m_ignore = entries;
}

QStringList TProfile::ListSubfolders() const {
    QStringList names;
    QList<TFolderEntry> entries;
    if (m_target.isEmpty() || !ListFolder(m_target, entries)) {
        return names;
    }
    for (const TFolderEntry& entry : entries) {
        if (entry.kind == kEntryFolder && !entry.name.startsWith('.')) {
            names.append(entry.name);
        }
    }
    return names;
}

// ---- selection ---------------------------------------------------------------------

bool TProfile::ShouldBackup(const QString& fullName) const {
    const TSelection selection = Select(fullName);
    LogRefusal(fullName, selection);
    return selection == kSelectYes;
}

void TProfile::LogRefusal(const QString& fullName, TSelection selection) const {
    if (selection == kSelectEmpty) {
        ++m_skippedEmpty;
        m_list.Log().AppendLogLine(fullName, QStringLiteral("-1"));
    } else if (selection == kSelectTooLarge || selection == kSelectOtherTooLarge) {
        if (selection == kSelectTooLarge) {
            ++m_skippedLarge;
        }
        m_list.Log().AppendLogLine(fullName, QStringLiteral("-2"));
    }
}

TProfile::TSelection TProfile::Select(const QString& fullName) const {
    // Sizes are read in full width: a file of 4 GiB or more must not pass as a small one.
    const qint64 size = FileSize64(fullName);
    const TSplitName name = SplitName(fullName);
    const TPriorityWeights& weights = kPriorityWeights[m_priority];
    auto anyMatches = [&](const QStringList& masks) {
        return std::any_of(masks.cbegin(), masks.cend(),
                           [&](const QString& mask) { return SplitMatches(name, mask); });
    };
    int score = 0;
    for (const QStringList* list : {&m_wildMasks[kAlwaysBackup], &m_plainMasks[kAlwaysBackup]}) {
        if (anyMatches(*list)) {
            score += weights.alwaysBackup;
        }
    }
    for (const QStringList* list : {&m_wildMasks[kAlwaysSkip], &m_plainMasks[kAlwaysSkip]}) {
        if (anyMatches(*list)) {
            score += weights.alwaysSkip;
        }
    }
    const QString upperName = fullName.toUpper();
    if (m_ignore && !m_ignore->isEmpty()) {
        QString folder = upperName.left(std::max<qsizetype>(upperName.lastIndexOf('/'), 0));
        const qsizetype at = folder.indexOf(m_targetUpper);
        if (at >= 0) {
            folder.remove(at, m_targetUpper.size());
        }
        if (m_ignore->contains(folder, Qt::CaseInsensitive)) {
            score += weights.ignoreSubfolders;
        }
    }
    if (score == 0) {
        score = m_extensions.contains(name.extension, Qt::CaseInsensitive) ? 1 : 0;
    }
    if (score > 0 && size == 0 && TestBit(kBitNoEmptyFiles)) {
        return kSelectEmpty;
    }
    if (size <= SizeLimitBytes()) {
        return score > 0 ? kSelectYes : kSelectNo;
    }
    return score > 0 ? kSelectTooLarge : kSelectOtherTooLarge;
}

bool TProfile::MayDiscard(const QString& fileName) const {
    const TSplitName name = SplitName(fileName);
    auto matches = [&](const QStringList& masks) {
        return std::any_of(masks.cbegin(), masks.cend(),
                           [&](const QString& mask) { return SplitMatches(name, mask); });
    };
    return !matches(m_wildMasks[kNeverDiscard]) && !matches(m_plainMasks[kNeverDiscard]);
}

// ---- stored form -------------------------------------------------------------------

QByteArray TProfile::WriteProfileBlob() const {
    // Every text is cut to what its length field can say, so the blob always reads back.
    const QString name = m_name.left(kLongestProfileText);
    const QString target = m_target.left(kLongestProfileText);
    const QString extensions = ExtensionsText().left(kLongestListText);
    const QString ignore =
        m_ignore ? m_ignore->join(QChar(kListSeparator)).left(kLongestListText) : QString();
    QString overrides[3];
    for (int index = 0; index < 3; ++index) {
        overrides[index] = OverrideList(index).join(QChar(kListSeparator)).left(kLongestListText);
    }

    QByteArray blob(kProfileBlobHeader, '\0');
    char* header = blob.data();
    header[3] = static_cast<char>(m_priority);
    qToLittleEndian<quint32>(m_flags.load() & kStoredBits, header + 4);
    for (int index = 0; index < 3; ++index) {
        qToLittleEndian<quint16>(static_cast<quint16>(overrides[index].size()),
                                 header + 8 + 2 * index);
    }
    qToLittleEndian<quint16>(static_cast<quint16>(ignore.size()), header + 14);
    qToLittleEndian<quint16>(static_cast<quint16>(extensions.size()), header + 16);
    header[20] = static_cast<char>(name.size());
    header[21] = static_cast<char>(target.size());
    header[22] = static_cast<char>(m_sizeLimit);
    header[23] = static_cast<char>(m_discardRule);
    qToLittleEndian<qint32>(m_number, header + 24);

    AppendUtf16Le(blob, name);
    AppendUtf16Le(blob, target);
    AppendUtf16Le(blob, extensions);
    if (m_ignore) {
        AppendUtf16Le(blob, ignore);
    }
    for (const QString& text : overrides) {
        AppendUtf16Le(blob, text);
    }
    return blob;
}

void TProfile::CheckBlobFits() const {
    if (WriteProfileBlob().size() > kProfileBlobBudget) {
        RaiseError(
            QStringLiteral("The profile's settings are too long to be stored (at most 10 KiB)"));
    }
}

// ---- running -----------------------------------------------------------------------

void TProfile::OpenForMonitoring() {
    if (m_list.ActiveCount() >= TProfiles::kMostActive) {
        RaiseError(QStringLiteral("Only three active backup profiles allowed"));
    }
    RejectOwnFolders(m_target, OwnFolders(m_list.Host()));
    if (m_list.Store().IsReadOnly()) {
        RaiseError(
            QStringLiteral("%1 can only be read, so no backup can run").arg(m_list.Store().Path()));
    }
    QList<TFolderEntry> entries;
    errno = 0;
    if (m_target.isEmpty() || EntryKind(m_target) != kEntryFolder ||
        !ListFolder(m_target, entries)) {
        const int error = errno != 0 ? errno : ENOENT;
        m_list.Log().AppendLogLine(QStringLiteral("%1 Startup").arg(m_name),
                                   QString::fromLocal8Bit(std::strerror(error)));
        RaiseError(QStringLiteral("Could not open %1 for monitoring").arg(m_target));
    }
    m_list.ChangeActive(+1);
    SetFlagBit(kBitActive, true);
}

void TProfile::ResetCounts() {
    m_stored = 0;
    m_failed = 0;
    m_discarded = 0;
    m_pending = 0;
    m_skippedLarge = 0;
    m_skippedEmpty = 0;
    m_blocked = false;
    {
        QMutexLocker locker(&m_failureLock);
        m_firstFailure.clear();
    }
    m_runSerial = NextRunSerial();
}

TProfile::TRunCounts TProfile::RunCounts() const {
    QMutexLocker locker(&m_failureLock);
    return {m_stored.load(),       m_failed.load(),       m_discarded.load(), m_pending.load(),
            m_skippedLarge.load(), m_skippedEmpty.load(), m_blocked.load(),   m_firstFailure};
}

void TProfile::NoteFailure(const QString& text) {
    QMutexLocker locker(&m_failureLock);
    if (m_firstFailure.isEmpty()) {
        m_firstFailure = text;
    }
}

void TProfile::StartWorker(int mode) {
    m_runMode = mode;
    m_worker = std::make_unique<TMeow>(*this, static_cast<TWorkerMode>(mode),
                                       m_list.MakeRun(this, m_runSerial.load()));
    m_worker->start(TestBit(kBitLowPriority) ? QThread::LowPriority : QThread::NormalPriority);
}

bool TProfile::StartMonitoring() {
    OpenForMonitoring();
    TFolderWatcher::TOptions options;
    options.recursive = TestBit(kBitRecurse);
    options.filter = kMonitorFilter;
    options.whenWriterDone = true;
    options.watchLimit = m_list.WatchLimit();
    m_watcher = std::make_unique<TFolderWatcher>();
    ResetCounts();
    if (!m_watcher->Open(m_target, options)) {
        m_list.Log().AppendLogLine(QString(), m_watcher->ErrorText());
        NoteFailure(m_watcher->ErrorText());  // the run's counts tell callers why
        m_watcher.reset();
        m_list.ChangeActive(-1);
        SetFlagBit(kBitActive, false);
        return false;
    }
    StartWorker(kWorkerMonitor);
    m_reader = std::make_unique<TWoof>(*this, *m_watcher, *m_worker,
                                       m_list.MakeRun(this, m_runSerial.load()));
    m_reader->start(TestBit(kBitLowPriority) ? QThread::LowPriority : QThread::NormalPriority);
    return true;
}

bool TProfile::StartFullBackup() {
    OpenForMonitoring();
    SetFlagBit(kBitRunning, true);
    ResetCounts();
    StartWorker(kWorkerFullBackup);
    return true;
}

bool TProfile::StartPrune() {
    OpenForMonitoring();
    SetFlagBit(kBitRunning, true);
    ResetCounts();
    StartWorker(kWorkerPrune);
    return true;
}

bool TProfile::Stop() {
    if (!TestBit(kBitActive)) {
        return true;
    }
    if (m_reader) {
        m_watcher->RequestStop();
        m_reader->wait();
        m_reader.reset();
    }
    if (m_worker) {
        m_worker->RequestEnd();
        m_worker->wait();
        m_worker.reset();
    }
    m_watcher.reset();
    m_list.ChangeActive(-1);
    SetFlagBit(kBitActive, false);
    SetFlagBit(kBitRunning, false);
    // A run's end report that is still on its way must not stop a later run.
    m_runSerial = NextRunSerial();
    return true;
}
