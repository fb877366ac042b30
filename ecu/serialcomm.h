// The program's serial port: the four stored communication settings, opening the port,
// switching its rate and the byte-level operations everything above it uses.
//
// One instance owns the ECU port and is used only on the ECU control thread; the
// Preferences dialog makes short-lived instances that only load and save the settings.
// The library, the settings store and the clock are not owned and must outlive the object.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "ecu/commsettings.h"

class TClock;
class TSerialLibrary;
class TSettingsStore;

class TSerialComm {
public:
    // The reply time-out: the longest a receive waits for one byte.
    static constexpr std::chrono::milliseconds kDefaultTimeout{500};
    // While nothing is waiting, the input is looked at again after this pause (it ends as
    // soon as a byte arrives).
    static constexpr std::chrono::milliseconds kPollPause{5};
    static constexpr int kQueueBytes = 1024;
    // Flush gives up on a line that never falls silent after this much input or time.
    static constexpr int kFlushMaxBytes = 4096;
    static constexpr std::chrono::milliseconds kFlushMax{2000};
    // rxText keeps at most this many of the latest bytes.
    static constexpr size_t kRxTextMax = 4096;

    // Sets the defaults, then loads the stored settings; when any value was missing the
    // four values are written back, so a first start creates them and a partial key is
    // completed. `override` then replaces values for this run only.
    TSerialComm(TSerialLibrary& library, TSettingsStore& store, TClock& clock,
                TCommOverride override = {});
    ~TSerialComm();  // closes the port when it is open; writes nothing to the store

    TSerialComm(const TSerialComm&) = delete;
    TSerialComm& operator=(const TSerialComm&) = delete;

    bool LoadSettings();
    bool SaveSettings();
    // The four settings in use.
    TCommSettings Settings() const;

    bool Open();
    // Closes the port when it is open (the control thread does so when it ends).
    void Close();
    bool SetBaud(int code);

    int SendByte(uint8_t b);
    void SendText(const char* text);
    void SendBlock(const uint8_t* buffer, int length);

    // Waits at most `timeout` (the reply time-out unless given) for one byte. False on
    // time-out (b unchanged).
    bool ReceiveByte(uint8_t& b);
    bool ReceiveByte(uint8_t& b, std::chrono::milliseconds timeout);
    // Reads until `text` has been seen anywhere in the input. False as soon as one byte
    // takes longer than `timeout` (the reply time-out unless given).
    bool WaitForText(const char* text);
    bool WaitForText(const char* text, std::chrono::milliseconds timeout);
    // Discards input until the line has been silent for longer than the reply time-out
    // (bounded).
    void Flush();
    // Waits until `count` bytes can be received at once. Rather than waking for each byte it
    // sleeps for the wire time of the bytes still missing at the current rate. False when no
    // byte came for longer than the reply time-out (or the waits were cancelled).
    bool AwaitBytes(int count);

    // Makes every wait in progress and to come give up at once, as after a time-out.
    // Safe to call from any thread; used to stop the control thread quickly.
    void CancelWaits() { cancelled.store(true); }
    bool WaitsCancelled() const { return cancelled.load(); }

    // The operating system's reason why the last Open failed (empty when none).
    const std::string& OpenError() const { return openError; }
    TClock& Clock() const { return clock; }

    bool isOpen = false;
    int32_t comPort = 0;
    int32_t initBaud = 5;
    int32_t commBaud = 5;
    int32_t loaderBaud = 6;
    // Written on the control thread; any thread may read it (the rate of the line now).
    std::atomic<int32_t> curBaud{5};
    const std::chrono::milliseconds timeoutMs = kDefaultTimeout;  // the reply time-out
    std::string rxText;

private:
    TSerialLibrary& library;
    TSettingsStore& store;
    TClock& clock;
    std::atomic<bool> cancelled{false};
    std::deque<uint8_t> lookahead;  // bytes taken in by AwaitBytes, not yet received
    std::string openError;
};
