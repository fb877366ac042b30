// The serial port object: stored settings, opening, rate changes and the timed byte
// operations, all on a manual clock so every time-out costs no real time.
#include <gtest/gtest.h>

#include <array>

#include "ecu/serialcomm.h"
#include "tests/support/simrig.h"

namespace {

using TValue = TMemorySettingsStore::TValue;

const char kRateWarning[] =
    " is not a rate code (5 to 9 for 9600 to 115200 bit/s); it is used as it is";

// The four settings are read; when one is missing or not an integer the four are written, it
// with its default; an integer out of range is used as it is but named, so "no ECU answered"
// has a visible cause. A store that cannot be opened leaves the defaults and is not written.
TEST(SerialSettings, ConstructionLoadsAndCompletesTheStoredValues) {
    const struct {
        const char* name;
        std::map<std::string, TValue> stored;
        std::array<int, 4> loaded;  // comPort, initBaud, commBaud, loaderBaud
        int writes;
        std::vector<std::string> warnings = {};
        bool unopenable = false;
    } cases[] = {
        {"first start writes the defaults", {}, {0, 5, 5, 6}, 4},
        {"a full key is read as it is and not written",
         {{"comPort", 7}, {"initBaud", 9}, {"commBaud", 5}, {"loaderBaud", 9}},
         {7, 9, 5, 9},
         0},
        {"a value that is not an integer is replaced by its default",
         {{"comPort", std::string("COM3")}, {"initBaud", 6}, {"commBaud", 9}, {"loaderBaud", 6}},
         {0, 6, 9, 6},
         4},
        {"integers out of range load as they are",
         {{"comPort", 12}, {"initBaud", 3}, {"commBaud", -1}, {"loaderBaud", 99}},
         {12, 3, -1, 99},
         0,
         {"the setting comPort=12 is not a port (0 to 7 for Com1 to Com8); it is used as it is",
          std::string("the setting initBaud=3") + kRateWarning,
          std::string("the setting commBaud=-1") + kRateWarning,
          std::string("the setting loaderBaud=99") + kRateWarning}},
        {"an unopenable store", {{"commBaud", 9}}, {0, 5, 5, 6}, 0, {}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TManualClock clock;
        TFakeSerialLibrary lib(clock);
        TMemorySettingsStore store;
        store.values = c.stored;
        store.failOpen = c.unopenable;
        TSerialComm port(lib, store, clock);
        EXPECT_EQ((std::array<int, 4>{port.comPort, port.initBaud, port.commBaud, port.loaderBaud}),
                  c.loaded);
        EXPECT_EQ(port.curBaud, 5);
        if (c.writes > 0) {
            EXPECT_EQ(store.values, (std::map<std::string, TValue>{{"comPort", c.loaded[0]},
                                                                   {"initBaud", c.loaded[1]},
                                                                   {"commBaud", c.loaded[2]},
                                                                   {"loaderBaud", c.loaded[3]}}));
        }
        EXPECT_EQ(store.writes, c.writes);
        EXPECT_FALSE(store.isOpen);
        EXPECT_EQ(port.Settings().RangeWarnings(), c.warnings);
    }
}

TEST(SerialSettings, FailedWriteStopsAndReportsFailureKeepingEarlierValues) {
    TFakePortRig rig;  // its store holds the four defaults
    rig.port.comPort = 2;
    rig.port.initBaud = 7;
    rig.port.commBaud = 9;
    const int before = rig.store.writes;
    rig.store.failWritesAfter = before + 2;
    EXPECT_FALSE(rig.port.SaveSettings());
    EXPECT_EQ(std::get<int32_t>(rig.store.values["comPort"]), 2);
    EXPECT_EQ(std::get<int32_t>(rig.store.values["initBaud"]), 7);
    EXPECT_EQ(std::get<int32_t>(rig.store.values["commBaud"]), 5);  // the failed write
    EXPECT_EQ(rig.store.writes, before + 3);                        // stopped after the failure
}

// A failed reset leaves the port closed with the system's reason; Open sets initBaud, a
// second Open leaves the port alone, and destruction closes it.
TEST(SerialOpen, OpensOnceAtInitBaudKeepsWhyItFailedAndClosesOnDestruction) {
    TManualClock clock;
    TFakeSerialLibrary lib(clock);
    {
        TMemorySettingsStore store;
        TSerialComm port(lib, store, clock);
        lib.SetFailReset(true, "Permission denied");
        EXPECT_FALSE(port.Open());
        EXPECT_FALSE(port.isOpen);
        EXPECT_NE(port.OpenError().find("Permission denied"), std::string::npos);
        uint8_t b = 0x42;
        EXPECT_FALSE(port.ReceiveByte(b));  // a closed port only times out
        EXPECT_EQ(b, 0x42);
        EXPECT_FALSE(port.SetBaud(7));  // nor takes a rate
        EXPECT_EQ(port.curBaud, 5);
        lib.SetFailReset(false);
        port.initBaud = 8;
        ASSERT_TRUE(port.Open());
        EXPECT_TRUE(port.isOpen);
        EXPECT_EQ(lib.BaudCode(), 8);
        EXPECT_EQ(port.curBaud, 8);
        EXPECT_FALSE(port.Open());
        EXPECT_EQ(lib.Resets(), 2);
        EXPECT_TRUE(lib.IsOpen());
    }
    EXPECT_FALSE(lib.IsOpen());
}

// An empty block makes no library call; a rate change waits for what was sent to leave.
TEST(SerialSetBaud, WaitsForTheQueueToDrainThen25Ms) {
    TFakePortRig rig;
    rig.port.SendBlock(nullptr, 0);
    rig.port.SendText(std::string(96, 'U').c_str());  // 96 bytes at 9600 = 100 ms on the wire
    EXPECT_EQ(rig.lib.PutCalls(), 1);
    EXPECT_EQ(rig.lib.SentBytes(), std::vector<uint8_t>(96, 'U'));
    const int64_t start = rig.clock.NowUs();
    ASSERT_TRUE(rig.port.SetBaud(9));
    const int64_t waited = rig.clock.NowUs() - start;
    EXPECT_GE(waited, 100'000 + 25'000);
    EXPECT_LT(waited, 100'000 + 10'000 + 25'000 + 1);
    EXPECT_EQ(rig.port.curBaud, 9);
    EXPECT_EQ(rig.lib.BaudCode(), 9);
    // The last byte left before the rate changed.
    EXPECT_LE(rig.lib.Sent().back().endUs, rig.clock.NowUs() - 25'000);
    // A rate the library refuses is still the one asked for.
    rig.lib.SetFailSetBaud(true);
    EXPECT_FALSE(rig.port.SetBaud(7));
    EXPECT_EQ(rig.port.curBaud, 7);
}

// A byte is returned when it arrives, without sleeping past it; none times out just after
// the 500 ms. Once waits are cancelled, every wait gives up at once.
TEST(SerialReceive, ReturnsTheByteWhenItArrivesOrTimesOut) {
    const struct {
        int64_t arrivalUs;  // -1: none
        bool received;
        int64_t minWaitUs, maxWaitUs;
        bool cancelled = false;
    } cases[] = {{0, true, 0, 0},
                 {300'000, true, 300'000, 300'000},
                 {-1, false, 500'001, 505'000},
                 {300'000, false, 0, 0, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arrivalUs);
        TFakePortRig rig;
        const int64_t start = rig.clock.NowUs();
        if (c.arrivalUs >= 0) {
            rig.lib.AddInput({0x99}, start + c.arrivalUs);
        }
        if (c.cancelled) {
            rig.port.CancelWaits();
            EXPECT_FALSE(rig.port.WaitForText("OK"));
            rig.port.Flush();
        }
        uint8_t b = 7;
        EXPECT_EQ(rig.port.ReceiveByte(b), c.received);
        EXPECT_EQ(b, c.received ? 0x99 : 7);
        EXPECT_GE(rig.clock.NowUs() - start, c.minWaitUs);
        EXPECT_LE(rig.clock.NowUs() - start, c.maxWaitUs);
    }
}

TEST(SerialWaitForText, FindsTheTextWhereverItOccurs) {
    const struct {
        const char* input;
        const char* text;
        bool found;
        const char* rxText;
    } cases[] = {
        {"OOK\r\n", "OK\r\n", true, "OOK\r\n"},  // a repeated first character
        {"O K\r\n", "OK\r\n", false, "O K\r\n"},
        {"garbage\nmore", "\n", true, "garbage\n"},  // stops at the first match
        {"AVREFI", "AVREFI1", false, "AVREFI"},
        {"", "S", false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        TFakePortRig rig;
        // One byte every 400 ms: the time-out applies to each byte, not to the whole wait.
        for (int i = 0; c.input[i]; ++i) {
            rig.lib.AddInput({static_cast<uint8_t>(c.input[i])},
                             rig.clock.NowUs() + 400'000 * (i + 1));
        }
        EXPECT_EQ(rig.port.WaitForText(c.text), c.found);
        EXPECT_EQ(rig.port.rxText, c.rxText);
    }
}

// A flush returns once the line has been silent for longer than the reply time-out, all it
// read discarded, and gives up on a line that never falls silent.
TEST(SerialFlush, GivesUpOnALineThatNeverFallsSilent) {
    const struct {
        const char* name;
        int bytes;
        int64_t gapUs;
        int64_t minTookUs, maxTookUs;
    } cases[] = {
        {"ten bytes, then silence", 10, 100'000, 900'000 + 500'001, 900'000 + 505'000},
        {"fast babble hits the byte bound", 20000, 100, 4000 * 100, 4096 * 100 + 1},
        {"slow babble hits the time bound", 20000, 300'000, 2'000'000, 2'000'000 + 300'000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TFakePortRig rig;
        const int64_t t0 = rig.clock.NowUs();
        for (int i = 0; i < c.bytes; ++i) {
            rig.lib.AddInput({0xAA}, t0 + i * c.gapUs);
        }
        rig.port.Flush();
        EXPECT_GE(rig.clock.NowUs() - t0, c.minTookUs);
        EXPECT_LE(rig.clock.NowUs() - t0, c.maxTookUs);
        if (c.bytes == 10) {
            uint8_t b = 0;
            EXPECT_FALSE(rig.port.ReceiveByte(b, std::chrono::milliseconds(1)));
        }
    }
}

}  // namespace
