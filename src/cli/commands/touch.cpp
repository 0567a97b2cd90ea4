// `quiva touch`: sets the access and modification times of the files of a folder that match
// a mask with Date Control's engine.
#include "base/day_number.h"
#include "base/errors.h"
#include "cli/cli_args.h"
#include "cli/cli_host.h"
#include "cli/command.h"
#include "platform/file_access.h"
#include "platform/file_utilities.h"
#include "platform/native_name.h"
#include "tools/datecontrol/date_changer.h"

#include <QDateTime>

#include <cstdio>

namespace {

constexpr const char* kTouchUsage =
    "Usage: quiva touch DIR --mask M [--recurse] [--access TIME] [--modify TIME]\n"
    "\n"
    "Sets the last-access and/or last-modification time of the regular files of DIR whose\n"
    "names match the mask M (hidden files too; links and special files are left alone). A\n"
    "time not given is left as it is; a file's creation time cannot be set on Linux.\n"
    "\n"
    "Options:\n"
    "  --mask M         which names: * any run of characters, ? one character, letters in\n"
    "                   any case; checked by the program's stored mask check\n"
    "  --recurse        the files of every subfolder too (not through links)\n"
    "  --access TIME    the new last-access time\n"
    "  --modify TIME    the new last-modification time\n"
    "  --help           show this text\n"
    "\n"
    "TIME is a local date and time: YYYY-MM-DD HH:MM:SS (or with a T between them), or\n"
    "YYYY-MM-DD HH:MM, or YYYY-MM-DD for midnight.\n"
    "\n"
    "Prints \"Changed N of M files\"; each file that could not be changed gets a line\n"
    "\"Failed:PATH - REASON\" on stderr (a file you may not write is one, and so is a\n"
    "time its file system cannot hold) and keeps both of its old times.\n"
    "\n"
    "Exit status: 0 every file changed, 1 refused or a file failed (the reason on stderr),\n"
    "2 usage error.\n";

std::optional<QDateTime> ParseLocalTime(const QString& text) {
    for (const char* format : {"yyyy-MM-dd HH:mm:ss", "yyyy-MM-ddTHH:mm:ss", "yyyy-MM-dd HH:mm",
                               "yyyy-MM-ddTHH:mm", "yyyy-MM-dd"}) {
        const QDateTime moment = QDateTime::fromString(text.trimmed(), QLatin1String(format));
        if (moment.isValid()) {
            return moment;
        }
    }
    return std::nullopt;
}

int RunTouch(TCliHost& host, const QStringList& args) {
    if (PrintHelpIfAsked(args, kTouchUsage)) {
        return kExitOk;
    }
    const TCliArgs parsed(args, {"--mask", "--access", "--modify"}, {"--recurse"});
    if (!parsed.Error().isEmpty()) {
        return UsageError("touch", parsed.Error(), kTouchUsage);
    }
    if (parsed.Positional().size() != 1) {
        return UsageError("touch", QStringLiteral("expected one folder DIR"), kTouchUsage);
    }
    const std::optional<QString> mask = parsed.Value("--mask");
    if (!mask) {
        return UsageError("touch", QStringLiteral("--mask is required"), kTouchUsage);
    }
    std::optional<TFileTime> times[2];
    const char* const options[2] = {"--access", "--modify"};
    for (int i = 0; i < 2; ++i) {
        const std::optional<QString> text = parsed.Value(QLatin1String(options[i]));
        if (!text) {
            continue;
        }
        const std::optional<QDateTime> moment = ParseLocalTime(*text);
        if (!moment) {
            return UsageError("touch",
                              QStringLiteral("%1 takes a local time as YYYY-MM-DD HH:MM:SS: '%2'")
                                  .arg(QLatin1String(options[i]), *text),
                              kTouchUsage);
        }
        try {
            times[i] = DateTimeToFileTimeUtc(DayFractionFromTime(moment->time()),
                                             DayNumberFromDate(moment->date()));
        } catch (const EQuiva& error) {
            host.ShowError(error);
            return kExitFailed;
        }
    }
    const QString folder = AbsolutePath(parsed.Positional()[0]);
    try {
        CheckDateRequest(times[0] || times[1], *mask, folder);
    } catch (const EQuiva& error) {
        host.ShowError(error);
        return kExitFailed;
    }

    // The stored mask check, as the window runs it. Reading it writes nothing; a first run
    // makes the program's database (and with it the stored checks).
    host.OpenProgramStores({.backups = false, .writable = false});
    if (!host.IsFlagSet(kFlagUiDatabase)) {
        if (!host.LockProgramData()) {
            host.ShowStatus(host.RunningText("touch"), true, kStatusError);
            return kExitFailed;
        }
        host.OpenProgramStores({.backups = false, .writable = true});
    }
    host.Scripts().Start();
    const bool scriptRuns =
        host.IsFlagSet(kFlagScriptEngine) && !host.Stores().FetchScript("gfm").isEmpty();
    QByteArray value = mask->toLocal8Bit();
    QByteArray refusal;
    host.Scripts().RunScript("gfm", "fm", value, refusal);
    if (!refusal.isEmpty()) {
        if (scriptRuns) {  // the runner showed its own refusals already
            host.ShowStatus(QString::fromUtf8(refusal), true, kStatusError);
        }
        return kExitFailed;
    }

    try {
        const QStringList paths = ListDateTargets(folder, *mask, parsed.Has("--recurse"));
        if (paths.isEmpty()) {
            RaiseError(QString::fromUtf8(kDateNoFilesMessage));
        }
        const TDateResult result = ApplyDates(paths, times[0], times[1]);
        for (const QString& line : result.failures) {
            std::fprintf(stderr, "%s\n", EncodeNativeName(line).constData());
        }
        std::printf("%s\n", QString::fromUtf8(kDateChangedText)
                                .arg(result.changed)
                                .arg(result.listed)
                                .toUtf8()
                                .constData());
        return result.failures.isEmpty() ? kExitOk : kExitFailed;
    } catch (const EQuiva& error) {
        host.ShowError(error);
        return kExitFailed;
    }
}

}  // namespace

QUIVA_CLI_COMMAND(touch, "touch", "set the access and modification times of matching files",
                  RunTouch);
