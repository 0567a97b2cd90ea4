// `quiva pwd`: the Pwd Maker's six passwords for a site, from the master password read on
// standard input and this installation's key.
#include "base/errors.h"
#include "cli/cli_args.h"
#include "cli/cli_host.h"
#include "cli/command.h"
#include "tools/pwdmaker/pwd_maker.h"

#include <QStringList>

#include <csignal>
#include <cstdio>
#include <iterator>

#include <termios.h>
#include <unistd.h>

namespace {

constexpr const char* kPwdUsage =
    "Usage: quiva pwd --mnemonic TEXT\n"
    "\n"
    "Reads the master password from standard input (one line; not echoed on a\n"
    "terminal), checks it with the stored script \"pwdchk\" and prints the six\n"
    "suggested passwords for the site mnemonic TEXT, one per line in the Pwd Maker's\n"
    "box order. The passwords depend on this installation's key, kept in the\n"
    "application database.\n"
    "\n"
    "Options:\n"
    "  --mnemonic TEXT   the site mnemonic (at most 64 characters)\n"
    "  --help            show this text\n"
    "\n"
    "Exit status: 0 done, 1 refused or failed (the reason on stderr), 2 usage error.\n";

// The Pwd Maker's boxes take at most this many characters.
constexpr qsizetype kMaxMasterLength = 24;
constexpr qsizetype kMaxMnemonicLength = 64;

// The terminal settings to put back when a signal ends the program while echo is off.
termios g_savedTerminal{};

void RestoreTerminalAndRaise(int signal) {
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_savedTerminal);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// One line from standard input without its line end. On a terminal a prompt goes to
// standard error and the typed characters are not echoed; echo comes back also when the
// user interrupts.
QByteArray ReadMasterPassword() {
    const bool terminal = isatty(STDIN_FILENO) == 1;
    bool echoOff = false;
    bool handlersSet = false;
    void (*previous[std::size(kEndingSignals)])(int) = {};
    if (terminal) {
        std::fputs("Master Password: ", stderr);
        std::fflush(stderr);
        if (tcgetattr(STDIN_FILENO, &g_savedTerminal) == 0) {
            for (size_t i = 0; i < std::size(kEndingSignals); ++i) {
                previous[i] = std::signal(kEndingSignals[i], RestoreTerminalAndRaise);
            }
            handlersSet = true;
            termios quiet = g_savedTerminal;
            quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            echoOff = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
        }
    }
    QByteArray line;
    for (int ch = std::getchar(); ch != EOF && ch != '\n'; ch = std::getchar()) {
        line.append(static_cast<char>(ch));
    }
    if (line.endsWith('\r')) {
        line.chop(1);
    }
    if (echoOff) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_savedTerminal);
    }
    for (size_t i = 0; handlersSet && i < std::size(kEndingSignals); ++i) {
        std::signal(kEndingSignals[i], previous[i]);
    }
    if (terminal) {
        std::fputs("\n", stderr);
    }
    return line;
}

int RunPwd(TCliHost& host, const QStringList& args) {
    if (PrintHelpIfAsked(args, kPwdUsage)) {
        return kExitOk;
    }
    const TCliArgs parsed(args, {"--mnemonic"}, {});
    if (!parsed.Error().isEmpty()) {
        return UsageError("pwd", parsed.Error(), kPwdUsage);
    }
    if (!parsed.Positional().isEmpty()) {
        return UsageError("pwd",
                          QStringLiteral("unexpected argument '%1'").arg(parsed.Positional()[0]),
                          kPwdUsage);
    }
    const std::optional<QString> mnemonic = parsed.Value("--mnemonic");
    if (!mnemonic) {
        return UsageError("pwd", QStringLiteral("--mnemonic is required"), kPwdUsage);
    }
    if (mnemonic->size() > kMaxMnemonicLength) {
        return UsageError(
            "pwd",
            QStringLiteral("the mnemonic has more than %1 characters").arg(kMaxMnemonicLength),
            kPwdUsage);
    }
    const QByteArray master = ReadMasterPassword();
    if (QString::fromLocal8Bit(master).size() > kMaxMasterLength) {
        host.ShowStatus(
            QStringLiteral("The master password has more than %1 characters").arg(kMaxMasterLength),
            true, kStatusError);
        return kExitFailed;
    }
    // Reading the key and the scripts writes nothing and needs no lock; only the first
    // run of an installation makes and keeps its key.
    host.OpenProgramStores({.backups = false, .writable = false});
    QByteArray installKey = host.Stores().GetInstallKey();
    if (installKey.isEmpty()) {
        if (!host.LockProgramData()) {
            host.ShowStatus(TCliHost::RunningText("pwd"), true, kStatusError);
            return kExitFailed;
        }
        host.OpenProgramStores({.backups = false, .writable = true});
        installKey = host.Stores().GetInstallKey();
    }
    host.Scripts().Start();
    try {
        const std::optional<TPasswords> passwords =
            GeneratePasswords(host, host.Scripts(), master, mnemonic->toLocal8Bit(), installKey);
        if (!passwords) {
            return kExitFailed;
        }
        for (const QByteArray& password : *passwords) {
            std::printf("%s\n", password.constData());
        }
    } catch (const EQuiva&) {
        // The refusal was already shown on standard error.
        return kExitFailed;
    }
    return kExitOk;
}

}  // namespace

QUIVA_CLI_COMMAND(pwd, "pwd", "print the Pwd Maker's six passwords for a site", RunPwd);
