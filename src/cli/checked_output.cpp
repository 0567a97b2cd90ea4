#include "cli/checked_output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <unistd.h>

namespace {

// The first error of a write to file descriptor 1 (0: none).
int g_writeError = 0;

ssize_t WriteToFd1(void* /*cookie*/, const char* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(STDOUT_FILENO, data + done, size - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (g_writeError == 0) {
                g_writeError = n < 0 ? errno : ENOSPC;
            }
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(size);
}

}  // namespace

void InstallCheckedStdout() {
    const cookie_io_functions_t functions{nullptr, WriteToFd1, nullptr, nullptr};
    FILE* stream = fopencookie(nullptr, "w", functions);
    if (stream == nullptr) {
        return;  // the ordinary stream still reports a failure, without its reason
    }
    // Lines reach a terminal as they are printed; a file or pipe gets large writes.
    if (isatty(STDOUT_FILENO)) {
        setvbuf(stream, nullptr, _IOLBF, 0);
    } else {
        setvbuf(stream, nullptr, _IOFBF, 1 << 16);
    }
    stdout = stream;
}

int FinishStdout(int result) {
    const bool failed = std::fflush(stdout) != 0 || std::ferror(stdout) != 0;
    std::fclose(stdout);
    // A file system may report a delayed write failure only when the file closes.
    int closeError = 0;
    if (close(STDOUT_FILENO) != 0 && errno != EBADF) {
        closeError = errno;
    }
    if (!failed && closeError == 0) {
        return result;
    }
    const int error = g_writeError != 0 ? g_writeError : closeError;
    if (error != 0) {
        std::fprintf(stderr, "quiva: write error: %s\n", std::strerror(error));
    } else {
        std::fprintf(stderr, "quiva: write error\n");
    }
    return 1;
}
