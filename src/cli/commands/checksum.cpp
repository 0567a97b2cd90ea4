// `quiva checksum`: the Checksummer's digests of files, all five from one read of each; and
// checking files against checksum lists as sha256sum -c does.
#include "base/errors.h"
#include "base/file_error.h"
#include "cli/cli_args.h"
#include "cli/cli_host.h"
#include "cli/command.h"
#include "platform/file_system.h"
#include "platform/folders.h"
#include "platform/native_name.h"
#include "tools/checksummer/checksummer.h"
#include "tools/checksummer/digest_check.h"
#include "tools/common/sum_list.h"

#include <QFile>
#include <QHash>
#include <QStringList>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* kChecksumUsage =
    "Usage: quiva checksum [--algo NAME[,NAME...]] [--tag] [--lower] FILE...\n"
    "       quiva checksum --check [--algo NAME] SUMFILE...\n"
    "\n"
    "Prints the CRC32, MD5, SHA1, SHA256 and Quivash digests of each FILE, one\n"
    "\"NAME HEX\" line each, with a blank line between files. All five come from a\n"
    "single read of the file. A FILE of \"-\" is standard input.\n"
    "\n"
    "Options:\n"
    "  -a, --algo NAMES\n"
    "                 only these digests, comma-separated: crc32, md5, sha1, sha256,\n"
    "                 quivash; printed as \"HEX  FILE\" lines, per file in the order given\n"
    "                 (FILE as its name's bytes; a name holding a backslash or a line\n"
    "                 break is escaped the way sha256sum escapes it)\n"
    "  -l, --lower    hexadecimal digits in lower case, as GNU tools write them, so\n"
    "                 that --algo sha256 prints what sha256sum prints\n"
    "  --tag          print \"TAG (FILE) = HEX\" lines instead, as sha256sum --tag does\n"
    "                 (TAG: CRC32, MD5, SHA1, SHA256, QUIVASH), for the digests that\n"
    "                 --algo names or else all five; --check reads them back\n"
    "  -c, --check    read the checksum lists SUMFILE (\"-\": standard input) and check\n"
    "                 the files they name, as sha256sum -c does: \"HEX  FILE\",\n"
    "                 \"HEX *FILE\" and tagged lines. An untagged line's digest follows\n"
    "                 from its length (8 crc32, 32 md5, 40 sha1, 64 sha256) or is the\n"
    "                 one --algo names. Prints \"FILE: OK\", \"FILE: FAILED\" or\n"
    "                 \"FILE: FAILED open or read\" per line and the count of failures on\n"
    "                 stderr. Each file is read once for all the digests asked of it.\n"
    "  -h, --help     show this text\n"
    "\n"
    "Exit status: 0 done, 1 some file could not be read (the reason on stderr) or, with\n"
    "--check, did not match, or a list held no checksum line; 2 usage error.\n";

constexpr const char* kStdinName = "-";

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

void WriteOut(const QByteArray& bytes) {
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
}

// A line on stderr after what stdout holds so far, so that a terminal shows both in order.
void WriteErr(const QString& text) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", EncodeNativeName(text).constData());
}

// "quiva checksum: WARNING: N thing(s) ..." as sha256sum -c counts its failures.
void Warn(int count, const char* one, const char* many) {
    if (count > 0) {
        WriteErr(QStringLiteral("quiva checksum: WARNING: %1 %2")
                     .arg(count)
                     .arg(QString::fromLatin1(count == 1 ? one : many)));
    }
}

// Why `path` cannot be digested, in the system's words ("No such file or directory",
// "Is a directory"), for a file the engine refused.
QString UnreadableReason(const QString& path, const EQuiva& error) {
    if (const auto* fileError = dynamic_cast<const EFileError*>(&error);
        fileError != nullptr && !fileError->Reason().isEmpty()) {
        return fileError->Reason();
    }
    struct stat st;
    if (path.isEmpty() || stat(EncodeNativeName(path).constData(), &st) != 0) {
        return QString::fromLocal8Bit(std::strerror(path.isEmpty() ? ENOENT : errno));
    }
    if (S_ISDIR(st.st_mode)) {
        return QString::fromLocal8Bit(std::strerror(EISDIR));
    }
    if (!S_ISREG(st.st_mode)) {
        return QStringLiteral("Not a regular file");
    }
    return error.Message();
}

// "quiva checksum: FILE: REASON".
QString UnreadableText(const QString& path, const EQuiva& error) {
    return QStringLiteral("quiva checksum: %1: %2")
        .arg(PrintableName(path), UnreadableReason(path, error));
}

// Writes all `length` bytes; false with errno set when that fails.
bool WriteWhole(int fd, const char* data, ssize_t length) {
    while (length > 0) {
        const ssize_t n = write(fd, data, length);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        length -= n;
    }
    return true;
}

// The digests of standard input. A pipe or terminal is first copied into an unnamed
// temporary file, since the digests run over a stream of known size.
void ComputeStdinDigests(TDigestSet set, const TDigestReport& report) {
    const QString shown = QString::fromLatin1(kStdinName);
    int fd = STDIN_FILENO;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        RaiseFileError(QStringLiteral("read error"), shown, errno);
    }
    if (!S_ISREG(st.st_mode)) {
        fd = open(EncodeNativeName(TempFolder()).constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (fd < 0) {
            RaiseFileError(QStringLiteral("no temporary file"), shown, errno);
        }
        std::vector<char> buffer(1 << 20);
        for (;;) {
            const ssize_t got = read(STDIN_FILENO, buffer.data(), buffer.size());
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got < 0) {
                const int error = errno;
                close(fd);
                RaiseFileError(QStringLiteral("read error"), shown, error);
            }
            if (got == 0) {
                break;
            }
            if (!WriteWhole(fd, buffer.data(), got)) {
                const int error = errno;
                close(fd);
                RaiseFileError(QStringLiteral("write error"), TempFolder(), error);
            }
        }
    }
    QFile input;
    if (!input.open(
            fd, QIODevice::ReadOnly | QIODevice::Unbuffered,
            fd == STDIN_FILENO ? QFileDevice::DontCloseHandle : QFileDevice::AutoCloseHandle)) {
        if (fd != STDIN_FILENO) {
            close(fd);
        }
        RaiseFileError(input.errorString(), shown, 0);
    }
    ComputeDigests(input, set, report);
}

// The whole content of a checksum list: standard input for "-", otherwise the regular file
// by the bytes of its name. None, with the reason on stderr, when it cannot be read.
std::optional<QByteArray> ReadList(const QString& path) {
    const auto fail = [&] {
        WriteErr(QStringLiteral("quiva checksum: %1: %2")
                     .arg(PrintableName(path), QString::fromLocal8Bit(std::strerror(errno))));
        return std::nullopt;
    };
    int fd = STDIN_FILENO;
    if (path != QLatin1String(kStdinName)) {
        fd = OpenRegularFile(path);
        if (fd < 0 && errno == EINVAL) {
            WriteErr(UnreadableText(path, EQuiva(QString())));
            return std::nullopt;
        }
        if (fd < 0) {
            return fail();
        }
    }
    QByteArray text;
    char buffer[65536];
    ssize_t got = 0;
    while ((got = read(fd, buffer, sizeof buffer)) != 0) {
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            const int error = errno;
            if (fd != STDIN_FILENO) {
                close(fd);
            }
            errno = error;
            return fail();
        }
        text.append(buffer, got);
    }
    if (fd != STDIN_FILENO) {
        close(fd);
    }
    return text;
}

// The digests of one listed file, or why it could not be read.
struct TFileDigests {
    std::array<QByteArray, kDigestCount> hex;
    QString failure;
};

TFileDigests DigestsOf(const QByteArray& name, TDigestSet digests) {
    TFileDigests result;
    const QString path = DecodeNativeName(name);
    try {
        ComputeFileDigests(path, digests, [&](TDigestKind kind, const QByteArray& hex) {
            result.hex[kind] = hex;
        });
    } catch (const EQuiva& error) {
        result.failure = UnreadableText(path, error);
    }
    return result;
}

// --check: every list is read first, so that each file is read once for all the digests
// that the lists ask of it; then the lines are answered in order, list by list.
int RunCheck(const QStringList& lists, std::optional<TDigestKind> untagged) {
    std::vector<std::optional<TDigestList>> read;
    QHash<QByteArray, TDigestSet> wanted;
    for (const QString& path : lists) {
        const std::optional<QByteArray> text = ReadList(path);
        if (!text) {
            read.emplace_back();
            continue;
        }
        read.push_back(ReadDigestList(*text, untagged));
        for (const TListedDigest& entry : read.back()->entries) {
            wanted[entry.name] |= DigestBit(entry.kind);
        }
    }

    int exitCode = kExitOk;
    QHash<QByteArray, TFileDigests> known;
    for (qsizetype index = 0; index < lists.size(); ++index) {
        if (!read[index]) {
            exitCode = kExitFailed;
            continue;
        }
        const TDigestList& list = *read[index];
        if (list.entries.isEmpty()) {
            const QString shown = lists[index] == QLatin1String(kStdinName)
                                      ? QStringLiteral("standard input")
                                      : PrintableName(lists[index]);
            WriteErr(
                QStringLiteral("quiva checksum: %1: no properly formatted checksum lines found")
                    .arg(shown));
            exitCode = kExitFailed;
            continue;
        }
        int unreadable = 0;
        int mismatched = 0;
        for (const TListedDigest& entry : list.entries) {
            auto found = known.find(entry.name);
            if (found == known.end()) {
                found = known.insert(entry.name, DigestsOf(entry.name, wanted.value(entry.name)));
            }
            const QByteArray shown = CheckReportName(entry.name);
            if (!found->failure.isEmpty()) {
                WriteErr(found->failure);
                WriteOut(shown + ": FAILED open or read\n");
                ++unreadable;
            } else if (found->hex[entry.kind] == entry.hex) {
                WriteOut(shown + ": OK\n");
            } else {
                WriteOut(shown + ": FAILED\n");
                ++mismatched;
            }
        }
        Warn(list.malformed, "line is improperly formatted", "lines are improperly formatted");
        Warn(unreadable, "listed file could not be read", "listed files could not be read");
        Warn(mismatched, "computed checksum did NOT match", "computed checksums did NOT match");
        if (unreadable > 0 || mismatched > 0) {
            exitCode = kExitFailed;
        }
    }
    std::fflush(stdout);
    return exitCode;
}

int RunChecksum(TCliHost& host, const QStringList& args) {
    if (PrintHelpIfAsked(args, kChecksumUsage)) {
        return kExitOk;
    }
    const TCliArgs parsed(args, {"--algo"}, {"--tag", "--check", "--lower"},
                          {{'a', "--algo"}, {'c', "--check"}, {'l', "--lower"}});
    if (!parsed.Error().isEmpty()) {
        return UsageError("checksum", parsed.Error(), kChecksumUsage);
    }
    const bool check = parsed.Has("--check");
    const bool tag = parsed.Has("--tag");
    const bool lower = parsed.Has("--lower");
    if (parsed.Positional().isEmpty()) {
        return UsageError(
            "checksum",
            check ? QStringLiteral("no SUMFILE given") : QStringLiteral("no FILE given"),
            kChecksumUsage);
    }
    if (check && tag) {
        return UsageError("checksum", QStringLiteral("--check and --tag do not go together"),
                          kChecksumUsage);
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
    if (check) {
        if (chosen.size() > 1) {
            return UsageError("checksum", QStringLiteral("with --check, --algo takes one name"),
                              kChecksumUsage);
        }
        return RunCheck(parsed.Positional(),
                        chosen.empty() ? std::nullopt : std::optional<TDigestKind>(chosen[0]));
    }
    if (!algo && tag) {
        for (int kind = 0; kind < kDigestCount; ++kind) {
            chosen.push_back(static_cast<TDigestKind>(kind));
        }
    }
    TDigestSet set = 0;
    for (const TDigestKind kind : chosen) {
        set |= DigestBit(kind);
    }
    // Rows ("NAME HEX") without --algo and --tag; lines of the chosen digests otherwise.
    const bool rows = chosen.empty();
    if (rows) {
        set = kAllDigests;
    }

    int exitCode = kExitOk;
    bool printedBlock = false;
    for (const QString& path : parsed.Positional()) {
        std::array<QByteArray, kDigestCount> results;
        bool startedBlock = false;
        const TDigestReport report = [&](TDigestKind kind, const QByteArray& upperHex) {
            const QByteArray hex = lower ? upperHex.toLower() : upperHex;
            results[kind] = hex;
            if (!rows) {
                return;
            }
            // Rows are printed as each digest becomes known.
            if (!startedBlock && printedBlock) {
                std::fputs("\n", stdout);
            }
            startedBlock = true;
            std::printf("%s %s\n", qPrintable(DigestLabel(kind)), hex.constData());
            std::fflush(stdout);
        };
        try {
            if (path == QLatin1String(kStdinName)) {
                ComputeStdinDigests(set, report);
            } else {
                ComputeFileDigests(path, set, report);
            }
        } catch (const EQuiva& error) {
            std::fflush(stdout);
            host.ShowStatus(UnreadableText(path, error), true, kStatusError);
            exitCode = kExitFailed;
            printedBlock = printedBlock || startedBlock;
            continue;
        }
        printedBlock = printedBlock || startedBlock;
        if (!rows) {
            const QByteArray name = EncodeNativeName(path);
            for (const TDigestKind kind : chosen) {
                WriteOut(tag ? FormatTaggedSumLine(DigestTag(kind), results[kind], name)
                             : FormatSumLine(results[kind], name));
            }
            std::fflush(stdout);
        }
    }
    return exitCode;
}

}  // namespace

QUIVA_CLI_COMMAND(checksum, "checksum", "print the CRC32, MD5, SHA1, SHA256 and Quivash digests",
                  RunChecksum);
