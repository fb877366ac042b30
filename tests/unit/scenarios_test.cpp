// Faults a bench throws at the program, run end to end on virtual time: the control thread,
// the session and the upload against the virtual ECU. For each: no crash, no upload reported
// as done that was not, no hang, and recovery once the fault is gone.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>

#include "ecu/ecu.h"
#include "ecu/ecucontrol.h"
#include "firmware/flashcmd.h"
#include "firmware/ihexfile.h"
#include "tests/support/recordingui.h"
#include "tests/support/simrig.h"
#include "tests/support/waitfor.h"

namespace {

struct Scenario : TSimControlRig {
    explicit Scenario(TEcuSimConfig config = {},
                      std::map<std::string, TMemorySettingsStore::TValue> settings = {})
        : TSimControlRig(std::move(config), std::move(settings)),
          control(std::make_unique<TECUControl>(TECUControlLinks{lib, store, clock}, true)) {}
    ~Scenario() { Stop(); }
    uint8_t State() { return control->session->linkState.load(); }
    // Stops the program as its exit does; returns how long that took in real time.
    std::chrono::milliseconds Stop() {
        const auto t0 = std::chrono::steady_clock::now();
        control->Stop();
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - t0);
    }
    std::unique_ptr<TECUControl> control;
};

TEST(Scenario, UnpluggedWhileConnectingIdentifyingOrSwitchingRate) {
    for (const char* stage : {"Mas", "ACK", "GET_VERSION", "GET_HWSIG", "SET_BAUD"}) {
        SCOPED_TRACE(stage);
        Scenario s({}, {{"commBaud", 9}});
        s.ecu.UnplugOn(stage);
        s.control->Start();
        ASSERT_TRUE(WaitFor([&] { return s.ecu.Unplugged(); }));
        // Some virtual seconds on: still looking for the ECU, never "connected".
        const int64_t t0 = s.clock.NowUs();
        ASSERT_TRUE(WaitFor([&] { return s.clock.NowUs() - t0 > 20'000'000; }));
        EXPECT_EQ(s.State(), kLinkConnecting);
        s.ecu.SetUnplugged(false, s.Now());
        EXPECT_TRUE(WaitFor([&] { return s.State() == kLinkConnected; }));
        EXPECT_EQ(s.lib.BaudCode(), 9);
        EXPECT_LT(s.Stop(), std::chrono::milliseconds(1000));
    }
}

TEST(Scenario, UnpluggedDuringAnUploadIsNeverReportedAsDoneAndRecovers) {
    // Eight blocks; "D 0x0200" is the middle one, "D 0x0380 ok" the last before "E". (The
    // status texts of a run cut off anywhere are checked by the upload fuzzer.)
    for (const char* stage : {"ENTER_FLASH", "p", "e", "D 0x0200", "D 0x0380 ok"}) {
        SCOPED_TRACE(stage);
        Scenario s;
        s.control->Start();
        ASSERT_TRUE(WaitFor([&] { return s.State() == kLinkConnected; }));
        auto image = TestImage(8 * 256);
        s.ecu.UnplugOn(stage);
        // As brindle-cli runs it: every failed run is followed by another.
        auto command = PostFlashCommand(*s.control, image, &s.progress, {0, false});
        ASSERT_TRUE(WaitFor([&] { return command->Failures() >= 1; }));
        EXPECT_NE(command->Outcome(), TFlashOutcome::Completed);
        // The cable back in, the retries get the ECU flashed from the start.
        s.ecu.SetUnplugged(false, s.Now());
        ASSERT_TRUE(WaitFor([&] { return command->Outcome() == TFlashOutcome::Completed; }, 60000))
            << "runs " << command->Runs();
        const std::vector<uint8_t> flash = s.ecu.Flash();
        EXPECT_TRUE(std::equal(image->data.begin(), image->data.end(), flash.begin()));
        EXPECT_TRUE(WaitFor([&] { return s.State() == kLinkConnected; }));
        EXPECT_LT(s.Stop(), std::chrono::milliseconds(1000));
    }
}

// A line that only ever carries garbage neither hangs the program nor connects it, for
// thirty seconds; once the babble stops, it connects. (Damaged replies fail their exchange
// in the session's own tests.)
TEST(Scenario, BabbleNeverConnectsUntilItStops) {
    Scenario s;
    s.ecu.SetBabble(true, s.Now());
    s.control->Start();
    const int64_t t0 = s.clock.NowUs();
    ASSERT_TRUE(WaitFor([&] { return s.clock.NowUs() - t0 > 30'000'000; }, 60000));
    EXPECT_EQ(s.State(), kLinkConnecting);
    s.ecu.SetBabble(false, s.Now());
    EXPECT_TRUE(WaitFor([&] { return s.State() == kLinkConnected; }, 60000));
    EXPECT_LT(s.Stop(), std::chrono::milliseconds(1000));
}

// Whatever the link is doing, the exit is quick (connected: see the tests above). Babble that
// starts on a connected link takes it back to "Connecting".
TEST(Scenario, ExitWithNoUploadRunningIsQuickInEveryState) {
    struct Case {
        const char* name;
        std::function<void(Scenario&)> before;  // before the start
        std::function<void(Scenario&)> after;   // once the link is connected
        uint8_t state;
    };
    const auto babble = [](Scenario& s) { s.ecu.SetBabble(true, s.Now()); };
    const Case cases[] = {
        {"boot loader only", [](Scenario& s) { s.ecu.DropToLoader(s.Now()); }, nullptr,
         kLinkLoader},
        {"babble", babble, nullptr, kLinkConnecting},
        {"babble once connected", nullptr, babble, kLinkConnecting},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Scenario s;
        if (c.before) {
            c.before(s);
        }
        s.control->Start();
        if (c.after) {
            ASSERT_TRUE(WaitFor([&] { return s.State() == kLinkConnected; }));
            c.after(s);
            ASSERT_TRUE(WaitFor([&] { return s.State() != kLinkConnected; }, 60000));
        }
        // Under way in that state (for babble, inside a connect pass).
        ASSERT_TRUE(WaitFor([&] { return s.State() == c.state && s.clock.NowUs() > 2'000'000; }));
        EXPECT_LT(s.Stop(), std::chrono::milliseconds(1000));
    }
}

}  // namespace
