// `quiva track`: records the changes inside a folder with DirTrack's engine, printing one
// line per change as it is recorded, and writes the record as CSV at the end.
#include "base/errors.h"
#include "cli/cli_args.h"
#include "cli/cli_host.h"
#include "cli/command.h"
#include "platform/file_access.h"
#include "platform/native_name.h"
#include "platform/signal_watcher.h"
#include "tools/dirtrack/watcher.h"

#include <QEventLoop>
#include <QMetaObject>
#include <QObject>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <memory>

namespace {

constexpr const char* kTrackUsage =
    "Usage: quiva track DIR [--recurse] [--seconds N] [--csv FILE] [--only KINDS]\n"
    "\n"
    "Records what changes inside DIR and prints one line per change as it is recorded:\n"
    "the time (HH:MM:SS:mmm), the action (Added, Removed, Modified, OldName, NewName) and\n"
    "the name relative to DIR. Runs until N seconds have passed or it is interrupted\n"
    "(Ctrl+C), then writes the record as a CSV file when asked.\n"
    "\n"
    "Options:\n"
    "  --recurse        track the whole folder tree; folders made later are tracked too\n"
    "  --seconds N      stop after N seconds\n"
    "  --csv FILE       write the record to FILE at the end: a UTF-8 byte-order mark, the\n"
    "                   line Object,Date,Operation, then name,yymmdd:hhnnss,action per entry\n"
    "  --only KINDS     what to track, comma-separated: added, removed, modified, renamed\n"
    "                   (default: all four). A kind's changes bring their companions along\n"
    "                   into the record and the CSV, but only the kinds asked are printed.\n"
    "  --help           show this text\n"
    "\n"
    "When the system drops changes (too many at once), a line with the action Overflow names\n"
    "the folder, the tree is walked again and what changed meanwhile is recorded.\n"
    "\n"
    "Exit status: 0 done, 1 refused or failed (the reason on stderr), 2 usage error.\n";

constexpr int kMaxSeconds = 100 * 24 * 3600;

// The "Track These" bits of an --only list; none when a kind is unknown (`bad` names it).
std::optional<quint16> OnlyOption(const QString& text, QString& bad) {
    quint16 what = 0;
    for (const QString& part : text.split(',')) {
        const QString kind = part.trimmed().toLower();
        if (kind.isEmpty()) {
            continue;
        }
        if (kind == QLatin1String("added")) {
            what |= kTrackAdditions;
        } else if (kind == QLatin1String("removed")) {
            what |= kTrackDeletions;
        } else if (kind == QLatin1String("modified")) {
            what |= kTrackPropertyChanges;
        } else if (kind == QLatin1String("renamed")) {
            what |= kTrackNameChanges;
        } else {
            bad = part;
            return std::nullopt;
        }
    }
    return what;
}

int RunTrack(TCliHost& host, const QStringList& args) {
    if (PrintHelpIfAsked(args, kTrackUsage)) {
        return kExitOk;
    }
    const TCliArgs parsed(args, {"--seconds", "--csv", "--only"}, {"--recurse"});
    if (!parsed.Error().isEmpty()) {
        return UsageError("track", parsed.Error(), kTrackUsage);
    }
    if (parsed.Positional().size() != 1) {
        return UsageError("track", QStringLiteral("expected one folder DIR"), kTrackUsage);
    }
    int seconds = 0;
    if (const std::optional<QString> text = parsed.Value("--seconds")) {
        bool ok = false;
        seconds = text->toInt(&ok);
        if (!ok || seconds < 1 || seconds > kMaxSeconds) {
            return UsageError("track",
                              QStringLiteral("--seconds takes a number from 1 to %1: '%2'")
                                  .arg(kMaxSeconds)
                                  .arg(*text),
                              kTrackUsage);
        }
    }
    quint16 what = kTrackWhatBits;
    if (const std::optional<QString> text = parsed.Value("--only")) {
        QString bad;
        const std::optional<quint16> only = OnlyOption(*text, bad);
        if (!only) {
            return UsageError(
                "track",
                QStringLiteral("--only takes added, removed, modified or renamed: '%1'").arg(bad),
                kTrackUsage);
        }
        what = *only;
    }
    const std::optional<QString> csv = parsed.Value("--csv");
    if (csv && csv->isEmpty()) {
        return UsageError("track", QStringLiteral("--csv needs a file name"), kTrackUsage);
    }

    QEventLoop loop;
    // Work posted to the main thread goes with this object, before the tracker is freed.
    QObject context;
    std::unique_ptr<TWatcher> tracker;
    std::function<void()> drain;
    const auto post = [&context, &drain] {
        QMetaObject::invokeMethod(
            &context, [&drain] { drain(); }, Qt::QueuedConnection);
    };
    drain = [&] {
        if (!tracker) {
            return;
        }
        const bool more = tracker->RecordAll();
        if (tracker->Failed()) {
            loop.quit();
        } else if (more) {
            post();
        }
    };
    TTrackStart start;
    start.folder = AbsolutePath(parsed.Positional()[0]);
    start.options = static_cast<quint16>(what | (parsed.Has("--recurse") ? kTrackRecurse : 0));
    start.clearAt = 0;  // everything is kept for the CSV file
    start.wake = post;
    try {
        tracker = std::make_unique<TWatcher>(&host, start);
    } catch (const EQuiva& error) {
        host.ShowError(error);
        return kExitFailed;
    }
    // On standard error, so that the change lines stay alone on standard output.
    std::fprintf(stderr, "Tracking %s\n",
                 EncodeNativeName(PrintableName(tracker->Folder())).constData());
    std::fflush(stderr);
    const quint32 shown = tracker->DisplaySet();
    tracker->OnRecorded = [&](int action, const TTrackEntry& entry) {
        if ((shown & (1u << action)) == 0) {
            return;
        }
        const QByteArray time =
            tracker->EntryTime(entry).toString(QStringLiteral("HH:mm:ss:zzz")).toLatin1();
        std::printf("%s %s %s\n", time.constData(), TrackActionWord(action).toLatin1().constData(),
                    EncodeNativeName(PrintableName(entry.name)).constData());
        std::fflush(stdout);
    };

    TSignalWatcher interrupts;
    QObject::connect(&interrupts, &TSignalWatcher::terminationRequested, &loop, &QEventLoop::quit);
    if (seconds > 0) {
        QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    }
    loop.exec();
    // What happened before the end is recorded too.
    tracker->CatchUpAndRecord();

    int result = kExitOk;
    if (tracker->Failed()) {
        host.ShowStatus(tracker->FailureText(), true, kStatusError);
        result = kExitFailed;
    }
    if (csv) {
        if (!tracker->HasEntries()) {
            host.ShowStatus(QString::fromUtf8(kTrackNothingToSaveMessage), true, kStatusError);
            return kExitFailed;
        }
        try {
            tracker->SaveTo(*csv);
        } catch (const EQuiva& error) {
            host.ShowError(error);
            return kExitFailed;
        }
    }
    return result;
}

}  // namespace

QUIVA_CLI_LOOP_COMMAND(track, "track", "record the changes inside a folder (DirTrack)", RunTrack);
