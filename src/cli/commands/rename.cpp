// `quiva rename`: renames the files of a folder that match a mask with Name Control's
// engine, one line per file.
#include "base/errors.h"
#include "cli/cli_args.h"
#include "cli/cli_host.h"
#include "cli/command.h"
#include "platform/file_access.h"
#include "platform/native_name.h"
#include "tools/common/file_io.h"
#include "tools/namecontrol/renamer.h"

#include <cstdio>

namespace {

constexpr const char* kRenameUsage =
    "Usage: quiva rename DIR --mask M [--recurse] [--case lower|upper|first] [--ext NEW]\n"
    "                    [--strip-spaces] [--dry-run]\n"
    "\n"
    "Renames the regular files of DIR whose names match the mask M. Hidden files, links,\n"
    "special files and files you may not write (read-only for you) are left alone and not\n"
    "listed. A rename never replaces another file: it is refused and both files stay as\n"
    "they are.\n"
    "\n"
    "Options:\n"
    "  --mask M         which names: * any run of characters, ? one character, letters in\n"
    "                   any case; it must contain \".\" and none of \\ / : < | >\n"
    "  --recurse        the subfolders too (not hidden ones, not through links), each before\n"
    "                   the files of the folder above it\n"
    "  --case C         the whole name in lower case, upper case, or \"first\": the first\n"
    "                   character upper case and the rest lower case\n"
    "  --ext NEW        a new extension, without its dot (empty: the extension is removed)\n"
    "  --strip-spaces   take every space out of the names\n"
    "  --dry-run        show what each file would become; rename nothing\n"
    "  --help           show this text\n"
    "\n"
    "One line per file: \"Y PATH -> NEWNAME\", or \"N PATH -> NEWNAME: REASON\" when refused;\n"
    "with --dry-run \"PATH -> NEWNAME\", with \": REASON\" when it would be refused.\n"
    "\n"
    "Exit status: 0 every file renamed (or would be), 1 refused, or a file was not renamed,\n"
    "2 usage error.\n";

int RunRename(TCliHost& host, const QStringList& args) {
    if (PrintHelpIfAsked(args, kRenameUsage)) {
        return kExitOk;
    }
    const TCliArgs parsed(args, {"--mask", "--case", "--ext"},
                          {"--recurse", "--strip-spaces", "--dry-run"});
    if (!parsed.Error().isEmpty()) {
        return UsageError("rename", parsed.Error(), kRenameUsage);
    }
    if (parsed.Positional().size() != 1) {
        return UsageError("rename", QStringLiteral("expected one folder DIR"), kRenameUsage);
    }
    const std::optional<QString> mask = parsed.Value("--mask");
    if (!mask) {
        return UsageError("rename", QStringLiteral("--mask is required"), kRenameUsage);
    }
    TRenameRequest request;
    request.folder = AbsolutePath(parsed.Positional()[0]);
    request.mask = *mask;
    request.options = 0;
    if (const std::optional<QString> nameCase = parsed.Value("--case")) {
        if (*nameCase == QLatin1String("lower")) {
            request.nameCase = kCaseLower;
        } else if (*nameCase == QLatin1String("upper")) {
            request.nameCase = kCaseUpper;
        } else if (*nameCase == QLatin1String("first")) {
            request.nameCase = kCaseFirst;
        } else {
            return UsageError(
                "rename", QStringLiteral("--case takes lower, upper or first: '%1'").arg(*nameCase),
                kRenameUsage);
        }
        request.options |= kNameChangeCase;
    }
    if (const std::optional<QString> extension = parsed.Value("--ext")) {
        request.extension = *extension;
        request.options |= kNameChangeExtension;
    }
    if (parsed.Has("--recurse")) {
        request.options |= kNameRecurse;
    }
    if (parsed.Has("--strip-spaces")) {
        request.options |= kNameStripSpaces;
    }
    const bool preview = parsed.Has("--dry-run");

    bool allDone = true;
    const auto print = [&](const QList<TRenameRow>& rows) {
        for (const TRenameRow& row : rows) {
            const QByteArray path = EncodeNativeName(PrintableName(row.path));
            const QByteArray name = EncodeNativeName(PrintableName(NamePart(row.newPath)));
            const QByteArray reason =
                row.reason.isEmpty() ? QByteArray() : ": " + row.reason.toUtf8();
            allDone = allDone && row.reason.isEmpty();
            if (preview) {
                std::printf("%s -> %s%s\n", path.constData(), name.constData(), reason.constData());
            } else {
                std::printf("%s %s -> %s%s\n", RowSuccessText(row).toLatin1().constData(),
                            path.constData(), name.constData(), reason.constData());
            }
        }
        std::fflush(stdout);
    };
    try {
        (void)RunRenamer(request, preview, print);
    } catch (const EQuiva& error) {
        host.ShowError(error);
        return kExitFailed;
    }
    return allDone ? kExitOk : kExitFailed;
}

}  // namespace

QUIVA_CLI_COMMAND(rename, "rename", "rename the files of a folder that match a mask", RunRename);
