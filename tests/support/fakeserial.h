// A serial library for tests: scripted input with arrival times, every output byte recorded
// with its time on the wire, a transmit queue that drains at the line rate, failure switches,
// and optionally a simulated peer (the virtual ECU) on the other end of the line.
// All times come from the given clock; with a TManualClock a wait advances virtual time.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include <chrono>

#include "ecu/clock.h"
#include "ecu/seriallibrary.h"

// The far end of the line. Times are in nanoseconds.
class TSerialPeer {
public:
    virtual ~TSerialPeer() = default;
    // The host put byte b on the line; its start bit begins at `start`, at bps bits per second.
    virtual void HostSent(uint8_t b, std::chrono::nanoseconds start, int bps) = 0;
    // Runs the peer up to `when` and appends the bytes that have completely arrived at the host,
    // as a receiver at hostBps decodes them.
    virtual void Poll(std::chrono::nanoseconds when, int hostBps, std::vector<uint8_t>& out) = 0;
    // The earliest time after `when` at which Poll may give something new; the largest time
    // when idle.
    virtual std::chrono::nanoseconds NextEvent(std::chrono::nanoseconds when, int hostBps) = 0;
    // The host put bytes on the line at `at` (once per put call, after HostSent for each).
    virtual void HostPut(std::chrono::nanoseconds /*at*/) {}
};

class TFakeSerialLibrary : public TSerialLibrary {
public:
    explicit TFakeSerialLibrary(TClock& clock) : clock(clock) {}

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

    // Scripted input: the bytes become readable at atUs, in order.
    void AddInput(const std::vector<uint8_t>& bytes, int64_t atUs);
    void AddInputText(const std::string& text, int64_t atUs);
    void AttachPeer(TSerialPeer* p);

    struct TSent {
        uint8_t byte;
        int64_t putUs;    // when the program handed it to the library
        int64_t startUs;  // when its start bit went out
        int64_t endUs;    // when its stop bit ended
        int baudCode;
    };
    std::vector<TSent> Sent() const;
    // The traffic in both directions, in order: each byte put by the host and each it read.
    struct TEvent {
        bool fromHost;
        uint8_t byte;
        int64_t atUs;  // when it was put or read
    };
    std::vector<TEvent> Traffic() const;
    std::vector<uint8_t> SentBytes() const;
    size_t SentCount() const;

    // Failure switches.
    void SetFailReset(bool fail, std::string reason = "Device or resource busy");
    void SetFailSetBaud(bool fail);

    // Observations.
    bool IsOpen() const;
    int BaudCode() const;
    std::vector<int> BaudHistory() const;  // every successful rate change, in order
    int PutCalls() const;                  // PutByte and PutBlock calls
    int Resets() const;

private:
    bool AvailableLocked(int64_t now);
    int BpsLocked() const;
    int PutLocked(const uint8_t* bytes, int count);

    TClock& clock;
    mutable std::mutex mutex;
    TSerialPeer* peer = nullptr;
    std::deque<std::pair<int64_t, uint8_t>> scripted;
    std::deque<uint8_t> ready;
    std::vector<TSent> sent;
    std::vector<TEvent> traffic;
    int64_t txEndNs = 0;
    bool open = false;
    int baudCode = 5;
    bool failReset = false;
    bool failSetBaud = false;
    std::string resetReason;
    std::string lastError;
    std::vector<int> baudHistory;
    int putCalls = 0;
    int resets = 0;
};
