#include "tools/cli/clioptions.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <utility>

#include "ecu/seriallibrary.h"
#include "platform/portmap.h"

#ifndef BRINDLE_CLI_VERSION
#define BRINDLE_CLI_VERSION "unknown"
#endif

namespace {

const char kToolHelp[] = R"(Usage: brindle-cli [OPTION]... COMMAND [ARG]...
Talks to the ECU on its serial line with the same core as the Brindle desktop program.

Commands:
  identify            connect and print the firmware and board texts of the status bar
  monitor             print live engine data as CSV, one row per new sensor record
  flash FILE.hex      write new firmware through the ECU's boot loader
  hex FILE.hex        check a firmware image file and optionally write it as binary
  ports               list the serial devices on this machine and the Com numbers
                      they stand for
Run 'brindle-cli COMMAND --help' for the options of a command.

Options (before or after the command):
  --port PATH         the serial device for this run, instead of the stored port
  --com N             port number 1 to 8, mapped to a device as the program maps it:
{devices}
  --baud RATE         the communication rate for this run: 9600, 19200, 38400,
                      57600 or 115200 (never saved)
  --log FILE          write the packet log to FILE (default: brindle.log in the
                      current folder, truncated at each run, as the program does)
  --no-log            write no packet log
  --timeout SECONDS   how long to wait for an ECU to answer (default 30)
  -h, --help          show this help, or a command's help after its name
  --version           show the version

The port and the rates come from the stored settings of the desktop program (the
environment variable BRINDLE_SETTINGS names another INI file). brindle-cli never
changes them; only when none exist yet are the defaults stored, as the program does.
Results go to standard output; progress, link changes and errors to standard error.

Exit status:
  0    success
  1    the command failed: the upload failed or was declined, or an output file
       could not be written (the reason is printed)
  2    no ECU answered within the time-out
  3    only the ECU's boot loader answered: the ECU has no firmware
  4    the firmware file cannot be read or is not a usable Intel HEX image
  5    the serial port could not be opened {open-failure}
  64   bad command line, or flash without --yes when standard input is not a terminal
  130  interrupted by Ctrl-C or SIGTERM (a monitor that has started its rows ends
       normally with 0)
)";

const char kIdentifyHelp[] = R"(Usage: brindle-cli [OPTION]... identify
Connects as the program does and prints the two texts of its status bar, one per line:
  Firmware Revision: 1.4.12
  Board: 1.2 SN: 258            (or: Board is unbranded)
When only the ECU's boot loader answers, prints "Loader" and exits with 3.
When nothing answers within --timeout, says so and exits with 2.
See 'brindle-cli --help' for the options and every exit status.
)";

const char kMonitorHelp[] = R"(Usage: brindle-cli [OPTION]... monitor [--count N] [--csv FILE]
Connects, then prints one CSV row for every sensor record the ECU sends, in the format
of Brindle's recordings: a header line first with time, time_ms and the thirteen
captions of the Engine Data window, then the local time (ISO 8601, milliseconds),
the milliseconds since the link was up, and the values as that window shows them.

  --count N    stop after N rows (default: run until Ctrl-C, which ends with exit 0)
  --csv FILE   write the rows to FILE, a new file (an existing one is never replaced),
               instead of standard output; Brindle's File > Open Recording plays it

Link losses and reconnects are reported on standard error. When no new record
arrives for --timeout seconds, monitor exits with 2; when the ECU falls back to its
boot loader, with 3. See 'brindle-cli --help' for every exit status.
)";

const char kFlashHelp[] = R"(Usage: brindle-cli [OPTION]... flash FILE.hex [--attempts N] [--yes]
Loads FILE.hex with the program's loader, asks for confirmation, then writes it through
the ECU's boot loader: from the running firmware (which is told to enter its boot loader)
or directly when only the boot loader answers.

  --attempts N  upload runs to try before giving up (default 3); every run starts over:
                boot loader, erase, then every block
  --yes         do not ask; needed when standard input is not a terminal (without it
                flash refuses with exit 64 rather than wait for an answer)

On a terminal a progress bar shows bytes and percentage; otherwise plain progress lines
are printed. Every status text of the upload is shown ("Retrying block 3", "1024 bytes
sent.", "Too many resends.", ...).

Ctrl-C: before the upload starts, it stops with nothing written (exit 130). During
the upload, the run in progress cannot be cut off halfway without leaving the ECU with
partly written firmware, so it goes on to its end and no further run is started; if
that run completes the exit is 0, otherwise 130. A second Ctrl-C quits at once: the
ECU may then be left without working firmware, but its boot loader still answers, so
running flash again puts firmware back on it.

Exit 0 only when the upload completed; 1 when it failed (the reason is printed) or the
question was not answered with yes; 4 for a bad file, or one that holds no data at all.
See 'brindle-cli --help' for every exit status.
)";

const char kHexHelp[] = R"(Usage: brindle-cli hex FILE.hex [--bin OUT]
Loads FILE.hex with the program's loader and prints "used N bytes, B blocks": the bytes
up to the last one that is not 0xFF, and the 256-byte blocks an upload would write.

  --bin OUT   also write the whole 131072-byte image (0xFF where the file has no data)

Exits with 4 and the loader's message when the file is bad. Needs no ECU.
)";

const char kPortsHelp[] = R"(Usage: brindle-cli ports
Lists the serial devices present on this machine (/dev/ttyUSB*, /dev/ttyACM*, and the
/dev/ttyS* that have a UART), one per line: the device, its stable name under
/dev/serial/by-id, the adapter's maker and model, and the Com number that stands for it
in the settings. Says so on standard error when there is none. Needs no ECU.
)";

bool ParseInt(const std::string& text, int lo, int hi, int& value) {
    int v = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, v);
    if (text.empty() || ec != std::errc() || ptr != end || v < lo || v > hi) {
        return false;
    }
    value = v;
    return true;
}

bool ParseSeconds(const std::string& text, int& ms) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    const double s = std::strtod(text.c_str(), &end);
    if (*end != '\0' || !std::isfinite(s) || s <= 0 || s > 86400) {
        return false;
    }
    ms = static_cast<int>(std::lround(s * 1000));
    return ms > 0;
}

TCliCommand CommandFromName(const std::string& name) {
    if (name == "identify") {
        return TCliCommand::Identify;
    }
    if (name == "monitor") {
        return TCliCommand::Monitor;
    }
    if (name == "flash") {
        return TCliCommand::Flash;
    }
    if (name == "hex") {
        return TCliCommand::Hex;
    }
    if (name == "ports") {
        return TCliCommand::Ports;
    }
    return TCliCommand::None;
}

}  // namespace

const char* CommandName(TCliCommand command) {
    switch (command) {
        case TCliCommand::Identify:
            return "identify";
        case TCliCommand::Monitor:
            return "monitor";
        case TCliCommand::Flash:
            return "flash";
        case TCliCommand::Hex:
            return "hex";
        case TCliCommand::Ports:
            return "ports";
        case TCliCommand::None:
            break;
    }
    return "";
}

std::string HelpText(TCliCommand command) {
    switch (command) {
        case TCliCommand::Identify:
            return kIdentifyHelp;
        case TCliCommand::Monitor:
            return kMonitorHelp;
        case TCliCommand::Flash:
            return kFlashHelp;
        case TCliCommand::Hex:
            return kHexHelp;
        case TCliCommand::Ports:
            return kPortsHelp;
        case TCliCommand::None:
            break;
    }
    // The port lines are the system's own.
    std::string help = kToolHelp;
    for (const auto& [marker, text] :
         {std::pair<std::string, std::string>{"{devices}", TPortMap::DevicesHelp()},
          {"{open-failure}", TPortMap::OpenFailureHelp()}}) {
        help.replace(help.find(marker), marker.size(), text);
    }
    return help;
}

std::string VersionText() {
    return std::string("brindle-cli ") + BRINDLE_CLI_VERSION + "\n";
}

namespace {

// What the options have set so far, for the rules that look at more than one option.
struct TParseState {
    TCliOptions& o;
    bool portGiven = false;
    bool logGiven = false;
};

// One option of the command line. `store` takes the value (empty for an option without one),
// sets what it means and returns the error text, or "" when the value is good.
struct TOptionRule {
    const char* name;
    bool takesValue;
    TCliCommand owner;  // None: an option of the tool, anywhere on the line
    std::string (*store)(const std::string& v, TParseState& s);
};

constexpr TCliCommand kTool = TCliCommand::None;

// For two options that exclude each other, such as --port and --com: marks the pair as given
// and returns the value's own error, or, when the value is good but one of the pair came
// before, that the pair is given once.
std::string GivenOnce(bool& given, const char* pair, std::string error) {
    if (error.empty() && given) {
        error = std::string("give either ") + pair + ", once";
    }
    given = true;
    return error;
}

std::string SetHelp(const std::string&, TParseState& s) {
    s.o.help = true;
    return "";
}

const TOptionRule kOptionRules[] = {
    {"-h", false, kTool, SetHelp},
    {"--help", false, kTool, SetHelp},
    {"--version", false, kTool,
     [](const std::string&, TParseState& s) {
         s.o.version = true;
         return std::string();
     }},
    {"--port", true, kTool,
     [](const std::string& v, TParseState& s) {
         s.o.port = v;
         return GivenOnce(s.portGiven, "--port or --com",
                          v.empty() ? "--port needs a device path" : "");
     }},
    {"--com", true, kTool,
     [](const std::string& v, TParseState& s) {
         const bool number = ParseInt(v, 1, 8, s.o.com);
         return GivenOnce(s.portGiven, "--port or --com",
                          number ? "" : "--com takes a port number from 1 to 8, not '" + v + "'");
     }},
    {"--baud", true, kTool,
     [](const std::string& v, TParseState& s) {
         int bps = 0;
         if (!ParseInt(v, 1, 1'000'000, bps) || BpsToBaudCode(bps) == 0) {
             return "--baud takes 9600, 19200, 38400, 57600 or 115200, not '" + v + "'";
         }
         s.o.baudCode = BpsToBaudCode(bps);
         return std::string();
     }},
    {"--log", true, kTool,
     [](const std::string& v, TParseState& s) {
         s.o.logPath = v;
         return GivenOnce(s.logGiven, "--log or --no-log",
                          v.empty() ? "--log needs a file name" : "");
     }},
    {"--no-log", false, kTool,
     [](const std::string&, TParseState& s) {
         s.o.noLog = true;
         return GivenOnce(s.logGiven, "--log or --no-log", "");
     }},
    {"--timeout", true, kTool,
     [](const std::string& v, TParseState& s) {
         return ParseSeconds(v, s.o.timeoutMs)
                    ? std::string()
                    : "--timeout takes a number of seconds above 0, not '" + v + "'";
     }},
    {"--count", true, TCliCommand::Monitor,
     [](const std::string& v, TParseState& s) {
         return ParseInt(v, 1, 1'000'000'000, s.o.count)
                    ? std::string()
                    : "--count takes a number of rows from 1 on, not '" + v + "'";
     }},
    {"--csv", true, TCliCommand::Monitor,
     [](const std::string& v, TParseState& s) {
         s.o.csvPath = v;
         return std::string(v.empty() ? "--csv needs a file name" : "");
     }},
    {"--attempts", true, TCliCommand::Flash,
     [](const std::string& v, TParseState& s) {
         return ParseInt(v, 1, 100, s.o.attempts)
                    ? std::string()
                    : "--attempts takes a number from 1 to 100, not '" + v + "'";
     }},
    {"--yes", false, TCliCommand::Flash,
     [](const std::string&, TParseState& s) {
         s.o.yes = true;
         return std::string();
     }},
    {"--bin", true, TCliCommand::Hex,
     [](const std::string& v, TParseState& s) {
         s.o.binPath = v;
         return std::string(v.empty() ? "--bin needs a file name" : "");
     }},
};

const TOptionRule* FindOption(const std::string& name) {
    for (const TOptionRule& rule : kOptionRules) {
        if (name == rule.name) {
            return &rule;
        }
    }
    return nullptr;
}

}  // namespace

TParseResult ParseCommandLine(const std::vector<std::string>& args) {
    TParseResult result;
    TCliOptions& o = result.options;
    TParseState state{o};
    bool optionsEnded = false;
    int positional = 0;  // arguments after the command name

    // The first error is the one reported.
    auto fail = [&result](const std::string& text) {
        if (result.error.empty()) {
            result.error = text;
        }
    };

    for (size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            if (o.command == TCliCommand::None) {
                o.command = CommandFromName(arg);
                if (o.command == TCliCommand::None) {
                    fail("unknown command '" + arg + "'");
                }
                continue;
            }
            ++positional;
            const bool takesFile = o.command == TCliCommand::Flash || o.command == TCliCommand::Hex;
            if (takesFile && positional == 1) {
                o.hexPath = arg;
            } else {
                fail(std::string("unexpected argument '") + arg + "' for " +
                     CommandName(o.command));
            }
            continue;
        }
        // A long option's value may follow '=' in the same argument.
        std::string value;
        bool hasInlineValue = false;
        const size_t eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && arg.size() > 2 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            hasInlineValue = true;
            arg.erase(eq);
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        const TOptionRule* rule = FindOption(arg);
        if (!rule) {
            fail("unknown option '" + arg + "'");
        } else if (hasInlineValue && !rule->takesValue) {
            fail(arg + " takes no value");
        } else if (rule->owner != kTool && o.command != rule->owner) {
            // A command's own option must follow the command's name.
            fail(arg + " is an option of '" + CommandName(rule->owner) + "'" +
                 (o.command == TCliCommand::None ? " and must follow it" : ""));
        } else if (rule->takesValue && !hasInlineValue && i + 1 >= args.size()) {
            fail(arg + " needs a value");
        } else {
            if (rule->takesValue && !hasInlineValue) {
                value = args[++i];
            }
            fail(rule->store(value, state));
        }
    }

    if (o.help || o.version) {
        result.error.clear();
        return result;
    }
    if (!result.error.empty()) {
        return result;
    }
    if (o.command == TCliCommand::None) {
        fail("no command given");
    } else if ((o.command == TCliCommand::Flash || o.command == TCliCommand::Hex) &&
               o.hexPath.empty()) {
        fail(std::string(CommandName(o.command)) + " needs a FILE.hex");
    }
    return result;
}
