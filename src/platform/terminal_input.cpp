#include "platform/terminal_input.h"

#include <cerrno>
#include <csignal>
#include <cstdio>

#include <termios.h>
#include <unistd.h>

namespace {

constexpr qsizetype kLongestSecret = 4096;
constexpr int kEndSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The terminal's settings while echo is off; restored by the signal handler too.
struct termios g_saved;
volatile sig_atomic_t g_echoOff = 0;
struct sigaction g_oldActions[3];

void RestoreEcho() {
    if (g_echoOff != 0) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_saved);
        g_echoOff = 0;
    }
}

// Puts echo back, then lets the signal do what it did before (by default: end).
void OnEndSignal(int signalNumber) {
    RestoreEcho();
    for (int i = 0; i < 3; ++i) {
        if (kEndSignals[i] == signalNumber) {
            sigaction(signalNumber, &g_oldActions[i], nullptr);
        }
    }
    raise(signalNumber);
}

}  // namespace

QByteArray ReadSecretLine(const QString& prompt) {
    const bool terminal = isatty(STDIN_FILENO) != 0;
    bool handlersSet = false;
    if (terminal) {
        std::fprintf(stderr, "%s", prompt.toLocal8Bit().constData());
        std::fflush(stderr);
        if (tcgetattr(STDIN_FILENO, &g_saved) == 0) {
            struct sigaction action = {};
            action.sa_handler = OnEndSignal;
            sigemptyset(&action.sa_mask);
            for (int i = 0; i < 3; ++i) {
                sigaction(kEndSignals[i], &action, &g_oldActions[i]);
            }
            handlersSet = true;
            struct termios quiet = g_saved;
            quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            quiet.c_lflag |= ECHONL;
            g_echoOff = 1;
            if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) != 0) {
                g_echoOff = 0;
            }
        }
    }
    QByteArray line;
    for (;;) {
        char byte = 0;
        const ssize_t got = read(STDIN_FILENO, &byte, 1);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0 || byte == '\n') {
            break;
        }
        if (line.size() < kLongestSecret) {
            line.append(byte);
        }
    }
    if (handlersSet) {
        // The line end was echoed (ECHONL), so the next output starts on a line of its own.
        RestoreEcho();
        for (int i = 0; i < 3; ++i) {
            sigaction(kEndSignals[i], &g_oldActions[i], nullptr);
        }
    }
    if (line.endsWith('\r')) {
        line.chop(1);
    }
    return line;
}
