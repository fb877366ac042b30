// A whole 128 KiB image flashed into brindle-ecusim at 115200 through the control thread.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

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

TEST(UploadPty, FullImageAt115200EndsUpInTheSimulatorsFlash) {
    const std::string imageOut =
        testing::TempDir() + "/upload-pty-" + std::to_string(getpid()) + ".bin";
    TPtyEcu pty({"--image-out", imageOut},
                {{"comPort", 0}, {"initBaud", 5}, {"commBaud", 9}, {"loaderBaud", 6}});
    TRecordingProgress progress;
    TECUControl control({*pty.lib, pty.store, TSteadyClock::Instance()});
    ASSERT_TRUE(WaitFor([&] { return control.session->linkState == kLinkConnected; }, 15000));
    ASSERT_EQ(control.serial->curBaud, 9);

    const auto image = TestImage(kFirmwareImageBytes);
    auto command = PostFlashCommand(control, image, &progress);
    ASSERT_TRUE(WaitFor([&] { return command->Outcome() == TFlashOutcome::Completed; }, 90000))
        << "last status: " << (progress.Texts().empty() ? "" : progress.Texts().back());
    EXPECT_EQ(command->Runs(), 1);
    EXPECT_EQ(progress.Bytes().back(), kFirmwareImageBytes);
    // The new firmware starts at its power-on rate and the session finds it again.
    EXPECT_TRUE(WaitFor([&] { return control.session->linkState == kLinkConnected; }, 20000));
    control.Stop();

    pty.sim.WriteLine("quit");
    ASSERT_EQ(pty.sim.Wait(5000), 0);
    std::ifstream in(imageOut, std::ios::binary);
    std::vector<uint8_t> flash((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(flash, image->data);
}

}  // namespace
