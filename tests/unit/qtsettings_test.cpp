// The settings store over an INI file, as the program uses it on Linux.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "ecu/clock.h"
#include "ecu/serialcomm.h"
#include "platform/portmap.h"
#include "platform/qtsettingsstore.h"
#include "tests/support/fakeserial.h"

namespace {

std::string TempPath(const std::string& name) {
    const std::string dir = testing::TempDir() + "/brindle-settings-" + std::to_string(getpid());
    mkdir(dir.c_str(), 0700);
    const std::string path = dir + "/" + name;
    std::remove(path.c_str());
    return path;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(QtSettingsStore, FirstStartCreatesTheFileWithTheDefaults) {
    const std::string path = TempPath("first.ini");
    TQtSettingsStore store(path);
    TFakeSerialLibrary lib(TSteadyClock::Instance());
    TSerialComm port(lib, store, TSteadyClock::Instance());
    TQtSettingsStore reread(path);
    ASSERT_TRUE(reread.Open());
    const std::pair<const char*, int> expected[] = {
        {"comPort", 0}, {"initBaud", 5}, {"commBaud", 5}, {"loaderBaud", 6}};
    for (const auto& [name, value] : expected) {
        int32_t v = -7;
        EXPECT_EQ(reread.ReadInt(name, v), TSettingsStore::TRead::Ok) << name;
        EXPECT_EQ(v, value) << name;
    }
}

TEST(QtSettingsStore, ValuesThatAreNotIntegersReadAsSuch) {
    const std::string path = TempPath("garbled.ini");
    std::ofstream(path) << "[General]\ncomPort=COM3\ninitBaud=7\ncommBaud= 9 \nloaderBaud=6x\n";
    TQtSettingsStore store(path);
    ASSERT_TRUE(store.Open());
    int32_t v = 0;
    EXPECT_EQ(store.ReadInt("comPort", v), TSettingsStore::TRead::NotInteger);
    EXPECT_EQ(store.ReadInt("initBaud", v), TSettingsStore::TRead::Ok);
    EXPECT_EQ(v, 7);
    EXPECT_EQ(store.ReadInt("commBaud", v), TSettingsStore::TRead::Ok);
    EXPECT_EQ(v, 9);
    EXPECT_EQ(store.ReadInt("loaderBaud", v), TSettingsStore::TRead::NotInteger);
    EXPECT_EQ(store.ReadInt("missing", v), TSettingsStore::TRead::Missing);
}

TEST(QtSettingsStore, SavedValuesSurviveANewStore) {
    const std::string path = TempPath("roundtrip.ini");
    {
        TQtSettingsStore store(path);
        TFakeSerialLibrary lib(TSteadyClock::Instance());
        TSerialComm port(lib, store, TSteadyClock::Instance());
        port.comPort = 4;
        port.commBaud = 9;
        ASSERT_TRUE(port.SaveSettings());
    }
    TQtSettingsStore store(path);
    TFakeSerialLibrary lib(TSteadyClock::Instance());
    TSerialComm port(lib, store, TSteadyClock::Instance());
    EXPECT_EQ(port.comPort, 4);
    EXPECT_EQ(port.commBaud, 9);
    EXPECT_EQ(port.initBaud, 5);
    EXPECT_EQ(port.loaderBaud, 6);
}

TEST(QtSettingsStore, AStoreThatCannotBeCreatedFailsToOpen) {
    // A regular file where the folder should be.
    const std::string blocker = TempPath("blocker");
    std::ofstream(blocker) << "x";
    TQtSettingsStore store(blocker + "/sub/settings.ini");
    EXPECT_FALSE(store.Open());
    EXPECT_FALSE(store.WriteInt("comPort", 1));
}

TEST(QtSettingsStore, FailedWriteIsReported) {
    // The folder vanishes after the key was opened (a removed USB stick, say) and a file
    // takes its name, so nothing can be written there, not even by root.
    const std::string dir = TempPath("vanishing");
    mkdir(dir.c_str(), 0700);
    const std::string path = dir + "/settings.ini";
    std::ofstream(path) << "[General]\ncomPort=1\n";
    TQtSettingsStore store(path);
    ASSERT_TRUE(store.Open());
    std::remove(path.c_str());
    rmdir(dir.c_str());
    std::ofstream(dir) << "not a folder";
    EXPECT_FALSE(store.WriteInt("comPort", 2));
    store.Close();
    std::remove(dir.c_str());
}

TEST(QtSettingsStore, DamagedFileIsReadButNeverWrittenOver) {
    struct Case {
        const char* name;
        std::string contents;
        int comPort;
    };
    std::string binary;
    for (int i = 0; i < 300; ++i) {
        binary.push_back(static_cast<char>((i * 97 + 13) & 0xFF));
    }
    const Case cases[] = {
        {"binary junk", binary, 0},
        {"a readable value among junk",
         std::string("[General]\ncomPort=3\n\0\xff garbage =\n[[[\n", 36), 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = TempPath("damaged.ini");
        std::ofstream(path, std::ios::binary) << c.contents;
        TQtSettingsStore store(path);
        TFakeSerialLibrary lib(TSteadyClock::Instance());
        TSerialComm port(lib, store, TSteadyClock::Instance());
        EXPECT_EQ(port.comPort, c.comPort);
        EXPECT_EQ(port.commBaud, 5);
        EXPECT_FALSE(port.SaveSettings());
        EXPECT_EQ(ReadFile(path), c.contents);
    }
}

TEST(QtSettingsStore, FolderWhereTheFileShouldBeKeepsTheDefaults) {
    const std::string path = TempPath("folder.ini");
    mkdir(path.c_str(), 0700);
    TQtSettingsStore store(path);
    TFakeSerialLibrary lib(TSteadyClock::Instance());
    TSerialComm port(lib, store, TSteadyClock::Instance());
    EXPECT_EQ(port.comPort, 0);
    EXPECT_EQ(port.loaderBaud, 6);
    EXPECT_FALSE(port.SaveSettings());
    rmdir(path.c_str());
}

TEST(QtSettingsStore, PortOverridesComeFromThePortsSection) {
    const std::string path = TempPath("ports.ini");
    std::ofstream(path)
        << "[General]\ncomPort=0\n[ports]\nCOM1=/dev/serial/by-id/usb-ecu\nCOM8=/dev/ttyS4\n";
    TQtSettingsStore store(path);
    TPortMap map;
    store.LoadPortOverrides(map);
    EXPECT_EQ(map.PathFor(0), "/dev/serial/by-id/usb-ecu");
    EXPECT_EQ(map.PathFor(1), "/dev/ttyUSB1");
    EXPECT_EQ(map.PathFor(7), "/dev/ttyS4");
    EXPECT_NE(ReadFile(path).find("COM8"), std::string::npos);
}

}  // namespace
