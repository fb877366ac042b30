// The commands of brindle-cli over the core: the same control thread, session, loader and
// upload as the desktop program, with the terminal implementations of its interfaces.
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "tools/cli/clioptions.h"
#include "tools/cli/terminalui.h"

class TSerialDeviceList;

// What a command gets from the process around it.
struct TCliEnvironment {
    std::ostream& out;  // results (standard output)
    TConsole& console;  // progress, link changes and errors (standard error)
    int inputFd = 0;    // where flash reads its confirmation
    bool inputTerminal = false;
    // How many times Ctrl-C (or SIGTERM) has come so far.
    std::function<int()> interrupts = [] { return 0; };
    // While on, a second Ctrl-C ends the process at once (during an upload run).
    std::function<void(bool)> allowHardExit = [](bool) {};
    // The serial devices `ports` lists; null: this system's.
    const TSerialDeviceList* devices = nullptr;
};

// Parses the arguments after the program name, prints help, version or a usage error, or
// runs the command. Returns the exit code.
int CliMain(const std::vector<std::string>& args, TCliEnvironment& env);

enum class TAnswer { Yes, No, Interrupted };
// Reads one line from `fd`: "y" or "yes" in any case is yes; anything else, and the end of
// the input, is no. Interrupted when a signal breaks the read or `interrupted` says so; it is
// asked again every 100 ms, so a signal that came just before the read is not slept through.
TAnswer ReadAnswer(int fd, const std::function<bool()>& interrupted = {});
