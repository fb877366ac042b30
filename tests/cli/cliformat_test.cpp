// The texts brindle-cli prints: CSV rows, progress figures, summaries and advice.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "ecu/sensorrecord.h"
#include "tools/cli/cliformat.h"

namespace {

TEST(CliCsv, HeaderIsTimeAndTheThirteenCaptionsTopToBottom) {
    EXPECT_EQ(CsvHeader(),
              "time_ms,RPM,MAP,Target Mixture,Mixture 1,Mixture 2,Injector Pulse,Coolant Temp,"
              "Charge Temp,Throttle Pos,Ignition Timing,Battery Volts,Exhaust Temp1,"
              "Exhaust Temp2");
}

struct RowCase {
    const char* name;
    int64_t timeMs;
    TSensorValues values;
    const char* row;
};

void PrintTo(const RowCase& c, std::ostream* os) {
    *os << c.name;
}

class CsvRows : public testing::TestWithParam<RowCase> {};

TEST_P(CsvRows, ShowTheValuesAsTheEngineDataWindowDoes) {
    EXPECT_EQ(CsvRow(GetParam().timeMs, EncodeSensors(GetParam().values)), GetParam().row);
}

const RowCase kRows[] = {
    // rpm, map, inj, afr1, afr2, target, tps, clt, mat, battRaw, adv, egt1, egt2
    {"Typical",
     1234,
     {3000, 95, 4200, 131, 133, 130, 42, 120, 70, 105, 25, 610, 605},
     "1234,3000,95,130,131,133,4200,120,70,42,25.0,12.4,610,605"},
    {"AllZero", 0, {}, "0,0,0,0,0,0,0,0,0,0,0.0,0.0,0,0"},
    {"AllMax",
     987654321,
     {65535, 65535, 65535, 65535, 65535, 65535, 255, 255, 255, 255, 255, 65535, 65535},
     "987654321,65535,65535,65535,65535,65535,65535,255,255,255,255.0,30.0,65535,65535"},
    {"SmallVoltages",
     7,
     {0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0},
     "7,0,0,0,0,0,0,0,0,0,0.0,0.1,0,0"},
    {"SixVolts", 8, {0, 0, 0, 0, 0, 0, 0, 0, 0, 51, 0, 0, 0}, "8,0,0,0,0,0,0,0,0,0,0.0,6.0,0,0"},
};

INSTANTIATE_TEST_SUITE_P(CliCsv, CsvRows, testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CliCsv, FieldsAreQuotedOnlyWhenTheyMustBe) {
    const std::pair<const char*, const char*> cases[] = {
        {"Battery Volts", "Battery Volts"},
        {"12.4", "12.4"},
        {"a,b", "\"a,b\""},
        {"say \"hi\"", "\"say \"\"hi\"\"\""},
        {"two\nlines", "\"two\nlines\""},
    };
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(CsvField(in), out) << in;
    }
}

TEST(CliProgress, BarAndLineShowPercentAndBytes) {
    EXPECT_EQ(ProgressBar(50, 65536, 131072, 10), "[#####.....]  50%  65536/131072 bytes");
    EXPECT_EQ(ProgressBar(0, 0, 1000, 4), "[....]   0%  0/1000 bytes");
    EXPECT_EQ(ProgressBar(100, 1000, 1000, 4), "[####] 100%  1000/1000 bytes");
    EXPECT_EQ(ProgressLine(10, 13312, 131072), "progress  10%  13312/131072 bytes");
    EXPECT_EQ(ProgressLine(100, 1000, 1000), "progress 100%  1000/1000 bytes");
}

TEST(CliProgress, OnlyTheUploadsByteCountsAreBytesSentTexts) {
    EXPECT_TRUE(IsBytesSentText("1024 bytes sent."));
    EXPECT_TRUE(IsBytesSentText("0 bytes sent."));
    EXPECT_FALSE(IsBytesSentText("Retrying block 3"));
    EXPECT_FALSE(IsBytesSentText("Too many resends."));
    EXPECT_FALSE(IsBytesSentText(" bytes sent."));
}

TEST(CliProgress, FailureReasonsFollowHowTheRunEndedAndWhatItShowed) {
    struct Case {
        const char* name;
        TUploadRun run;
        TRunTrace trace;
        const char* reason;
    };
    const Case cases[] = {
        {"resends", TUploadRun::FailedAfterErase, {7, "Too many resends."}, "Too many resends."},
        {"addresses",
         TUploadRun::FailedAfterErase,
         {3, "Too many address attempts."},
         "Too many address attempts."},
        {"silent loader",
         TUploadRun::LoaderSilent,
         {0, ""},
         "The boot loader did not answer; the ECU may need to be switched off and on."},
        {"no erase answer",
         TUploadRun::FailedAfterErase,
         {0, ""},
         "The boot loader did not confirm the erase."},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(UploadFailureReason(c.run, c.trace), c.reason) << c.name;
    }
    EXPECT_EQ(WroteText(131072, std::chrono::milliseconds(16841)),
              "Wrote 131072 bytes (512 blocks) in 16.8 s");
    EXPECT_EQ(WroteText(300, std::chrono::milliseconds(940)),
              "Wrote 300 bytes (2 blocks) in 0.9 s");
}

TEST(CliHex, SummaryCountsBytesAndBlocks) {
    const std::pair<int, const char*> cases[] = {
        {0, "used 0 bytes, 0 blocks"},
        {1, "used 1 bytes, 1 blocks"},
        {256, "used 256 bytes, 1 blocks"},
        {257, "used 257 bytes, 2 blocks"},
        {131072, "used 131072 bytes, 512 blocks"},
    };
    for (const auto& [used, text] : cases) {
        EXPECT_EQ(HexSummary(used), text);
    }
}

TEST(CliLink, RatesAreListedOnceEachInTheOrderTried) {
    EXPECT_EQ(RatesText({5, 9, 6}), "9600, 115200 and 19200 bit/s");
    EXPECT_EQ(RatesText({5, 5, 6}), "9600 and 19200 bit/s");
    EXPECT_EQ(RatesText({7, 7, 7}), "38400 bit/s");
    EXPECT_EQ(RatesText({5, 42, 6}), "9600 and 19200 bit/s");
}

TEST(CliLink, AdviceForAPortThatCannotBeOpened) {
    const std::string denied = PortOpenAdvice("/dev/ttyUSB0", EACCES);
    EXPECT_NE(denied.find("dialout"), std::string::npos) << denied;
    EXPECT_NE(denied.find("/dev/ttyUSB0"), std::string::npos) << denied;
    const std::string missing = PortOpenAdvice("/dev/ttyUSB1", ENOENT);
    EXPECT_NE(missing.find("plugged in"), std::string::npos) << missing;
    EXPECT_NE(missing.find("--port"), std::string::npos) << missing;
    EXPECT_EQ(PortOpenAdvice("/dev/ttyS0", EBUSY), "");
}

}  // namespace
