// Runs HexEdit's Load of one file, as the window does, for the benchmark script to time
// beside `xxd -p`. Prints the working copy's path and leaves it for the script to check
// and remove, as xxd's output is left. With --pages N it then shows N pages spread over
// the file and prints the mean time of one page move in microseconds.
#include "base/errors.h"
#include "tools/hexedit/hex_document.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    if (argc != 2 && !(argc == 4 && std::strcmp(argv[2], "--pages") == 0)) {
        std::fprintf(stderr, "Usage: bench_hex_load FILE [--pages N]\n");
        return 2;
    }
    THexDocument doc;
    doc.SetSourcePath(QString::fromLocal8Bit(argv[1]));
    try {
        doc.Load();
        std::printf("%s\n", doc.WorkingCopy().Path().toLocal8Bit().constData());
        if (argc == 4) {
            const int pages = std::atoi(argv[3]);
            const auto start = std::chrono::steady_clock::now();
            for (int i = 0; i < pages; ++i) {
                doc.ShowPage(doc.LastTopRow() / std::max(1, pages - 1) * i);
            }
            const std::chrono::duration<double, std::micro> took =
                std::chrono::steady_clock::now() - start;
            std::printf("%.1f\n", took.count() / std::max(1, pages));
        }
    } catch (const EQuiva& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    std::fflush(stdout);
    // The working copy stays: the script removes it outside the timed run.
    std::_Exit(0);
}
