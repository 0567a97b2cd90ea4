// `quiva compare`: Compare's comparison of two files of any size, streamed, with the
// window's segment size, similarity index and differences; exit codes as cmp's.
#include "base/errors.h"
#include "cli/cli_args.h"
#include "cli/cli_host.h"
#include "cli/command.h"
#include "tools/compare/stream_compare.h"

#include <QStringList>

#include <cstdio>
#include <exception>

namespace {

constexpr const char* kCompareUsage =
    "Usage: quiva compare FILE_A FILE_B [--all]\n"
    "\n"
    "Compares two files byte by byte over their common length, as the Compare window\n"
    "does but without its 4 MiB limit, and prints:\n"
    "  Segment Size: N Bytes     the block length of the comparison (at most 32 blocks)\n"
    "  Offset    File A File B   the first 64 differing bytes in file order: the offset\n"
    "                            in hexadecimal (8 digits; 16 when the files are longer\n"
    "                            than 4 GiB) and both bytes in hexadecimal\n"
    "  Quivix: AAAB...           the similarity index, one letter per segment: A when\n"
    "                            equal, later letters the more the bytes differ\n"
    "and a last line when one file is longer than the other. When one of the files is\n"
    "empty there is nothing in common to compare: no segment size and no index.\n"
    "\n"
    "Options:\n"
    "  --all    list every difference, not only the first 64\n"
    "  --help   show this text\n"
    "\n"
    "Exit status (as cmp's): 0 the files are equal, 1 they differ, 2 usage error or a\n"
    "file that cannot be read (the reason on stderr).\n";

// Past 4 GiB the offsets are written with 16 digits.
constexpr qint64 kLongOffsets = qint64(1) << 32;

// Buffered standard output for the difference lines.
class TOut {
public:
    ~TOut() { Flush(); }
    void Line(const QByteArray& text) {
        m_buffer += text;
        m_buffer += '\n';
        if (m_buffer.size() >= (1 << 16)) {
            Flush();
        }
    }
    void Flush() {
        std::fwrite(m_buffer.constData(), 1, m_buffer.size(), stdout);
        m_buffer.clear();
    }

private:
    QByteArray m_buffer;
};

QByteArray DifferenceLine(const TDifference& difference, int digits) {
    char line[64];
    std::snprintf(line, sizeof line, "%0*llX  %02X     %02X", digits,
                  static_cast<unsigned long long>(difference.offset), difference.a, difference.b);
    return QByteArray(line);
}

int RunCompare(TCliHost& host, const QStringList& args) {
    if (PrintHelpIfAsked(args, kCompareUsage)) {
        return kExitOk;
    }
    const TCliArgs parsed(args, {}, {"--all"});
    if (!parsed.Error().isEmpty()) {
        return UsageError("compare", parsed.Error(), kCompareUsage);
    }
    if (parsed.Positional().size() != 2) {
        return UsageError("compare", QStringLiteral("expected FILE_A and FILE_B"), kCompareUsage);
    }
    const bool all = parsed.Has("--all");
    try {
        TFileStreamComparer comparer(parsed.Positional()[0], parsed.Positional()[1]);
        const int digits = comparer.Length() > kLongOffsets ? 16 : 8;
        TOut out;
        // Without a byte in common there are no segments and no index to show.
        const bool common = comparer.Length() > 0;
        if (common) {
            out.Line("Segment Size: " + QByteArray::number(comparer.Segment()) + " Bytes");
        }
        bool heading = false;
        const auto print = [&](const TDifference& difference) {
            if (!heading) {
                out.Line(QByteArray("Offset").leftJustified(digits + 2, ' ') + "File A File B");
                heading = true;
            }
            out.Line(DifferenceLine(difference, digits));
        };
        if (common) {
            comparer.Run(all ? -1 : kReportedDifferences, print);
            out.Line("Quivix: " + comparer.Index());
        }
        if (comparer.SizeA() != comparer.SizeB()) {
            const bool aLonger = comparer.SizeA() > comparer.SizeB();
            out.Line(QByteArray(aLonger ? "File A" : "File B") +
                     " is longer: " + QByteArray::number(comparer.Length()) + " of " +
                     QByteArray::number(std::max(comparer.SizeA(), comparer.SizeB())) +
                     " bytes compared");
        }
        out.Flush();
        std::fflush(stdout);
        return comparer.Equal() ? kExitOk : kExitFailed;
    } catch (const EQuiva& error) {
        std::fflush(stdout);
        host.ShowError(error);
    } catch (const std::exception& error) {
        std::fflush(stdout);
        host.ShowStatus(QString::fromLocal8Bit(error.what()), true, kStatusError);
    }
    // Trouble, as cmp says it: a file that cannot be read is not a difference.
    return kExitUsage;
}

}  // namespace

QUIVA_CLI_COMMAND(compare, "compare", "compare two files byte by byte (exit 0 equal, 1 differ)",
                  RunCompare);
