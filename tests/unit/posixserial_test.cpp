// The termios serial library: the behaviours it shares with the Win32 one
// (systemserial_cases.h) on a pseudo-terminal pair made by the test, where the library opens
// the slave side and the test plays the far end on the master side; then what only it does.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <ctime>
#include <map>
#include <string>

#include "platform/posixserial.h"
#include "tests/unit/systemserial_cases.h"

namespace {

struct PtyPair {
    PtyPair() {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        EXPECT_GE(master, 0);
        EXPECT_EQ(grantpt(master), 0);
        EXPECT_EQ(unlockpt(master), 0);
        slavePath = ptsname(master);
    }
    ~PtyPair() { close(master); }

    // The slave's line settings: on Linux the master's termios calls reach the slave's.
    termios Line() const {
        termios tio{};
        tcgetattr(master, &tio);
        return tio;
    }
    void Send(const std::string& text) const {
        EXPECT_EQ(write(master, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    // Everything that arrives within 100 ms of the last byte.
    std::string Drain() const {
        std::string out;
        char buf[256];
        for (pollfd pfd{master, POLLIN, 0}; poll(&pfd, 1, 100) > 0;) {
            const ssize_t n = read(master, buf, sizeof buf);
            if (n <= 0) {
                break;
            }
            out.append(buf, static_cast<size_t>(n));
        }
        return out;
    }

    int master = -1;
    std::string slavePath;
};

struct TPtyRig : PtyPair {
    using TLib = TPosixSerialLibrary;
    static inline const std::string kMissing = "/dev/brindle-no-such-device";
    static inline const std::string kMissingReason = "No such file or directory";
    static inline const std::string kNotSerial = "/dev/null";

    // A new pseudo-terminal is cooked already: echo, line editing, CR made LF, output
    // processing.
    void Spoil() {}
    void ExpectRaw8N1(int bps) const {
        const std::map<int, speed_t> speeds = {
            {9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}};
        const termios tio = Line();
        EXPECT_EQ(cfgetospeed(&tio), speeds.at(bps));
        EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8));
        EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
        EXPECT_EQ(tio.c_iflag & (ICRNL | IXON | ISTRIP), 0u);
        EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    }
    // On Linux clock() counts the processor time of the whole process.
    static double CpuSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

    TLib lib{MapTo(slavePath)};
};

INSTANTIATE_TYPED_TEST_SUITE_P(PosixSerial, SystemSerial, TPtyRig);

TEST(PosixSerial, DeviceThatGoesAwayIsOpenedAgainWhenItComesBack) {
    // A link that points at the current terminal, as a udev name points at a USB adapter.
    const std::string link = testing::TempDir() + "/brindle-replug-" + std::to_string(getpid());
    auto first = std::make_unique<PtyPair>();
    unlink(link.c_str());
    ASSERT_EQ(symlink(first->slavePath.c_str(), link.c_str()), 0);
    TPosixSerialLibrary lib(MapTo(link));
    ASSERT_EQ(lib.Reset(0, 1024, 1024), 0);
    // Another program finds it in use (Wine lets a COM port be opened twice: not tested there).
    TPosixSerialLibrary other(MapTo(link));
    EXPECT_EQ(other.Reset(0, 1024, 1024), TPosixSerialLibrary::kErrBusy);
    EXPECT_NE(other.LastError(0).find("in use"), std::string::npos) << other.LastError(0);

    first.reset();  // the adapter is pulled out
    EXPECT_FALSE(lib.WaitReadable(0, std::chrono::milliseconds(20)));
    EXPECT_TRUE(lib.Lost(0));
    EXPECT_EQ(lib.GetByte(0), TSerialLibrary::kNoByte);
    EXPECT_LT(lib.PutByte(0, 'x'), 0);
    EXPECT_EQ(lib.SetBaud(0, 9), 0);  // kept for when it is back

    // While it is away, waiting costs (almost) no processor time.
    const double cpu0 = TPtyRig::CpuSeconds();
    for (int i = 0; i < 60; ++i) {
        lib.WaitReadable(0, std::chrono::milliseconds(5));
        lib.GetByte(0);
    }
    EXPECT_LT(TPtyRig::CpuSeconds() - cpu0, 0.05);
    EXPECT_TRUE(lib.Lost(0));

    PtyPair second;  // back, as another terminal under the same name
    const std::string tmp = link + ".new";
    ASSERT_EQ(symlink(second.slavePath.c_str(), tmp.c_str()), 0);
    ASSERT_EQ(rename(tmp.c_str(), link.c_str()), 0);
    for (int i = 0; i < 100 && lib.Lost(0); ++i) {
        lib.WaitReadable(0, std::chrono::milliseconds(20));
    }
    ASSERT_FALSE(lib.Lost(0));
    const termios line = second.Line();
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B115200));
    second.Send("b");
    ASSERT_TRUE(lib.WaitReadable(0, std::chrono::milliseconds(1000)));
    EXPECT_EQ(lib.GetByte(0), 'b');
    EXPECT_EQ(lib.PutByte(0, 'c'), 0);
    EXPECT_EQ(second.Drain(), "c");
    unlink(link.c_str());
}

// A port's own device replaces its default until it is set empty; the run's device replaces
// every port's. (The default devices are a table: not restated here.)
TEST(PortMap, DefaultsOverridesAndTheRunOverride) {
    TPortMap map;
    const std::string fallback = map.PathFor(2);
    EXPECT_EQ(map.PathFor(8), "");
    EXPECT_EQ(map.PathFor(-1), "");
    map.SetPath(2, "/dev/serial/by-id/ecu");
    EXPECT_EQ(map.PathFor(2), "/dev/serial/by-id/ecu");
    map.SetPath(2, "");
    EXPECT_EQ(map.PathFor(2), fallback);
    map.SetRunOverride("/tmp/ecu");
    EXPECT_EQ(map.PathFor(7), "/tmp/ecu");
    EXPECT_EQ(map.PathFor(-1), "/tmp/ecu");
}

}  // namespace
