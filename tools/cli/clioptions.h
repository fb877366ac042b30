// The command line of brindle-cli: its options, commands, help texts and exit codes.
// Parsing has no side effects, so every rule here is checked by unit tests.
#pragma once

#include <string>
#include <vector>

// Exit codes of brindle-cli. The help text and the README list the same table.
enum TExitCode : int {
    kExitOk = 0,
    kExitFailed = 1,        // the command failed or was declined; the reason is printed
    kExitNoEcu = 2,         // nothing answered within the time-out
    kExitLoaderOnly = 3,    // only the ECU's boot loader answered
    kExitBadImage = 4,      // the firmware file is bad or cannot be read
    kExitPort = 5,          // the serial port could not be opened
    kExitUsage = 64,        // bad command line, or flash without --yes and without a terminal
    kExitInterrupted = 130  // Ctrl-C (or SIGTERM) before the command was done
};

enum class TCliCommand { None, Identify, Monitor, Flash, Hex, Ports };

struct TCliOptions {
    TCliCommand command = TCliCommand::None;
    bool help = false;     // --help: the tool's help, or the command's when one was named
    bool version = false;  // --version

    // Where and how to talk to the ECU. Empty or 0: the stored settings decide.
    std::string port;  // --port PATH: a device for this run
    int com = 0;       // --com N: port number 1..8
    int baudCode = 0;  // --baud: the serial library's code 5..9 for the communication rate
    std::string logPath = "brindle.log";
    bool noLog = false;
    // --timeout: the wait for an ECU to answer. A connect pass that finds nothing calls the
    // ECU at every rate and brings back a stuck boot loader: about 14 s at 9600 bit/s.
    int timeoutMs = 30000;

    // monitor
    int count = 0;  // rows to print; 0: until Ctrl-C
    std::string csvPath;

    // flash and hex
    std::string hexPath;
    int attempts = 3;     // flash: failed upload runs before giving up
    bool yes = false;     // flash: no confirmation prompt
    std::string binPath;  // hex: where to write the binary image

    bool operator==(const TCliOptions&) const = default;
};

struct TParseResult {
    TCliOptions options;
    std::string error;  // empty when the command line is good
    bool Ok() const { return error.empty(); }
};

// Parses the arguments after the program name. Options of the tool may stand before or
// after the command; a command's own options follow its name. --help wins over any error.
TParseResult ParseCommandLine(const std::vector<std::string>& args);

const char* CommandName(TCliCommand command);
// The text --help prints: the tool's for TCliCommand::None, else the command's.
std::string HelpText(TCliCommand command);
std::string VersionText();
