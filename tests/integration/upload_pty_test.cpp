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
#include "platform/posixserial.h"
#include "tests/support/childprocess.h"
#include "tests/support/memorysettings.h"
#include "tests/support/recordingui.h"
#include "tests/support/waitfor.h"

namespace {

TEST(UploadPty, FullImageAt115200EndsUpInTheSimulatorsFlash) {
    const std::string imageOut =
        testing::TempDir() + "/upload-pty-" + std::to_string(getpid()) + ".bin";
    TChildProcess sim;
    ASSERT_TRUE(sim.Start({ProjectBinary("brindle-ecusim"), "--image-out", imageOut}));
    std::string path;
    ASSERT_TRUE(sim.ReadLine(path, 5000));

    TPortMap map;
    map.SetRunOverride(path);
    TPosixSerialLibrary lib(map);
    TMemorySettingsStore store;
    store.values = {{"comPort", 0}, {"initBaud", 5}, {"commBaud", 9}, {"loaderBaud", 6}};
    TRecordingProgress progress;
    TECUControl control({lib, store, TSteadyClock::Instance()});
    ASSERT_TRUE(WaitFor([&] { return control.session->linkState == kLinkConnected; }, 15000));
    ASSERT_EQ(control.serial->curBaud, 9);

    auto image = std::make_shared<TIHexFile>();
    for (int i = 0; i < kFirmwareImageBytes; ++i) {
        image->data[i] = static_cast<uint8_t>((i * 7) ^ (i >> 9));
    }
    image->data.back() = 0x00;
    image->usedLength = kFirmwareImageBytes;
    auto command = PostFlashCommand(control, image, &progress);
    ASSERT_TRUE(WaitFor([&] { return command->Outcome() == TFlashOutcome::Completed; }, 90000))
        << "last status: " << (progress.Texts().empty() ? "" : progress.Texts().back());
    EXPECT_EQ(command->Runs(), 1);
    EXPECT_EQ(progress.Bytes().back(), kFirmwareImageBytes);
    // The new firmware starts at its power-on rate and the session finds it again.
    EXPECT_TRUE(WaitFor([&] { return control.session->linkState == kLinkConnected; }, 20000));
    control.Stop();

    sim.WriteLine("quit");
    ASSERT_EQ(sim.Wait(5000), 0);
    std::ifstream in(imageOut, std::ios::binary);
    std::vector<uint8_t> flash((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(flash, image->data);
}

}  // namespace
