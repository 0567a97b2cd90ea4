// The command line: runs the program's engines for scripting.
#include "cli/cli_host.h"
#include "cli/command.h"
#include "shell/random.h"
#include "shell/script_engine.h"

#include <QCoreApplication>
#include <QStringList>

#include <algorithm>
#include <cstdio>

namespace {

std::vector<TCliCommand>& Commands() {
    static std::vector<TCliCommand> commands;
    return commands;
}

void PrintUsage(FILE* out) {
    std::fprintf(out,
                 "Usage: quiva COMMAND [OPTIONS]\n"
                 "\n"
                 "Runs the engines of Quiva Tessaline from the command line.\n"
                 "\n"
                 "Commands:\n");
    for (const TCliCommand& command : CliCommands()) {
        std::fprintf(out, "  %-12s %s\n", command.name, command.summary);
    }
    std::fprintf(out,
                 "\n"
                 "Options:\n"
                 "  --help       show this text (COMMAND --help shows a command's own)\n"
                 "  --version    show the program version\n");
}

}  // namespace

const std::vector<TCliCommand>& CliCommands() { return Commands(); }

bool RegisterCliCommand(const TCliCommand& command) {
    auto& commands = Commands();
    const auto at = std::lower_bound(
        commands.begin(), commands.end(), command,
        [](const TCliCommand& a, const TCliCommand& b) { return qstrcmp(a.name, b.name) < 0; });
    commands.insert(at, command);
    return true;
}

int main(int argc, char** argv) {
    SeedRandomFromSystem();
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments().mid(1);
    if (args.isEmpty()) {
        PrintUsage(stderr);
        return kExitUsage;
    }
    const QString& name = args.first();
    if (name == QLatin1String("--help") || name == QLatin1String("-h") ||
        name == QLatin1String("help")) {
        PrintUsage(stdout);
        return kExitOk;
    }
    if (name == QLatin1String("--version")) {
        std::printf("quiva 1.01a\n");
        return kExitOk;
    }
    for (const TCliCommand& command : CliCommands()) {
        if (name == QLatin1String(command.name)) {
            int result = kExitFailed;
            {
                TCliHost host;
                result = command.run(host, args.mid(1));
            }
            TScriptEngine::Instance().Shutdown();
            return result;
        }
    }
    std::fprintf(stderr, "quiva: unknown command '%s'\n\n", qPrintable(name));
    PrintUsage(stderr);
    return kExitUsage;
}
