// brindle-ecusim on a real pseudo-terminal, opened through the program's own serial layer.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "ecu/clock.h"
#include "ecu/ecu.h"
#include "ecu/protocol.h"
#include "ecu/serialcomm.h"
#include "tests/integration/ptyecu.h"

namespace {

TEST(EcuSimPty, RuntimeCommandsRatesAndImageOut) {
    const std::string image = testing::TempDir() + "/ecusim-image-" + std::to_string(getpid());
    TPtyEcu ecu({"--start-in-loader", "--loader-baud", "9600", "--image-out", image});
    TSerialComm port(*ecu.lib, ecu.store, TSteadyClock::Instance());
    ASSERT_TRUE(port.Open());
    ecu.sim.WriteLine("status");
    EXPECT_NE(ecu.sim.WaitForLine("status", 2000).find("mode=loader"), std::string::npos);
    ecu.sim.WriteLine("unplug");
    EXPECT_EQ(ecu.sim.WaitForLine("ok", 2000), "ok unplug");
    port.SendByte(kLoaderIdentify);
    EXPECT_FALSE(port.WaitForText(kLoaderIdText));
    ecu.sim.WriteLine("plug");
    EXPECT_EQ(ecu.sim.WaitForLine("ok", 2000), "ok plug");
    port.SendByte(kLoaderIdentify);
    EXPECT_TRUE(port.WaitForText(kLoaderIdText));
    // The terminal's rate reaches it: at another rate nothing is understood.
    ASSERT_TRUE(port.SetBaud(9));
    port.SendByte(kLoaderIdentify);
    EXPECT_FALSE(port.WaitForText(kLoaderIdText));
    ecu.sim.WriteLine("fault nack-writes 2 ");
    EXPECT_EQ(ecu.sim.WaitForLine("ok", 2000), "ok fault nack-writes 2");
    ecu.sim.WriteLine("bogus");
    EXPECT_EQ(ecu.sim.WaitForLine("error", 2000), "error unknown command: bogus");
    ecu.sim.WriteLine("quit");
    EXPECT_EQ(ecu.sim.Wait(5000), 0);
    std::ifstream in(image, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(bytes.size(), 131072u);
    EXPECT_EQ(static_cast<uint8_t>(bytes[0]), 0xFF);
}

TEST(EcuSimPty, TargetsThatAreNotItsOwnAreRefusedBeforeTheRun) {
    const std::string dir = testing::TempDir() + "/ecusim-targets-" + std::to_string(getpid());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir + "/a-folder");
    const std::string notes = dir + "/notes.txt";
    std::ofstream(notes) << "the user's notes\n";
    ASSERT_EQ(symlink(notes.c_str(), (dir + "/link-to-notes").c_str()), 0);
    const struct {
        std::vector<std::string> options;
        std::string says;
    } cases[] = {
        {{"--image-out", "/dev/null"}, "/dev/null is a device"},
        {{"--image-out", dir + "/link-to-notes"}, "is a symbolic link"},
        {{"--image-out", dir + "/a-folder"}, "is a folder"},
        {{"--link", notes}, "exists and is not a link to a pseudo-terminal"},
        {{"--link", dir + "/link-to-notes"}, "exists and is not a link to a pseudo-terminal"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options[1]);
        TChildProcess sim;
        std::vector<std::string> args = {ProjectBinary("brindle-ecusim")};
        args.insert(args.end(), c.options.begin(), c.options.end());
        ASSERT_TRUE(sim.Start(args));
        const int exit = sim.Wait(3000);
        if (exit == -1) {
            sim.Signal(SIGKILL);  // ended before it could write anything at its exit
        }
        EXPECT_EQ(exit, 2);
        EXPECT_EQ(sim.Output(), "") << "it ran";
        EXPECT_NE(sim.ErrorOutput().find(c.says), std::string::npos) << sim.ErrorOutput();
    }
    EXPECT_TRUE(std::filesystem::is_character_file("/dev/null"));
    EXPECT_TRUE(std::filesystem::is_symlink(dir + "/link-to-notes"));
    std::ifstream in(notes);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "the user's notes\n");

    // A link left by an earlier run is its own kind and is taken over; at exit only a link
    // to its own terminal is removed, never a file that has taken the name since.
    const std::string link = dir + "/ecu";
    for (const bool replacedMeanwhile : {false, true}) {
        SCOPED_TRACE(replacedMeanwhile ? "replaced meanwhile" : "its own link");
        std::filesystem::remove(link);
        ASSERT_EQ(symlink("/dev/pts/999", link.c_str()), 0);
        TChildProcess sim;
        ASSERT_TRUE(sim.Start({ProjectBinary("brindle-ecusim"), "--link", link}));
        std::string terminal;
        ASSERT_TRUE(sim.ReadLine(terminal, 5000)) << sim.ErrorOutput();
        char target[256] = {};
        ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
        EXPECT_EQ(std::string(target), terminal);
        if (replacedMeanwhile) {
            std::filesystem::remove(link);
            std::ofstream(link) << "mine now\n";
        }
        sim.WriteLine("quit");
        EXPECT_EQ(sim.Wait(5000), 0);
        EXPECT_EQ(std::filesystem::exists(std::filesystem::symlink_status(link)),
                  replacedMeanwhile);
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
