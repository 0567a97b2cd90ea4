// One backup profile: the target folder, the rules that select its files and prune their
// versions, its stored form (the profile blob) and its run-time state with the threads
// that watch the folder and store versions.
#pragma once

#include <QByteArray>
#include <QMutex>
#include <QString>
#include <QStringList>

#include <array>
#include <atomic>
#include <memory>
#include <optional>

class TFolderWatcher;
class TMeow;
class TProfiles;
class TWoof;

// Bits of a profile's flag word.
enum TProfileBit : int {
    kBitAutostart = 0,      // start monitoring when the program starts
    kBitDetailedLog = 1,    // log every stored file
    kBitLowPriority = 2,    // the threads run one step below normal priority
    kBitNoEmptyFiles = 3,   // never back up zero-byte files
    kBitRecurse = 4,        // include subfolders
    kBitSkipOnFailure = 5,  // drop (and log) a file that cannot be read or stored
    kBitClassic = 6,        // write classic versions (one scrambled blob a file), not chunks
    kBitActive = 16,        // the folder is open; counts as active
    kBitRunning = 17,       // a one-shot run (full backup or pruning) is in progress
    kBitReady = 18,         // valid free target and at least one extension
};

// The three override lists.
enum TOverrideList : int {
    kAlwaysBackup = 0,
    kAlwaysSkip = 1,
    kNeverDiscard = 2,
};

// Tables of the profile settings, with the texts the backup window shows for them.
constexpr quint32 kDefaultProfileFlags = 60;  // bits 2 to 5
constexpr int kPriorityOrders = 6;
constexpr int kSizeLimits = 17;
constexpr int kDefaultSizeLimit = 6;  // 256 KiB
// The limits of today's stored profiles are indices 0 to 10 ("1 Kb" to "4096 Kb"); the
// larger ones follow, and the last one has no limit.
constexpr int kNoSizeLimit = kSizeLimits - 1;
constexpr int kDiscardRules = 8;
constexpr int kDefaultDiscardRule = 2;  // keep 20 most recent
constexpr int kNeverDiscardRule = 7;
constexpr qint64 kSizeLimitKb[kSizeLimits] = {1,     5,      10,      25,      50,   100,
                                              256,   512,    1024,    2048,    4096, 16384,
                                              65536, 262144, 1048576, 4194304, -1};  // -1: no limit
constexpr int kProfileBlobHeader = 28;
// The most bytes of a profile blob that the application database reads back.
constexpr int kProfileBlobBudget = 10 * 1024;
// Longest name and target folder the blob can hold; longest list text.
constexpr int kLongestProfileText = 255;
constexpr int kLongestListText = 65535;

struct TPriorityWeights {
    int alwaysBackup;
    int alwaysSkip;
    int ignoreSubfolders;
};
constexpr TPriorityWeights kPriorityWeights[kPriorityOrders] = {
    {16, -8, -1}, {16, -1, -8}, {8, -16, -1}, {1, -16, -8}, {8, -1, -16}, {1, -8, -16},
};

QStringList PriorityOrderTexts();  // "Always Backup, Always Skip, Ignore Subfolders", ...
QStringList SizeLimitTexts();      // "1 Kb" ... "4096 Kb", "16 MB" ... "4 GB", "No limit"
// The size-limit index a text names: a limit in KiB from the table ("256", "16384"), or
// one of the texts without regard to case and spaces ("16 MB", "1gb", "No limit", also
// "none"). -1 when it names none.
int SizeLimitIndexFromText(const QString& text);
QStringList DiscardRuleTexts();  // "Keep last two" ... "Never discard"
// The extension catalogue the backup window starts with.
QStringList DefaultExtensionCatalogue();

// The entry separator of the stored list texts.
constexpr char16_t kListSeparator = u'\uE000';

// Mask matching of file names: name and mask are split into base and extension, both
// upper-cased, and each part is compared position by position up to the shorter length,
// "?" matching any character and "*" ending the comparison as a match (so REP matches
// REPORT.DOC). A name without extension has the extension "."; a mask with an empty base
// has the base "*", one without extension the extension ".*".
bool MaskMatches(const QString& fileName, const QString& mask);

// Thread safety: settings change on the main thread only, and only while the profile is
// not active; its worker then reads them without a lock. The flag word is atomic. Start
// and Stop run on the main thread; Stop waits for the threads.
class TProfile {
public:
    // A new profile with the defaults (flags 60, size limit 256 KiB, keep 20, priority 0,
    // no lists), then SetName and SetTarget. Main thread.
    TProfile(TProfiles& list, const QString& name, int number, const QString& folder);
    // A profile read from its blob, or none when the blob is shorter than its header or its
    // lengths point past its end. The target is checked against the profiles loaded so
    // far. Main thread.
    static std::unique_ptr<TProfile> FromBlob(TProfiles& list, const QByteArray& blob);
    // Stops the profile first.
    ~TProfile();
    TProfile(const TProfile&) = delete;
    TProfile& operator=(const TProfile&) = delete;

    // ---- settings ---------------------------------------------------------------------
    bool TestBit(int bit) const;
    quint32 Flags() const { return m_flags.load(); }
    // Sets or clears a bit, keeping bits 0 to 19. Raises "Supply a target directory & at
    // least one file type to monitor!" (changing nothing) when Autostart is switched on
    // while the profile is not ready.
    void SetBit(int bit, bool value);

    const QString& Name() const { return m_name; }
    void SetName(const QString& name);
    int Number() const { return m_number; }
    const QString& Target() const { return m_target; }

    // Takes `folder` (with a trailing "/") as the target when it is an existing folder that
    // no other profile has and that fits the blob (255 characters); otherwise the target
    // stays and the profile is not ready. Drops the ignore list. Clears Autostart unless
    // the profile is ready, the folder is none of the program's own folders and the
    // backups database is open.
    void SetTarget(const QString& folder);

    int SizeLimitIndex() const { return m_sizeLimit; }
    // The limit in KiB; -1 when there is none.
    qint64 SizeLimitKb() const { return kSizeLimitKb[m_sizeLimit]; }
    // The most bytes a file may have to pass the limit: the limit counts whole KiB, so a
    // file may be up to 1023 bytes over it. The largest qint64 when there is no limit.
    qint64 SizeLimitBytes() const;
    // Takes the index when it is 0 to kSizeLimits - 1.
    void SetSizeLimit(int index);
    int DiscardRule() const { return m_discardRule; }
    void SetDiscardRule(int index);
    int PriorityOrder() const { return m_priority; }
    void SetPriorityOrder(int index);

    // The selected extensions, each with its dot.
    const QStringList& Extensions() const { return m_extensions; }
    // Replaces the extensions with the text's lines.
    void SetExtensions(const QString& lines);
    // The extensions as lines (CR LF after each), or empty.
    QString ExtensionsText() const;

    // Ready := at least one extension and the target is free; Autostart only while ready.
    void RecheckReady();

    // Replaces an override list from a text of entries separated by U+E000: entries with
    // "*" or "?" go to its wildcard part, the others to its plain part.
    void SetOverrideList(int index, const QString& text);
    void SetOverrideListFrom(int index, const QStringList& entries);
    // The wildcard entries, then the plain ones.
    QStringList OverrideList(int index) const;

    // Replaces the ignored subfolders from a text of names separated by U+E000, keeping
    // only names of existing folders in the target. Does nothing without a target.
    void SetIgnoreList(const QString& text);
    QStringList IgnoreList() const { return m_ignore.value_or(QStringList()); }
    // The target's immediate subfolders that are not hidden (no leading "."), by name.
    QStringList ListSubfolders() const;

    // ---- selection --------------------------------------------------------------------
    enum TSelection : int {
        kSelectNo = 0,             // the rules leave the file out
        kSelectYes = 1,            // backed up
        kSelectEmpty = 2,          // chosen by the rules, but empty while empty files are excluded
        kSelectTooLarge = 3,       // chosen by the rules, but larger than the size limit
        kSelectOtherTooLarge = 4,  // left out by the rules, and larger than the size limit
    };
    // Whether the file is backed up: the override lists and ignored subfolders score it
    // by the priority order, else its extension decides; then its size. Logs nothing.
    // Worker thread.
    TSelection Select(const QString& fullName) const;
    // Writes the log line of a file refused for its size: (full name, "-1") for an empty
    // one, (full name, "-2") for one too large (chosen or not), and counts the chosen ones
    // in the run's skipped counts. Worker thread.
    void LogRefusal(const QString& fullName, TSelection selection) const;
    // Select and LogRefusal: true when the file is backed up. Worker thread.
    bool ShouldBackup(const QString& fullName) const;
    // True when the name matches no Never Discard mask. Any thread.
    bool MayDiscard(const QString& fileName) const;

    // ---- stored form --------------------------------------------------------------------
    // The profile blob: a 28-byte header, then the texts in UTF-16LE. Run-time bits are
    // not stored. Main thread.
    QByteArray WriteProfileBlob() const;
    // Raises "The profile's settings are too long to be stored (at most 10 KiB)" when the
    // blob would be larger than the store reads back (it would be skipped at the next
    // load). Main thread.
    void CheckBlobFits() const;

    // ---- running ------------------------------------------------------------------------
    // Opens the target for a run and counts the profile as active. Raises "Only three
    // active backup profiles allowed", "Quiva application, data & log folders cannot be
    // monitored", "%s can only be read, so no backup can run" (a store opened read-only),
    // or (after the log line "%s Startup") "Could not open %s for monitoring".
    void OpenForMonitoring();
    // Starts watching the target with a monitoring worker. Raises as OpenForMonitoring;
    // returns false (after a log line with the reason) when the folder cannot be watched.
    [[nodiscard]] bool StartMonitoring();
    // Starts a worker that scans the whole target once and ends. Raises as
    // OpenForMonitoring.
    bool StartFullBackup();
    // Starts a worker that applies the discard rule once and ends. Raises as
    // OpenForMonitoring.
    bool StartPrune();
    // Ends the threads (waiting for the file being stored) and closes the folder.
    bool Stop();

    // Counts of the current or last run.
    struct TRunCounts {
        int stored = 0;        // versions stored
        int failed = 0;        // files given up (logged, or dropped at the end of a one-shot run)
        int discarded = 0;     // versions deleted by the discard rule
        int pending = 0;       // files waiting after the last pass (failed ones that are retried)
        int skippedLarge = 0;  // files the rules chose that were larger than the size limit
        int skippedEmpty = 0;  // empty files the rules chose while empty files are excluded
        bool blocked = false;  // the run stopped because the data folder was short of space
        QString firstFailure;  // the first file that failed in the run, and why
    };
    TRunCounts RunCounts() const;

    // The kind of the current or last run (a TWorkerMode: monitoring, full backup, pruning).
    int RunMode() const { return m_runMode.load(); }

    // Identifies the current run; a run's end report is honoured only for its own run.
    quint64 RunSerial() const { return m_runSerial.load(); }

    TProfiles& List() const { return m_list; }

private:
    friend class TMeow;

    TProfile(TProfiles& list);
    void SetFlagBit(int bit, bool value);
    // Keeps the first failure of the run. Worker thread.
    void NoteFailure(const QString& text);
    void StartWorker(int mode);
    void ResetCounts();

    TProfiles& m_list;
    std::atomic<quint32> m_flags{kDefaultProfileFlags};
    QString m_name;
    int m_number = 0;
    QString m_target;
    QString m_targetUpper;
    int m_sizeLimit = kDefaultSizeLimit;
    int m_discardRule = kDefaultDiscardRule;
    int m_priority = 0;
    QStringList m_extensions;
    std::array<QStringList, 3> m_wildMasks;
    std::array<QStringList, 3> m_plainMasks;
    std::optional<QStringList> m_ignore;

    std::unique_ptr<TFolderWatcher> m_watcher;
    std::unique_ptr<TMeow> m_worker;
    std::unique_ptr<TWoof> m_reader;
    std::atomic<quint64> m_runSerial{0};
    std::atomic<int> m_runMode{0};
    std::atomic<int> m_stored{0};
    std::atomic<int> m_failed{0};
    std::atomic<int> m_discarded{0};
    std::atomic<int> m_pending{0};
    // Counted by LogRefusal, which the worker calls on a const profile.
    mutable std::atomic<int> m_skippedLarge{0};
    mutable std::atomic<int> m_skippedEmpty{0};
    std::atomic<bool> m_blocked{false};
    mutable QMutex m_failureLock;  // guards m_firstFailure; taken with no other lock held
    QString m_firstFailure;
};

// The report of a full backup: "Stored N, skipped M larger than the limit, K empty, F
// failed".
QString RunSummaryText(const TProfile::TRunCounts& counts);
