// Runs HexEdit's engine on one file, as the window does, for the benchmark script to time
// beside its peers. Prints "name value" lines: the Load to the first page shown (load_us);
// with --pages N, the mean page move over N pages spread over the file (page_us) and over
// N moves at its end (end_page_us); with --insert, one byte added at the middle (insert_us);
// with --edits N, N bytes typed over at places spread over the file; with --save DEST, one
// byte typed at the middle and the content saved to DEST (save_s); with --compare OTHER,
// the Compare window's comparison engine run against OTHER (compare_s). Last comes the
// process's peak resident memory (rss_kib).
#include "base/errors.h"
#include "tools/compare/file_comparer.h"
#include "tools/hexedit/hex_document.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/resource.h>

namespace {

using TClock = std::chrono::steady_clock;

double MicrosSince(TClock::time_point start) {
    return std::chrono::duration<double, std::micro>(TClock::now() - start).count();
}

// Selects the first byte of the page at `row` and types one byte over it.
void TypeAt(THexDocument& doc, qint64 row, const char* digits) {
    doc.ShowPage(row);
    if (doc.SelectData(0, 0)) {
        doc.CommitHex(QString::fromLatin1(digits));
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr,
                     "Usage: bench_hex_load FILE [--pages N] [--insert] [--edits N] "
                     "[--save DEST] [--compare OTHER]\n");
        return 2;
    }
    int pages = 0;
    int edits = 0;
    bool insert = false;
    const char* save = nullptr;
    const char* compare = nullptr;
    for (int i = 2; i < argc; ++i) {
        const bool more = i + 1 < argc;
        if (std::strcmp(argv[i], "--pages") == 0 && more) {
            pages = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--edits") == 0 && more) {
            edits = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--insert") == 0) {
            insert = true;
        } else if (std::strcmp(argv[i], "--save") == 0 && more) {
            save = argv[++i];
        } else if (std::strcmp(argv[i], "--compare") == 0 && more) {
            compare = argv[++i];
        } else {
            std::fprintf(stderr, "bench_hex_load: unknown option %s\n", argv[i]);
            return 2;
        }
    }
    THexDocument doc;
    doc.SetSourcePath(QString::fromLocal8Bit(argv[1]));
    try {
        auto start = TClock::now();
        doc.Load();
        std::printf("load_us %.1f\n", MicrosSince(start));
        if (pages > 0) {
            start = TClock::now();
            for (int i = 0; i < pages; ++i) {
                doc.ShowPage(doc.LastTopRow() / std::max(1, pages - 1) * i);
            }
            std::printf("page_us %.1f\n", MicrosSince(start) / pages);
            start = TClock::now();
            for (int i = 0; i < pages; ++i) {
                doc.ShowPage(doc.LastTopRow() - (i % 2) * 16);
            }
            std::printf("end_page_us %.1f\n", MicrosSince(start) / pages);
        }
        if (insert) {
            doc.ShowPage(doc.ByteSize() / 32);
            doc.SelectData(0, 0);
            start = TClock::now();
            doc.Add(1, 0x55);
            std::printf("insert_us %.1f\n", MicrosSince(start));
        }
        for (int i = 0; i < edits; ++i) {
            TypeAt(doc, doc.LastTopRow() / std::max(1, edits) * i, "A5");
        }
        if (save != nullptr) {
            TypeAt(doc, doc.ByteSize() / 32, "5A");
            start = TClock::now();
            doc.Save(QString::fromLocal8Bit(save));
            std::printf("save_s %.4f\n", MicrosSince(start) / 1e6);
        }
        if (compare != nullptr) {
            start = TClock::now();
            const TFileComparer::TOutcome outcome =
                TFileComparer::Run(doc.SourcePath(), QString::fromLocal8Bit(compare));
            std::printf("compare_s %.4f\n", MicrosSince(start) / 1e6);
            std::printf("differences_listed %lld\n", static_cast<long long>(outcome.report.size()));
        }
    } catch (const EQuiva& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("rss_kib %ld\n", usage.ru_maxrss);
    std::fflush(stdout);
    std::_Exit(0);
}
