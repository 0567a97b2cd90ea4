// `quiva checksum`: the Checksummer's digests of files, all five from one read of each.
#include "base/errors.h"
#include "cli/cli_args.h"
#include "cli/cli_host.h"
#include "cli/command.h"
#include "platform/native_name.h"
#include "tools/checksummer/checksummer.h"

#include <QStringList>

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>
#include <vector>

namespace {

constexpr const char* kChecksumUsage =
    "Usage: quiva checksum [--algo NAME[,NAME...]] FILE...\n"
    "\n"
    "Prints the CRC32, MD5, SHA1, SHA256 and Quivash digests of each FILE, one\n"
    "\"NAME HEX\" line each, with a blank line between files. All five come from a\n"
    "single read of the file.\n"
    "\n"
    "Options:\n"
    "  --algo NAMES   only these digests, comma-separated: crc32, md5, sha1, sha256,\n"
    "                 quivash; printed as \"HEX  FILE\" lines, per file in the order given\n"
    "                 (FILE as its name's bytes; a name holding a backslash or a line\n"
    "                 break is escaped the way sha256sum escapes it)\n"
    "  --help         show this text\n"
    "\n"
    "Exit status: 0 done, 1 some file could not be read (the reason on stderr),\n"
    "2 usage error.\n";

// A "HEX  FILE" line as GNU sha256sum writes it: the name's own bytes, except that a name
// holding a backslash, a line feed or a carriage return puts a backslash at the start of
// the line and is written with "\\", "\n" and "\r" for them, so that one line stays
// one name.
QByteArray DigestLine(const QByteArray& hex, const QString& path) {
    const QByteArray name = EncodeNativeName(path);
    const bool escape = name.contains('\\') || name.contains('\n') || name.contains('\r');
    QByteArray line;
    line.reserve(hex.size() + name.size() + 8);
    if (escape) {
        line += '\\';
    }
    line += hex;
    line += "  ";
    if (!escape) {
        line += name;
    } else {
        for (const char c : name) {
            if (c == '\\') {
                line += "\\\\";
            } else if (c == '\n') {
                line += "\\n";
            } else if (c == '\r') {
                line += "\\r";
            } else {
                line += c;
            }
        }
    }
    line += '\n';
    return line;
}

// The digests named in a --algo value, in order and without repeats; none on a bad name.
std::optional<std::vector<TDigestKind>> ParseAlgorithms(const QString& value, QString& error) {
    std::vector<TDigestKind> kinds;
    for (const QString& name : value.split(',')) {
        const std::optional<TDigestKind> kind = DigestKindFromName(name.trimmed());
        if (!kind) {
            error = QStringLiteral("unknown digest '%1' (use crc32, md5, sha1, sha256, quivash)")
                        .arg(name.trimmed());
            return std::nullopt;
        }
        if (std::find(kinds.begin(), kinds.end(), *kind) == kinds.end()) {
            kinds.push_back(*kind);
        }
    }
    return kinds;
}

int RunChecksum(TCliHost& host, const QStringList& args) {
    if (PrintHelpIfAsked(args, kChecksumUsage)) {
        return kExitOk;
    }
    const TCliArgs parsed(args, {"--algo"}, {});
    if (!parsed.Error().isEmpty()) {
        return UsageError("checksum", parsed.Error(), kChecksumUsage);
    }
    if (parsed.Positional().isEmpty()) {
        return UsageError("checksum", QStringLiteral("no FILE given"), kChecksumUsage);
    }
    std::vector<TDigestKind> chosen;
    const std::optional<QString> algo = parsed.Value("--algo");
    if (algo) {
        QString error;
        const auto kinds = ParseAlgorithms(*algo, error);
        if (!kinds) {
            return UsageError("checksum", error, kChecksumUsage);
        }
        chosen = *kinds;
    }
    TDigestSet set = 0;
    for (const TDigestKind kind : chosen) {
        set |= DigestBit(kind);
    }
    if (!algo) {
        set = kAllDigests;
    }

    int exitCode = kExitOk;
    bool printedBlock = false;
    for (const QString& path : parsed.Positional()) {
        std::array<QByteArray, kDigestCount> results;
        bool startedBlock = false;
        try {
            ComputeFileDigests(path, set, [&](TDigestKind kind, const QByteArray& hex) {
                results[kind] = hex;
                if (algo) {
                    return;
                }
                // Rows are printed as each digest becomes known.
                if (!startedBlock && printedBlock) {
                    std::fputs("\n", stdout);
                }
                startedBlock = true;
                std::printf("%s %s\n", qPrintable(DigestLabel(kind)), hex.constData());
                std::fflush(stdout);
            });
        } catch (const EQuiva& error) {
            host.ShowStatus(error.Message(), true, kStatusError);
            exitCode = kExitFailed;
            printedBlock = printedBlock || startedBlock;
            continue;
        }
        printedBlock = printedBlock || startedBlock;
        if (algo) {
            for (const TDigestKind kind : chosen) {
                const QByteArray line = DigestLine(results[kind], path);
                std::fwrite(line.constData(), 1, line.size(), stdout);
            }
            std::fflush(stdout);
        }
    }
    return exitCode;
}

}  // namespace

QUIVA_CLI_COMMAND(checksum, "checksum", "print the CRC32, MD5, SHA1, SHA256 and Quivash digests",
                  RunChecksum);
