// Faults a bench throws at the program, run end to end on virtual time: the control thread,
// the session and the upload against the virtual ECU. For each: no crash, no upload reported
// as done that was not, no hang, and recovery once the fault is gone.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "ecu/ecu.h"
#include "ecu/ecucontrol.h"
#include "firmware/flashcmd.h"
#include "firmware/ihexfile.h"
#include "tests/support/recordingui.h"
#include "tests/support/simrig.h"
#include "tests/support/waitfor.h"

namespace {

std::shared_ptr<TIHexFile> Image(int used) {
    auto image = std::make_shared<TIHexFile>();
    for (int i = 0; i < used; ++i) {
        image->data[i] = static_cast<uint8_t>(i * 29 + 3);
    }
    image->data[used - 1] = 0x00;
    image->usedLength = used;
    return image;
}

struct Scenario {
    explicit Scenario(TEcuSimConfig config = {},
                      std::map<std::string, TMemorySettingsStore::TValue> settings = {})
        : ecu(std::move(config), clock.Now()) {
        lib.AttachPeer(&peer);
        store.values = std::move(settings);
        control = std::make_unique<TECUControl>(TECUControlLinks{lib, store, clock}, true);
    }
    ~Scenario() { Stop(); }
    TECU& Session() { return *control->session; }
    TNs Now() { return clock.Now(); }
    uint8_t State() { return Session().linkState.load(); }
    // Stops the program as its exit does; returns how long that took in real time.
    std::chrono::milliseconds Stop() {
        const auto t0 = std::chrono::steady_clock::now();
        control->Stop();
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - t0);
    }

    TManualClock clock;
    TVirtualEcu ecu;
    TVirtualEcuPeer peer{ecu};
    TFakeSerialLibrary lib{clock};
    TMemorySettingsStore store;
    TRecordingProgress progress;
    std::unique_ptr<TECUControl> control;
};

bool KnownUploadText(const std::string& t) {
    return t == "Too many address attempts." || t == "Too many resends." ||
           t.rfind("Retrying block ", 0) == 0 || t.find(" bytes sent.") != std::string::npos;
}

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
    // Eight blocks; "D 0x0200" is the middle one, "D 0x0380 ok" the last before "E". (Which
    // failures close the progress window is checked one by one in the upload's own tests.)
    for (const char* stage : {"ENTER_FLASH", "p", "e", "D 0x0200", "D 0x0380 ok"}) {
        SCOPED_TRACE(stage);
        Scenario s;
        s.control->Start();
        ASSERT_TRUE(WaitFor([&] { return s.State() == kLinkConnected; }));
        auto image = Image(8 * 256);
        s.ecu.UnplugOn(stage);
        // As brindle-cli runs it: every failed run is followed by another.
        auto command = PostFlashCommand(*s.control, image, &s.progress, {0, false});
        ASSERT_TRUE(WaitFor([&] { return command->Failures() >= 1; }));
        EXPECT_NE(command->Outcome(), TFlashOutcome::Completed);
        for (const std::string& t : s.progress.Texts()) {
            EXPECT_TRUE(KnownUploadText(t)) << t;
        }
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

TEST(Scenario, UnpluggedAsTheExitGoesOutStillCompletes) {
    // Every block was acknowledged; "E" itself is never answered.
    Scenario s;
    s.control->Start();
    ASSERT_TRUE(WaitFor([&] { return s.State() == kLinkConnected; }));
    auto image = Image(4 * 256);
    s.ecu.UnplugOn("E");
    auto command = PostFlashCommand(*s.control, image, &s.progress);
    ASSERT_TRUE(WaitFor([&] { return command->Outcome() == TFlashOutcome::Completed; }));
    EXPECT_TRUE(std::equal(image->data.begin(), image->data.end(), s.ecu.Flash().begin()));
}

// A line that only ever carries damaged replies or garbage neither hangs the program nor
// connects it, for thirty seconds; once the fault stops, it connects.
TEST(Scenario, DamagedRepliesOrBabbleNeverConnectUntilTheyStop) {
    struct Case {
        const char* name;
        std::function<void(Scenario&, bool)> fault;
    };
    const Case cases[] = {
        {"bad CRCs", [](Scenario& s, bool on) { s.ecu.CorruptCrc(on ? 1'000'000 : 0); }},
        {"wrong seqs", [](Scenario& s, bool on) { s.ecu.WrongSeq(on ? 1'000'000 : 0); }},
        {"babble", [](Scenario& s, bool on) { s.ecu.SetBabble(on, s.Now()); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Scenario s;
        c.fault(s, true);
        s.control->Start();
        const int64_t t0 = s.clock.NowUs();
        ASSERT_TRUE(WaitFor([&] { return s.clock.NowUs() - t0 > 30'000'000; }, 60000));
        EXPECT_EQ(s.State(), kLinkConnecting);
        c.fault(s, false);
        EXPECT_TRUE(WaitFor([&] { return s.State() == kLinkConnected; }, 60000));
        EXPECT_LT(s.Stop(), std::chrono::milliseconds(1000));
    }
}

TEST(Scenario, BabbleStartingWhileConnectedFallsBackToConnecting) {
    Scenario s;
    s.control->Start();
    ASSERT_TRUE(WaitFor([&] { return s.State() == kLinkConnected; }));
    s.ecu.SetBabble(true, s.Now());
    EXPECT_TRUE(WaitFor([&] { return s.State() == kLinkConnecting; }, 60000));
    EXPECT_LT(s.Stop(), std::chrono::milliseconds(1000));
}

TEST(Scenario, ExitWithNoUploadRunningIsQuickInEveryState) {
    struct Case {
        const char* name;
        std::function<void(Scenario&)> set;
    };
    const Case cases[] = {
        {"connected", [](Scenario&) {}},
        {"no ECU", [](Scenario& s) { s.ecu.SetUnplugged(true, s.Now()); }},
        {"boot loader only", [](Scenario& s) { s.ecu.DropToLoader(s.Now()); }},
        {"babble", [](Scenario& s) { s.ecu.SetBabble(true, s.Now()); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Scenario s;
        c.set(s);
        s.control->Start();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_LT(s.Stop(), std::chrono::milliseconds(1000));
    }
}

}  // namespace
