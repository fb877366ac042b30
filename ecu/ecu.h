// The link session with the ECU: finds it on the line, identifies it, switches the line to
// the communication rate, then polls its sensors and notices when it falls silent.
//
// A state machine advanced by Step, called by the ECU control thread on every pass. All of
// its operations run on that thread. Other threads read linkState (atomic) and the sensor
// record (through SensorsSnapshot, which always returns one whole record).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include <chrono>

#include "ecu/sensorrecord.h"

class TKaloPacket;
class TPacketLogSink;
class TSerialComm;
class TStatusPanels;

// Link states.
constexpr uint8_t kLinkOffline = 0;
constexpr uint8_t kLinkConnected = 1;
constexpr uint8_t kLinkConnecting = 2;
constexpr uint8_t kLinkLoader = 5;  // the ECU answers as its boot loader only

// Silence after which a keep-alive is exchanged while connected.
constexpr std::chrono::milliseconds kKeepAlive{1000};

// Status-bar panels the session writes.
constexpr int kPanelLink = 0;
constexpr int kPanelFirmware = 1;
constexpr int kPanelBoard = 2;

class TECU {
public:
    // `port` is not owned; it must be open (or have failed to open) and outlive the session.
    // `panels` receives the identification texts and `log` a line for every packet sent or
    // received; null discards them. Neither is owned.
    explicit TECU(TSerialComm* port, TStatusPanels* panels = nullptr,
                  TPacketLogSink* log = nullptr);

    void Step();
    bool Sync();
    bool ProbeLoader();
    // The rest of a connect pass that began at `startBaud` and in which Sync and ProbeLoader
    // found nothing: each greeting at the standard rates it was not tried at yet (an ECU
    // keeps the rate it was last switched to until it is powered off), then RecoverLoader.
    // Returns the link state found: connected when the firmware answered (identify next),
    // loader when the boot loader did, connecting when nothing did (the port back at initBaud).
    uint8_t SearchOtherRates(int startBaud);
    // Brings a boot loader that a cut line left inside a write command back to its command
    // state (the filler, at 9600 bit/s so that it reaches any rate), then greets it at each
    // standard rate. True when it answered; the port stays at that rate.
    bool RecoverLoader();
    bool Identify();
    bool ReadTables();
    // Receives one packet, the start byte already consumed; a complete one is logged (also
    // with a wrong CRC). True when it is good.
    bool ReceivePacket(TKaloPacket& packet);
    // Puts a packet on the line in one write and logs it.
    void SendPacket(TKaloPacket& packet);
    // The next sequence number (the one used last, plus one).
    uint8_t NextSeq() { return ++seq; }
    // Sends the filler that completes a write command the boot loader may be waiting in.
    void SendLoaderFiller();

    // Asks the next Step to look for the ECU afresh (connecting), whatever the state: after
    // an upload command ended without completing, so the state shown is what answers now.
    // Safe from any thread.
    void Relink() { relink.store(true); }

    // The latest sensor record, copied whole (zero-filled until the first reply). `updates`,
    // when given, receives the number of records accepted so far, taken with the same copy.
    SensorRecord SensorsSnapshot(uint64_t* updates = nullptr) const;

    // Every record the session accepted, with the time it came (on the port's clock).
    struct TTimedRecord {
        std::chrono::microseconds time{0};
        SensorRecord record;
    };
    // The session keeps this many of the latest records for readers that take them all
    // (recording, the chart): about a minute at 115200 bit/s.
    static constexpr size_t kRecordHistory = 4096;
    // Appends the records accepted after the first `seen` ones, oldest first, and sets `seen`
    // to the count of records so far. Returns how many of those were no longer kept.
    uint64_t RecordsSince(uint64_t& seen, std::vector<TTimedRecord>& out) const;

    TSerialComm* port;
    std::atomic<uint8_t> linkState{kLinkOffline};
    uint8_t seq;  // the sequence number used last
    uint8_t fwVersion[3] = {0, 0, 0};
    std::chrono::microseconds lastReply{0};  // on the port's clock: the last sign of life
    uint32_t serialNo = 0;
    uint8_t boardRev = 0;  // tenths
    // The last upload run did not complete: its boot loader may still be inside a command
    // (the upload, firmware/upload, sets and clears it).
    bool uploadFailed = false;

private:
    // One request/reply exchange: sends `request` with the next sequence number, skips to
    // the next start byte, receives the reply. True when it is good, of `replyType` and
    // carries the request's sequence number.
    bool Exchange(TKaloPacket& request, uint8_t replyType, TKaloPacket& reply);
    void SetPanel(int panel, const std::string& text);
    std::chrono::microseconds Now() const;

    TStatusPanels* panels;
    TPacketLogSink* log;
    std::atomic<bool> relink{false};
    mutable std::mutex sensorsLock;
    SensorRecord sensors;
    uint64_t sensorUpdates = 0;
    std::vector<TTimedRecord> history;  // a ring: record n at n % kRecordHistory
};

// "Board: 1.2 SN: 258" for a revision in tenths and a serial number.
std::string BoardText(uint8_t boardRev, uint32_t serialNo);
// The link state as the status bar shows it: "Offline", "Connected", "Connecting", "Loader";
// empty for any other value.
std::string LinkStateText(uint8_t state);
