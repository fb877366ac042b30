// The serial library over the Win32 communications API: COM ports opened exclusively with
// CreateFileW for overlapped I/O, 8N1 at the five rates through a DCB with every field that
// matters set, and no read time-outs: a wait for input is a one-byte read left pending, which
// the thread sleeps on until the first byte comes or the wait is over (never a busy loop).
// Reads of what has arrived ask the driver how much is there and take exactly that.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <atomic>
#include <map>
#include <string>
#include <vector>

#include "ecu/seriallibrary.h"
#include "platform/portmap.h"

class TWin32SerialLibrary : public TSerialLibrary {
public:
    explicit TWin32SerialLibrary(TPortMap map = TPortMap());
    ~TWin32SerialLibrary() override;
    TWin32SerialLibrary(const TWin32SerialLibrary&) = delete;
    TWin32SerialLibrary& operator=(const TWin32SerialLibrary&) = delete;

    int SetLineFormat(int port, int parity, int stopBits, int dataBits) override;
    int Reset(int port, int rxQueue, int txQueue) override;
    int SetBaud(int port, int code) override;
    int Close(int port) override;
    int TxQueueLength(int port) override;
    int GetByte(int port) override;
    int PutByte(int port, int byte) override;
    int PutBlock(int port, const uint8_t* bytes, int count) override;
    bool WaitReadable(int port, int ms) override;
    std::string LastError(int port) const override;

    const TPortMap& PortMap() const { return map; }

    // Results other than 0 from Reset, as the termios library gives them.
    static constexpr int kErrNoDevice = -2;   // no name for the port number
    static constexpr int kErrOpen = -3;       // CreateFileW failed (no such port)
    static constexpr int kErrNotSerial = -4;  // the name is not a communications device
    static constexpr int kErrBusy = -5;       // another program holds the port
    static constexpr int kErrSetup = -6;      // the line settings were refused

    // How often a lost device is looked for again.
    static constexpr int kReopenIntervalMs = 250;
    // A write that makes no progress for this long (plus 2 ms a byte) is given up.
    static constexpr DWORD kWriteTimeoutMs = 1000;

    // Whether the device of an open port has gone away (and is being looked for again).
    bool Lost(int port) const;
    // How many times a lost device was found and opened again (readable from any thread).
    int Reopens() const { return reopens.load(); }
    // The line settings the system holds for an open port; false when it has none.
    bool CommState(int port, DCB& dcb) const;
    // The name CreateFileW is given for a device path: "COM12" becomes "\\.\COM12".
    static std::wstring DeviceName(const std::string& path);

private:
    struct TPort {
        TPort();
        ~TPort();
        TPort(const TPort&) = delete;
        TPort& operator=(const TPort&) = delete;

        HANDLE handle = INVALID_HANDLE_VALUE;  // invalid while the device is lost
        std::string path;
        int rxQueue = 0;  // the queue sizes Reset was given, for reopening
        int txQueue = 0;
        int baudCode = 5;
        std::vector<uint8_t> rx;
        size_t rxPos = 0;
        ULONGLONG nextReopenMs = 0;
        // The one-byte read a wait sleeps on; it stays pending from one wait to the next.
        OVERLAPPED watch{};
        uint8_t watchByte = 0;
        bool watching = false;
        OVERLAPPED io{};  // reads of what has arrived, and writes
    };

    TPort* OpenPort(int port);
    // Opens the device; the handle, or INVALID_HANDLE_VALUE with the error set.
    HANDLE OpenDevice(int port, const std::string& path, int rxQueue, int txQueue, int& result);
    // Line format, rate and time-outs; false with GetLastError() set.
    bool ApplyState(TPort& p);
    // Moves the bytes that have arrived into p.rx without waiting; false when the device no
    // longer answers.
    bool TakeArrived(TPort& p);
    // Ends the pending one-byte read, if any (before the handle is closed).
    void StopWatch(TPort& p);
    // The device stopped answering: let it go and look for it again later.
    void LoseDevice(TPort& p);
    // A lost device that has come back is opened again (at most every kReopenIntervalMs).
    bool TryReopen(int port, TPort& p);
    void SetError(int port, std::string text);

    TPortMap map;
    std::map<int, TPort> ports;  // nodes never move: pending reads point into them
    std::map<int, std::string> errors;
    std::atomic<int> reopens{0};
    int parity = 0;
    int stopBits = 0;
    int dataBits = 8;
};
