// The control thread on a real pseudo-terminal with brindle-ecusim, in real time: it
// connects, polls and flashes a whole 128 KiB image at 115200.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "ecu/clock.h"
#include "ecu/ecu.h"
#include "ecu/ecucontrol.h"
#include "ecu/serialcomm.h"
#include "firmware/flashcmd.h"
#include "firmware/ihexfile.h"
#include "tests/integration/ptyecu.h"
#include "tests/support/recordingui.h"
#include "tests/support/simrig.h"
#include "tests/support/waitfor.h"

namespace {

TEST(ECUControlPty, ConnectsAt115200PollsAndFlashesAWholeImage) {
    const std::string imageOut =
        testing::TempDir() + "/upload-pty-" + std::to_string(getpid()) + ".bin";
    TPtyEcu pty({"--image-out", imageOut},
                {{"comPort", 0}, {"initBaud", 5}, {"commBaud", 9}, {"loaderBaud", 6}});
    TChildProcess& sim = pty.sim;
    TECUControl control({*pty.lib, pty.store, TSteadyClock::Instance()});
    TECU& session = *control.session;

    ASSERT_TRUE(WaitFor([&] { return session.linkState == kLinkConnected; }, 15000));
    EXPECT_EQ(control.serial->curBaud, 9);
    sim.WriteLine("status");
    EXPECT_NE(sim.WaitForLine("status", 2000).find("baud=115200"), std::string::npos);

    // Records keep coming: the engine's values move.
    const SensorRecord first = session.SensorsSnapshot();
    EXPECT_TRUE(WaitFor([&] { return session.SensorsSnapshot() != first; }, 3000));

    TRecordingProgress progress;
    const auto image = TestImage(kFirmwareImageBytes);
    auto command = PostFlashCommand(control, image, &progress);
    ASSERT_TRUE(WaitFor([&] { return command->Outcome() == TFlashOutcome::Completed; }, 90000))
        << "last status: " << (progress.Texts().empty() ? "" : progress.Texts().back());
    EXPECT_EQ(command->Runs(), 1);
    EXPECT_EQ(progress.Bytes().back(), kFirmwareImageBytes);
    // The new firmware starts at its power-on rate and the session finds it again.
    EXPECT_TRUE(WaitFor([&] { return session.linkState == kLinkConnected; }, 20000));
    control.Stop();

    sim.WriteLine("quit");
    ASSERT_EQ(sim.Wait(5000), 0);
    std::ifstream in(imageOut, std::ios::binary);
    std::vector<uint8_t> flash((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(flash, image->data);
}

}  // namespace
