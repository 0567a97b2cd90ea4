#include "platform/signal_watcher.h"

#include <QSocketNotifier>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <csignal>

namespace {

int g_pipe[2] = {-1, -1};

// Only async-signal-safe work here: write the signal number into the pipe.
void OnSignal(int number) {
    const unsigned char byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const ssize_t written = write(g_pipe[1], &byte, 1);
}

}  // namespace

TSignalWatcher::TSignalWatcher(QObject* parent) : QObject(parent) {
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_pipe) != 0) {
        return;
    }
    m_notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &TSignalWatcher::Drain);
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : {SIGTERM, SIGINT, SIGHUP}) {
        sigaction(number, &action, nullptr);
    }
}

TSignalWatcher::~TSignalWatcher() {
    for (const int number : {SIGTERM, SIGINT, SIGHUP}) {
        signal(number, SIG_DFL);
    }
    if (g_pipe[0] >= 0) {
        close(g_pipe[0]);
        close(g_pipe[1]);
        g_pipe[0] = g_pipe[1] = -1;
    }
}

void TSignalWatcher::Drain() {
    unsigned char byte = 0;
    while (read(g_pipe[0], &byte, 1) == 1) {
        emit terminationRequested(byte);
    }
}
