// brindle-cli's commands that need no ECU, run in process: help, usage errors, hex, the
// refusals of flash, and reading the answer to its question.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "platform/serialdevices.h"
#include "tools/cli/clicommands.h"

namespace {

// An Intel HEX record with its checksum.
std::string Record(int type, int offset, const std::vector<int>& bytes) {
    char head[16];
    std::snprintf(head, sizeof head, ":%02X%04X%02X", static_cast<unsigned>(bytes.size()),
                  static_cast<unsigned>(offset), static_cast<unsigned>(type));
    int sum = static_cast<int>(bytes.size()) + (offset >> 8) + (offset & 0xFF) + type;
    std::string line = head;
    for (int b : bytes) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02X", static_cast<unsigned>(b));
        line += hex;
        sum += b;
    }
    char check[4];
    std::snprintf(check, sizeof check, "%02X", static_cast<unsigned>((256 - sum % 256) % 256));
    return line + check + "\n";
}

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

TEST_F(CliInProcess, HelpAndVersionGoToStandardOutputWithExitZero) {
    EXPECT_EQ(Run({"--help"}), 0);
    EXPECT_NE(out.str().find("Exit status:"), std::string::npos);
    EXPECT_EQ(err.str(), "");
    EXPECT_EQ(Run({"flash", "--help"}), 0);
    EXPECT_NE(out.str().find("--attempts N"), std::string::npos);
    EXPECT_EQ(Run({"--version"}), 0);
    EXPECT_EQ(out.str().rfind("brindle-cli ", 0), 0u) << out.str();
}

TEST_F(CliInProcess, UsageErrorsExitWith64AndPointToTheHelp) {
    EXPECT_EQ(Run({}), 64);
    EXPECT_EQ(err.str(), "brindle-cli: no command given\nTry 'brindle-cli --help'.\n");
    EXPECT_EQ(Run({"--baud", "1200", "identify"}), 64);
    EXPECT_NE(err.str().find("--baud takes"), std::string::npos);
    EXPECT_EQ(out.str(), "");
}

struct HexCase {
    const char* name;
    std::string text;
    int used;
    std::vector<std::pair<int, int>> bytes;  // offset, value that the image must hold
};

TEST_F(CliInProcess, HexCountsBytesAndBlocksAndWritesTheImage) {
    const HexCase cases[] = {
        {"one record", Record(0, 0, {1, 2, 3, 4}) + kEof, 4, {{0, 1}, {3, 4}, {4, 0xFF}}},
        {"segment base",
         Record(2, 0, {0x10, 0x00}) + Record(0, 0x0010, {0xAB, 0xCD}) + kEof,
         0x10012,
         {{0x10010, 0xAB}, {0x10011, 0xCD}, {0x10, 0xFF}}},
        {"last byte of the image",
         Record(0, 0xFFFF, {0x5A}) + Record(2, 0, {0x10, 0}) + Record(0, 0xFFFF, {0x00}) + kEof,
         131072,
         {{0xFFFF, 0x5A}, {131071, 0x00}}},
        {"trailing 0xFF not counted",
         Record(0, 0x100, {7, 0xFF, 0xFF}) + kEof,
         0x101,
         {{0x100, 7}}},
        {"nothing", kEof, 0, {}},
    };
    for (const HexCase& c : cases) {
        const std::string hex = File("in.hex", c.text);
        const std::string bin = dir + "/out.bin";
        std::remove(bin.c_str());
        ASSERT_EQ(Run({"hex", hex, "--bin", bin}), 0) << c.name << ": " << err.str();
        const int blocks = (c.used + 255) / 256;
        EXPECT_EQ(out.str(), "used " + std::to_string(c.used) + " bytes, " +
                                 std::to_string(blocks) + " blocks\nwrote 131072 bytes to " + bin +
                                 "\n")
            << c.name;
        std::ifstream in(bin, std::ios::binary);
        const std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)), {});
        ASSERT_EQ(image.size(), 131072u) << c.name;
        for (const auto& [offset, value] : c.bytes) {
            EXPECT_EQ(image[offset], value) << c.name << " at " << offset;
        }
    }
}

TEST_F(CliInProcess, BadFilesExitWith4AndTheLoadersMessage) {
    const std::pair<std::string, const char*> cases[] = {
        {Record(0, 0, {1, 2}).replace(9, 2, "03"), "Checksum error!\n  Line 1 of the file."},
        {Record(5, 0, {0, 0, 0, 1}), "unrecognised record type: 5\n  Line 1 of the file."},
        {" " + Record(0, 0, {1}), "Incorrect record header\n  Line 1 of the file."},
        {Record(2, 0, {0x20, 0x00}) + Record(0, 0, {1}),
         "data record outside allocated space\n  Line 2 of the file."},
        {Record(0, 0, {1}) + Record(0, 1, {2}),
         "missing end-of-file record\n  The file ends at line 2 without one."},
    };
    for (const auto& [text, message] : cases) {
        const std::string hex = File("bad.hex", text);
        for (const char* command : {"hex", "flash"}) {
            std::vector<std::string> args = {command, hex};
            if (std::string(command) == "flash") {
                args = {"--port", dir + "/no-such-port", "flash", hex, "--yes"};
            }
            EXPECT_EQ(Run(args), 4) << command << ": " << message;
            EXPECT_EQ(err.str(), "brindle-cli: " + hex + ": " + message + "\n") << command;
        }
    }
    EXPECT_EQ(Run({"hex", dir + "/missing.hex"}), 4);
    EXPECT_EQ(err.str(), "brindle-cli: " + dir + "/missing.hex: No such file or directory\n");
}

TEST_F(CliInProcess, FlashRefusesAnEmptyImage) {
    const std::string hex = File("empty.hex", Record(0, 0, {0xFF, 0xFF}) + kEof);
    EXPECT_EQ(Run({"--port", dir + "/no-such-port", "flash", hex, "--yes"}), 4);
    EXPECT_NE(err.str().find("holds no data"), std::string::npos) << err.str();
}

TEST_F(CliInProcess, FlashWithoutATerminalAndWithoutYesRefusesBeforeTouchingThePort) {
    const std::string hex = File("fw.hex", Record(0, 0, {1, 2, 3}) + kEof);
    // A port that does not exist would give exit 5 if flash tried to open it.
    EXPECT_EQ(Run({"--port", dir + "/no-such-port", "flash", hex}), 64);
    EXPECT_NE(err.str().find("add --yes"), std::string::npos) << err.str();
    EXPECT_EQ(out.str(), "");
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

TEST_F(CliInProcess, StoredSettingsOutsideTheirRangeAreNamedOnStandardError) {
    const std::string ini =
        File("settings.ini", "[General]\ncomPort=12\ninitBaud=5\ncommBaud=42\nloaderBaud=6\n");
    setenv("BRINDLE_SETTINGS", ini.c_str(), 1);
    const int exit = Run({"--port", dir + "/no-such-port", "--no-log", "identify"});
    unsetenv("BRINDLE_SETTINGS");
    EXPECT_EQ(exit, 5);
    for (const char* named : {"brindle-cli: warning: the setting comPort=12 is not a port",
                              "brindle-cli: warning: the setting commBaud=42 is not a rate"}) {
        EXPECT_NE(err.str().find(named), std::string::npos) << err.str();
    }
    EXPECT_EQ(err.str().find("initBaud"), std::string::npos);
    EXPECT_EQ(out.str(), "");
}

}  // namespace
