#include "ecu/ecu.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>
#include <vector>

#include "ecu/clock.h"
#include "ecu/packet.h"
#include "ecu/protocol.h"
#include "ecu/serialcomm.h"
#include "ecu/seriallibrary.h"
#include "ecu/userinterface.h"

namespace {
constexpr char kStartByteText[] = "\n";  // the start byte 0x0A, as text for WaitForText
static_assert(kStartByteText[0] == kKaloStart);
}  // namespace

std::string BoardText(uint8_t boardRev, uint32_t serialNo) {
    char rev[32];
    // The general number format: at most six significant digits, no trailing zeros, and
    // always a point, whatever the process's locale says.
    const std::to_chars_result r =
        std::to_chars(rev, rev + sizeof rev, boardRev * 0.1, std::chars_format::general, 6);
    return "Board: " + std::string(rev, r.ptr) + " SN: " + std::to_string(serialNo);
}

std::string LinkStateText(uint8_t state) {
    switch (state) {
        case kLinkOffline:
            return "Offline";
        case kLinkConnected:
            return "Connected";
        case kLinkConnecting:
            return "Connecting";
        case kLinkLoader:
            return "Loader";
        default:
            return {};
    }
}

TECU::TECU(TSerialComm* p, TStatusPanels* statusPanels, TPacketLogSink* packetLog)
    // The first value of the never-seeded standard generator, as the ECU expects nothing else.
    : port(p),
      seq(static_cast<uint8_t>(std::rand() & 0xFF)),
      panels(statusPanels),
      log(packetLog) {}

std::chrono::microseconds TECU::Now() const {
    return port->Clock().Now();
}

void TECU::SetPanel(int panel, const std::string& text) {
    if (panels) {
        panels->SetPanelText(panel, text);
    }
}

uint64_t TECU::RecordsSince(uint64_t& seen, std::vector<TTimedRecord>& out) const {
    std::lock_guard<std::mutex> lock(sensorsLock);
    const uint64_t kept = std::min<uint64_t>(sensorUpdates, kRecordHistory);
    const uint64_t first = std::max(seen, sensorUpdates - kept);
    const uint64_t lost = first - std::min(seen, first);
    for (uint64_t n = first; n < sensorUpdates; ++n) {
        out.push_back(history[n % kRecordHistory]);
    }
    seen = sensorUpdates;
    return lost;
}

SensorRecord TECU::SensorsSnapshot(uint64_t* updates) const {
    std::lock_guard<std::mutex> lock(sensorsLock);
    if (updates) {
        *updates = sensorUpdates;
    }
    return sensors;
}

bool TECU::ReceivePacket(TKaloPacket& packet) {
    const bool good = ReceiveKaloPacket(*port, packet);
    if (packet.complete && log) {
        log->WriteLine(packet.LogLine(true));  // a packet cut short by a time-out writes nothing
    }
    return good;
}

void TECU::SendPacket(TKaloPacket& packet) {
    const std::vector<uint8_t> frame = packet.Encode();
    port->SendBlock(frame.data(), static_cast<int>(frame.size()));
    if (log) {
        log->WriteLine(packet.LogLine(false));
    }
}

bool TECU::Exchange(TKaloPacket& request, uint8_t replyType, TKaloPacket& reply) {
    request.seq = NextSeq();
    SendPacket(request);
    if (!port->WaitForText(kStartByteText)) {
        return false;
    }
    return ReceivePacket(reply) && reply.type == replyType && reply.seq == seq;
}

void TECU::Step() {
    if (relink.exchange(false)) {
        // A step of its own, so the change is seen and reported before the search begins.
        linkState = kLinkConnecting;
        return;
    }
    switch (linkState.load()) {
        case kLinkConnected: {
            TKaloReadSensors request(NextSeq(), 0, 0);
            SendPacket(request);
            uint8_t b = 0;
            if (port->ReceiveByte(b) && b == kKaloStart) {
                TKaloPacket reply;
                if (ReceivePacket(reply) && reply.type == KALO_READ_SENSORS &&
                    reply.size == kSensorsReplyBytes) {
                    std::lock_guard<std::mutex> lock(sensorsLock);
                    std::copy_n(reply.payload.begin() + kSensorsRecordOffset, kSensorRecordBytes,
                                sensors.bytes.begin());
                    if (history.empty()) {
                        history.resize(kRecordHistory);
                    }
                    history[sensorUpdates % kRecordHistory] = {Now(), sensors};
                    ++sensorUpdates;
                }
                lastReply = Now();  // the start byte is a sign of life
            }
            if (Now() - lastReply > kKeepAlive) {
                TKaloACK ack(0);
                TKaloPacket reply;
                if (Exchange(ack, KALO_ACK, reply)) {
                    lastReply = Now();
                } else if (!port->WaitsCancelled()) {
                    linkState = kLinkConnecting;
                }
            }
            return;
        }
        case kLinkConnecting: {
            const int startBaud = port->curBaud;
            uint8_t found = kLinkConnecting;
            if (Sync()) {
                found = kLinkConnected;
            } else if (!port->WaitsCancelled()) {
                found = ProbeLoader() ? kLinkLoader : SearchOtherRates(startBaud);
            }
            if (found == kLinkConnected) {
                if (Identify()) {
                    linkState = kLinkConnected;
                }
                ReadTables();
            } else if (found == kLinkLoader) {
                linkState = kLinkLoader;
            }
            return;
        }
        default:
            return;
    }
}

bool TECU::Sync() {
    TClock& clock = port->Clock();
    for (int attempt = 1; attempt <= 3; ++attempt) {
        clock.Sleep(std::chrono::milliseconds(2));
        port->Flush();
        if (attempt == 2) {
            port->SetBaud(port->commBaud);
        } else if (attempt == 3) {
            port->SetBaud(port->loaderBaud);
        }
        port->SendText(kFirmwareGreeting);
        if (port->WaitForText(kFirmwareGreetingReply)) {
            return true;
        }
    }
    port->SetBaud(port->initBaud);
    return false;
}

bool TECU::ProbeLoader() {
    TClock& clock = port->Clock();
    const char identify[] = {static_cast<char>(kLoaderIdentify), 0};
    for (int attempt = 1; attempt <= 3; ++attempt) {
        if (attempt == 2) {
            port->SetBaud(port->loaderBaud);
        } else if (attempt == 3) {
            port->SetBaud(port->commBaud);
        }
        clock.Sleep(std::chrono::milliseconds(5));
        port->Flush();
        port->SendText(identify);
        if (port->WaitForText(kLoaderIdText)) {
            return true;
        }
    }
    port->SetBaud(port->initBaud);
    return false;
}

uint8_t TECU::SearchOtherRates(int startBaud) {
    // The rates Sync and ProbeLoader called each greeting at in this pass.
    const int firmwareTried[] = {startBaud, port->commBaud, port->loaderBaud};
    const int loaderTried[] = {port->initBaud, port->loaderBaud, port->commBaud};
    const auto tried = [](const int(&rates)[3], int code) {
        return std::find(std::begin(rates), std::end(rates), code) != std::end(rates);
    };
    const char identify[] = {static_cast<char>(kLoaderIdentify), 0};
    for (int code = kBaudCodeMin; code <= kBaudCodeMax && !port->WaitsCancelled(); ++code) {
        const bool firmware = !tried(firmwareTried, code);
        const bool loader = !tried(loaderTried, code);
        if (!firmware && !loader) {
            continue;
        }
        port->SetBaud(code);
        port->Flush();
        if (firmware) {
            port->SendText(kFirmwareGreeting);
            if (port->WaitForText(kFirmwareGreetingReply)) {
                return kLinkConnected;
            }
        }
        // Whoever did not answer the firmware's greeting left nothing to flush.
        if (loader) {
            port->SendText(identify);
            if (port->WaitForText(kLoaderIdText)) {
                return kLinkLoader;
            }
        }
    }
    if (!port->WaitsCancelled() && RecoverLoader()) {
        return kLinkLoader;
    }
    port->SetBaud(port->initBaud);
    return kLinkConnecting;
}

void TECU::SendLoaderFiller() {
    const std::vector<uint8_t> filler(kLoaderFillerBytes, kLoaderFiller);
    port->SendBlock(filler.data(), static_cast<int>(filler.size()));
}

bool TECU::RecoverLoader() {
    port->SetBaud(kBaudCodeMin);
    SendLoaderFiller();
    port->Flush();  // the loader's answers to the filler
    const char identify[] = {static_cast<char>(kLoaderIdentify), 0};
    for (int code = kBaudCodeMin; code <= kBaudCodeMax && !port->WaitsCancelled(); ++code) {
        if (code != kBaudCodeMin) {
            port->SetBaud(code);
        }
        // Garbage from a greeting at a wrong rate is skipped by the wait, so no flush here.
        port->SendText(identify);
        if (port->WaitForText(kLoaderIdText)) {
            return true;
        }
    }
    return false;
}

bool TECU::Identify() {
    TKaloPacket reply;
    TKaloACK ack(0);
    if (!Exchange(ack, KALO_ACK, reply)) {
        return false;
    }

    TKaloVersion version(0);
    if (!Exchange(version, KALO_GET_VERSION, reply)) {
        return false;
    }
    for (unsigned i = 0; i < 3; ++i) {
        fwVersion[i] = reply.DataByte(i);
    }
    SetPanel(kPanelFirmware, "Firmware Revision: " + std::to_string(fwVersion[0]) + "." +
                                 std::to_string(fwVersion[1]) + "." + std::to_string(fwVersion[2]));
    lastReply = Now();

    TKaloReadHWSig sig(0);
    if (!Exchange(sig, KALO_GET_HWSIG, reply)) {
        return false;
    }
    lastReply = Now();
    const THwSig signature = DecodeHwSig(reply);
    if (signature.branded) {
        boardRev = signature.boardRev;
        serialNo = signature.serialNo;
        SetPanel(kPanelBoard, BoardText(boardRev, serialNo));
    } else {
        SetPanel(kPanelBoard, "Board is unbranded");
    }

    if (port->commBaud != port->curBaud) {
        const int code = port->commBaud;
        TKaloSetBaud setBaud(0, SetBaudIndex(code));
        if (!Exchange(setBaud, KALO_ACK, reply)) {
            return false;
        }
        port->SetBaud(code);  // waits until the request has left at the old rate
        TKaloACK confirm(0);
        if (!Exchange(confirm, KALO_ACK, reply)) {
            return false;
        }
    }
    return true;
}

bool TECU::ReadTables() {
    struct TRequest {
        uint8_t type;
        uint8_t table;
    };
    static constexpr TRequest kTables[] = {
        {KALO_GET_TABLESIZE, 1}, {KALO_GET_TABLEDATA, 1}, {KALO_GET_TABLESIZE, 2},
        {KALO_GET_TABLEDATA, 2}, {KALO_GET_TABLESIZE, 5}, {KALO_GET_TABLEDATA, 5},
        {KALO_GET_TABLEDATA, 4}, {KALO_GET_TABLEDATA, 3}, {KALO_GET_TABLEDATA, 7},
    };
    for (const TRequest& r : kTables) {
        TKaloTable request(0, r.type, r.table);
        TKaloPacket reply;
        if (!Exchange(request, r.type, reply)) {
            return false;
        }
    }
    return true;
}
