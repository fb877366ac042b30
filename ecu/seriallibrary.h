// The serial library the port object is built on: eight operations plus a readiness wait.
// Every result is an int, as the program relies on it:
//   Reset returns 0 when the port is open and usable; SetBaud returns >= 0 on success;
//   GetByte returns kNoByte when nothing is waiting, else the byte in the low 8 bits;
//   TxQueueLength returns the bytes not yet sent (0 when all are out).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

class TSerialLibrary {
public:
    static constexpr int kNoByte = -100;
    static constexpr int kAllPorts = -1;

    virtual ~TSerialLibrary() = default;

    // Line format for `port` (kAllPorts: every port opened from now on). parity 0 = none,
    // stopBits 0 = one stop bit, dataBits 8.
    virtual int SetLineFormat(int port, int parity, int stopBits, int dataBits) = 0;
    // Opens (or reopens) the port with the given queue sizes in bytes.
    virtual int Reset(int port, int rxQueue, int txQueue) = 0;
    // Sets the line rate by code: 5 = 9600, 6 = 19200, 7 = 38400, 8 = 57600, 9 = 115200.
    virtual int SetBaud(int port, int code) = 0;
    virtual int Close(int port) = 0;
    virtual int TxQueueLength(int port) = 0;
    virtual int GetByte(int port) = 0;
    virtual int PutByte(int port, int byte) = 0;
    virtual int PutBlock(int port, const uint8_t* bytes, int count) = 0;

    // Waits at most `timeout` for a byte to become readable; returns true as soon as one is.
    // Lets a receive loop end its pause early instead of sleeping it out.
    virtual bool WaitReadable(int port, std::chrono::milliseconds timeout) = 0;

    // The operating system's reason for the last failure on `port` (empty when none).
    virtual std::string LastError(int port) const = 0;
};

// Baud codes of the serial library and their bit rates.
constexpr int kBaudCodeMin = 5;
constexpr int kBaudCodeMax = 9;
// Bits per second for a baud code, or 0 for a code outside 5..9.
int BaudCodeToBps(int code);
// Baud code for a bit rate, or 0 when the rate is not one of the five.
int BpsToBaudCode(int bps);
