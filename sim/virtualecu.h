// The virtual ECU: a stand-in for the real unit on the far end of the serial line.
//
// It consumes the bytes the host puts on the line and produces the bytes it answers, each
// with its time, so it runs on the virtual time of a test as well as on real time behind a
// pseudo-terminal. The line is modelled bit by bit (TUartLine): bytes take ten bit times at
// the sender's rate, and a host at another rate than the ECU's receives garbage, as on a real
// line. Two personalities answer: the application firmware (text greeting, then packets) and
// the boot loader (single-letter commands, 128 KiB of flash). Fault switches make it misbehave
// as hardware does. Times are nanoseconds of the line's clock (TNs). Every public operation is
// thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "ecu/packet.h"
#include "ecu/protocol.h"
#include "ecu/sensorrecord.h"
#include "sim/uartline.h"

struct TEcuSimConfig {
    int powerOnBps = 9600;  // the application's rate after power-on and after a flash
    int loaderBps = 19200;  // the rate of a cold ECU that has only its boot loader
    uint8_t version[3] = {1, 4, 12};
    bool branded = true;
    uint8_t boardRev = 12;  // tenths: 12 is board 1.2
    uint16_t serialNo = 258;
    bool startInLoader = false;  // power on with the boot loader only (no firmware)
    // The boot loader's times: those of a typical one.
    TNs erase = TLoaderTimes{}.erase;
    TNs page = TLoaderTimes{}.page;
    TNs turnaround = TLoaderTimes{}.turnaround;
    std::vector<uint8_t> flash;  // initial flash contents; empty: erased (all 0xFF)
};

struct TEcuSimCounters {
    int packets = 0;     // well-formed packets received
    int badPackets = 0;  // packets with a wrong CRC
    int rateChanges = 0;
    int erases = 0;
    int pagesWritten = 0;
    int rejectedWrites = 0;    // writes whose check words did not match
    int unansweredWrites = 0;  // writes ignored on purpose (fault switch)
    int overruns = 0;          // bytes lost while the boot loader was busy
    int loaderEntries = 0;
    int firmwareStarts = 0;
    int exits = 0;  // "E" commands received by the boot loader
};

class TVirtualEcu {
public:
    enum class TMode { Application, Loader };

    static constexpr int kFlashBytes = 0x20000;

    explicit TVirtualEcu(TEcuSimConfig config = {}, TNs powerOn = TNs(0));

    // --- The line, seen from the host ---
    // The host put byte b on the line; its start bit begins at `start`, at hostBps.
    void HostSent(uint8_t b, TNs start, int hostBps);
    // Runs the ECU up to `when` and appends the bytes a host receiver at hostBps has
    // completely received by then.
    void Poll(TNs when, int hostBps, std::vector<uint8_t>& out);
    // The earliest time after `when` at which anything can happen on either end; kNever if idle.
    TNs NextEvent(TNs when, int hostBps);

    // --- Fault switches (each may be set at any time) ---
    void SetUnplugged(bool unplugged, TNs when);  // no answer at all, nothing received
    void CorruptCrc(int replies);                 // the next N packet replies carry a wrong CRC
    void WrongSeq(int replies);                   // the next N packet replies carry another seq
    void DropReplies(int requests);               // the next N packet requests get no reply
    void SetShortSensors(bool on);                // READ_SENSORS replies of 26 bytes
    void SetShortVersion(bool on);                // GET_VERSION replies of 2 bytes
    void NackBlock(int block);          // writes of this block are never acknowledged (-1: none)
    void NackWrites(int writes);        // the next N writes are not acknowledged
    void SetNoEraseAnswer(bool on);     // erase is never acknowledged
    void SetBabble(bool on, TNs when);  // the ECU sends garbage and nothing else
    // Pulls the cable the moment the host's next command named `prefix` arrives: the
    // transcript line is the prefix or starts with it and a blank ("GET_VERSION", "SET_BAUD",
    // "e", "D 0x1000", "D 0x1000 ok", "E"...). Empty: never.
    void UnplugOn(std::string prefix);
    // Pulls the cable once `bytes` (1 to 262) of the next write command have arrived, leaving
    // the boot loader inside that command. 0: never.
    void CutWrite(int bytes);
    // Loses the firmware: the ECU restarts into its boot loader at the loader rate.
    void DropToLoader(TNs when);
    // Power cycle: the application at its power-on rate, or the boot loader when the flash
    // holds no firmware.
    void PowerCycle(TNs when);

    // --- What it observed ---
    TMode Mode() const;
    int BaudBps() const;
    bool Unplugged() const;
    // The host's commands in order, e.g. "Mas", "ACK seq=5", "p", "A 0x0080", "D 0x0080 ok".
    std::vector<std::string> Transcript() const;
    // The lines noted since `seen` lines had been noted in all, as far as they are still
    // kept (the transcript keeps the latest ones only); `seen` becomes the new total.
    std::vector<std::string> TranscriptSince(uint64_t& seen) const;
    void ClearTranscript();
    std::vector<uint8_t> Flash() const;
    TEcuSimCounters Counters() const;
    // The sensor record the ECU reports `since` after it was powered on.
    static SensorRecord EngineAt(TNs since);
    TNs PowerOn() const { return powerOn; }

private:
    void AdvanceLocked(TNs when);
    void OnByte(uint8_t b, TNs t);
    void OnAppByte(uint8_t b, TNs t);
    void OnPacket(TNs t);
    void OnLoaderByte(uint8_t b, TNs t);
    void OnLoaderCommandByte(uint8_t b, TNs t);
    void FinishWrite(TNs t);  // the whole write command is in `command`
    void BusyFor(TNs from, TNs duration);
    void Reply(const std::vector<uint8_t>& bytes, TNs at);
    void ReplyText(const char* text, TNs at);
    void ReplyPacket(uint8_t seq, uint8_t type, const std::vector<uint8_t>& payload, TNs at);
    void RestartLocked(TNs when);  // the firmware, or the boot loader when there is none
    void StartApplication(TNs t);
    void StartLoader(int bps, TNs t);
    void SetRate(int bps);
    void TopUpBabble(TNs when);
    void Note(std::string line);
    bool FlashHoldsProgram() const;

    mutable std::mutex mutex;
    TEcuSimConfig config;
    TUartLine fromHost;
    TUartLine toHost;
    std::multimap<TNs, std::function<void(TNs)>> timers;
    TNs now{0};
    TNs powerOn{0};

    TMode mode = TMode::Application;
    int bps = 9600;
    bool hasFirmware = true;

    // Application: greeting matcher and packet assembly.
    size_t greetingPos = 0;
    bool inPacket = false;
    TKaloPacket request;  // the request being received
    TNs lastByte{0};

    // Boot loader: the command being assembled, and the busy time with its tiny input FIFO.
    std::vector<uint8_t> command;
    uint16_t wordAddress = 0;
    TNs busyUntil{0};
    std::vector<uint8_t> fifo;
    std::vector<uint8_t> flash;

    // Faults.
    bool unplugged = false;
    int corruptCrc = 0;
    int wrongSeq = 0;
    int dropReplies = 0;
    bool shortSensors = false;
    bool shortVersion = false;
    int nackBlock = -1;
    int nackWrites = 0;
    bool noEraseAnswer = false;
    bool babble = false;
    std::string unplugOn;
    int cutWriteAt = 0;
    uint32_t babbleState = 0x12345678;

    std::vector<std::string> transcript;
    uint64_t transcriptTotal = 0;  // lines ever noted, kept or not
    TEcuSimCounters counters;
};
