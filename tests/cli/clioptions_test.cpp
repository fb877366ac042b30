// The command line of brindle-cli: what each accepted line means, what is refused and why,
// and what the help texts promise.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/cli/clioptions.h"

// The expected options are designated initializers: the fields they leave out keep their
// defaults, which is what the cases mean.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using C = TCliCommand;

struct GoodLine {
    const char* name;
    std::vector<std::string> args;
    void (*expect)(TCliOptions& o);  // what the line changes from the defaults
};

void PrintTo(const GoodLine& c, std::ostream* os) {
    *os << c.name;
}

class AcceptedLines : public testing::TestWithParam<GoodLine> {};

// Every field is compared, so an option that sets more than it should is caught too.
TEST_P(AcceptedLines, MeanWhatTheySay) {
    const TParseResult r = ParseCommandLine(GetParam().args);
    ASSERT_TRUE(r.Ok()) << r.error;
    TCliOptions expected;
    GetParam().expect(expected);
    EXPECT_TRUE(r.options == expected);
}

const GoodLine kGoodLines[] = {
    {"IdentifyWithTheStoredSettings",
     {"identify"},
     [](TCliOptions& o) { o.command = C::Identify; }},
    {"PortAndRateBeforeTheCommand",
     {"--port", "/dev/ttyUSB3", "--baud", "115200", "identify"},
     [](TCliOptions& o) { o = {.command = C::Identify, .port = "/dev/ttyUSB3", .baudCode = 9}; }},
    {"GlobalOptionsAfterTheCommandWithEquals",
     {"identify", "--com=3", "--baud=38400", "--timeout=2.5", "--no-log"},
     [](TCliOptions& o) {
         o = {.command = C::Identify, .com = 3, .baudCode = 7, .noLog = true, .timeoutMs = 2500};
     }},
    {"LogElsewhere",
     {"--log", "/tmp/x.log", "identify", "--baud", "9600"},
     [](TCliOptions& o) { o = {.command = C::Identify, .baudCode = 5, .logPath = "/tmp/x.log"}; }},
    {"MonitorWithCountAndCsv",
     {"monitor", "--count", "5", "--csv", "rows.csv"},
     [](TCliOptions& o) { o = {.command = C::Monitor, .count = 5, .csvPath = "rows.csv"}; }},
    {"FlashWithItsOptions",
     {"flash", "fw.hex", "--attempts", "5", "--yes"},
     [](TCliOptions& o) {
         o = {.command = C::Flash, .hexPath = "fw.hex", .attempts = 5, .yes = true};
     }},
    {"FlashOptionsBeforeTheFile",
     {"flash", "--yes", "fw.hex"},
     [](TCliOptions& o) { o = {.command = C::Flash, .hexPath = "fw.hex", .yes = true}; }},
    {"HexWithBinary",
     {"hex", "fw.hex", "--bin", "fw.bin"},
     [](TCliOptions& o) { o = {.command = C::Hex, .hexPath = "fw.hex", .binPath = "fw.bin"}; }},
    {"FileNamedLikeAnOptionAfterDoubleDash",
     {"hex", "--", "--odd.hex"},
     [](TCliOptions& o) { o = {.command = C::Hex, .hexPath = "--odd.hex"}; }},
    {"HelpWinsOverAMissingFile",
     {"flash", "--help"},
     [](TCliOptions& o) { o = {.command = C::Flash, .help = true}; }},
    {"HelpWinsOverABadOption", {"--bogus", "-h"}, [](TCliOptions& o) { o.help = true; }},
    {"Version", {"--version"}, [](TCliOptions& o) { o.version = true; }},
};

INSTANTIATE_TEST_SUITE_P(CliOptions, AcceptedLines, testing::ValuesIn(kGoodLines),
                         [](const auto& info) { return std::string(info.param.name); });

struct BadLine {
    const char* name;
    std::vector<std::string> args;
    const char* error;  // the whole message
};

void PrintTo(const BadLine& c, std::ostream* os) {
    *os << c.name;
}

class RefusedLines : public testing::TestWithParam<BadLine> {};

TEST_P(RefusedLines, SayWhatIsWrong) {
    EXPECT_EQ(ParseCommandLine(GetParam().args).error, GetParam().error);
}

const BadLine kBadLines[] = {
    {"Nothing", {}, "no command given"},
    {"UnknownCommand", {"erase"}, "unknown command 'erase'"},
    {"UnknownOption", {"identify", "--fast=1"}, "unknown option '--fast'"},
    {"RateNotOfTheFive",
     {"--baud", "14400", "identify"},
     "--baud takes 9600, 19200, 38400, 57600 or 115200, not '14400'"},
    {"RateNotANumber",
     {"--baud", "fast", "identify"},
     "--baud takes 9600, 19200, 38400, 57600 or 115200, not 'fast'"},
    {"PortNumberZero",
     {"--com", "0", "identify"},
     "--com takes a port number from 1 to 8, not '0'"},
    {"PortNumberNine",
     {"--com", "9", "identify"},
     "--com takes a port number from 1 to 8, not '9'"},
    {"PortNumberWithJunk",
     {"--com", "2x", "identify"},
     "--com takes a port number from 1 to 8, not '2x'"},
    {"PortTwice",
     {"--port", "/dev/a", "--com", "2", "identify"},
     "give either --port or --com, once"},
    {"EmptyPort", {"--port=", "identify"}, "--port needs a device path"},
    {"LogAndNoLog",
     {"--log", "a.log", "--no-log", "identify"},
     "give either --log or --no-log, once"},
    {"EmptyLog", {"--log=", "identify"}, "--log needs a file name"},
    {"TimeoutZero",
     {"--timeout", "0", "identify"},
     "--timeout takes a number of seconds above 0, not '0'"},
    {"TimeoutNegative",
     {"--timeout", "-3", "identify"},
     "--timeout takes a number of seconds above 0, not '-3'"},
    {"TimeoutWithUnit",
     {"--timeout", "5s", "identify"},
     "--timeout takes a number of seconds above 0, not '5s'"},
    {"ValueMissing", {"identify", "--port"}, "--port needs a value"},
    {"FlashWithoutFile", {"flash", "--yes"}, "flash needs a FILE.hex"},
    {"HexWithoutFile", {"hex"}, "hex needs a FILE.hex"},
    {"TwoFiles", {"hex", "a.hex", "b.hex"}, "unexpected argument 'b.hex' for hex"},
    {"IdentifyTakesNoFile", {"identify", "a.hex"}, "unexpected argument 'a.hex' for identify"},
    {"CountOfZeroRows",
     {"monitor", "--count", "0"},
     "--count takes a number of rows from 1 on, not '0'"},
    {"EmptyCsv", {"monitor", "--csv="}, "--csv needs a file name"},
    {"CountOfAnotherCommand", {"identify", "--count", "5"}, "--count is an option of 'monitor'"},
    {"CommandOptionBeforeTheCommand",
     {"--yes", "flash", "a.hex"},
     "--yes is an option of 'flash' and must follow it"},
    {"AttemptsZero",
     {"flash", "a.hex", "--attempts", "0"},
     "--attempts takes a number from 1 to 100, not '0'"},
    {"AttemptsAboveAHundred",
     {"flash", "a.hex", "--attempts=101"},
     "--attempts takes a number from 1 to 100, not '101'"},
    {"BinForFlash", {"flash", "a.hex", "--bin", "a.bin"}, "--bin is an option of 'hex'"},
    {"EmptyBin", {"hex", "a.hex", "--bin="}, "--bin needs a file name"},
    {"FlagWithAValue", {"flash", "a.hex", "--yes=no"}, "--yes takes no value"},
    {"FirstErrorWins", {"--fast", "erase"}, "unknown option '--fast'"},
};

INSTANTIATE_TEST_SUITE_P(CliOptions, RefusedLines, testing::ValuesIn(kBadLines),
                         [](const auto& info) { return std::string(info.param.name); });

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
