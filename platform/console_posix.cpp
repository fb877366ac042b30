#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "platform/console.h"

namespace {

TInterruptTargets targets;

void OnInterrupt(int) {
    // Only async-signal-safe calls here.
    if (const char* text = targets.Count()) {
        const char* end = text;
        while (*end) {
            ++end;
        }
        const ssize_t ignored = ::write(2, text, static_cast<size_t>(end - text));
        (void)ignored;
        ::_exit(130);
    }
}

}  // namespace

void InstallInterruptHandler(std::atomic<int>& count, std::atomic<bool>& hardExit,
                             const char* hardExitText) {
    targets = {&count, &hardExit, hardExitText};
    // No SA_RESTART: a read of the confirmation answer returns when Ctrl-C comes.
    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    // A reader that goes away shows up as a write error, which the command reports.
    signal(SIGPIPE, SIG_IGN);
}

void StartThreadsWithoutInterrupts(const std::function<void()>& start) {
    // Threads inherit the signal mask: they start with the two signals blocked and keep them so.
    sigset_t stop, old;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, &old);
    start();
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

bool IsTerminal(int fd) {
    return ::isatty(fd) != 0;
}

TInputWait WaitForInput(int fd, int ms) {
    pollfd pfd{fd, POLLIN, 0};
    const int r = ::poll(&pfd, 1, ms);
    if (r < 0 && errno == EINTR) {
        return TInputWait::Interrupted;
    }
    return r == 0 ? TInputWait::Timeout : TInputWait::Ready;
}

int ReadInputByte(int fd, char& c) {
    const ssize_t n = ::read(fd, &c, 1);
    if (n < 0) {
        return errno == EINTR ? -1 : 0;
    }
    return static_cast<int>(n);
}

int DeviceAccessError(const std::string& path) {
    return ::access(path.c_str(), R_OK | W_OK) == 0 ? 0 : errno;
}
