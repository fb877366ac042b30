// The settings store over an INI file, as the program and brindle-cli use it on Linux.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

#include "ecu/clock.h"
#include "ecu/serialcomm.h"
#include "platform/inisettingsstore.h"
#include "platform/portmap.h"
#include "tests/support/fakeserial.h"
#include "tests/support/files.h"

namespace {

std::string TempPath(const std::string& name) {
    const std::string dir = testing::TempDir() + "/brindle-settings-" + std::to_string(getpid());
    mkdir(dir.c_str(), 0700);
    const std::string path = dir + "/" + name;
    std::filesystem::remove_all(path);
    return path;
}

// What the program does at every start: load the settings, completing missing values.
std::unique_ptr<TSerialComm> Load(TIniSettingsStore& store) {
    static TFakeSerialLibrary lib(TSteadyClock::Instance());
    return std::make_unique<TSerialComm>(lib, store, TSteadyClock::Instance());
}

// Which values count as read is shown by completing files: a value not read is added or
// replaced.
TEST(IniSettingsStore, CompletingAFileAddsOnlyTheMissingValues) {
    // The settings example of README.md: the block that starts with "[General]".
    const std::string readme = ReadFile(BRINDLE_SOURCE_DIR "/README.md");
    const size_t start = readme.find("```\n[General]\n") + 4;  // just after the fence
    ASSERT_NE(start, std::string::npos + 4) << "README.md has no [General] example";
    const std::string example = readme.substr(start, readme.find("```", start) - start);
    const struct {
        const char* why;
        std::string before;
        std::string after;
    } cases[] = {
        {"first start: the file and its folders are made", "",
         "[General]\ncomPort=0\ninitBaud=5\ncommBaud=5\nloaderBaud=6\n"},
        {"comments, order, [ports] and unknown keys stay",
         "; my bench\n[General]\ncommBaud=9   ; fast\n\n# the others below\ncomPort=1\n"
         "theme=dark\n\n[ports]\n; the FTDI\nCOM1=/dev/serial/by-id/x\n",
         "; my bench\n[General]\ncommBaud=9   ; fast\n\n# the others below\ncomPort=1\n"
         "theme=dark\ninitBaud=5\nloaderBaud=6\n\n[ports]\n; the FTDI\nCOM1=/dev/serial/by-id/x\n"},
        {"no [General]: added at the end", "[ports]\nCOM2=/dev/ttyS4\n",
         "[ports]\nCOM2=/dev/ttyS4\n[General]\ncomPort=0\ninitBaud=5\ncommBaud=5\nloaderBaud=6\n"},
        {"CRLF line ends and no final line end", "[General]\r\ncomPort=2\r\ncommBaud=8",
         "[General]\r\ncomPort=2\r\ncommBaud=8\r\ninitBaud=5\r\nloaderBaud=6"},
        {"keys before any section", "comPort=3\ninitBaud=5\n[ports]\nCOM4=/dev/ttyUSB9\n",
         "comPort=3\ninitBaud=5\ncommBaud=5\nloaderBaud=6\n[ports]\nCOM4=/dev/ttyUSB9\n"},
        {"a value that is not a 32-bit decimal number gets the default in its place",
         "[General]\ncomPort=COM3 ; mine\ninitBaud=\ncommBaud=0x6\nloaderBaud=4294967296\n",
         "[General]\ncomPort=0 ; mine\ninitBaud=5\ncommBaud=5\nloaderBaud=6\n"},
        {"keys of another case, commented out or in another section are not the store's",
         "[general]\n;initBaud=7\ncomport=3\n[ports]\ncommBaud=9\n",
         "[general]\n;initBaud=7\ncomport=3\ncomPort=0\ninitBaud=5\ncommBaud=5\nloaderBaud=6\n"
         "[ports]\ncommBaud=9\n"},
        {"complete: not a byte changes",
         "[General]\ncomPort = \"1\"\ninitBaud=5\t; x\ncommBaud=5\nloaderBaud=6",
         "[General]\ncomPort = \"1\"\ninitBaud=5\t; x\ncommBaud=5\nloaderBaud=6"},
        {"README.md's example is complete", example, example},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        const std::string path = TempPath("new") + "/folder/complete.ini";
        if (!c.before.empty()) {
            std::filesystem::create_directories(TempPath("new") + "/folder");
            WriteFile(path, c.before);
        }
        TIniSettingsStore store(path);
        Load(store);
        EXPECT_EQ(ReadFile(path), c.after);
    }
}

// Loading completes and saving replaces only value text, in the file a link names: the link
// stays, the file keeps its mode, and nothing else is left in its folder. A write fails once
// the folder is gone.
TEST(IniSettingsStore, SavingThroughALinkReplacesOnlyTheValueTextOrFails) {
    const std::string dir = TempPath("saving");
    mkdir(dir.c_str(), 0700);
    const std::string path = dir + "/save.ini";
    const std::string link = TempPath("linked.ini");
    WriteFile(path, "[General]\ncomPort=0      ; 0 = Com1\ncommBaud=\"5\" ; rate\n");
    chmod(path.c_str(), 0640);
    ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
    {
        TIniSettingsStore store(link);
        auto port = Load(store);
        port->comPort = 4;
        port->commBaud = 9;
        EXPECT_TRUE(port->SaveSettings());
    }
    EXPECT_EQ(
        ReadFile(path),
        "[General]\ncomPort=4      ; 0 = Com1\ncommBaud=9 ; rate\ninitBaud=5\nloaderBaud=6\n");
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(std::filesystem::status(path).permissions(), std::filesystem::perms(0640));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);

    // The folder vanishes after the store was opened (a removed USB stick, say) and a file
    // takes its name, so nothing can be written there, not even by root.
    TIniSettingsStore store(link);
    ASSERT_TRUE(store.Open());
    std::filesystem::remove_all(dir);
    WriteFile(dir, "not a folder");
    EXPECT_FALSE(store.WriteInt("comPort", 2));
    store.Close();
}

// Where the file should be there is a folder, a file stands where its folder should be, or a
// link names no file: the defaults are used and nothing is written.
TEST(IniSettingsStore, NoFileCanBeMadeWhereItShouldBe) {
    const std::string folder = TempPath("folder.ini");
    mkdir(folder.c_str(), 0700);
    const std::string blocker = TempPath("blocker");
    WriteFile(blocker, "x");
    const std::string toNowhere = TempPath("to-nowhere.ini");
    ASSERT_EQ(symlink(TempPath("nowhere.ini").c_str(), toNowhere.c_str()), 0);
    for (const std::string& path : {folder, blocker + "/sub/settings.ini", toNowhere}) {
        SCOPED_TRACE(path);
        TIniSettingsStore store(path);
        EXPECT_FALSE(store.Open());
        EXPECT_FALSE(Load(store)->SaveSettings());
    }
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    EXPECT_TRUE(std::filesystem::is_empty(folder));
    EXPECT_EQ(ReadFile(blocker), "x");
    EXPECT_TRUE(std::filesystem::is_symlink(toNowhere));
    EXPECT_FALSE(std::filesystem::exists(TempPath("nowhere.ini")));
}

TEST(IniSettingsStore, DamagedFileIsReadButNeverWrittenOver) {
    const struct {
        const char* name;
        std::string contents;
        int comPort;
    } cases[] = {
        {"a readable value among junk",
         std::string("[General]\ncomPort=3\n\0\xff garbage =\n[[[\n", 36), 3},
        {"a line that is no INI; of two equal keys the last counts",
         "[General]\ncomPort=1\ncomPort=5\nthis is a letter\n", 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = TempPath("damaged.ini");
        WriteFile(path, c.contents);
        TIniSettingsStore store(path);
        auto port = Load(store);
        EXPECT_EQ(port->comPort, c.comPort);
        EXPECT_EQ(port->commBaud, 5);
        EXPECT_FALSE(port->SaveSettings());
        EXPECT_EQ(ReadFile(path), c.contents);
    }
}

TEST(IniSettingsStore, PortDevicesAreReadFromAndStoredInThePortsSection) {
    const std::string path = TempPath("ports.ini");
    const std::string text =
        "[General]\ncomPort=0\nCOM2=/dev/not-a-port\n[ports]\n"
        "COM1 = /dev/serial/by-id/usb-ecu ; the bench\nCOM8=\"/dev/ttyS4\"\n[other]\nx=1\n";
    TIniSettingsStore store(path);
    // Storing a device changes its value text or adds its line at the end of [ports]; a file
    // without the section gets it at its end. Every other byte stays, and each device is read
    // back (COM2 under [General] is not a port).
    const struct {
        std::string before;
        int port;
        std::string device;
        std::string after;
    } cases[] = {
        {text, 0, "/dev/ttyACM0",
         "[General]\ncomPort=0\nCOM2=/dev/not-a-port\n[ports]\nCOM1 = /dev/ttyACM0 ; the bench\n"
         "COM8=\"/dev/ttyS4\"\n[other]\nx=1\n"},
        {text, 2, "/dev/serial/by-id/usb-FTDI_A1-if00",
         "[General]\ncomPort=0\nCOM2=/dev/not-a-port\n[ports]\n"
         "COM1 = /dev/serial/by-id/usb-ecu ; the bench\nCOM8=\"/dev/ttyS4\"\n"
         "COM3=/dev/serial/by-id/usb-FTDI_A1-if00\n[other]\nx=1\n"},
        {text, 7, "/dev/ttyS4", text},
        {"[General]\r\ncomPort=1\r\n", 2, "/dev/odd;name",
         "[General]\r\ncomPort=1\r\n[ports]\r\nCOM3=\"/dev/odd;name\"\r\n"},
    };
    for (const auto& c : cases) {
        WriteFile(path, c.before);
        EXPECT_TRUE(store.SavePortPath(c.port, c.device));
        EXPECT_EQ(ReadFile(path), c.after);
        TPortMap reread;
        store.LoadPortOverrides(reread);
        EXPECT_EQ(reread.PathFor(c.port), c.device);
        EXPECT_EQ(reread.PathFor(1), TPortMap().PathFor(1));
    }
    EXPECT_FALSE(store.SavePortPath(8, "/dev/ttyUSB0"));
}

// No other test here reads these variables: they are not put back.
TEST(IniSettingsStore, DefaultLocationIsTheUsersConfigurationFolder) {
    unsetenv("BRINDLE_SETTINGS");
    setenv("HOME", "/home/u", 1);
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(TIniSettingsStore().Location(), "/home/u/.config/Quellmark, Inc./Brindle.ini");
    setenv("XDG_CONFIG_HOME", "/cfg", 1);
    EXPECT_EQ(TIniSettingsStore().Location(), "/cfg/Quellmark, Inc./Brindle.ini");
    setenv("BRINDLE_SETTINGS", "/tmp/x.ini", 1);
    EXPECT_EQ(TIniSettingsStore().Location(), "/tmp/x.ini");
}

}  // namespace
