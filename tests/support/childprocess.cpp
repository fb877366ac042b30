#include "tests/support/childprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <utility>

#include "tests/support/waitfor.h"

extern char** environ;

std::string ProjectBinary(const std::string& name) {
    return std::string(BRINDLE_BINARY_DIR) + "/" + name;
}

TChildProcess::~TChildProcess() {
    Signal(SIGKILL);
    if (pid > 0 && status < 0) {
        ::waitpid(pid, nullptr, 0);
    }
    for (int fd : {in, out, err}) {
        ::close(fd);  // -1 (never opened, or closed at its end) is refused harmlessly
    }
}

bool TChildProcess::Start(const std::vector<std::string>& args) {
    int pin[2], pout[2], perr[2];
    if (pipe2(pin, O_CLOEXEC) || pipe2(pout, O_CLOEXEC) || pipe2(perr, O_CLOEXEC)) {
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pin[0], 0);
    posix_spawn_file_actions_adddup2(&actions, pout[1], 1);
    posix_spawn_file_actions_adddup2(&actions, perr[1], 2);
    std::vector<char*> argv;
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    const int rc = posix_spawnp(&pid, args[0].c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    for (int fd : {pin[0], pout[1], perr[1]}) {
        ::close(fd);
    }
    in = pin[1];
    out = pout[0];
    err = perr[0];
    fcntl(out, F_SETFL, O_NONBLOCK);
    fcntl(err, F_SETFL, O_NONBLOCK);
    if (rc != 0) {
        pid = -1;
    }
    return rc == 0;
}

std::string TChildProcess::StartEcuSim(const std::vector<std::string>& options) {
    std::vector<std::string> args = {ProjectBinary("brindle-ecusim")};
    args.insert(args.end(), options.begin(), options.end());
    return Start(args) ? WaitForLine("", 5000) : "";
}

bool TChildProcess::Write(const std::string& text) {
    return ::write(in, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

void TChildProcess::Pump(int timeoutMs) {
    pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};  // a closed one (-1) is skipped
    ::poll(fds, 2, timeoutMs);
    for (auto [fd, into] : {std::pair{&out, &output}, std::pair{&err, &errors}}) {
        char buf[4096];
        ssize_t n = -1;
        while (*fd >= 0 && (n = ::read(*fd, buf, sizeof buf)) > 0) {
            into->append(buf, static_cast<size_t>(n));
        }
        if (n == 0) {  // the child closed it
            ::close(*fd);
            *fd = -1;
        }
    }
}

bool TChildProcess::ReadLine(std::string& line, int timeoutMs, const std::string& prefix) {
    bool found = false;
    WaitFor(
        [&] {
            for (size_t end; !found && (end = output.find('\n', lineStart)) != std::string::npos;) {
                line = output.substr(lineStart, end - lineStart);
                lineStart = end + 1;
                found = line.rfind(prefix, 0) == 0;
            }
            if (found || out < 0) {  // out < 0: it ended, and every line of it was looked at
                return true;
            }
            Pump(10);
            return false;
        },
        timeoutMs);
    return found;
}

int TChildProcess::Wait(int timeoutMs) {
    int st = 0;
    const auto ended = [&] {
        Pump(10);  // keeps the pipes flowing, so a chatty child cannot block on a full pipe
        return pid > 0 && ::waitpid(pid, &st, WNOHANG) == pid;
    };
    if (status < 0 && WaitFor(ended, timeoutMs)) {
        status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    Pump(0);
    return status;
}

void TChildProcess::Signal(int sig) {
    if (pid > 0 && status < 0) {
        ::kill(pid, sig);
    }
}
