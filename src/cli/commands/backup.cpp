// `quiva backup`: profiles, full backups, pruning, search, restore and the log, over the
// same engine and databases as the desktop program (refused while that program runs).
#include "backup/backup_log.h"
#include "backup/backup_store.h"
#include "backup/profile.h"
#include "backup/profiles.h"
#include "backup/restore_safety.h"
#include "backup/version_blob.h"
#include "backup/version_restore.h"
#include "base/day_number.h"
#include "base/errors.h"
#include "base/utf16le.h"
#include "base/utilities.h"
#include "cli/cli_args.h"
#include "cli/cli_host.h"
#include "cli/command.h"
#include "platform/file_access.h"
#include "platform/file_system.h"
#include "platform/folders.h"
#include "platform/native_name.h"
#include "platform/signal_watcher.h"
#include "platform/terminal_input.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <algorithm>
#include <cstdio>

#include <sys/stat.h>

namespace {

constexpr const char* kBackupUsage =
    "Usage: quiva backup COMMAND ...\n"
    "\n"
    "Commands:\n"
    "  profile list\n"
    "      one line per profile: name, number, state, target folder, extensions, size\n"
    "      limit, discard rule, options\n"
    "  profile add NAME --target DIR --ext .a,.b [--recurse|--no-recurse]\n"
    "              [--size-limit SIZE] [--rule N] [--classic]\n"
    "      a new profile (4 to 24 letters, digits or _); SIZE is a limit in KiB, one of\n"
    "      1 5 10 25 50 100 256 512 1024 2048 4096 (default 256), or one of 16MB 64MB\n"
    "      256MB 1GB 4GB, or none (no limit); N is the discard rule:\n"
    "        0 keep last two, 1 keep 10 most recent, 2 keep 20 most recent (default),\n"
    "        3 discard after one day, 4 after one week, 5 after 30 days,\n"
    "        6 after 90 days, 7 never discard\n"
    "      New versions are cut into chunks that every version shares, compressed and\n"
    "      encrypted under the preferences password; with --classic the profile keeps\n"
    "      writing classic versions (one scrambled blob a file, as older builds did)\n"
    "  profile delete NAME\n"
    "      deletes the profile and every version stored under it\n"
    "  run NAME\n"
    "      a full backup of the profile's folder; waits for its end and prints what it\n"
    "      did: Stored N, skipped M larger than the limit, K empty, F failed\n"
    "  prune NAME\n"
    "      applies the profile's discard rule once\n"
    "  search NAME [--mask M] [--from YYYY-MM-DD] [--to YYYY-MM-DD] [--limit N|all]\n"
    "      one line per stored version: id, file, folder, size, date (tab-separated;\n"
    "      bytes of a name that are not UTF-8 show as \\xHH, tabs and line breaks as\n"
    "      \\t, \\n and \\r);\n"
    "      M is a file-name mask with * and ? (or SQL's % and _), default all; the dates\n"
    "      default to 2000-01-01 and today; the versions of at most N file names\n"
    "      (default 128; all: every name), and a note on stderr when more match\n"
    "  monitor NAME...\n"
    "      monitors the named profiles (at most three) in the foreground: every\n"
    "      selected file that is created, changed or renamed in their folders is\n"
    "      stored, and the backup log records it as the desktop program does. Runs\n"
    "      until SIGTERM or SIGINT (Ctrl+C), then stops the profiles and exits 0; exits\n"
    "      1 when every profile stopped by itself (for instance when the data folder\n"
    "      ran short of space). Refused while the desktop program runs, which in turn\n"
    "      cannot start while this runs. A sample systemd user service, saved as\n"
    "      ~/.config/systemd/user/quiva-backup.service and started with\n"
    "      systemctl --user enable --now quiva-backup:\n"
    "        [Unit]\n"
    "        Description=Quiva Tessaline backups\n"
    "        [Service]\n"
    "        ExecStart=/usr/bin/quiva backup monitor Documents\n"
    "        Restart=on-failure\n"
    "        [Install]\n"
    "        WantedBy=default.target\n"
    "      (stop it with systemctl --user stop quiva-backup before starting the\n"
    "      desktop program)\n"
    "  restore ID... [--to DIR] [--assign-date] [--password P]\n"
    "      writes each version to its own folder, or to DIR under its name; with\n"
    "      --assign-date the file gets the version's date. A file it replaces whose\n"
    "      content no version holds is first stored as a version of the profile (a\n"
    "      line names it), so that the restore can be undone. The password is the\n"
    "      preferences password at the time of the backup: taken from the environment\n"
    "      variable QUIVA_BACKUP_PASSWORD when it is set, else read as one line from\n"
    "      standard input (not echoed on a terminal). --password P still works, but a\n"
    "      password on the command line can be read by every user of the machine in\n"
    "      the process list: avoid it. A fresh installation uses the password vompa7\n"
    "      until it is changed under Options > User Preferences of the desktop program\n"
    "  log [--all]\n"
    "      the lines of the newest backup log (of every log with --all)\n"
    "  check [--remove-orphans]\n"
    "      opens the store read-only (it writes nothing), runs SQLite's integrity check\n"
    "      and decodes every version with the preferences password (every chunk of a\n"
    "      chunked version, each shared chunk once); prints ID<TAB>reason<TAB>file for\n"
    "      each bad version, then a summary line. A version made\n"
    "      under another password is listed as ID<TAB>made with another password and\n"
    "      counted apart: without that password its content cannot be checked (and a\n"
    "      damaged length field looks the same), so it does not fail the check; restore\n"
    "      takes it with --password. A version stored uncompressed has no checksum:\n"
    "      damage to it cannot be found, and the summary counts it as stored without a\n"
    "      checksum, not as good. Versions of profiles that no longer exist (left by a\n"
    "      profile delete that was cut short) are counted too; --remove-orphans deletes\n"
    "      them (the only time check writes). Exit 1 when the integrity check fails, a\n"
    "      version is bad or the preferences password cannot be read\n"
    "\n"
    "On a store that can only be read (read-only media, no write permission) search,\n"
    "restore, log and check work; run, monitor, prune and profile delete are refused.\n"
    "\n"
    "Exit status: 0 done, 1 refused or failed (the reason on stderr), 2 usage error.\n";

constexpr const char* kName = "backup";
constexpr const char* kPasswordVariable = "QUIVA_BACKUP_PASSWORD";
constexpr int kIdlePollMs = 250;

void PrintLine(const QString& text) {
    std::printf("%s\n", text.toUtf8().constData());
}

int Fail(const QString& message) {
    std::fprintf(stderr, "quiva backup: %s\n", message.toUtf8().constData());
    return kExitFailed;
}

QString StateText(const TProfile& profile) {
    if (profile.TestBit(kBitRunning)) {
        return QStringLiteral("running");
    }
    if (profile.TestBit(kBitActive)) {
        return QStringLiteral("monitoring");
    }
    return profile.TestBit(kBitReady) ? QStringLiteral("ready") : QStringLiteral("not ready");
}

QString OptionsText(const TProfile& profile) {
    static const struct {
        int bit;
        const char* text;
    } kOptions[] = {
        {kBitAutostart, "autostart"},      {kBitDetailedLog, "detailed-log"},
        {kBitLowPriority, "low-priority"}, {kBitNoEmptyFiles, "no-empty-files"},
        {kBitRecurse, "recurse"},          {kBitSkipOnFailure, "skip-on-failure"},
        {kBitClassic, "classic"},
    };
    QStringList options;
    for (const auto& option : kOptions) {
        if (profile.TestBit(option.bit)) {
            options << QString::fromLatin1(option.text);
        }
    }
    return options.join(',');
}

int ListProfiles(TProfiles& list) {
    for (const TProfile* profile : list.Profiles()) {
        PrintLine(
            QStringList({profile->Name(), QString::number(profile->Number()), StateText(*profile),
                         profile->Target(), profile->Extensions().join(','),
                         SizeLimitTexts().at(profile->SizeLimitIndex()),
                         DiscardRuleTexts().at(profile->DiscardRule()), OptionsText(*profile)})
                .join('\t'));
    }
    return kExitOk;
}

int AddProfile(TProfiles& list, const QStringList& args) {
    const TCliArgs parsed(args, {"--target", "--ext", "--size-limit", "--rule"},
                          {"--recurse", "--no-recurse", "--classic"});
    if (!parsed.Error().isEmpty()) {
        return UsageError(kName, parsed.Error(), kBackupUsage);
    }
    if (parsed.Positional().size() != 1) {
        return UsageError(kName, QStringLiteral("profile add takes one NAME"), kBackupUsage);
    }
    const QString name = parsed.Positional().first().trimmed();
    const std::optional<QString> target = parsed.Value("--target");
    const std::optional<QString> extensions = parsed.Value("--ext");
    if (!target || !extensions) {
        return UsageError(kName, QStringLiteral("profile add needs --target and --ext"),
                          kBackupUsage);
    }
    if (parsed.Has("--recurse") && parsed.Has("--no-recurse")) {
        return UsageError(kName, QStringLiteral("--recurse and --no-recurse exclude each other"),
                          kBackupUsage);
    }
    int sizeIndex = kDefaultSizeLimit;
    if (const std::optional<QString> size = parsed.Value("--size-limit")) {
        sizeIndex = SizeLimitIndexFromText(*size);
        if (sizeIndex < 0) {
            return UsageError(kName,
                              QStringLiteral("--size-limit takes one of 1 5 10 25 50 100 "
                                             "256 512 1024 2048 4096 16MB 64MB 256MB 1GB 4GB "
                                             "none: '%1'")
                                  .arg(*size),
                              kBackupUsage);
        }
    }
    int rule = kDefaultDiscardRule;
    if (const std::optional<QString> text = parsed.Value("--rule")) {
        bool ok = false;
        rule = text->toInt(&ok);
        if (!ok || rule < 0 || rule >= kDiscardRules) {
            return UsageError(kName,
                              QStringLiteral("--rule takes a number from 0 to 7: '%1'").arg(*text),
                              kBackupUsage);
        }
    }
    QStringList selected;
    for (QString extension : extensions->split(',', Qt::SkipEmptyParts)) {
        extension = extension.trimmed().toLower();
        if (!extension.isEmpty()) {
            selected << (extension.startsWith('.') ? extension : '.' + extension);
        }
    }

    TProfiles::TProfileRequest request;
    request.name = name;
    request.target = QDir(*target).absolutePath();
    request.extensions = selected;
    request.recurse = !parsed.Has("--no-recurse");
    request.sizeLimit = sizeIndex;
    request.discardRule = rule;
    request.classic = parsed.Has("--classic");
    TProfile* profile = nullptr;
    try {
        profile = list.AddProfile(request);
    } catch (const EQuiva& error) {
        return Fail(error.Message());
    }
    PrintLine(QStringLiteral("Added profile %1 (number %2)").arg(name).arg(profile->Number()));
    return kExitOk;
}

int DeleteProfile(TProfiles& list, const QStringList& args) {
    if (args.size() != 1) {
        return UsageError(kName, QStringLiteral("profile delete takes one NAME"), kBackupUsage);
    }
    TProfile* profile = list.FindByName(args.first());
    if (profile == nullptr) {
        return Fail(QStringLiteral("No profile named %1").arg(args.first()));
    }
    const QString name = profile->Name();
    const int before = list.Count();
    if (list.DeleteProfile(profile) == before) {
        return Fail(QStringLiteral("Could not delete %1").arg(name));
    }
    list.SaveAll(false);
    PrintLine(QStringLiteral("Deleted profile %1 and its backups").arg(name));
    return kExitOk;
}

// Starts a one-shot run and waits for its end on this thread's event loop.
int RunOneShot(TCliHost& host, TProfiles& list, const QStringList& args, bool prune) {
    if (args.size() != 1) {
        return UsageError(kName, QStringLiteral("%1 takes one NAME").arg(prune ? "prune" : "run"),
                          kBackupUsage);
    }
    TProfile* profile = list.FindByName(args.first());
    if (profile == nullptr) {
        return Fail(QStringLiteral("No profile named %1").arg(args.first()));
    }
    profile->RecheckReady();
    if (!profile->TestBit(kBitReady)) {
        return Fail(
            QStringLiteral("Supply a target directory & at least one file type to monitor!"));
    }
    QEventLoop loop;
    QObject::connect(&list, &TProfiles::RunConcluded, &loop, [&](int number) {
        if (number == profile->Number()) {
            loop.quit();
        }
    });
    // The desktop's idle handler keeps flag 16 (the data folder short of space) current;
    // here a timer does. The counters are stored when the profile list closes.
    auto checkSpace = [&host] { host.Backups().CheckFreeSpace(); };
    QTimer idle;
    QObject::connect(&idle, &QTimer::timeout, &loop, checkSpace);
    checkSpace();
    idle.start(kIdlePollMs);
    try {
        (void)(prune ? profile->StartPrune() : profile->StartFullBackup());
    } catch (const EQuiva& error) {
        return Fail(error.Message());
    }
    loop.exec();
    const TProfile::TRunCounts counts = profile->RunCounts();
    if (prune) {
        PrintLine(QStringLiteral("Discarded %1 versions").arg(counts.discarded));
        return kExitOk;
    }
    PrintLine(RunSummaryText(counts) +
              (counts.discarded > 0
                   ? QStringLiteral("; discarded %1 old versions").arg(counts.discarded)
                   : QString()));
    if (counts.blocked) {
        return Fail(QStringLiteral("the run stopped: the data folder has less than 16 MiB free"));
    }
    if (counts.stored == 0 && counts.failed > 0 && !counts.firstFailure.isEmpty()) {
        // Nothing was stored: the first reason usually explains them all.
        return Fail(QStringLiteral("no file was stored; the first failure: %1")
                        .arg(PrintableName(counts.firstFailure)));
    }
    return counts.failed == 0 ? kExitOk : kExitFailed;
}

// Monitors the named profiles until a termination signal; their versions and log lines
// go where the desktop program puts them.
int Monitor(TCliHost& host, TProfiles& list, const QStringList& args) {
    if (args.isEmpty()) {
        return UsageError(kName, QStringLiteral("monitor takes one or more profile names"),
                          kBackupUsage);
    }
    QList<TProfile*> profiles;
    for (const QString& name : args) {
        TProfile* profile = list.FindByName(name);
        if (profile == nullptr) {
            return Fail(QStringLiteral("No profile named %1").arg(name));
        }
        if (!profiles.contains(profile)) {
            profiles << profile;
        }
    }
    for (TProfile* profile : std::as_const(profiles)) {
        profile->RecheckReady();
        if (!profile->TestBit(kBitReady)) {
            return Fail(QStringLiteral("%1: Supply a target directory & at least one file type to "
                                       "monitor!")
                            .arg(profile->Name()));
        }
    }

    // Installed before anything starts, so that a signal that comes early still ends the
    // monitoring cleanly.
    QEventLoop loop;
    TSignalWatcher signalWatcher;
    QObject::connect(&signalWatcher, &TSignalWatcher::terminationRequested, &loop,
                     [&loop] { loop.quit(); });
    int running = 0;
    bool endedByThemselves = false;
    QObject::connect(&list, &TProfiles::RunConcluded, &loop, [&](int number) {
        for (const TProfile* profile : std::as_const(profiles)) {
            if (profile->Number() != number) {
                continue;
            }
            const TProfile::TRunCounts counts = profile->RunCounts();
            std::fprintf(stderr, "quiva backup: the monitoring of %s stopped: %s\n",
                         profile->Name().toUtf8().constData(),
                         counts.blocked ? "the data folder has less than 16 MiB free"
                                        : "its folder can no longer be watched (see the backup "
                                          "log)");
            if (--running == 0) {
                endedByThemselves = true;
                loop.quit();
            }
        }
    });
    // The desktop's idle handler keeps flag 16 current and stores the counters; here a
    // timer does.
    auto idleWork = [&host] {
        host.Backups().CheckFreeSpace();
        host.Backups().ProcessIdle();
    };
    QTimer idle;
    QObject::connect(&idle, &QTimer::timeout, &loop, idleWork);
    idleWork();
    idle.start(kIdlePollMs);

    auto stopAll = [&] {
        for (TProfile* profile : std::as_const(profiles)) {
            profile->Stop();
        }
    };
    for (TProfile* profile : std::as_const(profiles)) {
        try {
            if (!profile->StartMonitoring()) {
                stopAll();
                return Fail(
                    QStringLiteral("Could not watch %1: %2")
                        .arg(PrintableName(profile->Target()), profile->RunCounts().firstFailure));
            }
        } catch (const EQuiva& error) {
            stopAll();
            return Fail(error.Message());
        }
        ++running;
        PrintLine(QStringLiteral("Monitoring %1 (%2)")
                      .arg(profile->Name(), PrintableName(profile->Target())));
    }
    std::fflush(stdout);
    loop.exec();

    for (TProfile* profile : std::as_const(profiles)) {
        const TProfile::TRunCounts counts = profile->RunCounts();
        profile->Stop();
        PrintLine(QStringLiteral("Stopped monitoring %1: stored %2 files, %3 failed")
                      .arg(profile->Name())
                      .arg(counts.stored)
                      .arg(counts.failed));
    }
    std::fflush(stdout);
    return endedByThemselves ? kExitFailed : kExitOk;
}

std::optional<QDate> DateOption(const TCliArgs& parsed, const QString& option, QString& error) {
    const std::optional<QString> text = parsed.Value(option);
    if (!text) {
        return std::nullopt;
    }
    const QDate date = QDate::fromString(*text, QStringLiteral("yyyy-MM-dd"));
    if (!date.isValid()) {
        error = QStringLiteral("%1 takes a date YYYY-MM-DD: '%2'").arg(option, *text);
    }
    return date;
}

int Search(TBackupStore& store, TProfiles& list, const QStringList& args) {
    const TCliArgs parsed(args, {"--mask", "--from", "--to", "--limit"}, {});
    if (!parsed.Error().isEmpty()) {
        return UsageError(kName, parsed.Error(), kBackupUsage);
    }
    if (parsed.Positional().size() != 1) {
        return UsageError(kName, QStringLiteral("search takes one NAME"), kBackupUsage);
    }
    int limit = TSearchPage().names;
    if (const std::optional<QString> text = parsed.Value("--limit")) {
        bool ok = false;
        limit = *text == QLatin1String("all") ? 0 : text->toInt(&ok);
        if (*text != QLatin1String("all") && (!ok || limit <= 0)) {
            return UsageError(
                kName, QStringLiteral("--limit takes a number above 0 or all: '%1'").arg(*text),
                kBackupUsage);
        }
    }
    QString error;
    const QDate from = DateOption(parsed, "--from", error).value_or(QDate(2000, 1, 1));
    const QDate to = DateOption(parsed, "--to", error).value_or(QDate::currentDate());
    if (!error.isEmpty()) {
        return UsageError(kName, error, kBackupUsage);
    }
    TProfile* profile = list.FindByName(parsed.Positional().first());
    if (profile == nullptr) {
        return Fail(QStringLiteral("No profile named %1").arg(parsed.Positional().first()));
    }
    // As the window's mask field: no path characters, and * and ? become % and _.
    QString mask = parsed.Value("--mask").value_or(QString());
    for (const QChar dropped : QStringLiteral("\"/:<>\\|")) {
        mask.remove(dropped);
    }
    mask.replace('*', '%').replace('?', '_');
    if (mask.isEmpty()) {
        mask = QStringLiteral("%");
    }
    const int first = static_cast<int>(DayNumberFromDate(from));
    const int dayAfterLast = static_cast<int>(DayNumberFromDate(to)) + 1;
    try {
        RejectSequence(QStringLiteral("%%"), mask);
        RejectSequence(QStringLiteral("%_"), mask);
        if (dayAfterLast < first) {
            RaiseError(QStringLiteral("Invalid date range"));
        }
        TSearchPage page;
        page.names = limit;
        bool any = false;
        for (;;) {
            QList<TVersionRow> rows;
            int nextAfter = 0;
            (void)store.SearchVersionsPage(profile->Number(), first, mask, dayAfterLast, page, rows,
                                           nextAfter);
            for (const TVersionRow& row : rows) {
                // One line per version whatever a name holds.
                PrintLine(QStringList({QString::number(row.versionId), PrintableName(row.file),
                                       PrintableName(row.folder), QString::number(row.size),
                                       row.DateText()})
                              .join('\t'));
            }
            any = any || !rows.isEmpty();
            if (nextAfter == 0) {
                break;
            }
            if (limit > 0) {
                std::fprintf(stderr,
                             "More names match than the %d shown; --limit all shows every one\n",
                             limit);
                break;
            }
            page.afterPathId = nextAfter;
        }
        if (!any) {
            std::fprintf(stderr, "No Matches\n");
        }
    } catch (const EQuiva& failure) {
        return Fail(failure.Message());
    }
    return kExitOk;
}

// True when something (a file, a link, anything) lies at the path.
bool PathExists(const QString& path) {
    struct stat facts {};
    return ::lstat(EncodeNativeName(path).constData(), &facts) == 0;
}

// The restore password: --password (its bytes as given), else QUIVA_BACKUP_PASSWORD, else
// one line of standard input, not echoed on a terminal.
QByteArray RestorePassword(const TCliArgs& parsed) {
    if (const std::optional<QString> given = parsed.Value("--password")) {
        return EncodeNativeName(*given);
    }
    const QByteArray fromEnvironment = qgetenv(kPasswordVariable);
    if (!fromEnvironment.isEmpty()) {
        return fromEnvironment;
    }
    return ReadSecretLine(QStringLiteral("Password: "));
}

int Restore(TCliHost& host, TBackupStore& store, TProfiles& list, const QStringList& args) {
    const TCliArgs parsed(args, {"--password", "--to"}, {"--assign-date"});
    if (!parsed.Error().isEmpty()) {
        return UsageError(kName, parsed.Error(), kBackupUsage);
    }
    if (parsed.Positional().isEmpty()) {
        return UsageError(kName, QStringLiteral("restore takes one or more version ids"),
                          kBackupUsage);
    }
    QList<int> ids;
    for (const QString& text : parsed.Positional()) {
        bool ok = false;
        const int id = text.toInt(&ok);
        if (!ok || id <= 0) {
            return UsageError(kName, QStringLiteral("not a version id: '%1'").arg(text),
                              kBackupUsage);
        }
        ids << id;
    }
    const QByteArray password = RestorePassword(parsed);
    const std::optional<QString> to = parsed.Value("--to");
    const TRestoreSafety safety{list, TBlobKeys::FromHash(host.Stores().PasswordHash())};
    int result = kExitOk;
    for (const int id : ids) {
        try {
            const std::optional<TVersionRow> version = store.FindVersion(id);
            if (!version) {
                RaiseError(QStringLiteral("No valid backup data available!"));
            }
            QString folder = version->folder;
            if (to) {
                folder = AbsolutePath(*to);
                if (!folder.endsWith('/')) {
                    folder += '/';
                }
            } else if (!IsPlainStoredFolder(folder)) {
                RaiseError(QStringLiteral("Invalid backup data"));
            }
            if (!IsPlainName(version->file)) {
                RaiseError(QStringLiteral("Invalid backup data"));
            }
            QString message;
            if (!PathExists(folder + version->file)) {
                // Nothing to replace: written chunk by chunk, whatever its size.
                if (WriteVersionStreamed(store, *version, folder, version->file, password,
                                         parsed.Has("--assign-date"), message) != kVersionWritten) {
                    RaiseError(message);
                }
                PrintLine(QStringLiteral("Restored %1").arg(PrintableName(folder + version->file)));
                continue;
            }
            // Decoded and checked whole before the destination is touched; what it
            // replaces is kept as a version first when no version holds it.
            const QByteArray content = LoadVersionContent(store, *version, password);
            const int kept = KeepReplacedContent(store, safety, *version, folder, version->file,
                                                 content, password);
            if (kept != 0) {
                PrintLine(KeptContentText(folder + version->file, kept));
            }
            if (WriteVersionContent(*version, folder, version->file, content,
                                    parsed.Has("--assign-date"), message) != kVersionWritten) {
                RaiseError(message);
            }
            PrintLine(QStringLiteral("Restored %1").arg(PrintableName(folder + version->file)));
        } catch (const EQuiva& error) {
            result = Fail(QStringLiteral("version %1: %2").arg(id).arg(error.Message()));
        }
    }
    return result;
}

int ShowLog(THost& host, const QStringList& args) {
    const TCliArgs parsed(args, {}, {"--all"});
    if (!parsed.Error().isEmpty() || !parsed.Positional().isEmpty()) {
        return UsageError(
            kName, parsed.Error().isEmpty() ? QStringLiteral("log takes no names") : parsed.Error(),
            kBackupUsage);
    }
    // Log names carry their creation time (yyMMdd_hhmmss), so name order is time order.
    QStringList logs = QDir(host.LogsFolder())
                           .entryList({QStringLiteral("Backups*.log")}, QDir::Files, QDir::Name);
    if (!parsed.Has("--all") && logs.size() > 1) {
        logs = logs.mid(logs.size() - 1);
    }
    for (const QString& name : logs) {
        QFile file(host.LogsFolder() + name);
        if (!file.open(QIODevice::ReadOnly)) {
            continue;
        }
        const QByteArray bytes = file.readAll();
        const QString text = FromUtf16Le(bytes);
        for (const QStringView line :
             QStringView(text).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts)) {
            PrintLine(line.toString());
        }
    }
    return kExitOk;
}

// The profile numbers that have versions in the store but no profile, with their counts.
QList<std::pair<int, qint64>> OrphanCounts(TBackupStore& store, const QList<int>& profiles) {
    QList<std::pair<int, qint64>> orphans;
    for (const auto& [number, count] : store.VersionCountsByProfile()) {
        if (!profiles.contains(number)) {
            orphans.append({number, count});
        }
    }
    return orphans;
}

// Checks the store as it is, opened read-only: SQLite's integrity check, then every
// version decoded with the preferences password, a batch of rows at a time.
int CheckStore(TCliHost& host, const QStringList& args) {
    if (!args.isEmpty()) {
        return UsageError(kName, QStringLiteral("check takes no arguments"), kBackupUsage);
    }
    // Without the application database the password is unknown: every version would look
    // made under another password, and the check would pass over nothing.
    if (!host.IsFlagSet(kFlagUiDatabase)) {
        return Fail(QStringLiteral("%1 cannot be read, so the preferences password is unknown "
                                   "and no version can be checked")
                        .arg(PrintableName(host.Stores().DatabasePath())));
    }
    TBackupStore& store = *host.Backups().Store();
    QStringList integrity;
    try {
        integrity = store.IntegrityProblems();
    } catch (const EQuiva& error) {
        integrity << QStringLiteral("could not run: %1").arg(error.Message());
    }
    for (const QString& problem : integrity) {
        PrintLine(QStringLiteral("integrity_check: %1").arg(problem));
    }
    qint64 bad = 0;
    qint64 otherPassword = 0;
    qint64 unverified = 0;
    qint64 checked = 0;
    qint64 orphanChunks = 0;
    std::optional<TStoreKeys> storeKeys;
    bool saltDamaged = false;
    try {
        storeKeys = store.KeysFor(host.Stores().PreferencesPassword());
    } catch (const EQuiva&) {
        saltDamaged = true;
        PrintLine(QStringLiteral("key salt: damaged (no chunked version can be opened)"));
    }
    QList<std::pair<int, qint64>> orphans;
    try {
        checked = store.CheckVersions(
            TBlobKeys::FromHash(host.Stores().PasswordHash()),
            [&](const TVersionCheck& version) {
                if (version.otherPassword) {
                    ++otherPassword;
                    PrintLine(
                        QStringLiteral("%1\tmade with another password").arg(version.versionId));
                } else if (version.unverified) {
                    ++unverified;
                } else {
                    ++bad;
                    PrintLine(QStringLiteral("%1\t%2\t%3")
                                  .arg(version.versionId)
                                  .arg(version.reason, PrintableName(version.file)));
                }
            },
            storeKeys);
        orphanChunks = store.OrphanChunkCount();
        if (const std::optional<QList<int>> profiles = TProfiles::StoredNumbers(host.Stores())) {
            orphans = OrphanCounts(store, *profiles);
        }
    } catch (const EQuiva& error) {
        return Fail(QStringLiteral("the versions could not be read: %1").arg(error.Message()));
    }
    if (orphanChunks > 0) {
        PrintLine(
            QStringLiteral("chunks: %1 stored chunks belong to no version").arg(orphanChunks));
    }
    PrintLine(QStringLiteral("Checked %1 versions: %2 good, %3 bad, %4 made with another "
                             "password, %5 stored without a checksum (damage to them cannot be "
                             "found); integrity check %6")
                  .arg(checked)
                  .arg(checked - bad - otherPassword - unverified)
                  .arg(bad)
                  .arg(otherPassword)
                  .arg(unverified)
                  .arg(integrity.isEmpty() ? QStringLiteral("ok") : QStringLiteral("failed")));
    if (!orphans.isEmpty()) {
        qint64 total = 0;
        QStringList numbers;
        for (const auto& [number, count] : orphans) {
            total += count;
            numbers << QString::number(number);
        }
        PrintLine(QStringLiteral("%1 versions of profiles that no longer exist (profile number "
                                 "%2); quiva backup check --remove-orphans deletes them")
                      .arg(total)
                      .arg(numbers.join(QStringLiteral(", "))));
    }
    return integrity.isEmpty() && bad == 0 && !saltDamaged && orphanChunks == 0 ? kExitOk
                                                                                : kExitFailed;
}

// Deletes the versions of profile numbers that no profile has. Needs the lock and a
// writable store; refused when the stored list of profiles cannot be read.
int RemoveOrphans(TProfiles& list) {
    if (list.StateUnreadable()) {
        return Fail(
            QStringLiteral("The stored list of backup profiles could not be read, so no "
                           "version is taken for one of a deleted profile"));
    }
    QList<int> numbers;
    for (const TProfile* profile : list.Profiles()) {
        numbers << profile->Number();
    }
    qint64 removed = 0;
    for (const auto& [number, count] : OrphanCounts(list.Store(), numbers)) {
        list.Store().DeleteAllVersions(number);
        removed += count;
    }
    PrintLine(QStringLiteral("Removed %1 versions of profiles that no longer exist").arg(removed));
    return kExitOk;
}

int RunCommand(TCliHost& host, const QString& command, const QStringList& rest) {
    host.OpenProgramStores({});
    // Profiles and counters live in the application database: a change that cannot be
    // stored there would be reported done and then lost.
    if (!host.Stores().UnusableReason().isEmpty()) {
        return Fail(host.Stores().UnusableReason());
    }
    if (!host.IsFlagSet(kFlagBackupsDatabase)) {
        return Fail(QStringLiteral("Can't open backups.db"));
    }
    if (host.Backups().Store()->IsReadOnly()) {
        const QString store = host.Backups().Store()->Path();
        if (command == QLatin1String("run") || command == QLatin1String("monitor")) {
            return Fail(QStringLiteral("%1 can only be read, so no backup can run").arg(store));
        }
        if (command == QLatin1String("prune")) {
            return Fail(
                QStringLiteral("%1 can only be read, so no version can be discarded").arg(store));
        }
        if (command == QLatin1String("check")) {
            return Fail(
                QStringLiteral("%1 can only be read, so no version can be deleted").arg(store));
        }
        if (command == QLatin1String("profile") && rest.value(0) == QLatin1String("delete")) {
            return Fail(QStringLiteral("%1 can only be read: a profile is deleted with its "
                                       "versions, which cannot be deleted there")
                            .arg(store));
        }
    }
    host.Backups().StartProfiles(false);
    TProfiles& list = *host.Backups().Profiles();
    if (command == QLatin1String("profile")) {
        const QString action = rest.value(0);
        if (action == QLatin1String("list") && rest.size() == 1) {
            return ListProfiles(list);
        }
        if (action == QLatin1String("add")) {
            return AddProfile(list, rest.mid(1));
        }
        if (action == QLatin1String("delete")) {
            return DeleteProfile(list, rest.mid(1));
        }
        return UsageError(kName, QStringLiteral("profile takes list, add or delete"), kBackupUsage);
    }
    if (command == QLatin1String("run") || command == QLatin1String("prune")) {
        return RunOneShot(host, list, rest, command == QLatin1String("prune"));
    }
    if (command == QLatin1String("monitor")) {
        return Monitor(host, list, rest);
    }
    if (command == QLatin1String("search")) {
        return Search(*host.Backups().Store(), list, rest);
    }
    if (command == QLatin1String("check")) {
        try {
            return RemoveOrphans(list);
        } catch (const EQuiva& error) {
            return Fail(error.Message());
        }
    }
    return Restore(host, *host.Backups().Store(), list, rest);
}

int RunBackup(TCliHost& host, const QStringList& args) {
    if (args.isEmpty()) {
        std::fputs(kBackupUsage, stderr);
        return kExitUsage;
    }
    if (PrintHelpIfAsked(args, kBackupUsage)) {
        return kExitOk;
    }
    const QString command = args.first();
    static const QStringList kCommands = {"profile", "run",     "monitor", "prune",
                                          "search",  "restore", "log",     "check"};
    if (!kCommands.contains(command)) {
        return UsageError(kName, QStringLiteral("unknown command '%1'").arg(command), kBackupUsage);
    }
    if (command == QLatin1String("log")) {
        // Reads the logs folder only: no lock, no store.
        host.OpenProgramStores({.backups = false, .writable = false});
        return ShowLog(host, args.mid(1));
    }
    if (command == QLatin1String("check") && args.mid(1) == QStringList{"--remove-orphans"}) {
        if (!host.LockProgramData()) {
            return Fail(host.RunningText("backup"));
        }
        const int result = RunCommand(host, command, {});
        host.CloseStores();
        return result;
    }
    if (command == QLatin1String("check")) {
        // Reads only, the store included: no lock, and nothing is written anywhere.
        host.OpenProgramStores({.backups = true, .writable = false, .backupsReadOnly = true});
        if (!host.IsFlagSet(kFlagBackupsDatabase)) {
            return Fail(QStringLiteral("Can't open backups.db"));
        }
        return CheckStore(host, args.mid(1));
    }
    // The desktop program holds this lock while it runs; the profiles, counters and the
    // store are its own then. It is held here until the stores are closed again.
    if (!host.LockProgramData()) {
        return Fail(host.RunningText("backup"));
    }
    const int result = RunCommand(host, command, args.mid(1));
    host.CloseStores();
    return result;
}

}  // namespace

QUIVA_CLI_LOOP_COMMAND(backup, "backup",
                       "backup profiles, full backups, monitoring, search and restore", RunBackup);
