// The Win32 serial library: the behaviours it shares with the termios one
// (systemserial_cases.h) on two COM ports joined to each other, then its port names.
// make test-windows maps the ports named by BRINDLE_TEST_COM_A and BRINDLE_TEST_COM_B to the
// two ends of a pseudo-terminal pair: the library under test opens A, the far end is B.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/win32serial.h"
#include "platform/win32text.h"
#include "tests/unit/systemserial_cases.h"

namespace {

// The COM port make test-windows names in `variable`.
std::string PortFrom(const char* variable) {
    const char* port = std::getenv(variable);
    EXPECT_NE(port, nullptr) << variable
                             << " names no port: run the tests through make test-windows";
    return port ? port : "";
}

struct TComPairRig {
    using TLib = TWin32SerialLibrary;
    static inline const std::string kMissing = "COM199";
    static inline const std::string kMissingReason = SystemErrorText(ERROR_FILE_NOT_FOUND);
    static inline const std::string kNotSerial = "NUL";

    TComPairRig() { EXPECT_EQ(remote.Reset(0, 1024, 1024), 0) << remote.LastError(0); }

    void Spoil() {
        const HANDLE h =
            CreateFileW(TLib::DeviceName(lib.PortMap().PathFor(0)).c_str(),
                        GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
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
    void ExpectRaw8N1(int bps) {
        DCB dcb{};
        ASSERT_TRUE(lib.CommState(0, dcb));
        EXPECT_EQ(dcb.BaudRate, static_cast<DWORD>(bps));
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
    void Send(const std::string& text) {
        const int size = static_cast<int>(text.size());
        EXPECT_EQ(remote.PutBlock(0, reinterpret_cast<const uint8_t*>(text.data()), size), size);
    }
    std::string Drain() { return DrainPort(remote); }
    static double CpuSeconds() {
        FILETIME created, exited, kernel, user;
        GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
        auto seconds = [](FILETIME t) {
            return ((static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
        };
        return seconds(kernel) + seconds(user);
    }

    TLib lib{MapTo(PortFrom("BRINDLE_TEST_COM_A"))};
    TLib remote{MapTo(PortFrom("BRINDLE_TEST_COM_B"))};
};
INSTANTIATE_TYPED_TEST_SUITE_P(Win32Serial, SystemSerial, TComPairRig);

// COM10 and above can only be opened by their device name: every COM name is given one.
TEST(Win32SerialPorts, ComNamesBecomeDeviceNames) {
    EXPECT_EQ(TWin32SerialLibrary::DeviceName("COM12"), L"\\\\.\\COM12");
    EXPECT_EQ(TWin32SerialLibrary::DeviceName("\\\\.\\COM3"), L"\\\\.\\COM3");
}

}  // namespace
