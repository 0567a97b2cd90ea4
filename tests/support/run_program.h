// Runs a program with arguments given as bytes and collects its exit code and output, for
// end-to-end tests of the command line. QProcess encodes its arguments as text and would
// lose the bytes of file names that are not UTF-8.
#pragma once

#include <QByteArray>
#include <QList>

#include <cerrno>
#include <chrono>
#include <csignal>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

struct TProgramRun {
    int exitCode = -1;  // -1 when it could not start, was killed or did not end in time
    QByteArray out;
    QByteArray err;
};

// Runs argv[0] (looked up in PATH when it holds no "/") with argv, in `workingDir` when
// given, with the environment of this process plus `environment` ("NAME=value" entries
// replace those of the same name). Waits at most `timeoutMs`; a program still running
// then is killed.
inline TProgramRun RunProgram(const QList<QByteArray>& argv, const QByteArray& workingDir = {},
                              const QList<QByteArray>& environment = {}, int timeoutMs = 60000) {
    TProgramRun run;
    if (argv.isEmpty()) {
        return run;
    }
    QList<QByteArray> envEntries;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const QByteArray text(*entry);
        const QByteArray name = text.left(text.indexOf('=') + 1);
        bool replaced = false;
        for (const QByteArray& extra : environment) {
            replaced = replaced || extra.startsWith(name);
        }
        if (!replaced) {
            envEntries.append(text);
        }
    }
    envEntries.append(environment);
    QList<char*> args;
    for (const QByteArray& arg : argv) {
        args.append(const_cast<char*>(arg.constData()));
    }
    args.append(nullptr);
    QList<char*> env;
    for (const QByteArray& entry : envEntries) {
        env.append(const_cast<char*>(entry.constData()));
    }
    env.append(nullptr);

    int outPipe[2];
    int errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) {
        return run;
    }
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        return run;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    if (!workingDir.isEmpty()) {
        posix_spawn_file_actions_addchdir_np(&actions, workingDir.constData());
    }
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    close(outPipe[1]);
    close(errPipe[1]);
    if (spawned != 0) {
        close(outPipe[0]);
        close(errPipe[0]);
        return run;
    }

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    QByteArray* sinks[2] = {&run.out, &run.err};
    int open = 2;
    bool timedOut = false;
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        const int ready = poll(fds, 2, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            timedOut = ready == 0;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            char buffer[4096];
            const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                sinks[i]->append(buffer, got);
            } else if (got == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (const pollfd& fd : fds) {
        if (fd.fd >= 0) {
            close(fd.fd);
        }
    }
    if (timedOut) {
        kill(pid, SIGKILL);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!timedOut && WIFEXITED(status)) {
        run.exitCode = WEXITSTATUS(status);
    }
    return run;
}
