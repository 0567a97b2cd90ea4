// `quiva split`: cuts a file into numbered pieces with the Split engine.
#include "cli/commands/file_tool_support.h"
#include "tools/split/splitter.h"

namespace {

constexpr const char* kSplitUsage =
    "Usage: quiva split SOURCE DESTDIR --size BYTES [--max-count N] [--overwrite] "
    "[--manifest] [--progress]\n"
    "\n"
    "Cuts SOURCE into pieces of at most BYTES bytes, written into DESTDIR as\n"
    "NAME.001, NAME.002, ... (NAME being the file name of SOURCE).\n"
    "\n"
    "Options:\n"
    "  --size BYTES     piece size: a byte count, or with a K or M suffix (1024-based);\n"
    "                   at most 1023M + 1023K + 1023 bytes\n"
    "  --max-count N    the most pieces the split may create, 2 to 1022 (default 16)\n"
    "  --overwrite      replace existing pieces instead of stopping\n"
    "  --manifest       also write the checksum list NAME.sha256 into DESTDIR: the\n"
    "                   SHA-256 of each piece in sha256sum's format, and of the whole\n"
    "                   file as a \"# \" comment line, taken during the split;\n"
    "                   'sha256sum -c NAME.sha256' in DESTDIR checks the pieces, and\n"
    "                   splice checks the pieces and the joined file with it\n"
    "  --progress       print the \"N% Done\" texts on stderr\n"
    "  --help           show this text\n"
    "\n"
    "Exit status: 0 done, 1 refused or failed (the reason on stderr), 2 usage error.\n";

int RunSplit(TCliHost& host, const QStringList& args) {
    using namespace file_tool_cli;
    if (PrintHelpIfAsked(args, kSplitUsage)) {
        return kExitOk;
    }
    const TCliArgs parsed(args, {"--size", "--max-count"},
                          {"--overwrite", "--manifest", "--progress"});
    if (!parsed.Error().isEmpty()) {
        return UsageError("split", parsed.Error(), kSplitUsage);
    }
    if (parsed.Positional().size() != 2) {
        return UsageError("split", QStringLiteral("expected SOURCE and DESTDIR"), kSplitUsage);
    }
    QString error;
    const std::optional<qint64> size = SizeOption(parsed, "--size", kMaxPieceSize, error);
    if (!size) {
        return UsageError("split", error, kSplitUsage);
    }
    TSplitRequest request;
    request.source = parsed.Positional()[0];
    request.destFolder = parsed.Positional()[1];
    request.pieceSize = *size;
    request.overwrite = parsed.Has("--overwrite");
    request.checksumList = parsed.Has("--manifest");
    if (const std::optional<QString> count = parsed.Value("--max-count")) {
        bool ok = false;
        request.maxCount = count->toInt(&ok);
        if (!ok || request.maxCount < kMinFileCount || request.maxCount > kMaxFileCount) {
            return UsageError("split",
                              QStringLiteral("--max-count takes a number from %1 to %2: '%3'")
                                  .arg(kMinFileCount)
                                  .arg(kMaxFileCount)
                                  .arg(*count),
                              kSplitUsage);
        }
    }
    const bool progress = parsed.Has("--progress");
    host.SetVerbose(progress);
    return RunAction(host, [&] {
        Split(request, [&](int percent) {
            if (progress) {
                host.ShowStatus(PercentDoneText(percent), false, kStatusInfo);
            }
        });
        host.ShowStatus(QString::fromUtf8(kSplittingCompleteText), false, kStatusCompletion);
    });
}

}  // namespace

QUIVA_CLI_COMMAND(split, "split", "cut a file into numbered pieces", RunSplit);
