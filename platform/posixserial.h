// The serial library over POSIX termios and poll(): raw 8N1 at the five rates.
// Works on real devices (/dev/ttyUSB*, /dev/ttyACM*, /dev/ttyS*) and on pseudo-terminals,
// which reject modem-line ioctls (none are used).
#pragma once

#include <atomic>
#include <map>
#include <string>
#include <vector>

#include "ecu/seriallibrary.h"
#include "platform/portmap.h"

class TPosixSerialLibrary : public TSerialLibrary {
public:
    explicit TPosixSerialLibrary(TPortMap map = TPortMap());
    ~TPosixSerialLibrary() override;
    TPosixSerialLibrary(const TPosixSerialLibrary&) = delete;
    TPosixSerialLibrary& operator=(const TPosixSerialLibrary&) = delete;

    int SetLineFormat(int port, int parity, int stopBits, int dataBits) override;
    int Reset(int port, int rxQueue, int txQueue) override;
    int SetBaud(int port, int code) override;
    int Close(int port) override;
    int TxQueueLength(int port) override;
    int GetByte(int port) override;
    int PutByte(int port, int byte) override;
    int PutBlock(int port, const uint8_t* bytes, int count) override;
    bool WaitReadable(int port, std::chrono::milliseconds timeout) override;
    std::string LastError(int port) const override;

    const TPortMap& PortMap() const { return map; }

    // Results other than 0 from Reset.
    static constexpr int kErrNoDevice = -2;  // no path for the port number
    static constexpr int kErrOpen = -3;      // open() failed (missing, permission)
    static constexpr int kErrNotTty = -4;    // the path is not a terminal
    static constexpr int kErrBusy = -5;      // another program holds the port
    static constexpr int kErrSetup = -6;     // the line settings were refused

    // How often a lost device is looked for again.
    static constexpr int kReopenIntervalMs = 250;

    // Whether the device of an open port has gone away (and is being looked for again).
    bool Lost(int port) const;
    // How many times a lost device was found and opened again (readable from any thread).
    int Reopens() const { return reopens.load(); }

private:
    struct TPort {
        int fd = -1;  // -1 while the device is lost
        std::string path;
        int baudCode = 5;
        std::vector<uint8_t> rx;
        size_t rxPos = 0;
        int64_t nextReopenMs = 0;
    };

    TPort* OpenPort(int port);
    // Opens the device and sets it up; the file descriptor, or -1 with the error set.
    int OpenDevice(int port, const std::string& path, int& result);
    // The device reported a hang-up or an I/O error: let it go and look for it again later.
    void LoseDevice(TPort& p);
    // A lost device that has come back is opened again (at most every kReopenIntervalMs).
    bool TryReopen(int port, TPort& p);
    int ApplyTermios(TPort& p);
    bool WriteAll(TPort& p, const uint8_t* bytes, size_t count);
    void SetError(int port, std::string text);

    TPortMap map;
    std::map<int, TPort> ports;
    std::map<int, std::string> errors;
    std::atomic<int> reopens{0};
    int parity = 0;
    int stopBits = 0;
    int dataBits = 8;
};
