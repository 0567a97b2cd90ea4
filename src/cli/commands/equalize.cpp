// `quiva equalize`: brings two files to the same size with the EquiSize engine.
#include "cli/commands/file_tool_support.h"
#include "tools/equisize/equalizer.h"

namespace {

constexpr const char* kEqualizeUsage =
    "Usage: quiva equalize FILE_A FILE_B --route prefix|postfix|truncate [--progress]\n"
    "\n"
    "Makes FILE_A and FILE_B the same size by rewriting one of them:\n"
    "  prefix     zero bytes in front of the smaller file\n"
    "  postfix    zero bytes behind the smaller file\n"
    "  truncate   the bigger file cut down to the smaller one's size\n"
    "The other file is not changed; the rewritten file is replaced only once its new\n"
    "content is complete.\n"
    "\n"
    "Options:\n"
    "  --route R        prefix, postfix or truncate\n"
    "  --progress       print the completion text on stderr\n"
    "  --help           show this text\n"
    "\n"
    "Exit status: 0 done (also when the sizes were already equal), 1 refused or failed\n"
    "(the reason on stderr), 2 usage error.\n";

int RunEqualize(TCliHost& host, const QStringList& args) {
    using namespace file_tool_cli;
    if (PrintHelpIfAsked(args, kEqualizeUsage)) {
        return kExitOk;
    }
    const TCliArgs parsed(args, {"--route"}, {"--progress"});
    if (!parsed.Error().isEmpty()) {
        return UsageError("equalize", parsed.Error(), kEqualizeUsage);
    }
    if (parsed.Positional().size() != 2) {
        return UsageError("equalize", QStringLiteral("expected FILE_A and FILE_B"), kEqualizeUsage);
    }
    const std::optional<QString> routeText = parsed.Value("--route");
    const QStringList routes = {"prefix", "postfix", "truncate"};
    const int route = routeText ? static_cast<int>(routes.indexOf(*routeText)) : -1;
    if (route < 0) {
        return UsageError("equalize",
                          routeText ? QStringLiteral("unknown route '%1'").arg(*routeText)
                                    : QStringLiteral("--route is required"),
                          kEqualizeUsage);
    }
    host.SetVerbose(parsed.Has("--progress"));
    const QString fileA = parsed.Positional()[0];
    const QString fileB = parsed.Positional()[1];
    return RunAction(host, [&] {
        const TEqualizeResult result = Equalize(fileA, fileB, route);
        if (!result.changed) {
            host.ShowStatus(QString::fromUtf8(kEqualizeSameSizeMessage), false, kStatusNotice);
            return;
        }
        host.ShowStatus(QString::fromUtf8(kEqualizeDoneText), false, kStatusCompletion);
    });
}

}  // namespace

QUIVA_CLI_COMMAND(equalize, "equalize", "bring two files to the same size", RunEqualize);
