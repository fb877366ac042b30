// The boot-loader upload against the virtual ECU on virtual time.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "ecu/ecu.h"
#include "ecu/ecucontrol.h"
#include "ecu/packet.h"
#include "firmware/flashcmd.h"
#include "firmware/ihexfile.h"
#include "firmware/upload.h"
#include "tests/support/recordingui.h"
#include "tests/support/simrig.h"
#include "tests/support/waitfor.h"

namespace {

struct UploadRig : TSimRig {
    explicit UploadRig(TEcuSimConfig config = {})
        : TSimRig(std::move(config)), session(port.get()) {
        session.linkState = kLinkConnecting;
    }
    bool Connect() {
        session.Step();
        return session.linkState == kLinkConnected;
    }
    TECU session;
    TRecordingProgress progress;
};

// Images of every shape end with the flash holding them and the rest of their last block
// erased. (The progress positions and texts of every run are checked by the upload fuzzer.)
TEST(Upload, ImagesOfEverySizeEndInTheFlash) {
    // 0: still enters, identifies, erases and exits; 257: the second block holds 1 byte and
    // padding; a full image: every block, the last at word address 0xFF80.
    for (const int used : {0, 256, 257, kFirmwareImageBytes}) {
        SCOPED_TRACE(used);
        UploadRig rig;
        ASSERT_TRUE(rig.Connect());
        rig.ecu.ClearTranscript();
        const auto image = TestImage(used);
        EXPECT_EQ(TUpload(rig.session, *image, rig.progress).Run(), TUploadRun::Completed);
        const std::vector<uint8_t> flash = rig.ecu.Flash();
        EXPECT_TRUE(std::equal(image->data.begin(), image->data.begin() + used, flash.begin()));
        const int blocks = (used + 255) / 256;
        EXPECT_TRUE(std::all_of(flash.begin() + used, flash.begin() + blocks * 256,
                                [](uint8_t b) { return b == 0xFF; }));
        EXPECT_EQ(rig.ecu.Counters().pagesWritten, blocks);
        EXPECT_EQ(rig.ecu.Counters().rejectedWrites, 0);
        EXPECT_EQ(rig.session.linkState, kLinkConnecting);
        if (used == kFirmwareImageBytes) {
            // The new firmware runs and the session finds it again.
            rig.session.Step();
            EXPECT_EQ(rig.session.linkState, kLinkConnected);
        }
        if (used == 0) {
            rig.lib.WaitReadable(0, std::chrono::milliseconds(20));  // the ECU takes the "E"
            const auto t = rig.ecu.Transcript();
            ASSERT_GE(t.size(), 4u);
            EXPECT_EQ(std::vector<std::string>(t.end() - 4, t.end()),
                      (std::vector<std::string>{"p", "S", "e",
                                                "E (no firmware, staying in the boot loader)"}));
        }
    }
}

TEST(Upload, BlockNeverAcknowledgedGetsSixWritesThenTooManyResends) {
    UploadRig rig;
    ASSERT_TRUE(rig.Connect());
    rig.ecu.NackBlock(1);
    rig.ecu.ClearTranscript();
    EXPECT_EQ(TUpload(rig.session, *TestImage(4 * 256), rig.progress).Run(),
              TUploadRun::FailedAfterErase);
    const auto commands = rig.ecu.Transcript();
    EXPECT_EQ(rig.ecu.Counters().unansweredWrites, 6);
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "A 0x0080"), 6);
    const auto texts = rig.progress.Texts();
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.back(), "Too many resends.");
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "Retrying block 1"), 6);
    EXPECT_EQ(rig.session.linkState, kLinkConnected);  // left as it was found
}

// A cable pulled in the middle of a block leaves the boot loader inside that write command.
// Once plugged back, the next run completes the command with filler before its handshake and
// goes through, without a power cycle; the filler programs nothing.
TEST(Upload, RunAfterACutInsideABlockSucceedsWithoutAPowerCycle) {
    for (int cut : {1, 130, 262}) {
        SCOPED_TRACE(cut);
        UploadRig rig;
        ASSERT_TRUE(rig.Connect());
        auto image = TestImage(4 * 256);
        struct CutBlockOne : TRecordingProgress {
            TVirtualEcu* ecu = nullptr;
            int cut = 0;
            void SetPosition(int p) override {
                TRecordingProgress::SetPosition(p);
                if (p == 25 && cut > 0) {
                    ecu->CutWrite(cut);
                    cut = 0;  // once: the run's retries of block 1 go out to a pulled cable
                }
            }
        } progress;
        progress.ecu = &rig.ecu;
        progress.cut = cut;
        EXPECT_EQ(TUpload(rig.session, *image, progress).Run(), TUploadRun::FailedAfterErase);
        EXPECT_EQ(progress.Texts().back(), "Too many address attempts.");
        rig.ecu.SetUnplugged(false, rig.Now());
        rig.session.linkState = kLinkLoader;  // as the session finds it
        EXPECT_EQ(TUpload(rig.session, *image, rig.progress).Run(), TUploadRun::Completed);
        EXPECT_TRUE(std::equal(image->data.begin(), image->data.end(), rig.ecu.Flash().begin()));
        EXPECT_EQ(rig.ecu.Counters().pagesWritten, 1 + 4);
    }
}

TEST(Upload, EraseIsWaitedForFourSeconds) {
    UploadRig rig;
    ASSERT_TRUE(rig.Connect());
    rig.ecu.SetNoEraseAnswer(true);
    const int64_t t0 = rig.clock.NowUs();
    EXPECT_EQ(TUpload(rig.session, *TestImage(256), rig.progress).Run(),
              TUploadRun::FailedAfterErase);
    EXPECT_GT(rig.clock.NowUs() - t0, 4'000'000);  // the erase's own time-out, not 500 ms
    EXPECT_LT(rig.clock.NowUs() - t0, 4'700'000);
}

// How a command ends, decided on the control thread and stored before it is reported.
TEST(FlashCommand, OutcomesAndWhetherTheFirmwareWasErased) {
    using E = TVirtualEcu;
    using O = TFlashOutcome;
    struct Case {
        const char* name;
        std::function<void(E&, TNs)> fault;
        TFlashPolicy policy;
        O outcome;
        bool eraseSent;
        int runs;
    };
    const Case cases[] = {
        // Every block was acknowledged; "E" itself is never answered.
        {"unplugged at the exit", [](E& e, TNs) { e.UnplugOn("E"); }, {}, O::Completed, false, 1},
        // "Too many resends." in block 0, then a run that completes.
        {"failed after erase", [](E& e, TNs) { e.NackWrites(6); }, {}, O::Completed, true, 2},
        {"silent loader",
         [](E& e, TNs t) { e.SetUnplugged(true, t); },
         {3, false},
         O::FailedBeforeErase,
         false,
         3},
        {"unanswered", [](E& e, TNs) { e.NackBlock(1); }, {2, true}, O::FailedAfterErase, true, 2},
        // A first run that erased and wrote, a second one that heard nothing: the firmware is
        // gone, whatever the last run saw.
        {"erased, then silent",
         [](E& e, TNs) { e.UnplugOn("D 0x0100 ok"); },
         {},
         O::FailedAfterErase,
         true,
         2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TEcuSimConfig config;
        config.startInLoader = true;
        TSimControlRig rig(config);
        TECUControl control(rig.Links(), true);
        rig.observer.read = [&] { return control.session->linkState.load(); };
        control.Start();
        ASSERT_TRUE(WaitFor([&] { return control.session->linkState == kLinkLoader; }));
        c.fault(rig.ecu, rig.clock.Now());
        const auto image = TestImage(4 * 256);
        auto command = PostFlashCommand(control, image, &rig.progress, c.policy);
        // Whatever reads the command when its end is reported finds its outcome stored.
        ASSERT_TRUE(WaitFor(
            [&] { return rig.commands.Count("finished " + std::to_string(command->Id())) == 1; }));

        EXPECT_EQ(command->Outcome(), c.outcome);
        EXPECT_EQ(command->EraseSent(), c.eraseSent);
        EXPECT_EQ(command->Runs(), c.runs);
        EXPECT_EQ(control.QueuedCommands(), 0u);
        EXPECT_EQ(rig.commands.Count("failed " + std::to_string(command->Id())),
                  command->Failures());
        if (c.outcome == TFlashOutcome::Completed) {
            EXPECT_EQ(command->Failures(), c.runs - 1);
            EXPECT_TRUE(
                std::equal(image->data.begin(), image->data.end(), rig.ecu.Flash().begin()));
        }
        // An update that did not complete has the session look for the ECU afresh, and say
        // so: "Connecting" is reported a second time (after the start's).
        const auto connecting = [&] {
            const std::vector<int> states = rig.observer.States();
            return std::count(states.begin(), states.end(), kLinkConnecting);
        };
        if (c.outcome != TFlashOutcome::Completed) {
            EXPECT_TRUE(WaitFor([&] { return connecting() >= 2; }));
        }
    }
}

// The end of a command is reported only once its outcome is stored: the control thread is
// held in the report while the command is read.
TEST(FlashCommand, ACompletedUploadIsStoredBeforeItIsReported) {
    struct THeld : TRecordingCommands {
        std::shared_ptr<TECUFlashCmd> command;
        std::atomic<bool> release{false};
        std::atomic<int> seenAtReport{-1};
        void CommandFinished(uint64_t c) override {
            seenAtReport = static_cast<int>(command->Outcome());
            while (!release.load()) {
                std::this_thread::yield();
            }
            TRecordingCommands::CommandFinished(c);
        }
    } held;
    TEcuSimConfig config;
    config.startInLoader = true;
    TSimControlRig rig(config);
    TECUControlLinks links = rig.Links();
    links.commands = &held;
    TECUControl control(links, true);
    held.command = std::make_shared<TECUFlashCmd>(control.session, TestImage(2 * 256),
                                                  &rig.progress, TFlashPolicy{}, &held);
    control.PostCommand(held.command);
    control.Start();
    ASSERT_TRUE(WaitFor([&] { return held.seenAtReport.load() >= 0; }));
    EXPECT_EQ(held.seenAtReport.load(), static_cast<int>(TFlashOutcome::Completed));
    held.release = true;
    control.Stop();
}

// A window that is not shown any more cannot be followed by a run: a boot loader that did
// not answer ends the command on the control thread, however long the user interface takes.
TEST(FlashCommand, NoRunFollowsASilentLoaderHoweverSlowTheUserInterfaceIs) {
    TSimControlRig rig;
    TECUControl control(rig.Links());
    ASSERT_TRUE(WaitFor([&] { return control.session->linkState == kLinkConnected; }));
    rig.ecu.UnplugOn("ENTER_FLASH");
    auto command = PostFlashCommand(control, TestImage(256), &rig.progress);
    ASSERT_TRUE(WaitFor([&] { return command->Outcome() != TFlashOutcome::Pending; }));
    // The user interface is held while the control thread goes on for a minute of its time,
    // with the ECU back and answering.
    rig.ecu.SetUnplugged(false, rig.clock.Now());
    const int64_t t0 = rig.clock.NowUs();
    ASSERT_TRUE(WaitFor([&] { return rig.clock.NowUs() - t0 > 60'000'000; }));
    EXPECT_EQ(command->Runs(), 1);
    EXPECT_EQ(command->Outcome(), TFlashOutcome::FailedBeforeErase);
    EXPECT_EQ(rig.ecu.Counters().erases, 0);
}

// An abandoned command leaves the queue at once and never runs; a later command is not
// touched by it (its end was reported before the later one was queued).
TEST(FlashCommand, AbandonedCommandLeavesTheQueueAtOnceAndTouchesNoOther) {
    TSimControlRig rig;
    TECUControl control(rig.Links(), /*createSuspended=*/true);
    auto first = PostFlashCommand(control, TestImage(256), &rig.progress);
    control.Abandon(first);
    EXPECT_EQ(control.QueuedCommands(), 0u);
    EXPECT_EQ(first->Outcome(), TFlashOutcome::Abandoned);
    EXPECT_FALSE(first->EraseSent());
    auto second = PostFlashCommand(control, TestImage(256), &rig.progress);
    control.Start();
    ASSERT_TRUE(WaitFor([&] { return second->Outcome() == TFlashOutcome::Completed; }));
    control.Stop();
    EXPECT_EQ(first->Runs(), 0);
    const std::string a = std::to_string(first->Id()), b = std::to_string(second->Id());
    EXPECT_EQ(rig.commands.Reports(), (std::vector<std::string>{"finished " + a, "started " + b,
                                                                "finished " + b, "ended"}));
}

TEST(FlashCommand, AbandonDuringARunEndsItAfterThatRun) {
    TSimControlRig rig;
    rig.ecu.NackBlock(0);  // never succeeds
    TECUControl control(rig.Links());
    ASSERT_TRUE(WaitFor([&] { return control.session->linkState == kLinkConnected; }));
    // Abandoned from inside its first run, as a click during the upload would.
    struct TAbandonInRun : TRecordingProgress {
        std::function<void()> abandon;
        void SetStatusText(const std::string& t) override {
            TRecordingProgress::SetStatusText(t);
            if (abandon) {
                abandon();
                abandon = nullptr;
            }
        }
    } progress;
    auto command = std::make_shared<TECUFlashCmd>(control.session, TestImage(256), &progress,
                                                  TFlashPolicy{}, &rig.commands);
    progress.abandon = [&] { control.Abandon(command); };  // set before it can run
    control.PostCommand(command);
    ASSERT_TRUE(WaitFor([&] { return command->Outcome() != TFlashOutcome::Pending; }));
    EXPECT_EQ(command->Outcome(), TFlashOutcome::Abandoned);
    EXPECT_EQ(command->Runs(), 1);  // the run it was abandoned in went on to its end
    EXPECT_EQ(progress.Texts().back(), "Too many resends.");
    EXPECT_TRUE(command->EraseSent());
    EXPECT_EQ(control.QueuedCommands(), 0u);
}

TEST(FlashCommand, CommandsLeftAtAStopAreDroppedAndReported) {
    TSimControlRig rig;
    TECUControl control(rig.Links(), /*createSuspended=*/true);
    auto command = PostFlashCommand(control, TestImage(256), &rig.progress);
    control.Stop();  // the thread never ran
    EXPECT_EQ(command->Outcome(), TFlashOutcome::Abandoned);
    EXPECT_EQ(command->Runs(), 0);
    EXPECT_EQ(rig.commands.Count("finished " + std::to_string(command->Id())), 1);
    auto late = PostFlashCommand(control, TestImage(256), &rig.progress);
    EXPECT_EQ(late->Outcome(), TFlashOutcome::Abandoned);
}

}  // namespace
