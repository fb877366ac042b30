// Packet receiving on arbitrary bytes.
//
// First input byte, bit 0 clear: the rest is fed straight to TakeByte, packet after packet
// (Reset between them, as ReceiveKaloPacket does). Bit 0 set: the rest is a script of chunks
// (fuzz/scriptedline.h) arriving on a port over the fake serial library, and ReceiveKaloPacket
// is called until the line falls silent. Checked on every packet:
// - no byte is taken at a receive position beyond 259 (255 payload bytes, 3 header bytes and
//   2 CRC bytes), and a complete packet has taken exactly size + 5 bytes;
// - seq, type, size, payload and the received CRC are the bytes taken, in frame order;
// - Good() implies the CRC-16/MODBUS of the bytes taken matches the received one;
// - DataByte gives the payload byte for a good packet within size, 0 otherwise;
// - on the port (received by a session): one incoming log line per complete packet, none
//   for a packet cut short; packets take the line's bytes in order, none twice and none that
//   never came, and what arrived of a packet cut short is gone with it; a receive gives up
//   only after the line was silent for longer than the reply time-out, and its result is
//   Good().
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "ecu/ecu.h"
#include "ecu/packet.h"
#include "ecu/serialcomm.h"
#include "fuzz/check.h"
#include "fuzz/scriptedline.h"
#include "tests/support/manualclock.h"
#include "tests/support/memorysettings.h"

namespace {

// Checks a packet against the bytes it took (the frame without its start byte).
void CheckPacket(const TKaloPacket& p, const std::vector<uint8_t>& taken) {
    Check(p.rxPos == taken.size(), "rxPos differs from the bytes taken");
    Check(p.rxPos <= 3u + kKaloMaxPayload + kKaloCrcBytes, "byte taken beyond position 259");
    if (taken.size() >= 1) {
        Check(p.seq == taken[0], "seq is not byte 0");
    }
    if (taken.size() >= 2) {
        Check(p.type == taken[1], "type is not byte 1");
    }
    if (taken.size() >= 3) {
        Check(p.size == taken[2], "size is not byte 2");
        Check(p.payload.size() == p.size, "payload length differs from size");
        const size_t have = std::min<size_t>(taken.size() - 3, p.size);
        for (size_t i = 0; i < have; ++i) {
            Check(p.payload[i] == taken[3 + i], "payload differs from the bytes taken");
        }
    }
    if (p.complete) {
        Check(taken.size() == p.size + 5u, "complete packet of the wrong length");
        const uint16_t rx = static_cast<uint16_t>(taken[p.size + 3] | (taken[p.size + 4] << 8));
        Check(p.rxCrc == rx, "rxCrc is not the last two bytes");
        const uint16_t crc = Crc16(taken.data(), p.size + 3u);
        Check(p.crc == crc, "computed CRC is wrong");
    } else {
        Check(taken.size() < 3 || taken.size() < p.size + 5u, "incomplete after its last byte");
    }
    if (p.Good()) {
        Check(p.complete && Crc16(taken.data(), taken.size() - 2) == p.rxCrc,
              "Good() with a CRC that does not match");
    }
    for (unsigned i = 0; i < 300; ++i) {
        const uint8_t expected = p.Good() && i < p.size ? p.payload[i] : 0;
        Check(p.DataByte(i) == expected, "DataByte");
    }
}

void FeedDirect(const uint8_t* data, size_t size) {
    TKaloPacket p;
    size_t i = 0;
    while (i < size) {
        p.Reset();
        std::vector<uint8_t> taken;
        bool more = true;
        while (more && i < size) {
            Check(p.rxPos <= 259, "TakeByte wanted a byte beyond position 259");
            taken.push_back(data[i]);
            more = p.TakeByte(data[i++]);
        }
        Check(more != p.complete, "TakeByte's result disagrees with complete");
        CheckPacket(p, taken);
    }
}

void FeedPort(const uint8_t* data, size_t size) {
    TManualClock clock;
    std::vector<TChunk> chunks = DecodeChunks(data, size);
    for (TChunk& c : chunks) {
        c.reactive = false;  // nothing is sent here, so nothing could release an answer
    }
    TScriptedPeer line(clock.Now(), std::move(chunks));
    TFakeSerialLibrary lib(clock);
    lib.AttachPeer(&line);
    TMemorySettingsStore store;
    TSerialComm port(lib, store, clock);
    Check(port.Open(), "the fake port did not open");
    std::ostringstream log;
    TStreamLogSink sink(log);
    TECU session(&port, nullptr, &sink);
    const size_t total = line.AllBytes().size();
    size_t consumed = 0;  // bytes taken by the packets so far, in line order
    while (consumed < total) {
        log.str("");
        TKaloPacket p;
        const size_t readBefore = lib.Traffic().size();
        const int64_t start = clock.NowUs();
        const bool good = session.ReceivePacket(p);
        // The port may read ahead of the packet: a packet takes the next bytes of the line,
        // whichever call read them from the library.
        const auto events = lib.Traffic();
        Check(consumed + p.rxPos <= events.size(), "a packet took bytes the line never gave");
        std::vector<uint8_t> taken;
        for (size_t k = consumed; k < consumed + p.rxPos; ++k) {
            taken.push_back(events[k].byte);
        }
        consumed += p.rxPos;
        Check(good == p.Good(), "ReceivePacket's result is not Good()");
        CheckPacket(p, taken);
        const std::string lines = log.str();
        Check(std::count(lines.begin(), lines.end(), '\n') == (p.complete ? 1 : 0), "log lines");
        if (!p.complete) {
            const int64_t since = events.size() > readBefore ? events.back().atUs : start;
            Check(std::chrono::microseconds(clock.NowUs() - since) > port.timeoutMs,
                  "gave up on a packet before a byte timed out");
            // What arrived of a packet that was cut short goes with it: the next reader must
            // not take the rest of a dead packet for a new one.
            consumed = events.size();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    if (data[0] & 1) {
        FeedPort(data + 1, size - 1);
    } else {
        FeedDirect(data + 1, size - 1);
    }
    return 0;
}
