// `quiva fill`: writes a file of a chosen size filled with a pattern, with the Fill engine.
#include "cli/commands/file_tool_support.h"
#include "tools/fill/filler.h"

namespace {

constexpr const char* kFillUsage =
    "Usage: quiva fill DEST --size BYTES (--sequence HEX | --range FROM-TO | --all-bytes)\n"
    "                  [--overwrite] [--progress]\n"
    "\n"
    "Writes DEST with BYTES bytes of a pattern:\n"
    "  --sequence HEX   a repeating sequence of 1 to 8 bytes as hexadecimal digit pairs,\n"
    "                   e.g. CAFEBABE\n"
    "  --range FROM-TO  random bytes from FROM up to, not including, TO (hexadecimal,\n"
    "                   e.g. 00-FF); FROM-FROM gives every byte FROM\n"
    "  --all-bytes      the 256 bytes 00 to FF in order, whatever the size\n"
    "\n"
    "Options:\n"
    "  --size BYTES     file size: a byte count, or with a K or M suffix (1024-based);\n"
    "                   at most 1023M + 1023K + 1023 bytes\n"
    "  --overwrite      replace an existing DEST (only once the new content is complete)\n"
    "  --progress       print the \"N% Done\" texts on stderr\n"
    "  --help           show this text\n"
    "\n"
    "Exit status: 0 done, 1 refused or failed (the reason on stderr), 2 usage error.\n";

int RunFill(TCliHost& host, const QStringList& args) {
    using namespace file_tool_cli;
    if (PrintHelpIfAsked(args, kFillUsage)) {
        return kExitOk;
    }
    const TCliArgs parsed(args, {"--size", "--sequence", "--range"},
                          {"--all-bytes", "--overwrite", "--progress"});
    if (!parsed.Error().isEmpty()) {
        return UsageError("fill", parsed.Error(), kFillUsage);
    }
    if (parsed.Positional().size() != 1) {
        return UsageError("fill", QStringLiteral("expected one DEST"), kFillUsage);
    }
    QString error;
    const std::optional<qint64> size = SizeOption(parsed, "--size", kMaxFillSize, error);
    if (!size) {
        return UsageError("fill", error, kFillUsage);
    }
    const int patterns =
        int(parsed.Has("--sequence")) + int(parsed.Has("--range")) + int(parsed.Has("--all-bytes"));
    if (patterns != 1) {
        return UsageError("fill",
                          QStringLiteral("give exactly one of --sequence, --range, --all-bytes"),
                          kFillUsage);
    }
    TFillRequest request;
    request.destination = parsed.Positional().first();
    request.size = *size;
    request.overwrite = parsed.Has("--overwrite");
    if (const std::optional<QString> sequence = parsed.Value("--sequence")) {
        request.pattern = kPatternSequence;
        request.sequence = *sequence;
    } else if (const std::optional<QString> range = parsed.Value("--range")) {
        const QStringList bounds = range->split('-');
        if (bounds.size() != 2) {
            return UsageError("fill", QStringLiteral("--range takes FROM-TO: '%1'").arg(*range),
                              kFillUsage);
        }
        request.pattern = kPatternRange;
        request.from = bounds[0];
        request.to = bounds[1];
    } else {
        request.pattern = kPatternAllBytes;
    }
    const bool progress = parsed.Has("--progress");
    host.SetVerbose(progress);
    return RunAction(host, [&] {
        const TFillPlan plan = CheckFill(request);
        if (plan.pattern == kPatternAllBytes && plan.size != 256) {
            host.ShowStatus(QString::fromUtf8(kFillAllBytesNotice), false, kStatusNotice);
        }
        Fill(plan, [&](int percent) {
            if (progress) {
                host.ShowStatus(PercentDoneText(percent), false, kStatusInfo);
            }
        });
        host.ShowStatus(QString::fromUtf8(kFillingCompleteText), false, kStatusCompletion);
    });
}

}  // namespace

QUIVA_CLI_COMMAND(fill, "fill", "write a file of a chosen size with a pattern", RunFill);
