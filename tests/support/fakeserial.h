// A serial library for tests: scripted input with arrival times, every output byte recorded
// with its time on the wire, a transmit queue that drains at the line rate, failure switches,
// optionally a simulated peer (the virtual ECU) on the other end of the line, and a scripted
// far end whose answers wait for the host's commands (the fuzzers' line).
// All times come from the given clock; with a TManualClock a wait advances virtual time.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <utility>
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
};

class TFakeSerialLibrary : public TSerialLibrary {
public:
    explicit TFakeSerialLibrary(TClock& clock) : clock(clock) {}

    int SetLineFormat(int, int, int, int) override { return 0; }
    int Reset(int port, int rxQueue, int txQueue) override;
    int SetBaud(int port, int code) override;
    int Close(int port) override;
    int TxQueueLength(int port) override;
    int GetByte(int port) override;
    int PutByte(int port, int byte) override;
    int PutBlock(int port, const uint8_t* bytes, int count) override;
    bool WaitReadable(int port, std::chrono::milliseconds timeout) override;
    std::string LastError(int) const override { return Get(lastError); }

    // Scripted input: the bytes become readable at atUs, in order.
    void AddInput(const std::vector<uint8_t>& bytes, int64_t atUs);
    void AddInputText(const std::string& text, int64_t atUs) {
        AddInput(std::vector<uint8_t>(text.begin(), text.end()), atUs);
    }
    void AttachPeer(TSerialPeer* p) { Set(peer, p); }

    // A scripted far end: chunks of line data that arrive on their own time or answer the
    // host's commands.
    struct TChunk {
        bool reactive = false;  // answers the host's next command
        int64_t delayUs = 0;    // after the previous chunk's arrival, or after the command
        std::vector<uint8_t> bytes;
    };
    // Decodes a run of chunks, each a control byte, a length byte and `length` bytes of line
    // data (cut short at the end of input). Control bit 7: the chunk is reactive. Bits 0-6:
    // the delay, 0..6.3 ms in 0.1 ms steps, 0..155 ms in 5 ms steps, then 0..3.1 s in 100 ms
    // steps, so that the 500 ms and 4 s waits can be met on either side.
    static std::vector<TChunk> DecodeScript(const uint8_t* data, size_t size);
    // Plays the chunks from now on, in order. A reactive chunk is released by the host's first
    // burst of puts (the bytes of one command, put at one instant) once the previous chunk has
    // arrived, and arrives its delay later; an empty one stands for a command left unanswered.
    // Any other chunk arrives its delay after the previous one, whatever the host does.
    void PlayScript(std::vector<TChunk> chunks);
    // Arrival time of the latest chunk released so far (the start time when none is).
    int64_t LastArrivalUs() const { return Get(lastArrivalUs); }

    struct TSent {
        uint8_t byte;
        int64_t putUs;    // when the program handed it to the library
        int64_t startUs;  // when its start bit went out
        int64_t endUs;    // when its stop bit ended
        int baudCode;
    };
    std::vector<TSent> Sent() const { return Get(sent); }
    // The traffic in both directions, in order: each byte put by the host and each it read.
    struct TEvent {
        bool fromHost;
        uint8_t byte;
        int64_t atUs;  // when it was put or read
    };
    std::vector<TEvent> Traffic() const { return Get(traffic); }
    std::vector<uint8_t> SentBytes() const;
    size_t SentCount() const;

    // Failure switches.
    void SetFailReset(bool fail, std::string reason = "Device or resource busy");
    void SetFailSetBaud(bool fail) { Set(failSetBaud, fail); }

    // Observations.
    bool IsOpen() const { return Get(open); }
    int BaudCode() const { return Get(baudCode); }
    // Every successful rate change, in order.
    std::vector<int> BaudHistory() const { return Get(baudHistory); }
    // PutByte and PutBlock calls.
    int PutCalls() const { return Get(putCalls); }
    int Resets() const { return Get(resets); }

private:
    // A copy of `value`, taken under the lock.
    template <typename T>
    T Get(const T& value) const {
        std::lock_guard<std::mutex> lock(mutex);
        return value;
    }
    template <typename T>
    void Set(T& field, T value) {
        std::lock_guard<std::mutex> lock(mutex);
        field = std::move(value);
    }
    bool AvailableLocked(int64_t now);
    int PutLocked(const uint8_t* bytes, int count);
    void AddInputLocked(const std::vector<uint8_t>& bytes, int64_t atUs);
    // Queues the script's chunks that are due at `now`; `hostPut` when the host has just put.
    void ReleaseLocked(int64_t now, bool hostPut);

    TClock& clock;
    mutable std::mutex mutex;
    TSerialPeer* peer = nullptr;
    std::deque<std::pair<int64_t, uint8_t>> scripted;
    std::deque<uint8_t> ready;
    std::vector<TChunk> script;
    size_t nextChunk = 0;
    int64_t lastArrivalUs = 0;
    int64_t lastReleaseUs = INT64_MIN;
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
