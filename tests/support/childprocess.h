// Runs a program of the project as a child process with pipes on its standard streams,
// for the tests that drive brindle-ecusim and brindle-cli as a user would.
#pragma once

#include <string>
#include <vector>

class TChildProcess {
public:
    TChildProcess() = default;
    ~TChildProcess();  // terminates the child if it still runs
    TChildProcess(const TChildProcess&) = delete;
    TChildProcess& operator=(const TChildProcess&) = delete;

    // Starts `args[0]` with the arguments; stdin, stdout and stderr are pipes (stderr is
    // captured separately). False when it could not be started.
    bool Start(const std::vector<std::string>& args, const std::vector<std::string>& env = {});
    // Writes text as it is, or a line (a newline is appended), to the child's standard input.
    bool Write(const std::string& text);
    bool WriteLine(const std::string& line);
    // Reads one line of standard output, waiting at most timeoutMs. False on time-out or end.
    bool ReadLine(std::string& line, int timeoutMs);
    // Reads lines until one starts with `prefix`; returns it (empty on time-out).
    std::string WaitForLine(const std::string& prefix, int timeoutMs);
    // Waits for the child to end; returns its exit status (128 + signal when killed), or -1
    // when it did not end within timeoutMs.
    int Wait(int timeoutMs);
    void Signal(int sig);
    // Everything read from standard output and standard error so far.
    const std::string& Output() const { return output; }
    std::string ErrorOutput();

private:
    void Drain(int fd, std::string& into, int timeoutMs);

    int pid = -1;
    int in = -1;
    int out = -1;
    int err = -1;
    int status = -1;
    std::string outBuffer;  // not yet returned as lines
    std::string output;
    std::string errors;
};

// Path of a program built by this project (the build passes its folder in).
std::string ProjectBinary(const std::string& name);
