// The serial library over the Win32 communications API: COM ports opened exclusively with
// CreateFileW for overlapped I/O, 8N1 at the five rates through a DCB with every field that
// matters set, and no read time-outs: a wait for input is a one-byte read left pending, which
// the thread sleeps on until the first byte comes or the wait is over (never a busy loop).
// Reads of what has arrived ask the driver how much is there and take exactly that.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/systemserial.h"
#include "platform/win32.h"

struct TWin32Port {
    TWin32Port();
    ~TWin32Port();  // ends a pending read and closes the device
    TWin32Port(const TWin32Port&) = delete;
    TWin32Port& operator=(const TWin32Port&) = delete;
    bool Present() const { return handle != INVALID_HANDLE_VALUE; }
    // Ends the pending one-byte read, if any (before the handle is closed).
    void EndWatch();

    HANDLE handle = INVALID_HANDLE_VALUE;  // invalid while the device is lost
    std::string path;
    int rxQueue = 0;  // the queue sizes Reset was given, for reopening
    int txQueue = 0;
    int baudCode = 5;
    std::vector<uint8_t> rx;
    size_t rxPos = 0;
    int64_t nextReopenMs = 0;
    // The one-byte read a wait sleeps on; it stays pending from one wait to the next.
    OVERLAPPED watch{};
    uint8_t watchByte = 0;
    bool watching = false;
    OVERLAPPED io{};  // reads of what has arrived, and writes
};

class TWin32SerialLibrary : public TSystemSerialLibrary<TWin32Port> {
public:
    explicit TWin32SerialLibrary(TPortMap map = TPortMap());
    TWin32SerialLibrary(const TWin32SerialLibrary&) = delete;
    TWin32SerialLibrary& operator=(const TWin32SerialLibrary&) = delete;

    int Reset(int port, int rxQueue, int txQueue) override;
    int Close(int port) override;
    int TxQueueLength(int port) override;
    int GetByte(int port) override;
    int PutByte(int port, int byte) override;
    int PutBlock(int port, const uint8_t* bytes, int count) override;
    bool WaitReadable(int port, std::chrono::milliseconds timeout) override;

    // A write that makes no progress for this long (plus 2 ms a byte) is given up.
    static constexpr DWORD kWriteTimeoutMs = 1000;

    // The line settings the system holds for an open port; false when it has none.
    bool CommState(int port, DCB& dcb) const;
    // The name CreateFileW is given for a device path: "COM12" becomes "\\.\COM12".
    static std::wstring DeviceName(const std::string& path);

private:
    using TPort = TWin32Port;

    // Line format, rate and time-outs; false with GetLastError() set.
    bool ApplyLine(TPort& p) override;
    int LineRefused(int port, TPort& p) override;
    // Opens the device; the handle, or INVALID_HANDLE_VALUE with the error set.
    HANDLE OpenDevice(int port, const std::string& path, int rxQueue, int txQueue, int& result);
    // Moves the bytes that have arrived into p.rx without waiting; false when the device no
    // longer answers.
    bool TakeArrived(TPort& p);
    // The device stopped answering: let it go and look for it again later.
    void LoseDevice(TPort& p);
    // A lost device that has come back is opened again (at most every kReopenIntervalMs).
    bool TryReopen(int port, TPort& p);
};
