// Subcommands of the `quiva` command line. Each command file registers itself with
// QUIVA_CLI_COMMAND; main() dispatches on the first argument.
#pragma once

#include <QString>
#include <QStringList>

#include <vector>

class TCliHost;

// Exit codes of every command.
enum TCliExit : int {
    kExitOk = 0,      // the action succeeded
    kExitFailed = 1,  // the engine refused or failed; its message went to stderr
    kExitUsage = 2,   // the command line was wrong; usage went to stderr
};

struct TCliCommand {
    const char* name;
    const char* summary;  // one line for `quiva --help`
    // Runs the command with the arguments after its name; returns a TCliExit code.
    int (*run)(TCliHost& host, const QStringList& args);
    // True for a command that waits on Qt's event loop (timers, queued calls, watchers):
    // only such a command gets an application object; the others start without one.
    bool eventLoop = false;
};

// The registered commands, in name order.
const std::vector<TCliCommand>& CliCommands();

// Adds a command; used through QUIVA_CLI_COMMAND.
bool RegisterCliCommand(const TCliCommand& command);

#define QUIVA_CLI_COMMAND(id, name, summary, function)     \
    [[maybe_unused]] static const bool g_cliCommand_##id = \
        RegisterCliCommand({name, summary, function, false})

// A command that runs Qt's event loop.
#define QUIVA_CLI_LOOP_COMMAND(id, name, summary, function) \
    [[maybe_unused]] static const bool g_cliCommand_##id =  \
        RegisterCliCommand({name, summary, function, true})
