// The control thread on a real pseudo-terminal with brindle-ecusim, in real time.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <thread>

#include "ecu/clock.h"
#include "ecu/ecu.h"
#include "ecu/ecucontrol.h"
#include "ecu/serialcomm.h"
#include "tests/integration/ptyecu.h"
#include "tests/support/recordingui.h"
#include "tests/support/waitfor.h"

namespace {

TEST(ECUControlPty, ConnectsSwitchesTo115200PollsAndSurvivesAnUnplug) {
    TPtyEcu pty({}, {{"comPort", 0}, {"initBaud", 5}, {"commBaud", 9}, {"loaderBaud", 6}});
    TChildProcess& sim = pty.sim;
    TRecordingPanels panels;
    TRecordingObserver observer;
    TECUControl control(
        {*pty.lib, pty.store, TSteadyClock::Instance(), &panels, &observer, nullptr});
    TECU& session = *control.session;

    ASSERT_TRUE(WaitFor([&] { return session.linkState == kLinkConnected; }, 15000));
    EXPECT_EQ(control.serial->curBaud, 9);
    EXPECT_EQ(panels.Text(kPanelFirmware), "Firmware Revision: 1.4.12");
    sim.WriteLine("status");
    EXPECT_NE(sim.WaitForLine("status", 2000).find("baud=115200"), std::string::npos);

    // Records keep coming: the engine's values move.
    const SensorRecord first = session.SensorsSnapshot();
    EXPECT_TRUE(WaitFor([&] { return session.SensorsSnapshot() != first; }, 3000));

    sim.WriteLine("unplug");
    ASSERT_EQ(sim.WaitForLine("ok", 2000), "ok unplug");
    const auto unplugged = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitFor([&] { return session.linkState == kLinkConnecting; }, 5000));
    const auto noticed = std::chrono::steady_clock::now() - unplugged;
    EXPECT_LT(noticed, std::chrono::milliseconds(2500));

    sim.WriteLine("plug");
    ASSERT_EQ(sim.WaitForLine("ok", 2000), "ok plug");
    EXPECT_TRUE(WaitFor([&] { return session.linkState == kLinkConnected; }, 20000));

    control.Stop();
    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.Wait(5000), 0);
}

}  // namespace
