// brindle-ecusim on a real pseudo-terminal, opened through the program's own serial layer.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "ecu/clock.h"
#include "ecu/protocol.h"
#include "ecu/serialcomm.h"
#include "platform/posixserial.h"
#include "tests/support/childprocess.h"
#include "tests/support/files.h"
#include "tests/support/memorysettings.h"

namespace {

// The runtime commands the other pty tests do not use, on the terminal the program's own
// serial layer opens; "unplug", "plug", "status" and the flash --image-out writes are
// brindle-cli's pty tests'.
TEST(EcuSimPty, RuntimeCommandsAndTheTerminalsRate) {
    TChildProcess sim;
    const std::string terminal = sim.StartEcuSim({"--start-in-loader", "--loader-baud", "9600"});
    ASSERT_FALSE(terminal.empty());
    TPortMap map;
    map.SetRunOverride(terminal);
    TPosixSerialLibrary lib(map);
    TMemorySettingsStore store;
    TSerialComm port(lib, store, TSteadyClock::Instance());
    ASSERT_TRUE(port.Open());
    port.SendByte(kLoaderIdentify);
    EXPECT_TRUE(port.WaitForText(kLoaderIdText));
    // The terminal's rate reaches it: at another rate nothing is understood.
    ASSERT_TRUE(port.SetBaud(9));
    port.SendByte(kLoaderIdentify);
    EXPECT_FALSE(port.WaitForText(kLoaderIdText));
    sim.Write("fault nack-writes 2 \n");
    EXPECT_EQ(sim.WaitForLine("ok", 2000), "ok fault nack-writes 2");
    sim.Write("bogus\n");
    EXPECT_EQ(sim.WaitForLine("error", 2000), "error unknown command: bogus");
    sim.Write("quit\n");
    EXPECT_EQ(sim.Wait(5000), 0);
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
        sim.StartEcuSim(c.options);    // no terminal: it ends first
        EXPECT_EQ(sim.Wait(3000), 2);  // if it ran, it is killed before it writes at its exit
        EXPECT_EQ(sim.Output(), "") << "it ran";
        EXPECT_NE(sim.ErrorOutput().find(c.says), std::string::npos) << sim.ErrorOutput();
    }
    EXPECT_TRUE(std::filesystem::is_character_file("/dev/null"));
    EXPECT_TRUE(std::filesystem::is_symlink(dir + "/link-to-notes"));
    EXPECT_EQ(ReadFile(notes), "the user's notes\n");

    // A link left by an earlier run is its own kind and is taken over; at exit only a link
    // to its own terminal is removed, never a file that has taken the name since.
    const std::string link = dir + "/ecu";
    for (const bool replacedMeanwhile : {false, true}) {
        SCOPED_TRACE(replacedMeanwhile ? "replaced meanwhile" : "its own link");
        std::filesystem::remove(link);
        ASSERT_EQ(symlink("/dev/pts/999", link.c_str()), 0);
        TChildProcess sim;
        const std::string terminal = sim.StartEcuSim({"--link", link});
        ASSERT_FALSE(terminal.empty()) << sim.ErrorOutput();
        EXPECT_EQ(std::filesystem::read_symlink(link).string(), terminal);
        if (replacedMeanwhile) {
            std::filesystem::remove(link);
            std::ofstream(link) << "mine now\n";
        }
        sim.Write("quit\n");
        EXPECT_EQ(sim.Wait(5000), 0);
        EXPECT_EQ(std::filesystem::exists(std::filesystem::symlink_status(link)),
                  replacedMeanwhile);
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
