// The command line: runs the program's engines for scripting.
#include "base/random.h"
#include "base/version.h"
#include "cli/checked_output.h"
#include "cli/cli_args.h"
#include "cli/cli_host.h"
#include "cli/command.h"
#include "platform/native_name.h"
#include "script/script_engine.h"

#include <QCoreApplication>
#include <QStringList>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <new>
#include <optional>

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
                 "  -h, --help       show this text (COMMAND --help shows a command's own)\n"
                 "  -V, --version    show the program version\n"
                 "\n"
                 "Exit status: 0 done, 1 failed (the reason on stderr, also when the output\n"
                 "could not be written), 2 usage error; each command's help says more.\n");
}

}  // namespace

const std::vector<TCliCommand>& CliCommands() {
    return Commands();
}

bool RegisterCliCommand(const TCliCommand& command) {
    auto& commands = Commands();
    const auto at = std::lower_bound(
        commands.begin(), commands.end(), command,
        [](const TCliCommand& a, const TCliCommand& b) { return qstrcmp(a.name, b.name) < 0; });
    commands.insert(at, command);
    return true;
}

namespace {

// Runs one command. Whatever escapes it (an engine's message, memory that ran out) ends
// the command with exit code 1 and a message, never with an abort.
int RunCommand(const TCliCommand& command, const QStringList& args) {
    try {
        int result = kExitFailed;
        {
            TCliHost host;
            host.SetCommand(command.name);
            result = command.run(host, args);
        }
        return result;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "quiva %s: out of memory\n", command.name);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "quiva %s: %s\n", command.name, error.what());
    } catch (...) {
        std::fprintf(stderr, "quiva %s: the command failed\n", command.name);
    }
    return kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
    InstallCheckedStdout();
    // The arguments as bytes: a file name need not be UTF-8, and Qt's own decoding of the
    // command line would replace such bytes.
    QStringList args;
    for (int i = 1; i < argc; ++i) {
        args << DecodeNativeName(argv[i]);
    }
    if (args.isEmpty()) {
        PrintUsage(stderr);
        return FinishStdout(kExitUsage);
    }
    const QString& name = args.first();
    if (name == QLatin1String("--help") || name == QLatin1String("-h") ||
        name == QLatin1String("help")) {
        PrintUsage(stdout);
        return FinishStdout(kExitOk);
    }
    if (name == QLatin1String("--version") || name == QLatin1String("-V")) {
        std::printf("quiva %s\n", kQuivaVersion);
        return FinishStdout(kExitOk);
    }
    const TCliCommand* found = nullptr;
    for (const TCliCommand& command : CliCommands()) {
        if (name == QLatin1String(command.name)) {
            found = &command;
        }
    }
    if (found == nullptr) {
        const QByteArray shown = EncodeNativeName(PrintableName(name));
        if (name.startsWith('-')) {
            std::fprintf(stderr, "quiva: unknown option '%s'\n", shown.constData());
        } else {
            std::fprintf(stderr, "quiva: unknown command '%s'\n", shown.constData());
        }
        std::fputs(TryHelpLine().constData(), stderr);
        return FinishStdout(kExitUsage);
    }
    SeedRandomFromSystem();
    // Only a command that waits on the event loop makes the application object: the
    // others need none of its machinery, and start faster without it.
    std::optional<QCoreApplication> app;
    if (found->eventLoop) {
        app.emplace(argc, argv);
    }
    const int result = RunCommand(*found, args.mid(1));
    TScriptEngine::Instance().Shutdown();
    return FinishStdout(result);
}
