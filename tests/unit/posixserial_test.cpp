// The termios serial library against a pseudo-terminal pair made by the test: the library
// opens the slave side, the test plays the far end on the master side.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <string>

#include "platform/posixserial.h"

namespace {

class PtyPair {
public:
    PtyPair() {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        EXPECT_GE(master, 0);
        EXPECT_EQ(grantpt(master), 0);
        EXPECT_EQ(unlockpt(master), 0);
        slavePath = ptsname(master);
        termios tio{};
        tcgetattr(master, &tio);
        cfmakeraw(&tio);
        tcsetattr(master, TCSANOW, &tio);
    }
    ~PtyPair() { close(master); }

    speed_t SlaveSpeed() const {
        termios tio{};
        // On Linux the master reports the slave's line settings.
        tcgetattr(master, &tio);
        return cfgetospeed(&tio);
    }
    std::string ReadAll(int waitMs = 200) const {
        std::string out;
        pollfd pfd{master, POLLIN, 0};
        while (poll(&pfd, 1, waitMs) > 0 && (pfd.revents & POLLIN)) {
            char buf[256];
            const ssize_t n = read(master, buf, sizeof buf);
            if (n <= 0) {
                break;
            }
            out.append(buf, static_cast<size_t>(n));
            waitMs = 20;
        }
        return out;
    }

    int master = -1;
    std::string slavePath;
};

TPosixSerialLibrary LibraryOn(const std::string& path) {
    TPortMap map;
    map.SetRunOverride(path);
    return TPosixSerialLibrary(map);
}

// Every rate code sets its rate and leaves the line raw 8N1; an unknown code changes nothing.
TEST(PosixSerial, EveryRateIsRaw8N1) {
    PtyPair pty;
    TPosixSerialLibrary lib = LibraryOn(pty.slavePath);
    ASSERT_EQ(lib.SetLineFormat(TSerialLibrary::kAllPorts, 0, 0, 8), 0);
    ASSERT_EQ(lib.Reset(0, 1024, 1024), 0) << lib.LastError(0);
    const struct {
        int code;
        speed_t speed;
    } cases[] = {{5, B9600}, {6, B19200}, {7, B38400}, {8, B57600}, {9, B115200}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_GE(lib.SetBaud(0, c.code), 0);
        EXPECT_EQ(pty.SlaveSpeed(), c.speed);
        termios tio{};
        tcgetattr(pty.master, &tio);
        EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
        EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
        EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
        EXPECT_EQ(tio.c_iflag & (ICRNL | IXON | ISTRIP), 0u);
        EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    }
    EXPECT_LT(lib.SetBaud(0, 4), 0);
    EXPECT_LT(lib.SetBaud(0, 10), 0);
    EXPECT_EQ(pty.SlaveSpeed(), B115200);
}

TEST(PosixSerial, BytesTravelBothWaysUnchanged) {
    PtyPair pty;
    TPosixSerialLibrary lib = LibraryOn(pty.slavePath);
    ASSERT_EQ(lib.Reset(3, 1024, 1024), 0);
    EXPECT_EQ(lib.GetByte(3), TSerialLibrary::kNoByte);
    EXPECT_FALSE(lib.WaitReadable(3, std::chrono::milliseconds(10)));

    // Every byte value, including CR, LF, XON/XOFF and the interrupt characters.
    std::string all;
    for (int i = 0; i < 256; ++i) {
        all.push_back(static_cast<char>(i));
    }
    EXPECT_EQ(lib.PutByte(3, 0x0A), 0);
    EXPECT_EQ(lib.PutBlock(3, reinterpret_cast<const uint8_t*>(all.data()), 256), 256);
    EXPECT_EQ(pty.ReadAll(), std::string("\n") + all);

    ASSERT_EQ(write(pty.master, all.data(), all.size()), 256);
    ASSERT_TRUE(lib.WaitReadable(3, std::chrono::milliseconds(1000)));
    std::string got;
    for (int idle = 0; got.size() < 256 && idle < 50;) {
        const int b = lib.GetByte(3);
        if (b == TSerialLibrary::kNoByte) {
            lib.WaitReadable(3, std::chrono::milliseconds(20));
            ++idle;
            continue;
        }
        got.push_back(static_cast<char>(b));
    }
    EXPECT_EQ(got, all);
    EXPECT_EQ(lib.GetByte(3), TSerialLibrary::kNoByte);
    EXPECT_EQ(lib.TxQueueLength(3), 0);
}

// Reset opens (a reset of an open port reopens it), Close closes; a second library on the
// same device is refused as in use; a missing device or one that is no terminal fails with
// the system's reason; port numbers outside 0..7 have no device.
TEST(PosixSerial, OpeningClosingAndWhyAnOpenFailed) {
    PtyPair pty;
    TPosixSerialLibrary lib = LibraryOn(pty.slavePath);
    ASSERT_EQ(lib.Reset(0, 1024, 1024), 0);
    ASSERT_EQ(lib.Reset(0, 1024, 1024), 0) << lib.LastError(0);
    TPosixSerialLibrary second = LibraryOn(pty.slavePath);
    EXPECT_EQ(second.Reset(0, 1024, 1024), TPosixSerialLibrary::kErrBusy);
    EXPECT_NE(second.LastError(0).find("in use"), std::string::npos) << second.LastError(0);
    EXPECT_EQ(lib.Close(0), 0);
    EXPECT_EQ(lib.GetByte(0), TSerialLibrary::kNoByte);
    EXPECT_LT(lib.PutByte(0, 1), 0);
    const struct {
        const char* path;
        int result;
        const char* reason;
    } cases[] = {
        {"/dev/brindle-no-such-device", TPosixSerialLibrary::kErrOpen, "No such file or directory"},
        {"/dev/null", TPosixSerialLibrary::kErrNotSerial, "not a serial device"},
    };
    for (const auto& c : cases) {
        TPosixSerialLibrary other = LibraryOn(c.path);
        EXPECT_EQ(other.Reset(0, 1024, 1024), c.result);
        EXPECT_NE(other.LastError(0).find(c.path), std::string::npos) << other.LastError(0);
        EXPECT_NE(other.LastError(0).find(c.reason), std::string::npos) << other.LastError(0);
    }
    TPosixSerialLibrary unmapped;
    EXPECT_EQ(unmapped.Reset(8, 1024, 1024), TPosixSerialLibrary::kErrNoDevice);
    EXPECT_EQ(unmapped.Reset(-1, 1024, 1024), TPosixSerialLibrary::kErrNoDevice);
    EXPECT_FALSE(unmapped.LastError(8).empty());
}

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

TEST(PosixSerial, DeviceThatGoesAwayIsOpenedAgainWhenItComesBack) {
    // A link that points at the current terminal, as a udev name points at a USB adapter.
    const std::string dir = testing::TempDir() + "/brindle-replug-" + std::to_string(getpid());
    mkdir(dir.c_str(), 0700);
    const std::string link = dir + "/ecu";
    auto first = std::make_unique<PtyPair>();
    unlink(link.c_str());
    ASSERT_EQ(symlink(first->slavePath.c_str(), link.c_str()), 0);
    TPosixSerialLibrary lib = LibraryOn(link);
    ASSERT_EQ(lib.Reset(0, 1024, 1024), 0);
    ASSERT_EQ(write(first->master, "a", 1), 1);
    ASSERT_TRUE(lib.WaitReadable(0, std::chrono::milliseconds(1000)));
    EXPECT_EQ(lib.GetByte(0), 'a');

    first.reset();  // the adapter is pulled out
    EXPECT_FALSE(lib.WaitReadable(0, std::chrono::milliseconds(20)));
    EXPECT_TRUE(lib.Lost(0));
    EXPECT_EQ(lib.GetByte(0), TSerialLibrary::kNoByte);
    EXPECT_LT(lib.PutByte(0, 'x'), 0);
    EXPECT_EQ(lib.SetBaud(0, 9), 0);  // kept for when it is back

    // While it is away, waiting costs (almost) no processor time.
    const double cpu0 = CpuSeconds();
    for (int i = 0; i < 60; ++i) {
        lib.WaitReadable(0, std::chrono::milliseconds(5));
        lib.GetByte(0);
    }
    EXPECT_LT(CpuSeconds() - cpu0, 0.05);
    EXPECT_TRUE(lib.Lost(0));

    PtyPair second;  // back, as another terminal under the same name
    const std::string tmp = link + ".new";
    ASSERT_EQ(symlink(second.slavePath.c_str(), tmp.c_str()), 0);
    ASSERT_EQ(rename(tmp.c_str(), link.c_str()), 0);
    for (int i = 0; i < 100 && lib.Lost(0); ++i) {
        lib.WaitReadable(0, std::chrono::milliseconds(20));
    }
    ASSERT_FALSE(lib.Lost(0));
    EXPECT_EQ(second.SlaveSpeed(), B115200);
    ASSERT_EQ(write(second.master, "b", 1), 1);
    ASSERT_TRUE(lib.WaitReadable(0, std::chrono::milliseconds(1000)));
    EXPECT_EQ(lib.GetByte(0), 'b');
    EXPECT_EQ(lib.PutByte(0, 'c'), 0);
    EXPECT_EQ(second.ReadAll(), "c");
    unlink(link.c_str());
}

TEST(PortMap, DefaultsOverridesAndTheRunOverride) {
    TPortMap map;
    const char* defaults[] = {"/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyUSB2", "/dev/ttyUSB3",
                              "/dev/ttyACM0", "/dev/ttyACM1", "/dev/ttyS0",   "/dev/ttyS1"};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(map.PathFor(i), defaults[i]);
        EXPECT_EQ(TPortMap::PortName(i), "Com" + std::to_string(i + 1));
    }
    EXPECT_EQ(map.PathFor(8), "");
    EXPECT_EQ(map.PathFor(-1), "");
    map.SetPath(2, "/dev/serial/by-id/ecu");
    EXPECT_EQ(map.PathFor(2), "/dev/serial/by-id/ecu");
    map.SetPath(2, "");
    EXPECT_EQ(map.PathFor(2), "/dev/ttyUSB2");
    map.SetRunOverride("/tmp/ecu");
    EXPECT_EQ(map.PathFor(7), "/tmp/ecu");
    EXPECT_EQ(map.PathFor(-1), "/tmp/ecu");
}

}  // namespace
