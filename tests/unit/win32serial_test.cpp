// The Win32 serial library on two COM ports joined to each other: make test-windows maps the
// ports named by BRINDLE_TEST_COM_A and BRINDLE_TEST_COM_B to the two ends of a
// pseudo-terminal pair. The library under test opens A; the test plays the far end on B.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/win32serial.h"
#include "platform/win32text.h"

namespace {

std::string PortFromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

TPortMap MapTo(const std::string& device) {
    TPortMap map;
    map.SetRunOverride(device);
    return map;
}

class Win32Serial : public testing::Test {
protected:
    void SetUp() override {
        if (a.empty() || b.empty()) {
            GTEST_FAIL() << "BRINDLE_TEST_COM_A and BRINDLE_TEST_COM_B name no ports: run the "
                            "tests through make test-windows";
        }
        ASSERT_EQ(local.Reset(0, 1024, 1024), 0) << local.LastError(0);
        ASSERT_EQ(remote.Reset(0, 1024, 1024), 0) << remote.LastError(0);
    }

    // Everything that arrives on `lib` within `quietMs` of the last byte.
    static std::string Drain(TWin32SerialLibrary& lib, int quietMs = 100) {
        std::string got;
        while (lib.WaitReadable(0, std::chrono::milliseconds(quietMs))) {
            for (int c; (c = lib.GetByte(0)) != TSerialLibrary::kNoByte;) {
                got.push_back(static_cast<char>(c));
            }
        }
        return got;
    }

    const std::string a = PortFromEnvironment("BRINDLE_TEST_COM_A");
    const std::string b = PortFromEnvironment("BRINDLE_TEST_COM_B");
    TWin32SerialLibrary local{MapTo(a)};
    TWin32SerialLibrary remote{MapTo(b)};
};

double CpuSeconds() {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto seconds = [](FILETIME t) {
        return ((static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
    };
    return seconds(kernel) + seconds(user);
}

TEST_F(Win32Serial, EveryRateIs8N1WithoutFlowControlWhateverThePortHadBefore) {
    local.Close(0);
    {
        // Leave the port as another program might: 7E2 at 1200 with both kinds of flow control.
        const HANDLE h =
            CreateFileW(TWin32SerialLibrary::DeviceName(a).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                        nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        ASSERT_TRUE(GetCommState(h, &dcb));
        dcb.BaudRate = CBR_1200;
        dcb.ByteSize = 7;
        dcb.Parity = EVENPARITY;
        dcb.fParity = TRUE;
        dcb.StopBits = TWOSTOPBITS;
        dcb.fOutxCtsFlow = TRUE;
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
        dcb.fOutX = dcb.fInX = TRUE;
        SetCommState(h, &dcb);
        CloseHandle(h);
    }
    ASSERT_EQ(local.SetLineFormat(TSerialLibrary::kAllPorts, 0, 0, 8), 0);
    ASSERT_EQ(local.Reset(0, 1024, 1024), 0) << local.LastError(0);
    // The rate is the shared code table's (tested with the termios library); here only that
    // each change reaches the port with the line left 8N1 without flow control.
    const struct {
        int code;
        DWORD rate;
    } cases[] = {{5, 9600}, {9, 115200}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        ASSERT_EQ(local.SetBaud(0, c.code), 0);
        DCB dcb{};
        ASSERT_TRUE(local.CommState(0, dcb));
        EXPECT_EQ(dcb.BaudRate, c.rate);
        EXPECT_EQ(dcb.ByteSize, 8);
        EXPECT_EQ(dcb.Parity, NOPARITY);
        EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
        EXPECT_FALSE(dcb.fOutxCtsFlow);
        EXPECT_FALSE(dcb.fOutxDsrFlow);
        EXPECT_NE(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_HANDSHAKE));
        EXPECT_NE(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_HANDSHAKE));
        EXPECT_FALSE(dcb.fOutX);
        EXPECT_FALSE(dcb.fInX);
    }
}

TEST_F(Win32Serial, BytesTravelBothWaysUnchanged) {
    // Every byte value, including CR, LF, NUL, XON/XOFF and Ctrl-Z.
    std::string all;
    for (int i = 0; i < 256; ++i) {
        all.push_back(static_cast<char>(i));
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(all.data());
    EXPECT_EQ(local.PutByte(0, 0x0A), 0);
    EXPECT_EQ(local.PutBlock(0, bytes, 256), 256);
    EXPECT_EQ(Drain(remote), "\n" + all);
    EXPECT_EQ(remote.PutBlock(0, bytes, 256), 256);
    EXPECT_EQ(Drain(local), all);
    EXPECT_EQ(local.GetByte(0), TSerialLibrary::kNoByte);
    EXPECT_EQ(local.TxQueueLength(0), 0);
}

TEST_F(Win32Serial, WaitsSleepAndEndWithTheFirstByte) {
    using Clock = std::chrono::steady_clock;
    auto ms = [](Clock::duration d) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
    };
    // Nothing arrives: the whole wait passes, asleep.
    const double cpu0 = CpuSeconds();
    auto t0 = Clock::now();
    for (int i = 0; i < 20; ++i) {
        EXPECT_FALSE(local.WaitReadable(0, std::chrono::milliseconds(10)));
    }
    EXPECT_GE(ms(Clock::now() - t0), 190);
    EXPECT_LT(ms(Clock::now() - t0), 1000);
    EXPECT_LT(CpuSeconds() - cpu0, 0.05);

    // A byte that comes 50 ms into a long wait ends it.
    std::thread sender([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        remote.PutByte(0, 'x');
    });
    t0 = Clock::now();
    EXPECT_TRUE(local.WaitReadable(0, std::chrono::milliseconds(2000)));
    const auto waited = ms(Clock::now() - t0);
    sender.join();
    EXPECT_GE(waited, 40);
    EXPECT_LT(waited, 1000);
    EXPECT_EQ(local.GetByte(0), 'x');
}

TEST(Win32SerialPorts, FailedResetKeepsTheSystemsReason) {
    struct Case {
        const char* device;
        int result;
        std::string reason;
    };
    const Case cases[] = {
        {"COM199", TWin32SerialLibrary::kErrOpen, SystemErrorText(ERROR_FILE_NOT_FOUND)},
        {"NUL", TWin32SerialLibrary::kErrNotSerial, "not a serial device"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.device);
        TWin32SerialLibrary lib(MapTo(c.device));
        EXPECT_EQ(lib.Reset(0, 1024, 1024), c.result);
        EXPECT_NE(lib.LastError(0).find(c.device), std::string::npos) << lib.LastError(0);
        EXPECT_NE(lib.LastError(0).find(c.reason), std::string::npos) << lib.LastError(0);
        EXPECT_EQ(lib.GetByte(0), TSerialLibrary::kNoByte);
    }
}

TEST(Win32SerialPorts, PortNumbersAreComPorts) {
    TPortMap map;
    for (int i = 0; i < TPortMap::kPorts; ++i) {
        EXPECT_EQ(map.PathFor(i), "\\\\.\\COM" + std::to_string(i + 1));
    }
    EXPECT_EQ(TWin32SerialLibrary::DeviceName("COM12"), L"\\\\.\\COM12");
    EXPECT_EQ(TWin32SerialLibrary::DeviceName("\\\\.\\COM3"), L"\\\\.\\COM3");
}

}  // namespace
