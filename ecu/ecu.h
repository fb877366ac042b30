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

#include "ecu/sensorrecord.h"

class TIHexFile;
class TKaloPacket;
class TProgressView;
class TSerialComm;
class TStatusPanels;

// The running firmware's greeting and its answer.
constexpr char kFirmwareGreeting[] = "Mas";
constexpr char kFirmwareGreetingReply[] = "OK\r\n";

// Link states.
constexpr uint8_t kLinkOffline = 0;
constexpr uint8_t kLinkConnected = 1;
constexpr uint8_t kLinkConnecting = 2;
constexpr uint8_t kLinkLoader = 5;  // the ECU answers as its boot loader only

// Silence after which a keep-alive is exchanged while connected.
constexpr int kKeepAliveMs = 1000;

// Status-bar panels the session writes.
constexpr int kPanelLink = 0;
constexpr int kPanelFirmware = 1;
constexpr int kPanelBoard = 2;

// How one upload run ended.
enum class TUploadRun : uint8_t {
    Completed,         // every block acknowledged, the boot loader told to exit
    LoaderSilent,      // the boot loader did not answer its handshake: nothing was erased
    FailedAfterErase,  // the erase was sent; the ECU's firmware is gone
};

class TECU {
public:
    // `port` is not owned; it must be open (or have failed to open) and outlive the session.
    // `panels` receives the identification texts; null discards them.
    explicit TECU(TSerialComm* port, TStatusPanels* panels = nullptr);

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
    bool ReceivePacket(TKaloPacket& packet);

    // Writes a firmware image into the ECU through its boot loader (firmware/upload.cpp):
    // one run, from entering the boot loader to its exit.
    TUploadRun UploadFirmware(const TIHexFile& image, TProgressView& progress);
    // Sends the filler that completes a write command the boot loader may be waiting in.
    void SendLoaderFiller();

    // Asks the next Step to look for the ECU afresh (connecting), whatever the state: after
    // an upload command ended without completing, so the state shown is what answers now.
    // Safe from any thread.
    void Relink() { relink.store(true); }

    // The latest sensor record, copied whole (zero-filled until the first reply). `updates`,
    // when given, receives the number of records accepted so far, taken with the same copy.
    SensorRecord SensorsSnapshot(uint64_t* updates = nullptr) const;

    TSerialComm* port;
    std::atomic<uint8_t> linkState{kLinkOffline};
    uint8_t seq;  // the sequence number used last
    uint8_t fwVersion[3] = {0, 0, 0};
    int64_t lastReply = 0;  // ms on the port's clock: the last sign of life
    uint32_t serialNo = 0;
    uint8_t boardRev = 0;  // tenths
    // The last upload run did not complete: its boot loader may still be inside a command.
    bool uploadFailed = false;

private:
    // One request/reply exchange: sends `request` with the next sequence number, skips to
    // the next start byte, receives the reply. True when it is good, of `replyType` and
    // carries the request's sequence number.
    bool Exchange(TKaloPacket& request, uint8_t replyType, TKaloPacket& reply);
    uint8_t NextSeq() { return ++seq; }
    void SetPanel(int panel, const std::string& text);
    int64_t NowMs() const;

    TStatusPanels* panels;
    std::atomic<bool> relink{false};
    mutable std::mutex sensorsLock;
    SensorRecord sensors;
    uint64_t sensorUpdates = 0;
};

// "Board: 1.2 SN: 258" for a revision in tenths and a serial number.
std::string BoardText(uint8_t boardRev, uint32_t serialNo);
// The link state as the status bar shows it: "Offline", "Connected", "Connecting", "Loader";
// empty for any other value.
std::string LinkStateText(uint8_t state);
