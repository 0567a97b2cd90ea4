// `quiva splice`: joins files in order into one destination with the Splice engine.
#include "cli/commands/file_tool_support.h"
#include "platform/native_name.h"
#include "tools/splice/splicer.h"

namespace {

constexpr const char* kSpliceUsage =
    "Usage: quiva splice DEST SOURCE... [--overwrite] [--progress]\n"
    "\n"
    "Joins the SOURCE files, in the order given, byte for byte into DEST. DEST is\n"
    "replaced only when every source was copied.\n"
    "\n"
    "When the first SOURCE is a piece NAME.001 and the checksum list NAME.sha256 that\n"
    "split --manifest writes lies beside it, every listed piece is checked first (the\n"
    "SOURCE files must be the listed pieces, in order, and undamaged) and the joined\n"
    "file is checked against the list's line for NAME before DEST is replaced.\n"
    "\n"
    "Options:\n"
    "  --overwrite      replace an existing DEST\n"
    "  --progress       print each source's path on stderr once it is copied (and\n"
    "                   \"PIECE: OK\" once a listed piece is checked)\n"
    "  --help           show this text\n"
    "\n"
    "Exit status: 0 done, 1 refused or failed (the reason on stderr), 2 usage error.\n";

int RunSplice(TCliHost& host, const QStringList& args) {
    using namespace file_tool_cli;
    if (PrintHelpIfAsked(args, kSpliceUsage)) {
        return kExitOk;
    }
    const TCliArgs parsed(args, {}, {"--overwrite", "--progress"});
    if (!parsed.Error().isEmpty()) {
        return UsageError("splice", parsed.Error(), kSpliceUsage);
    }
    if (parsed.Positional().isEmpty()) {
        return UsageError("splice", QStringLiteral("expected DEST and the SOURCE files"),
                          kSpliceUsage);
    }
    const QString destination = parsed.Positional().first();
    const QStringList sources = parsed.Positional().mid(1);
    const bool overwrite = parsed.Has("--overwrite");
    const bool progress = parsed.Has("--progress");
    host.SetVerbose(progress);
    return RunAction(host, [&] {
        Splice(
            destination, sources, overwrite,
            [&](const QString& source) {
                if (progress) {
                    host.ShowStatus(PrintableName(source), false, kStatusInfo);
                }
            },
            [&](const QString& piece) {
                if (progress) {
                    host.ShowStatus(
                        QString::fromUtf8(kSplicePieceCheckedText).arg(PrintableName(piece)), false,
                        kStatusInfo);
                }
            });
        host.ShowStatus(QString::fromUtf8(kSplicingCompleteText), false, kStatusCompletion);
    });
}

}  // namespace

QUIVA_CLI_COMMAND(splice, "splice", "join files in order into one", RunSplice);
