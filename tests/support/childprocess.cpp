#include "tests/support/childprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

extern char** environ;

namespace {
int64_t NowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
}
}  // namespace

std::string ProjectBinary(const std::string& name) {
#ifdef BRINDLE_BINARY_DIR
    return std::string(BRINDLE_BINARY_DIR) + "/" + name;
#else
    return name;
#endif
}

TChildProcess::~TChildProcess() {
    if (pid > 0 && status < 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    for (int fd : {in, out, err}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

bool TChildProcess::Start(const std::vector<std::string>& args,
                          const std::vector<std::string>& env) {
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
    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e) {
        envStrings.emplace_back(*e);
    }
    envStrings.insert(envStrings.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (std::string& e : envStrings) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    const int rc = posix_spawn(&pid, args[0].c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(pin[0]);
    ::close(pout[1]);
    ::close(perr[1]);
    in = pin[1];
    out = pout[0];
    err = perr[0];
    fcntl(out, F_SETFL, O_NONBLOCK);
    fcntl(err, F_SETFL, O_NONBLOCK);
    if (rc != 0) {
        pid = -1;
        return false;
    }
    return true;
}

bool TChildProcess::Write(const std::string& text) {
    return in >= 0 && ::write(in, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

bool TChildProcess::WriteLine(const std::string& line) {
    return Write(line + "\n");
}

void TChildProcess::Drain(int fd, std::string& into, int timeoutMs) {
    pollfd pfd{fd, POLLIN, 0};
    if (::poll(&pfd, 1, timeoutMs) <= 0) {
        return;
    }
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) {
        into.append(buf, static_cast<size_t>(n));
    }
}

bool TChildProcess::ReadLine(std::string& line, int timeoutMs) {
    const int64_t deadline = NowMs() + timeoutMs;
    for (;;) {
        const size_t pos = outBuffer.find('\n');
        if (pos != std::string::npos) {
            line = outBuffer.substr(0, pos);
            outBuffer.erase(0, pos + 1);
            return true;
        }
        const int64_t left = deadline - NowMs();
        if (left <= 0 || out < 0) {
            return false;
        }
        std::string chunk;
        Drain(out, chunk, static_cast<int>(left));
        if (chunk.empty()) {
            pollfd pfd{out, POLLIN, 0};
            if (::poll(&pfd, 1, 0) > 0 && (pfd.revents & POLLHUP)) {
                return false;  // the child closed its output
            }
            continue;
        }
        outBuffer += chunk;
        output += chunk;
    }
}

std::string TChildProcess::WaitForLine(const std::string& prefix, int timeoutMs) {
    const int64_t deadline = NowMs() + timeoutMs;
    std::string line;
    while (ReadLine(line, static_cast<int>(std::max<int64_t>(0, deadline - NowMs())))) {
        if (line.rfind(prefix, 0) == 0) {
            return line;
        }
    }
    return {};
}

std::string TChildProcess::ErrorOutput() {
    Drain(err, errors, 0);
    return errors;
}

int TChildProcess::Wait(int timeoutMs) {
    if (status >= 0) {
        return status;
    }
    const int64_t deadline = NowMs() + timeoutMs;
    for (;;) {
        int st = 0;
        const pid_t r = ::waitpid(pid, &st, WNOHANG);
        if (r == pid) {
            status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            std::string rest;
            Drain(out, rest, 0);
            outBuffer += rest;
            output += rest;
            Drain(err, errors, 0);
            return status;
        }
        if (NowMs() >= deadline) {
            return -1;
        }
        // Keep the pipes flowing so a chatty child cannot block on a full pipe.
        std::string chunk;
        Drain(out, chunk, 10);
        outBuffer += chunk;
        output += chunk;
        Drain(err, errors, 0);
    }
}

void TChildProcess::Signal(int sig) {
    if (pid > 0 && status < 0) {
        ::kill(pid, sig);
    }
}
