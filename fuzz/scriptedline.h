// The far end of the line for the fuzzers: the fuzzer's bytes become the ECU's (or the boot
// loader's) answers, and the fuzzer also decides when each answer arrives.
//
// Input layout after a target's own header: a run of chunks, each
//   control byte, length byte, `length` bytes of line data (cut short at the end of input).
// Control bit 7 set: the chunk answers the host. It is released by the host's first burst of
// puts (the bytes of one command, put at one instant) once the previous chunk has arrived,
// and arrives the delay later; an empty one stands for a command left unanswered.
// Bit 7 clear: the chunk arrives the delay after the previous one, whatever the host does.
// Bits 0-6 give the delay (DelayUs). Everything runs on a manual clock: no real waiting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ecu/seriallibrary.h"
#include "tests/support/fakeserial.h"

class TIHexFile;

struct TChunk {
    bool reactive = false;
    uint8_t delayCode = 0;
    std::vector<uint8_t> bytes;
};

// Delay of a control byte's bits 0-6: 0..6.3 ms in 0.1 ms steps, 0..155 ms in 5 ms steps,
// then 0..3.1 s in 100 ms steps, so the 500 ms and 4 s waits can be met on either side.
int64_t DelayUs(uint8_t code);
// The code of the longest delay not above `us` (for recording seeds).
uint8_t DelayCode(int64_t us);

std::vector<TChunk> DecodeChunks(const uint8_t* data, size_t size);
// For each chunk that starts with the start byte: puts the right CRC into the frames that lie
// back to back from its start, so mutated packets still pass the CRC check and reach the
// code behind it. Bytes after the last whole frame are left alone.
void RepairFrameCrcs(std::vector<TChunk>& chunks);
std::vector<uint8_t> EncodeChunks(const std::vector<TChunk>& chunks);

// A serial library that hands the host the scripted chunks through TFakeSerialLibrary's
// AddInput and records the traffic in both directions, in order.
class TScriptedLine : public TSerialLibrary {
public:
    struct TEvent {
        bool fromHost;  // true: the host put `byte` on the line; false: the host read it
        uint8_t byte;
        int64_t atUs;  // when it was put or read
    };

    TScriptedLine(TClock& clock, std::vector<TChunk> chunks);

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

    const std::vector<TEvent>& Events() const { return events; }
    // Arrival time of the latest chunk released so far (the start time when none is).
    int64_t LastArrivalUs() const { return lastArrivalUs; }
    // Every byte of every chunk, in line order, whether released or not.
    std::vector<uint8_t> AllBytes() const;

private:
    // Releases the chunks that are due; `hostPut` when the host has just put bytes.
    void Release(bool hostPut);

    TClock& clock;
    TFakeSerialLibrary fake;
    std::vector<TChunk> chunks;
    size_t nextChunk = 0;
    int64_t lastArrivalUs;
    int64_t lastReleaseUs = INT64_MIN;  // when the host's put last released an answer
    std::vector<TEvent> events;
};

// The small image the upload fuzzer writes: `usedLength` bytes of a pattern, the last one
// 0x00 so that it counts, the rest erased.
void FillUploadImage(TIHexFile& image, int usedLength);
