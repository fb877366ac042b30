// The command line of brindle-cli: what each accepted line means, what is refused and why,
// and what the help texts promise.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "tools/cli/clioptions.h"

// The expected options are designated initializers: the fields they leave out keep their
// defaults, which is what the cases mean.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using C = TCliCommand;

// The arguments of a command line, split at blanks (no argument here has one).
std::vector<std::string> Args(const std::string& line) {
    std::vector<std::string> args;
    std::istringstream in(line);
    for (std::string arg; in >> arg;) {
        args.push_back(arg);
    }
    return args;
}

// Every field is compared, so an option that sets more than it should is caught too.
TEST(CliOptions, AcceptedLinesMeanWhatTheySay) {
    const std::pair<const char*, TCliOptions> cases[] = {
        {"--port /dev/ttyUSB3 --baud 115200 identify",
         {.command = C::Identify, .port = "/dev/ttyUSB3", .baudCode = 9}},
        {"identify --com=3 --baud=38400 --timeout=2.5 --no-log",
         {.command = C::Identify, .com = 3, .baudCode = 7, .noLog = true, .timeoutMs = 2500}},
        {"--log /tmp/x.log identify --baud 9600",
         {.command = C::Identify, .baudCode = 5, .logPath = "/tmp/x.log"}},
        {"monitor --count 5 --csv rows.csv",
         {.command = C::Monitor, .count = 5, .csvPath = "rows.csv"}},
        {"flash fw.hex --attempts 5 --yes",
         {.command = C::Flash, .hexPath = "fw.hex", .attempts = 5, .yes = true}},
        {"flash --yes fw.hex", {.command = C::Flash, .hexPath = "fw.hex", .yes = true}},
        {"hex fw.hex --bin fw.bin", {.command = C::Hex, .hexPath = "fw.hex", .binPath = "fw.bin"}},
        {"hex -- --odd.hex", {.command = C::Hex, .hexPath = "--odd.hex"}},  // a file, not an option
        {"flash --help", {.command = C::Flash, .help = true}},  // help wins over the missing file
        {"--bogus -h", {.help = true}},                         // and over a bad option
        {"--version", {.version = true}},
    };
    for (const auto& [line, expected] : cases) {
        const TParseResult r = ParseCommandLine(Args(line));
        EXPECT_TRUE(r.Ok()) << line << ": " << r.error;
        EXPECT_TRUE(r.options == expected) << line;
    }
}

// The whole message of each refusal; the first error is the one given.
TEST(CliOptions, RefusedLinesSayWhatIsWrong) {
    const std::pair<const char*, const char*> cases[] = {
        {"", "no command given"},
        {"erase", "unknown command 'erase'"},
        {"identify --fast=1", "unknown option '--fast'"},
        {"--fast erase", "unknown option '--fast'"},
        {"--baud 14400 identify", "--baud takes 9600, 19200, 38400, 57600 or 115200, not '14400'"},
        {"--com 0 identify", "--com takes a port number from 1 to 8, not '0'"},
        {"--com 9 identify", "--com takes a port number from 1 to 8, not '9'"},
        {"--com 2x identify", "--com takes a port number from 1 to 8, not '2x'"},
        {"--port /dev/a --com 2 identify", "give either --port or --com, once"},
        {"--port= identify", "--port needs a device path"},
        {"identify --port", "--port needs a value"},
        {"--log a.log --no-log identify", "give either --log or --no-log, once"},
        {"--log= identify", "--log needs a file name"},
        {"--timeout 0 identify", "--timeout takes a number of seconds above 0, not '0'"},
        {"--timeout 5s identify", "--timeout takes a number of seconds above 0, not '5s'"},
        {"flash --yes", "flash needs a FILE.hex"},
        {"hex a.hex b.hex", "unexpected argument 'b.hex' for hex"},
        {"identify a.hex", "unexpected argument 'a.hex' for identify"},
        {"monitor --count 0", "--count takes a number of rows from 1 on, not '0'"},
        {"monitor --csv=", "--csv needs a file name"},
        {"identify --count 5", "--count is an option of 'monitor'"},
        {"--yes flash a.hex", "--yes is an option of 'flash' and must follow it"},
        {"flash a.hex --attempts 0", "--attempts takes a number from 1 to 100, not '0'"},
        {"flash a.hex --attempts=101", "--attempts takes a number from 1 to 100, not '101'"},
        {"hex a.hex --bin=", "--bin needs a file name"},
        {"flash a.hex --yes=no", "--yes takes no value"},
    };
    for (const auto& [line, error] : cases) {
        EXPECT_EQ(ParseCommandLine(Args(line)).error, error) << line;
    }
}

// The tool's help lists every exit code and option; each command's help, its own.
TEST(CliHelp, EachHelpNamesItsCommandsOptionsAndExitCodes) {
    const std::pair<TCliCommand, std::vector<const char*>> expected[] = {
        {C::None,
         {"\n  0 ", "\n  1 ", "\n  2 ", "\n  3 ", "\n  4 ", "\n  5 ", "\n  64 ", "\n  130 ",
          "identify", "monitor", "flash FILE.hex", "hex FILE.hex", "--port PATH", "--com N",
          "--baud RATE", "--log FILE", "--no-log", "--timeout SECONDS", "dialout"}},
        {C::Identify, {"identify", "Loader", "Board is unbranded"}},
        {C::Monitor, {"monitor", "--count N", "--csv FILE", "time_ms"}},
        {C::Flash, {"flash FILE.hex", "--attempts N", "--yes", "Ctrl-C"}},
        {C::Hex, {"hex FILE.hex", "--bin OUT", "used N bytes, B blocks"}},
    };
    for (const auto& [command, texts] : expected) {
        const std::string help = HelpText(command);
        EXPECT_TRUE(command == C::None || help != HelpText(C::None)) << CommandName(command);
        for (const char* text : texts) {
            EXPECT_NE(help.find(text), std::string::npos) << CommandName(command) << ": " << text;
        }
    }
}

}  // namespace
