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
// The script plays as the peer of the fake serial library (TScriptedPeer).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

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

std::vector<TChunk> DecodeChunks(const uint8_t* data, size_t size);
// For each chunk that starts with the start byte: puts the right CRC into the frames that lie
// back to back from its start, so mutated packets still pass the CRC check and reach the
// code behind it. Bytes after the last whole frame are left alone.
void RepairFrameCrcs(std::vector<TChunk>& chunks);

// The far end of the fake serial library's line: hands the host the scripted chunks as they
// fall due. The fake library records the traffic in both directions (Traffic()).
class TScriptedPeer : public TSerialPeer {
public:
    TScriptedPeer(std::chrono::nanoseconds start, std::vector<TChunk> chunks);

    void HostSent(uint8_t, std::chrono::nanoseconds, int) override {}
    void HostPut(std::chrono::nanoseconds at) override { Release(at, true); }
    void Poll(std::chrono::nanoseconds when, int hostBps, std::vector<uint8_t>& out) override;
    std::chrono::nanoseconds NextEvent(std::chrono::nanoseconds when, int hostBps) override;

    // Arrival time of the latest chunk released so far (the start time when none is).
    int64_t LastArrivalUs() const { return lastArrival.count() / 1000; }
    // Every byte of every chunk, in line order, whether released or not.
    std::vector<uint8_t> AllBytes() const;

private:
    // Releases the chunks that are due at `now`; `hostPut` when the host has just put bytes.
    void Release(std::chrono::nanoseconds now, bool hostPut);

    std::vector<TChunk> chunks;
    size_t nextChunk = 0;
    std::chrono::nanoseconds lastArrival;
    std::chrono::nanoseconds lastRelease = std::chrono::nanoseconds::min();
    std::deque<std::pair<std::chrono::nanoseconds, std::vector<uint8_t>>> due;
};

// The small image the upload fuzzer writes: `usedLength` bytes of a pattern, the last one
// 0x00 so that it counts, the rest erased.
void FillUploadImage(TIHexFile& image, int usedLength);
