// What both serial libraries over the system's own devices (termios and Win32) must do,
// written once and run by each platform's test program over a rig of its own:
//   TLib                 the library;
//   lib                  a TLib whose port 0 is one end of a line, not yet opened;
//   Spoil()              leaves that end as another program might (not raw 8N1, with flow
//                        control) before the library opens it;
//   ExpectRaw8N1(bps)    checks that end: bps, 8N1, raw, no flow control;
//   Send(text), Drain()  the far end of the line: writes; reads what arrives;
//   CpuSeconds()         the processor time this process has used;
//   kMissing, kMissingReason, kNotSerial  a device that does not exist with the system's
//                        words for that, and a device that is no serial port.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "ecu/seriallibrary.h"
#include "platform/portmap.h"

// A port map whose every port is `device`.
inline TPortMap MapTo(const std::string& device) {
    TPortMap map;
    map.SetRunOverride(device);
    return map;
}

// Everything that arrives on `lib`'s port 0 within `quietMs` of the last byte.
inline std::string DrainPort(TSerialLibrary& lib, int quietMs = 100) {
    std::string got;
    while (lib.WaitReadable(0, std::chrono::milliseconds(quietMs))) {
        for (int c; (c = lib.GetByte(0)) != TSerialLibrary::kNoByte;) {
            got.push_back(static_cast<char>(c));
        }
    }
    return got;
}

template <class TRig>
class SystemSerial : public testing::Test {};
TYPED_TEST_SUITE_P(SystemSerial);

// Every rate code sets its rate and leaves the line raw 8N1 without flow control, whatever
// it was before; an unknown code changes nothing.
TYPED_TEST_P(SystemSerial, EveryRateIsRaw8N1) {
    TypeParam rig;
    rig.Spoil();
    ASSERT_EQ(rig.lib.SetLineFormat(TSerialLibrary::kAllPorts, 0, 0, 8), 0);
    ASSERT_EQ(rig.lib.Reset(0, 1024, 1024), 0) << rig.lib.LastError(0);
    const int rates[] = {9600, 19200, 38400, 57600, 115200};
    for (int code = 5; code <= 9; ++code) {
        SCOPED_TRACE(code);
        EXPECT_EQ(rig.lib.SetBaud(0, code), 0);
        rig.ExpectRaw8N1(rates[code - 5]);
    }
    EXPECT_LT(rig.lib.SetBaud(0, 4), 0);
    EXPECT_LT(rig.lib.SetBaud(0, 10), 0);
    rig.ExpectRaw8N1(115200);
}

TYPED_TEST_P(SystemSerial, BytesTravelBothWaysUnchanged) {
    TypeParam rig;
    ASSERT_EQ(rig.lib.Reset(0, 1024, 1024), 0) << rig.lib.LastError(0);
    // Every byte value, including CR, LF, NUL, XON/XOFF, Ctrl-Z and the interrupt characters.
    std::string all;
    for (int i = 0; i < 256; ++i) {
        all.push_back(static_cast<char>(i));
    }
    EXPECT_EQ(rig.lib.PutByte(0, 0x0A), 0);
    EXPECT_EQ(rig.lib.PutBlock(0, reinterpret_cast<const uint8_t*>(all.data()), 256), 256);
    EXPECT_EQ(rig.Drain(), "\n" + all);
    rig.Send(all);
    EXPECT_EQ(DrainPort(rig.lib), all);
    EXPECT_EQ(rig.lib.TxQueueLength(0), 0);
}

TYPED_TEST_P(SystemSerial, WaitsSleepAndEndWithTheFirstByte) {
    TypeParam rig;
    ASSERT_EQ(rig.lib.Reset(0, 1024, 1024), 0) << rig.lib.LastError(0);
    using namespace std::chrono;
    const auto msSince = [](steady_clock::time_point t0) {
        return duration_cast<milliseconds>(steady_clock::now() - t0).count();
    };
    // Nothing arrives: the whole wait passes, asleep.
    const double cpu0 = rig.CpuSeconds();
    auto t0 = steady_clock::now();
    for (int i = 0; i < 20; ++i) {
        EXPECT_FALSE(rig.lib.WaitReadable(0, milliseconds(10)));
    }
    EXPECT_GE(msSince(t0), 190);
    EXPECT_LT(msSince(t0), 1000);
    EXPECT_LT(rig.CpuSeconds() - cpu0, 0.05);

    // A byte that comes 50 ms into a long wait ends it.
    std::thread sender([&rig] {
        std::this_thread::sleep_for(milliseconds(50));
        rig.Send("x");
    });
    t0 = steady_clock::now();
    EXPECT_TRUE(rig.lib.WaitReadable(0, milliseconds(2000)));
    const auto waited = msSince(t0);
    sender.join();
    EXPECT_GE(waited, 40);
    EXPECT_LT(waited, 1000);
    EXPECT_EQ(rig.lib.GetByte(0), 'x');
}

// Reset opens (a reset of an open port reopens it), Close closes; a missing device or one that is
// no serial port fails with the system's reason; port numbers outside 0..7 have no device.
TYPED_TEST_P(SystemSerial, OpeningClosingAndWhyAnOpenFailed) {
    using TLib = typename TypeParam::TLib;
    TypeParam rig;
    ASSERT_EQ(rig.lib.Reset(0, 1024, 1024), 0) << rig.lib.LastError(0);
    ASSERT_EQ(rig.lib.Reset(0, 1024, 1024), 0) << rig.lib.LastError(0);
    EXPECT_EQ(rig.lib.Close(0), 0);
    EXPECT_EQ(rig.lib.GetByte(0), TSerialLibrary::kNoByte);
    EXPECT_LT(rig.lib.PutByte(0, 1), 0);
    const struct {
        std::string device;
        int result;
        std::string reason;
    } cases[] = {
        {TypeParam::kMissing, TLib::kErrOpen, TypeParam::kMissingReason},
        {TypeParam::kNotSerial, TLib::kErrNotSerial, "not a serial device"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.device);
        TLib other(MapTo(c.device));
        EXPECT_EQ(other.Reset(0, 1024, 1024), c.result);
        EXPECT_NE(other.LastError(0).find(c.device), std::string::npos) << other.LastError(0);
        EXPECT_NE(other.LastError(0).find(c.reason), std::string::npos) << other.LastError(0);
        EXPECT_EQ(other.GetByte(0), TSerialLibrary::kNoByte);
    }
    TLib unmapped;
    EXPECT_EQ(unmapped.Reset(8, 1024, 1024), TLib::kErrNoDevice);
    EXPECT_EQ(unmapped.Reset(-1, 1024, 1024), TLib::kErrNoDevice);
    EXPECT_FALSE(unmapped.LastError(8).empty());
}

REGISTER_TYPED_TEST_SUITE_P(SystemSerial, EveryRateIsRaw8N1, BytesTravelBothWaysUnchanged,
                            WaitsSleepAndEndWithTheFirstByte, OpeningClosingAndWhyAnOpenFailed);
