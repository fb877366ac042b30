// The command line of brindle-cli: what each accepted line means, what is refused and why,
// and what the help texts promise.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tools/cli/clioptions.h"

namespace {

struct GoodLine {
    const char* name;
    std::vector<std::string> args;
    std::function<void(const TCliOptions&)> check;
};

void PrintTo(const GoodLine& c, std::ostream* os) {
    *os << c.name;
}

class AcceptedLines : public testing::TestWithParam<GoodLine> {};

TEST_P(AcceptedLines, MeanWhatTheySay) {
    const TParseResult r = ParseCommandLine(GetParam().args);
    ASSERT_TRUE(r.Ok()) << r.error;
    GetParam().check(r.options);
}

const GoodLine kGoodLines[] = {
    {"IdentifyWithTheStoredSettings",
     {"identify"},
     [](const TCliOptions& o) {
         EXPECT_EQ(o.command, TCliCommand::Identify);
         EXPECT_EQ(o.port, "");
         EXPECT_EQ(o.com, 0);
         EXPECT_EQ(o.baudCode, 0);
         EXPECT_EQ(o.logPath, "brindle.log");
         EXPECT_FALSE(o.noLog);
         EXPECT_EQ(o.timeoutMs, 30000);
     }},
    {"PortAndRateBeforeTheCommand",
     {"--port", "/dev/ttyUSB3", "--baud", "115200", "identify"},
     [](const TCliOptions& o) {
         EXPECT_EQ(o.port, "/dev/ttyUSB3");
         EXPECT_EQ(o.baudCode, 9);
     }},
    {"GlobalOptionsAfterTheCommandWithEquals",
     {"identify", "--com=3", "--baud=9600", "--timeout=2.5", "--no-log"},
     [](const TCliOptions& o) {
         EXPECT_EQ(o.com, 3);
         EXPECT_EQ(o.baudCode, 5);
         EXPECT_EQ(o.timeoutMs, 2500);
         EXPECT_TRUE(o.noLog);
     }},
    {"EveryRateHasItsCode",
     {"--baud", "38400", "identify"},
     [](const TCliOptions& o) { EXPECT_EQ(o.baudCode, 7); }},
    {"LogElsewhere",
     {"--log", "/tmp/x.log", "identify"},
     [](const TCliOptions& o) { EXPECT_EQ(o.logPath, "/tmp/x.log"); }},
    {"MonitorWithCountAndCsv",
     {"monitor", "--count", "5", "--csv", "rows.csv"},
     [](const TCliOptions& o) {
         EXPECT_EQ(o.command, TCliCommand::Monitor);
         EXPECT_EQ(o.count, 5);
         EXPECT_EQ(o.csvPath, "rows.csv");
     }},
    {"MonitorRunsUntilStoppedByDefault",
     {"monitor"},
     [](const TCliOptions& o) { EXPECT_EQ(o.count, 0); }},
    {"FlashWithItsOptions",
     {"flash", "fw.hex", "--attempts", "5", "--yes"},
     [](const TCliOptions& o) {
         EXPECT_EQ(o.command, TCliCommand::Flash);
         EXPECT_EQ(o.hexPath, "fw.hex");
         EXPECT_EQ(o.attempts, 5);
         EXPECT_TRUE(o.yes);
     }},
    {"FlashDefaults",
     {"flash", "fw.hex"},
     [](const TCliOptions& o) {
         EXPECT_EQ(o.attempts, 3);
         EXPECT_FALSE(o.yes);
     }},
    {"FlashOptionsBeforeTheFile",
     {"flash", "--yes", "fw.hex"},
     [](const TCliOptions& o) {
         EXPECT_EQ(o.hexPath, "fw.hex");
         EXPECT_TRUE(o.yes);
     }},
    {"HexWithBinary",
     {"hex", "fw.hex", "--bin", "fw.bin"},
     [](const TCliOptions& o) {
         EXPECT_EQ(o.command, TCliCommand::Hex);
         EXPECT_EQ(o.hexPath, "fw.hex");
         EXPECT_EQ(o.binPath, "fw.bin");
     }},
    {"FileNamedLikeAnOptionAfterDoubleDash",
     {"hex", "--", "--odd.hex"},
     [](const TCliOptions& o) { EXPECT_EQ(o.hexPath, "--odd.hex"); }},
    {"HelpWinsOverAMissingFile",
     {"flash", "--help"},
     [](const TCliOptions& o) {
         EXPECT_TRUE(o.help);
         EXPECT_EQ(o.command, TCliCommand::Flash);
     }},
    {"HelpWinsOverABadOption",
     {"--bogus", "-h"},
     [](const TCliOptions& o) { EXPECT_TRUE(o.help); }},
    {"Version", {"--version"}, [](const TCliOptions& o) { EXPECT_TRUE(o.version); }},
};

INSTANTIATE_TEST_SUITE_P(CliOptions, AcceptedLines, testing::ValuesIn(kGoodLines),
                         [](const auto& info) { return std::string(info.param.name); });

struct BadLine {
    const char* name;
    std::vector<std::string> args;
    const char* error;  // a part of the message
};

void PrintTo(const BadLine& c, std::ostream* os) {
    *os << c.name;
}

class RefusedLines : public testing::TestWithParam<BadLine> {};

TEST_P(RefusedLines, SayWhatIsWrong) {
    const TParseResult r = ParseCommandLine(GetParam().args);
    ASSERT_FALSE(r.Ok());
    EXPECT_NE(r.error.find(GetParam().error), std::string::npos) << r.error;
}

const BadLine kBadLines[] = {
    {"Nothing", {}, "no command given"},
    {"UnknownCommand", {"erase"}, "unknown command 'erase'"},
    {"UnknownOption", {"identify", "--fast"}, "unknown option '--fast'"},
    {"RateNotOfTheFive", {"--baud", "14400", "identify"}, "9600, 19200, 38400, 57600 or 115200"},
    {"RateNotANumber", {"--baud", "fast", "identify"}, "not 'fast'"},
    {"PortNumberZero", {"--com", "0", "identify"}, "from 1 to 8"},
    {"PortNumberNine", {"--com", "9", "identify"}, "from 1 to 8"},
    {"PortNumberWithJunk", {"--com", "2x", "identify"}, "from 1 to 8"},
    {"PortTwice", {"--port", "/dev/a", "--com", "2", "identify"}, "either --port or --com"},
    {"LogAndNoLog", {"--log", "a.log", "--no-log", "identify"}, "either --log or --no-log"},
    {"TimeoutZero", {"--timeout", "0", "identify"}, "above 0"},
    {"TimeoutNegative", {"--timeout", "-3", "identify"}, "above 0"},
    {"TimeoutWithUnit", {"--timeout", "5s", "identify"}, "above 0"},
    {"ValueMissing", {"identify", "--port"}, "--port needs a value"},
    {"FlashWithoutFile", {"flash", "--yes"}, "flash needs a FILE.hex"},
    {"HexWithoutFile", {"hex"}, "hex needs a FILE.hex"},
    {"TwoFiles", {"hex", "a.hex", "b.hex"}, "unexpected argument 'b.hex'"},
    {"IdentifyTakesNoFile", {"identify", "a.hex"}, "unexpected argument 'a.hex'"},
    {"CountOfZeroRows", {"monitor", "--count", "0"}, "from 1 on"},
    {"CountOfAnotherCommand", {"identify", "--count", "5"}, "option of 'monitor'"},
    {"CommandOptionBeforeTheCommand", {"--yes", "flash", "a.hex"}, "must follow it"},
    {"AttemptsZero", {"flash", "a.hex", "--attempts", "0"}, "from 1 to 100"},
    {"BinForFlash", {"flash", "a.hex", "--bin", "a.bin"}, "option of 'hex'"},
    {"FlagWithAValue", {"flash", "a.hex", "--yes=no"}, "takes no value"},
};

INSTANTIATE_TEST_SUITE_P(CliOptions, RefusedLines, testing::ValuesIn(kBadLines),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CliHelp, TheToolsHelpListsEveryExitCodeAndCommand) {
    const std::string help = HelpText(TCliCommand::None);
    for (const char* code :
         {"\n  0 ", "\n  1 ", "\n  2 ", "\n  3 ", "\n  4 ", "\n  5 ", "\n  64 ", "\n  130 "}) {
        EXPECT_NE(help.find(code), std::string::npos) << "exit code" << code;
    }
    for (const char* text :
         {"identify", "monitor", "flash FILE.hex", "hex FILE.hex", "--port PATH", "--com N",
          "--baud RATE", "--log FILE", "--no-log", "--timeout SECONDS", "dialout"}) {
        EXPECT_NE(help.find(text), std::string::npos) << text;
    }
}

TEST(CliHelp, EachCommandsHelpNamesItsOptions) {
    const std::pair<TCliCommand, std::vector<const char*>> expected[] = {
        {TCliCommand::Identify, {"identify", "Loader", "Board is unbranded"}},
        {TCliCommand::Monitor, {"monitor", "--count N", "--csv FILE", "time_ms"}},
        {TCliCommand::Flash, {"flash FILE.hex", "--attempts N", "--yes", "Ctrl-C"}},
        {TCliCommand::Hex, {"hex FILE.hex", "--bin OUT", "used N bytes, B blocks"}},
    };
    for (const auto& [command, texts] : expected) {
        const std::string help = HelpText(command);
        EXPECT_NE(help, HelpText(TCliCommand::None));
        for (const char* text : texts) {
            EXPECT_NE(help.find(text), std::string::npos) << CommandName(command) << ": " << text;
        }
    }
}

}  // namespace
