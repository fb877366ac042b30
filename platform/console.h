// What a command-line program needs from the system's console: Ctrl-C, whether a stream is a
// terminal, and waiting for a typed answer. One implementation per system (console_posix.cpp,
// console_win32.cpp), chosen by the build.
#pragma once

#include <atomic>
#include <functional>
#include <string>

// Counts Ctrl-C (and SIGTERM, or the console window closing) in `count`. From the second one
// on, while `hardExit` is set, writes `hardExitText` to standard error and ends the process
// with exit code 130 at once. The three must outlive the process's use of them.
void InstallInterruptHandler(std::atomic<int>& count, std::atomic<bool>& hardExit,
                             const char* hardExitText);

// What the system's interrupt handler works with (for the two implementations).
struct TInterruptTargets {
    std::atomic<int>* count = nullptr;
    std::atomic<bool>* hardExit = nullptr;
    const char* hardExitText = "";
    // Counts one interrupt. The text to print before ending the process at once, or nullptr
    // when the process goes on. Safe in a signal handler.
    const char* Count() const {
        return count->fetch_add(1) >= 1 && hardExit->load() ? hardExitText : nullptr;
    }
};

// Runs `start`, which starts threads, so that Ctrl-C reaches the calling thread and never
// one of the threads started (where it would not break a read of the calling thread).
void StartThreadsWithoutInterrupts(const std::function<void()>& start);

// Whether file descriptor `fd` (0, 1, 2) is a terminal or console.
bool IsTerminal(int fd);

enum class TInputWait { Ready, Timeout, Interrupted };
// Waits at most `ms` for input to read from `fd`. Interrupted when Ctrl-C broke the wait.
TInputWait WaitForInput(int fd, int ms);
// Reads one byte of input: 1 with the byte in `c`, 0 at the end of the input (or when the
// input fails), -1 when Ctrl-C broke the read.
int ReadInputByte(int fd, char& c);

// Why the device `path` cannot be opened for reading and writing, as an errno value (EACCES,
// ENOENT...); 0 when nothing is known against it.
int DeviceAccessError(const std::string& path);
