// The command line: runs the program's engines for scripting.
#include "cli/cli_host.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 2;

void PrintUsage(FILE* out) {
    std::fprintf(out,
                 "Usage: quiva COMMAND [OPTIONS]\n"
                 "\n"
                 "Runs the engines of Quiva Tessaline from the command line.\n"
                 "\n"
                 "Options:\n"
                 "  --help      show this text\n"
                 "  --version   show the program version\n");
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments().mid(1);
    if (args.isEmpty()) {
        PrintUsage(stderr);
        return kExitUsage;
    }
    const QString& command = args.first();
    if (command == QLatin1String("--help") || command == QLatin1String("-h")) {
        PrintUsage(stdout);
        return kExitOk;
    }
    if (command == QLatin1String("--version")) {
        std::printf("quiva 1.01a\n");
        return kExitOk;
    }
    std::fprintf(stderr, "quiva: unknown command '%s'\n", qPrintable(command));
    PrintUsage(stderr);
    return kExitUsage;
}
