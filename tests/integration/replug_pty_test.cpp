// A USB adapter pulled out and put back under the same name, with brindle-ecusim's "replug":
// the serial layer notices, keeps looking for the device and the session reconnects alone.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>

#include "ecu/clock.h"
#include "ecu/ecu.h"
#include "ecu/ecucontrol.h"
#include "ecu/serialcomm.h"
#include "platform/posixserial.h"
#include "tests/support/childprocess.h"
#include "tests/support/memorysettings.h"
#include "tests/support/waitfor.h"

namespace {

// Put back at once, the session goes on (through "Connecting" if the gap outlasted the
// keep-alive); away for longer than the keep-alive, it goes to "Connecting" first. Either
// way it is "Connected" again within seconds of the device's return.
TEST(ReplugPty, SessionReturnsToConnectedWhenTheDeviceComesBack) {
    for (const std::string replug : {"replug", "replug 2500"}) {
        SCOPED_TRACE(replug);
        const std::string link = testing::TempDir() + "/brindle-ecu-" + std::to_string(getpid());
        TChildProcess sim;  // ended last, after the port
        ASSERT_FALSE(sim.StartEcuSim({"--link", link}).empty());
        TPortMap map;
        map.SetRunOverride(link);
        TPosixSerialLibrary lib(map);
        TMemorySettingsStore store;
        TECUControl control({lib, store, TSteadyClock::Instance()});
        TECU& session = *control.session;
        ASSERT_TRUE(WaitFor([&] { return session.linkState == kLinkConnected; }, 15000));

        uint64_t before = 0;
        session.SensorsSnapshot(&before);
        sim.Write(replug + "\n");
        if (replug != "replug") {  // the long gap
            ASSERT_TRUE(WaitFor([&] { return session.linkState == kLinkConnecting; }, 5000));
        }
        ASSERT_FALSE(sim.WaitForLine("replugged", 10000).empty());
        const auto back = std::chrono::steady_clock::now();
        // The old terminal is gone; the serial layer finds the new one under the same name.
        ASSERT_TRUE(WaitFor([&] { return lib.Reopens() == 1; }, 5000));
        uint64_t after = 0;
        ASSERT_TRUE(WaitFor(
            [&] {
                session.SensorsSnapshot(&after);
                return session.linkState == kLinkConnected && after > before + 10;
            },
            20000));
        EXPECT_LT(std::chrono::steady_clock::now() - back, std::chrono::seconds(5));
        EXPECT_FALSE(lib.Lost(control.serial->comPort));

        const auto t0 = std::chrono::steady_clock::now();
        control.Stop();
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
        sim.Signal(SIGTERM);
        EXPECT_EQ(sim.Wait(5000), 0);
    }
}

}  // namespace
