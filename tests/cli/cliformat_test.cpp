// The texts brindle-cli prints: progress figures, summaries and advice.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "tools/cli/cliformat.h"

namespace {

// "0 bytes sent." and the other texts, on the bar or above it, are the progress view's test.
TEST(CliProgress, OnlyTheUploadsByteCountsAreBytesSentTexts) {
    EXPECT_TRUE(IsBytesSentText("1024 bytes sent."));
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
}

TEST(CliLink, RatesAreListedOnceEachInTheOrderTried) {
    EXPECT_EQ(RatesText({5, 9, 6}), "9600, 115200 and 19200 bit/s");
    EXPECT_EQ(RatesText({7, 7, 7}), "38400 bit/s");
    EXPECT_EQ(RatesText({5, 42, 6}), "9600 and 19200 bit/s");
}

// "dialout" for a device the user may not open is CliPty's, with a real refusal; "plugged
// in" for a missing one CliInProcess's.
TEST(CliLink, AdviceForAPortThatCannotBeOpened) {
    EXPECT_NE(PortOpenAdvice("/dev/ttyUSB0", EACCES).find("/dev/ttyUSB0"), std::string::npos);
    EXPECT_NE(PortOpenAdvice("/dev/ttyUSB1", ENOENT).find("--port"), std::string::npos);
    EXPECT_EQ(PortOpenAdvice("/dev/ttyS0", EBUSY), "");
}

}  // namespace
