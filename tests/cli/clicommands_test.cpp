// brindle-cli's commands that need no ECU, run in process: help, usage errors, hex, the
// refusals of flash, ports, settings warnings, and reading the answer to flash's question.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/serialdevices.h"
#include "tests/support/files.h"
#include "tools/cli/clicommands.h"

namespace {

const std::string kEof = ":00000001FF\n";

class CliInProcess : public testing::Test {
protected:
    void SetUp() override {
        dir = testing::TempDir() + "/brindle-cli-unit-" + std::to_string(getpid()) + "-" +
              testing::UnitTest::GetInstance()->current_test_info()->name();
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::string File(const std::string& name, const std::string& text) {
        const std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }

    int Run(const std::vector<std::string>& args, const TSerialDeviceList* devices = nullptr) {
        out.str("");
        err.str("");
        TConsole console(err, false);
        TCliEnvironment env{out, console};
        env.inputTerminal = false;
        env.devices = devices;
        return CliMain(args, env);
    }

    std::string dir;
    std::ostringstream out;
    std::ostringstream err;
};

// What each help says is the option tests'; here, that it is what is printed. A usage error
// points to the help.
TEST_F(CliInProcess, HelpAndVersionGoToStandardOutputWithExitZero) {
    EXPECT_EQ(Run({"flash", "--help"}), 0);
    EXPECT_EQ(out.str(), HelpText(TCliCommand::Flash));
    EXPECT_EQ(err.str(), "");
    EXPECT_EQ(Run({"--version"}), 0);
    EXPECT_EQ(out.str().rfind("brindle-cli ", 0), 0u) << out.str();
    EXPECT_EQ(Run({}), 64);
    EXPECT_EQ(err.str(), "brindle-cli: no command given\nTry 'brindle-cli --help'.\n");
    EXPECT_EQ(out.str(), "");
}

// Which bytes the loader takes is its own test's; here: what hex prints and the whole image it
// writes, 0xFF where the file has no data, and the reason when it cannot be written.
TEST_F(CliInProcess, HexCountsBytesAndBlocksAndWritesTheImage) {
    const std::string hex = File("in.hex", ":020000021000EC\n:02001000ABCD76\n" + kEof);
    const std::string bin = dir + "/out.bin";
    ASSERT_EQ(Run({"hex", hex, "--bin", bin}), 0) << err.str();
    EXPECT_EQ(out.str(), "used 65554 bytes, 257 blocks\nwrote 131072 bytes to " + bin + "\n");
    std::string expected(131072, '\xFF');
    expected.replace(0x10010, 2, "\xAB\xCD");
    EXPECT_TRUE(ReadFile(bin) == expected);

    const std::string nowhere = dir + "/no-folder/out.bin";
    EXPECT_EQ(Run({"hex", hex, "--bin", nowhere}), 1);
    EXPECT_EQ(out.str(), "used 65554 bytes, 257 blocks\n");
    EXPECT_EQ(err.str(), "brindle-cli: cannot write " + nowhere + ": No such file or directory\n");
}

// The loader's message, and where in the file it failed on a line of its own (hex and flash
// both load through LoadImage); flash stops there, and at an image without data or a
// question nobody can answer, all before the port (which does not exist: opening it would
// end with 5).
TEST_F(CliInProcess, BadFilesExitWith4AndTheLoadersMessage) {
    const std::string bad = File("bad.hex", ":020000000302FB\n");  // 01 made 03
    const std::string missing = dir + "/missing.hex";
    const std::string empty = File("empty.hex", ":02000000FFFF00\n" + kEof);
    const std::string fw = File("fw.hex", ":03000000010203F7\n" + kEof);
    const struct {
        std::vector<std::string> args;
        int exit;
        std::string says;
    } cases[] = {
        {{"hex", bad}, 4, "brindle-cli: " + bad + ": Checksum error!\n  Line 1 of the file.\n"},
        {{"flash", missing, "--yes"},
         4,
         "brindle-cli: " + missing + ": No such file or directory\n"},
        {{"flash", empty, "--yes"}, 4, " holds no data"},
        {{"flash", fw}, 64, "add --yes"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"--port", dir + "/no-such-port"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        EXPECT_EQ(Run(args), c.exit) << c.says;
        EXPECT_NE(err.str().find(c.says), std::string::npos) << err.str();
        EXPECT_EQ(out.str(), "");
    }
}

// The devices found, with the Com number the settings file's [ports] gives each; or a plain
// word that there is none.
TEST_F(CliInProcess, PortsListsTheDevicesWithTheirComNumbersOrSaysThereIsNone) {
    struct TList : TSerialDeviceList {
        std::vector<TSerialDevice> devices;
        std::vector<TSerialDevice> Devices() const override { return devices; }
        std::string Searched() const override { return "/dev/ttyUSB*"; }
    } list;
    setenv("BRINDLE_SETTINGS", File("s.ini", "[ports]\nCOM3=/dev/serial/by-id/usb-A1\n").c_str(),
           1);
    EXPECT_EQ(Run({"ports"}, &list), 0);
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(err.str(), "No serial devices found (looked for /dev/ttyUSB*).\n");
    list.devices = {{"/dev/ttyUSB7", "/dev/serial/by-id/usb-A1", "FTDI", "FT232R USB UART"},
                    {"/dev/ttyS0", "", "", ""}};
    EXPECT_EQ(Run({"ports"}, &list), 0);
    unsetenv("BRINDLE_SETTINGS");
    EXPECT_EQ(out.str(),
              "/dev/ttyUSB7   Com3  FTDI FT232R USB UART  /dev/serial/by-id/usb-A1\n"
              "/dev/ttyS0     Com7  serial port\n");
}

TEST(CliAnswer, YesOnlyForYes) {
    const std::pair<const char*, TAnswer> cases[] = {
        {"y\n", TAnswer::Yes},         {"YES\n", TAnswer::Yes}, {" yes \r\n", TAnswer::Yes},
        {"Y", TAnswer::Yes},           {"n\n", TAnswer::No},    {"\n", TAnswer::No},
        {"yes please\n", TAnswer::No}, {"", TAnswer::No},       {"no\ny\n", TAnswer::No},
    };
    for (const auto& [typed, answer] : cases) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        const std::string text = typed;
        ASSERT_EQ(write(fds[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
        close(fds[1]);
        EXPECT_EQ(ReadAnswer(fds[0]), answer) << "typed '" << typed << "'";
        close(fds[0]);
    }
}

TEST(CliAnswer, ACtrlCBeforeTheReadStillEndsTheQuestion) {
    // Nothing is typed and the input stays open: only the interruption can end the wait. It
    // is seen at the second look, after one wait for input.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    int looks = 0;
    EXPECT_EQ(ReadAnswer(fds[0], [&looks] { return ++looks >= 2; }), TAnswer::Interrupted);
    EXPECT_EQ(looks, 2);
    close(fds[0]);
    close(fds[1]);
}

// --com finds its device in the settings' [ports], and --com and --baud hold for this run
// only; a stored setting outside its range is named (the warnings are the settings' own);
// the packet log is brindle.log in the working folder. The device is missing: the serial
// layer's message with its reason on a line of its own, and what the user can do.
TEST_F(CliInProcess, AMissingDeviceByItsComNumberEndsWith5AndLeavesTheSettingsAsTheyWere) {
    const std::string device = dir + "/ttyUSB9";
    const std::string settings =
        "[General]\ncomPort=0\ninitBaud=42\ncommBaud=5\nloaderBaud=6\n\n"
        "[ports]\nCOM3=" +
        device + "\n";
    const std::string ini = File("settings.ini", settings);
    setenv("BRINDLE_SETTINGS", ini.c_str(), 1);
    const std::filesystem::path cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    const int exit = Run({"--com", "3", "--baud", "115200", "identify"});
    std::filesystem::current_path(cwd);
    unsetenv("BRINDLE_SETTINGS");
    EXPECT_EQ(exit, 5);
    EXPECT_NE(err.str().find("brindle-cli: Comm port is in use!\n  " + device), std::string::npos)
        << err.str();
    EXPECT_NE(err.str().find("Is the adapter plugged in?"), std::string::npos) << err.str();
    EXPECT_NE(err.str().find("brindle-cli: warning: the setting initBaud=42 is not a rate"),
              std::string::npos)
        << err.str();
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(ReadFile(ini), settings);
    EXPECT_TRUE(std::filesystem::exists(dir + "/brindle.log"));
}

}  // namespace
