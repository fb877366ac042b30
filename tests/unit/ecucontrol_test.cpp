// The ECU control thread: its queue, its notifications and how it stops.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "ecu/clock.h"
#include "ecu/ecu.h"
#include "ecu/ecucontrol.h"
#include "ecu/serialcomm.h"
#include "tests/support/recordingui.h"
#include "tests/support/simrig.h"
#include "tests/support/waitfor.h"

namespace {

struct RunLog {
    std::mutex mutex;
    std::vector<std::string> runs;
    std::atomic<int> destroyed{0};
    void Add(const std::string& s) {
        std::lock_guard<std::mutex> lock(mutex);
        runs.push_back(s);
    }
    std::vector<std::string> Runs() {
        std::lock_guard<std::mutex> lock(mutex);
        return runs;
    }
};

// A command that reports the given results in turn (the last one repeats).
class TScriptCmd : public TECUCmd {
public:
    TScriptCmd(std::string n, std::vector<bool> r, RunLog& l)
        : TECUCmd(nullptr), name(std::move(n)), results(std::move(r)), log(l) {}
    ~TScriptCmd() override { log.destroyed.fetch_add(1); }
    bool Process() override {
        log.Add(name);
        const bool r = results[std::min(next, results.size() - 1)];
        ++next;
        return r;
    }

private:
    std::string name;
    std::vector<bool> results;
    RunLog& log;
    size_t next = 0;
};

// A command that blocks until released.
class TBlockingCmd : public TECUCmd {
public:
    explicit TBlockingCmd(RunLog& l) : TECUCmd(nullptr), log(l) {}
    ~TBlockingCmd() override { log.destroyed.fetch_add(1); }
    bool Process() override {
        log.Add("blocking");
        started.set_value();
        release.get_future().wait();
        finishedProcess.store(true);
        return true;
    }
    std::promise<void> started;
    std::promise<void> release;
    std::atomic<bool> finishedProcess{false};

private:
    RunLog& log;
};

TEST(ECUControl, CommandsTakeTurnsAndUnfinishedOnesGoToTheTail) {
    TSimControlRig rig;
    RunLog log;
    TECUControl control(rig.Links(), true);
    control.PostCommand(
        std::make_shared<TScriptCmd>("A", std::vector<bool>{false, false, true}, log));
    control.PostCommand(std::make_shared<TScriptCmd>("B", std::vector<bool>{true}, log));
    control.Start();
    ASSERT_TRUE(WaitFor([&] { return log.destroyed == 2; }));
    EXPECT_EQ(log.Runs(), (std::vector<std::string>{"A", "B", "A", "A"}));
    EXPECT_EQ(control.QueuedCommands(), 0u);
}

TEST(ECUControl, EveryLinkStateChangeIsReportedOnce) {
    TSimControlRig rig;
    TECUControl control(rig.Links(), true);
    rig.observer.read = [&] { return control.session->linkState.load(); };
    control.Start();
    // Connecting is told at once, before the first connect pass; then each change once.
    ASSERT_TRUE(WaitFor([&] { return rig.observer.count == 2; }));
    rig.ecu.SetUnplugged(true, rig.clock.Now());
    ASSERT_TRUE(WaitFor([&] { return rig.observer.count == 3; }));
    rig.ecu.SetUnplugged(false, rig.clock.Now());
    ASSERT_TRUE(WaitFor([&] { return rig.observer.count == 4; }));
    control.Stop();
    EXPECT_EQ(control.session->linkState, kLinkConnected);  // a stop leaves it as it was
    EXPECT_EQ(rig.observer.States(),
              (std::vector<int>{kLinkConnecting, kLinkConnected, kLinkConnecting, kLinkConnected}));
    EXPECT_EQ(rig.panels.Text(kPanelBoard), "Board: 1.2 SN: 258");
}

TEST(ECUControl, StopDuringAConnectAttemptIsQuick) {
    // Real time; nothing answers, so a connect pass would take about 6 s.
    TFakeSerialLibrary lib(TSteadyClock::Instance());
    TMemorySettingsStore store;
    TECUControl control({lib, store, TSteadyClock::Instance()});
    ASSERT_TRUE(WaitFor([&] { return lib.SentCount() > 0; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto t0 = std::chrono::steady_clock::now();
    control.Stop();
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_LT(took, std::chrono::milliseconds(1000));
    EXPECT_EQ(control.session->linkState, kLinkConnecting);  // giving up changes nothing
    EXPECT_FALSE(lib.IsOpen());
}

// Posting while a command runs does not wait for it (the user interface posts while an upload
// runs and hands its progress to that thread). A stop returns only once the command under way
// has ended; the commands queued behind it are destroyed without running. A thread that never
// started is destroyed without running its commands.
TEST(ECUControl, StopWaitsForTheCommandUnderWayAndDropsTheQueue) {
    TSimControlRig rig;
    RunLog log;
    {
        TECUControl never(rig.Links(), true);
        never.PostCommand(std::make_shared<TScriptCmd>("A", std::vector<bool>{true}, log));
    }
    EXPECT_EQ(log.destroyed, 1);
    {
        TECUControl control(rig.Links());
        auto blocking = std::make_shared<TBlockingCmd>(log);
        control.PostCommand(blocking);
        blocking->started.get_future().wait();
        control.PostCommand(std::make_shared<TScriptCmd>("B", std::vector<bool>{true}, log));
        control.PostCommand(std::make_shared<TScriptCmd>("C", std::vector<bool>{true}, log));
        EXPECT_EQ(control.QueuedCommands(), 2u);
        auto stopped = std::async(std::launch::async, [&] {
            control.Stop();
            return blocking->finishedProcess.load();
        });
        EXPECT_EQ(stopped.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
        blocking->release.set_value();
        EXPECT_TRUE(stopped.get());
        EXPECT_EQ(control.QueuedCommands(), 0u);  // dropped as the thread ended
        blocking.reset();
    }
    EXPECT_EQ(log.Runs(), std::vector<std::string>{"blocking"});
    EXPECT_EQ(log.destroyed, 1 + 3);
}

// A missing adapter: the error is shown once; then the port is tried every second, the
// session left alone meanwhile, and the link connects once the device is there.
TEST(ECUControl, PortThatCannotBeOpenedIsShownOnceThenTriedEverySecond) {
    TSimControlRig rig;
    rig.lib.SetFailReset(true, "Permission denied");
    TECUControl control(rig.Links(), true);
    rig.observer.read = [&] { return control.session->linkState.load(); };
    control.Start();
    ASSERT_TRUE(WaitFor([&] { return rig.observer.count >= 1; }));
    EXPECT_FALSE(control.PortOpen());
    // The thread runs on freely: compare the tries with the virtual time around them.
    const int resets0 = rig.lib.Resets();
    const int64_t t0 = rig.clock.NowUs();
    ASSERT_TRUE(WaitFor([&] { return rig.clock.NowUs() - t0 >= 5'000'000; }));
    const int64_t before = rig.clock.NowUs();
    const int tries = rig.lib.Resets() - resets0;
    const int64_t after = rig.clock.NowUs();
    EXPECT_GE(tries, (before - t0) / 1'000'000 - 1);
    EXPECT_LE(tries, (after - t0) / 1'000'000 + 2);
    EXPECT_EQ(rig.lib.SentCount(), 0u);  // nothing sent to a port that is not open
    rig.lib.SetFailReset(false);
    ASSERT_TRUE(WaitFor([&] { return control.session->linkState == kLinkConnected; }));
    EXPECT_TRUE(control.PortOpen());
    control.Stop();
    const auto shown = rig.messages.Shown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, "Comm port is in use!");
    EXPECT_EQ(shown[0].caption, "Error!");
    EXPECT_EQ(shown[0].icon, TMessageIcon::Error);
    EXPECT_NE(shown[0].detail.find("Permission denied"), std::string::npos);
    EXPECT_EQ(rig.observer.States()[0], kLinkConnecting);
}

}  // namespace
