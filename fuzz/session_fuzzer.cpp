// The link session stepping against arbitrary ECU bytes.
//
// Input: flags, initial seq, options, then a script of chunks
// (TFakeSerialLibrary::DecodeScript) played as the ECU's answers, on a manual clock.
//   flags bit 0: start connected (1) or connecting (2)
//   flags bits 1-3: commBaud, bits 4-5: loaderBaud (codes outside 5..9 included)
//   flags bits 6-7: number of Step calls beyond two
//   options bit 0: put the right CRC into the frames that start a chunk, so that mutated
//   packets still pass the CRC check and reach the code behind it
// Checked after every Step:
// - linkState is 1, 2 or 5 and moved only 2 -> 1, 2 -> 5 or 1 -> 2;
// - the Step ended within a bounded virtual time after the last answer had arrived;
// - the sensor record changed only in a connected Step, by one update, to bytes 3..26 of a
//   complete 27-byte READ_SENSORS frame with a good CRC found in the ECU's bytes;
// - the status panels hold the firmware and board texts in their formats;
#include <algorithm>
#include <array>
#include <cstdio>
#include <ostream>
#include <regex>
#include <set>
#include <string>

#include "ecu/ecu.h"
#include "ecu/packet.h"
#include "ecu/protocol.h"
#include "fuzz/harness.h"
#include "tests/support/recordingui.h"

namespace {

// A Step blocks at most for its waits after the last answer: the greetings at every rate
// with their flushes and the boot loader's recovery (the filler's wire time, then a greeting
// at each rate), or one failed exchange, each wait ending half a second after silence, plus
// rate changes: about 14 s at 9600 bit/s.
constexpr int64_t kStepBoundUs = 18'000'000;

using TRecordBytes = std::array<uint8_t, kSensorRecordBytes>;

constexpr int32_t kCommBauds[] = {5, 5, 6, 7, 8, 9, 9, 12};
constexpr int32_t kLoaderBauds[] = {6, 5, 9, 6};

// Sensor records that a good READ_SENSORS reply anywhere in the ECU's bytes could give.
std::set<TRecordBytes> PossibleRecords(const std::vector<uint8_t>& bytes) {
    std::set<TRecordBytes> records;
    constexpr size_t kFrame = kKaloHeaderBytes + kSensorsReplyBytes + kKaloCrcBytes;
    for (size_t i = 0; i + kFrame <= bytes.size(); ++i) {
        const size_t c = i + kKaloHeaderBytes + kSensorsReplyBytes;
        if (bytes[i] == kKaloStart && bytes[i + 2] == KALO_READ_SENSORS &&
            bytes[i + 3] == kSensorsReplyBytes &&
            (bytes[c] | bytes[c + 1] << 8) == Crc16(&bytes[i + 1], 3 + kSensorsReplyBytes)) {
            TRecordBytes r{};
            std::copy_n(&bytes[i + kKaloHeaderBytes + kSensorsRecordOffset], r.size(), r.begin());
            records.insert(r);
        }
    }
    return records;
}

// "Firmware Revision: a.b.c" with three bytes in decimal.
bool FirmwareText(const std::string& t) {
    const std::string n = "(25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])";
    static const std::regex format("Firmware Revision: " + n + "\\." + n + "\\." + n);
    return std::regex_match(t, format);
}

// For each chunk that starts with the start byte: puts the right CRC into the frames that lie
// back to back from its start. Bytes after the last whole frame are left alone.
void RepairFrameCrcs(std::vector<TFakeSerialLibrary::TChunk>& chunks) {
    for (auto& c : chunks) {
        std::vector<uint8_t>& b = c.bytes;
        size_t i = 0;
        while (i + kKaloHeaderBytes <= b.size() && b[i] == kKaloStart) {
            const size_t crcAt = i + kKaloHeaderBytes + b[i + 3];
            if (crcAt + kKaloCrcBytes > b.size()) {
                break;
            }
            const uint16_t crc = Crc16(&b[i + 1], crcAt - i - 1);
            b[crcAt] = static_cast<uint8_t>(crc & 0xFF);
            b[crcAt + 1] = static_cast<uint8_t>(crc >> 8);
            i = crcAt + kKaloCrcBytes;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) {
        return 0;
    }
    const uint8_t flags = data[0];
    auto chunks = TFakeSerialLibrary::DecodeScript(data + 3, size - 3);
    if (data[2] & 1) {
        RepairFrameCrcs(chunks);
    }
    TFuzzLine line(std::move(chunks));
    line.port.commBaud = kCommBauds[(flags >> 1) & 7];
    line.port.loaderBaud = kLoaderBauds[(flags >> 4) & 3];
    std::ostream nullLog(nullptr);  // log lines are made and written to nowhere
    TStreamLogSink log(nullLog);

    TRecordingPanels panels;
    TECU session(&line.port, &panels, &log);
    session.seq = data[1];
    session.linkState = (flags & 1) ? kLinkConnected : kLinkConnecting;
    session.lastReply = line.clock.Now();
    const auto possible = PossibleRecords(line.bytes);
    uint64_t updates = 0;
    SensorRecord record = session.SensorsSnapshot(&updates);

    const int steps = 2 + (flags >> 6);
    for (int s = 0; s < steps; ++s) {
        const uint8_t before = session.linkState;
        const int64_t start = line.clock.NowUs();
        session.Step();
        const uint8_t after = session.linkState;
        Check(
            after == before ||
                (before == kLinkConnecting && (after == kLinkConnected || after == kLinkLoader)) ||
                (before == kLinkConnected && after == kLinkConnecting),
            "linkState outside 1, 2, 5 or moved the wrong way");
        Check(line.clock.NowUs() <= std::max(start, line.lib.LastArrivalUs()) + kStepBoundUs,
              "a Step went on too long after the line fell silent");

        uint64_t nowUpdates = 0;
        const SensorRecord now = session.SensorsSnapshot(&nowUpdates);
        Check(nowUpdates == updates ? now.bytes == record.bytes
                                    : before == kLinkConnected && nowUpdates == updates + 1 &&
                                          possible.count(now.bytes) == 1,
              "the sensor record changed other than by one update in a connected Step to the "
              "record of a good 27-byte READ_SENSORS reply");
        if (Trace()) {
            std::fprintf(stderr, "step %d: state %d -> %d, %lld us, %llu sensor updates\n", s,
                         before, after, static_cast<long long>(line.clock.NowUs() - start),
                         static_cast<unsigned long long>(nowUpdates));
        }
        updates = nowUpdates;
        record = now;
    }

    for (const auto& [panel, text] : panels.History()) {
        if (panel == kPanelFirmware) {
            Check(FirmwareText(text), "firmware text");
        } else {
            Check(panel == kPanelBoard &&
                      (text == "Board is unbranded" || text.rfind("Board: ", 0) == 0),
                  "a panel other than firmware and board, or a board text out of its format");
        }
    }
    return 0;
}
