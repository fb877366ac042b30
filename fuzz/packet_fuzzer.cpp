// Packet receiving on arbitrary bytes.
//
// First input byte, bit 0 clear: the rest is fed straight to TakeByte, packet after packet
// (Reset between them, as ReceiveKaloPacket does). Bit 0 set: the rest is a script of chunks
// (TFakeSerialLibrary::DecodeScript) arriving on a port over the fake serial library, and
// ReceiveKaloPacket is called until the line falls silent. Checked on every packet:
// - no byte is taken at a receive position beyond 259 (255 payload bytes, 3 header bytes and
//   2 CRC bytes), and a complete packet has taken exactly size + 5 bytes;
// - seq, type, size, payload and the received CRC are the bytes taken, in frame order;
// - Good() exactly when the packet is complete and the CRC-16/MODBUS of the bytes taken
//   matches the received one;
// - DataByte gives the payload byte for a good packet within size, 0 otherwise;
// - on the port (received by a session): one incoming log line per complete packet, none
//   for a packet cut short; packets take the line's bytes in order, none twice and none that
//   never came, and what arrived of a packet cut short is gone with it; a receive gives up
//   only after the line was silent for longer than the reply time-out, and its result is
//   Good().
#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "ecu/ecu.h"
#include "ecu/packet.h"
#include "fuzz/harness.h"

namespace {

// Checks a packet against the bytes it took (the frame without its start byte).
void CheckPacket(const TKaloPacket& p, const std::vector<uint8_t>& taken) {
    Check(p.rxPos == taken.size(), "rxPos differs from the bytes taken");
    Check(p.rxPos <= 260, "byte taken beyond position 259");
    std::vector<uint8_t> held = {p.seq, p.type, p.size};
    held.insert(held.end(), p.payload.begin(), p.payload.end());
    const size_t n = std::min<size_t>(taken.size(), p.size + 3u);
    Check(n <= held.size() && std::equal(taken.begin(), taken.begin() + n, held.begin()),
          "seq, type, size or payload differs from the bytes taken");
    Check(taken.size() < 3 || p.payload.size() == p.size, "payload length differs from size");
    if (p.complete) {
        Check(taken.size() == p.size + 5u, "complete packet of the wrong length");
        Check(p.rxCrc == (taken[p.size + 3] | taken[p.size + 4] << 8),
              "rxCrc is not the last two bytes");
    } else {
        Check(taken.size() < 3 || taken.size() < p.size + 5u, "incomplete after its last byte");
    }
    Check(p.Good() == (p.complete && Crc16(taken.data(), p.size + 3u) == p.rxCrc),
          "Good() disagrees with the CRC of the bytes taken");
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
        const size_t first = i;
        bool more = true;
        while (more && i < size) {
            more = p.TakeByte(data[i++]);
        }
        Check(more != p.complete, "TakeByte's result disagrees with complete");
        CheckPacket(p, std::vector<uint8_t>(data + first, data + i));
    }
}

void FeedPort(const uint8_t* data, size_t size) {
    auto chunks = TFakeSerialLibrary::DecodeScript(data, size);
    for (auto& c : chunks) {
        c.reactive = false;  // nothing is sent here, so nothing could release an answer
    }
    TFuzzLine line(std::move(chunks));
    std::ostringstream log;
    TStreamLogSink sink(log);
    TECU session(&line.port, nullptr, &sink);
    size_t consumed = 0;  // bytes taken by the packets so far, in line order
    while (consumed < line.bytes.size()) {
        log.str("");
        TKaloPacket p;
        const size_t readBefore = line.lib.Traffic().size();
        const int64_t start = line.clock.NowUs();
        const bool good = session.ReceivePacket(p);
        // The port may read ahead of the packet: a packet takes the next bytes of the line,
        // whichever call read them from the library.
        const auto events = line.lib.Traffic();
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
            Check(std::chrono::microseconds(line.clock.NowUs() - since) > line.port.timeoutMs,
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
