// The serial library over POSIX termios and poll(): raw 8N1 at the five rates.
// Works on real devices (/dev/ttyUSB*, /dev/ttyACM*, /dev/ttyS*) and on pseudo-terminals,
// which reject modem-line ioctls (none are used).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/systemserial.h"

struct TPosixPort {
    bool Present() const { return fd >= 0; }

    int fd = -1;  // -1 while the device is lost
    std::string path;
    int baudCode = 5;
    std::vector<uint8_t> rx;
    size_t rxPos = 0;
    int64_t nextReopenMs = 0;
};

class TPosixSerialLibrary : public TSystemSerialLibrary<TPosixPort> {
public:
    explicit TPosixSerialLibrary(TPortMap map = TPortMap());
    ~TPosixSerialLibrary() override;
    TPosixSerialLibrary(const TPosixSerialLibrary&) = delete;
    TPosixSerialLibrary& operator=(const TPosixSerialLibrary&) = delete;

    int Reset(int port, int rxQueue, int txQueue) override;
    int Close(int port) override;
    int TxQueueLength(int port) override;
    int GetByte(int port) override;
    int PutByte(int port, int byte) override;
    int PutBlock(int port, const uint8_t* bytes, int count) override;
    bool WaitReadable(int port, std::chrono::milliseconds timeout) override;

private:
    using TPort = TPosixPort;

    bool ApplyLine(TPort& p) override { return ApplyTermios(p) == 0; }
    int LineRefused(int port, TPort& p) override;
    // Opens the device and sets it up; the file descriptor, or -1 with the error set.
    int OpenDevice(int port, const std::string& path, int& result);
    // The device reported a hang-up or an I/O error: let it go and look for it again later.
    void LoseDevice(TPort& p);
    // A lost device that has come back is opened again (at most every kReopenIntervalMs).
    bool TryReopen(int port, TPort& p);
    int ApplyTermios(TPort& p);
    bool WriteAll(TPort& p, const uint8_t* bytes, size_t count);
};
