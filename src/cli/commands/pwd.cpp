// `quiva pwd`: the Pwd Maker's six passwords for a site, from the master password read on
// standard input and this installation's key; and the key's recovery text, out and back in.
#include "base/errors.h"
#include "cli/cli_args.h"
#include "cli/cli_host.h"
#include "cli/command.h"
#include "platform/file_system.h"
#include "platform/native_name.h"
#include "tools/pwdmaker/pwd_maker.h"
#include "tools/pwdmaker/recovery_key.h"

#include <QStringList>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <optional>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr const char* kPwdUsage =
    "Usage: quiva pwd --mnemonic TEXT\n"
    "       quiva pwd --export-key\n"
    "       quiva pwd --import-key [FILE] [--yes]\n"
    "\n"
    "Reads the master password from standard input (one line; not echoed on a\n"
    "terminal), checks it with the stored script \"pwdchk\" and prints the six\n"
    "suggested passwords for the site mnemonic TEXT, one per line in the Pwd Maker's\n"
    "box order. The passwords depend on this installation's key, kept in the\n"
    "application database.\n"
    "\n"
    "Options:\n"
    "  --mnemonic TEXT   the site mnemonic (at most 64 characters)\n"
    "  --export-key      print this installation's key as a recovery text: four lines\n"
    "                    of hexadecimal groups, each ending in a group that checks it.\n"
    "                    The key together with the master password yields every\n"
    "                    password, so keep it somewhere safe.\n"
    "  --import-key      read a recovery text from FILE (standard input when FILE is\n"
    "                    missing or \"-\"; on a terminal end it with an empty line) and\n"
    "                    keep its key as this installation's, so that the passwords made\n"
    "                    before a lost or damaged application database come back. A\n"
    "                    damaged text is refused and the line named; refused while Quiva\n"
    "                    Tessaline runs; asks on the terminal before it replaces a\n"
    "                    different key.\n"
    "  --yes             with --import-key: replace a different key without asking\n"
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

// A recovery text is a few lines; more than this is not one.
constexpr qint64 kRecoveryTextLimit = 65536;

void ShowError(TCliHost& host, const QString& text) {
    host.ShowStatus(text, true, kStatusError);
}

// The recovery text from a file, by the bytes of its name; none (the reason shown) when
// it cannot be read.
std::optional<QByteArray> ReadRecoveryFile(TCliHost& host, const QString& path) {
    const int fd = OpenRegularFile(path);
    if (fd < 0) {
        ShowError(host, QStringLiteral("%1 not accessible").arg(PrintableName(path)));
        return std::nullopt;
    }
    QByteArray text;
    char buffer[4096];
    while (text.size() < kRecoveryTextLimit) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            ShowError(host, QStringLiteral("%1: %2").arg(
                                PrintableName(path), QString::fromLocal8Bit(std::strerror(errno))));
            close(fd);
            return std::nullopt;
        }
        if (got == 0) {
            break;
        }
        text.append(buffer, got);
    }
    close(fd);
    return text;
}

// The recovery text from standard input: all of it, or on a terminal the lines typed or
// pasted up to the first empty line after some text.
QByteArray ReadRecoveryInput() {
    const bool terminal = isatty(STDIN_FILENO) == 1;
    if (terminal) {
        std::fputs("Type or paste the recovery key, then an empty line:\n", stderr);
        std::fflush(stderr);
    }
    QByteArray text;
    QByteArray line;
    for (int ch = std::getchar(); ch != EOF && text.size() < kRecoveryTextLimit;
         ch = std::getchar()) {
        if (ch != '\n') {
            line.append(static_cast<char>(ch));
            continue;
        }
        if (terminal && line.trimmed().isEmpty() && !text.trimmed().isEmpty()) {
            break;
        }
        text += line + '\n';
        line.clear();
    }
    return text + line;
}

// Asks a yes/no question on the controlling terminal. None when there is no terminal to
// ask on; true only for an answer starting with "y" or "Y".
std::optional<bool> AskOnTerminal(const char* question) {
    const int tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (tty < 0) {
        return std::nullopt;
    }
    (void)!write(tty, question, std::strlen(question));
    QByteArray answer;
    char ch = 0;
    while (read(tty, &ch, 1) == 1 && ch != '\n') {
        answer.append(ch);
    }
    close(tty);
    answer = answer.trimmed();
    return answer.startsWith('y') || answer.startsWith('Y');
}

// --export-key: the key is read without the lock; only an installation that has none yet
// takes the lock to make it, as generating does.
int ExportKey(TCliHost& host) {
    host.OpenProgramStores({.backups = false, .writable = false});
    QByteArray key = host.Stores().GetInstallKey();
    if (key.isEmpty()) {
        if (!host.LockProgramData()) {
            ShowError(host, host.RunningText("pwd"));
            return kExitFailed;
        }
        host.OpenProgramStores({.backups = false, .writable = true});
        key = host.Stores().GetInstallKey();
    }
    if (key.isEmpty()) {
        const QString& reason = host.Stores().UnusableReason();
        ShowError(host, reason.isEmpty()
                            ? QStringLiteral("Installation key not available")
                            : QStringLiteral("Installation key not available: %1").arg(reason));
        return kExitFailed;
    }
    const QByteArray text = FormatRecoveryText(key) + kRecoverySafeText + '\n';
    std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), stdout);
    return kExitOk;
}

// --import-key: the text is checked before anything is opened; the key is written under
// the program folder's lock.
int ImportKey(TCliHost& host, const std::optional<QString>& file, bool yes) {
    std::optional<QByteArray> text;
    if (file && *file != QLatin1String("-")) {
        text = ReadRecoveryFile(host, *file);
    } else {
        text = ReadRecoveryInput();
    }
    if (!text) {
        return kExitFailed;
    }
    QString error;
    const std::optional<QByteArray> key = ParseRecoveryText(*text, error);
    if (!key) {
        ShowError(host, error);
        return kExitFailed;
    }
    if (!host.LockProgramData()) {
        ShowError(host, host.RunningText("pwd"));
        return kExitFailed;
    }
    host.OpenProgramStores({.backups = false, .writable = true});
    if (!host.Stores().Writable()) {
        const QString& reason = host.Stores().UnusableReason();
        ShowError(host,
                  reason.isEmpty()
                      ? QStringLiteral("The installation key could not be stored")
                      : QStringLiteral("The installation key could not be stored: %1").arg(reason));
        return kExitFailed;
    }
    const QByteArray existing = host.Stores().StoredInstallKey();
    if (existing == *key) {
        std::puts("This installation already has this key.");
        return kExitOk;
    }
    if (!existing.isEmpty() && !yes) {
        const std::optional<bool> replace = AskOnTerminal(
            "This installation has a different key; the passwords made with it will no "
            "longer come. Replace it? [y/N] ");
        if (!replace) {
            ShowError(host, QStringLiteral("This installation has a different key; add --yes "
                                           "to replace it"));
            return kExitFailed;
        }
        if (!*replace) {
            ShowError(host, QStringLiteral("The installation key was not changed"));
            return kExitFailed;
        }
    }
    if (!host.Stores().SetInstallKey(*key)) {
        ShowError(host, QStringLiteral("The installation key could not be stored"));
        return kExitFailed;
    }
    std::puts("The installation key was stored.");
    return kExitOk;
}

int RunPwd(TCliHost& host, const QStringList& args) {
    if (PrintHelpIfAsked(args, kPwdUsage)) {
        return kExitOk;
    }
    const TCliArgs parsed(args, {"--mnemonic"}, {"--export-key", "--import-key", "--yes"});
    if (!parsed.Error().isEmpty()) {
        return UsageError("pwd", parsed.Error(), kPwdUsage);
    }
    const bool exportKey = parsed.Has("--export-key");
    const bool importKey = parsed.Has("--import-key");
    if (exportKey || importKey) {
        if ((exportKey && importKey) || parsed.Has("--mnemonic")) {
            return UsageError(
                "pwd", QStringLiteral("--export-key, --import-key and --mnemonic go one at a time"),
                kPwdUsage);
        }
        if (parsed.Has("--yes") && !importKey) {
            return UsageError("pwd", QStringLiteral("--yes goes with --import-key"), kPwdUsage);
        }
        if (parsed.Positional().size() > (importKey ? 1 : 0)) {
            return UsageError(
                "pwd",
                QStringLiteral("unexpected argument '%1'").arg(parsed.Positional().constLast()),
                kPwdUsage);
        }
        if (exportKey) {
            return ExportKey(host);
        }
        const std::optional<QString> file = parsed.Positional().isEmpty()
                                                ? std::nullopt
                                                : std::optional<QString>(parsed.Positional()[0]);
        return ImportKey(host, file, parsed.Has("--yes"));
    }
    if (parsed.Has("--yes")) {
        return UsageError("pwd", QStringLiteral("--yes goes with --import-key"), kPwdUsage);
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
            host.ShowStatus(host.RunningText("pwd"), true, kStatusError);
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
