// Runs a program of the project as a child process with pipes on its standard streams,
// for the tests that drive brindle-ecusim and brindle-cli as a user would.
#pragma once

#include <string>
#include <vector>

class TChildProcess {
public:
    TChildProcess() = default;
    ~TChildProcess();  // kills the child if it still runs
    TChildProcess(const TChildProcess&) = delete;
    TChildProcess& operator=(const TChildProcess&) = delete;

    // Starts `args[0]` with the arguments; stdin, stdout and stderr are pipes. False when it
    // could not be started.
    bool Start(const std::vector<std::string>& args);
    // Starts brindle-ecusim with `options`; returns its first line, the path of its terminal
    // (empty when none came within 5 s).
    std::string StartEcuSim(const std::vector<std::string>& options);
    // Writes text as it is, or a line (a newline is appended), to the child's standard input.
    bool Write(const std::string& text);
    bool WriteLine(const std::string& line) { return Write(line + "\n"); }
    // Reads lines of standard output until one starts with `prefix` (any line by default);
    // false when none came within timeoutMs or the output ended.
    bool ReadLine(std::string& line, int timeoutMs, const std::string& prefix = "");
    // The same, returning the line ("" on time-out or end).
    std::string WaitForLine(const std::string& prefix, int timeoutMs) {
        std::string line;
        return ReadLine(line, timeoutMs, prefix) ? line : "";
    }
    // Waits for the child to end; returns its exit status (128 + signal when killed), or -1
    // when it did not end within timeoutMs.
    int Wait(int timeoutMs);
    void Signal(int sig);
    // Everything the child has written to standard output and standard error so far.
    const std::string& Output() {
        Pump(0);
        return output;
    }
    const std::string& ErrorOutput() {
        Pump(0);
        return errors;
    }

private:
    // Reads what both pipes hold, after waiting at most timeoutMs for any of it.
    void Pump(int timeoutMs);

    int pid = -1;
    int in = -1;
    int out = -1;
    int err = -1;
    int status = -1;
    size_t lineStart = 0;  // where in `output` the next line begins
    std::string output;
    std::string errors;
};

// Path of a program built by this project (the build passes its folder in).
std::string ProjectBinary(const std::string& name);
