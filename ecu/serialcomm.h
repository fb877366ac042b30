// The program's serial port: the four stored communication settings, opening the port,
// switching its rate and the byte-level operations everything above it uses.
//
// One instance owns the ECU port and is used only on the ECU control thread; the
// Preferences dialog makes short-lived instances that only load and save the settings.
// The library, the settings store and the clock are not owned and must outlive the object.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

class TClock;
class TSerialLibrary;
class TSettingsStore;

// Port numbers: 0 = COM1 .. 7 = COM8.
constexpr int kComPorts = 8;

class TSerialComm {
public:
    // Names of the stored values, in the order they are read and written.
    static constexpr const char* kComPortName = "comPort";
    static constexpr const char* kInitBaudName = "initBaud";
    static constexpr const char* kCommBaudName = "commBaud";
    static constexpr const char* kLoaderBaudName = "loaderBaud";

    static constexpr int kDefaultTimeoutMs = 500;
    static constexpr int kQueueBytes = 1024;
    // Flush gives up on a line that never falls silent after this much input or time.
    static constexpr int kFlushMaxBytes = 4096;
    static constexpr int kFlushMaxMs = 2000;
    // rxText keeps at most this many of the latest bytes.
    static constexpr size_t kRxTextMax = 4096;

    // One warning for each setting outside the values the program knows (comPort 0..7, the
    // baud codes 5..9), naming its key and value. Such values are still used as they are.
    std::vector<std::string> RangeWarnings() const;

    // Sets the defaults, then loads the stored settings; when any value was missing the
    // four values are written back, so a first start creates them and a partial key is completed.
    TSerialComm(TSerialLibrary& library, TSettingsStore& store, TClock& clock);
    ~TSerialComm();  // closes the port when it is open; writes nothing to the store

    TSerialComm(const TSerialComm&) = delete;
    TSerialComm& operator=(const TSerialComm&) = delete;

    bool LoadSettings();
    bool SaveSettings();

    bool Open();
    // Closes the port when it is open (the control thread does so when it ends).
    void Close();
    bool SetBaud(int code);

    int SendByte(uint8_t b);
    void SendText(const char* text);
    void SendBlock(const uint8_t* buffer, int length);

    // Waits at most timeoutMs for one byte. False on time-out (b unchanged).
    bool ReceiveByte(uint8_t& b);
    // Reads until `text` has been seen anywhere in the input. False as soon as one byte
    // takes longer than timeoutMs.
    bool WaitForText(const char* text);
    // Discards input until the line has been silent for more than timeoutMs (bounded).
    void Flush();
    // Waits until `count` bytes can be received at once. Rather than waking for each byte it
    // sleeps for the wire time of the bytes still missing at the current rate. False when no
    // byte came for longer than timeoutMs (or the waits were cancelled).
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
    int32_t timeoutMs = kDefaultTimeoutMs;
    std::string rxText;

private:
    TSerialLibrary& library;
    TSettingsStore& store;
    TClock& clock;
    std::atomic<bool> cancelled{false};
    std::deque<uint8_t> lookahead;  // bytes taken in by AwaitBytes, not yet received
    std::string openError;
};
