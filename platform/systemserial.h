// What the serial libraries over the system's own devices share (termios in posixserial,
// the Win32 communications API in win32serial): the port map, each port's last failure in
// the system's words, the line format, and the pace of looking again for a device that went
// away (a USB adapter pulled out).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include "ecu/seriallibrary.h"
#include "platform/portmap.h"

// TPort is the system's record of an open port: Present() says whether its device is there,
// baudCode is its rate, and nextReopenMs (int64_t) is when a lost device is looked for next.
template <class TPort>
class TSystemSerialLibrary : public TSerialLibrary {
public:
    explicit TSystemSerialLibrary(TPortMap m) : map(std::move(m)) {}

    int SetLineFormat(int port, int par, int stop, int bits) override {
        parity = par;
        stopBits = stop;
        dataBits = bits;
        for (auto& [number, p] : ports) {
            if ((port == kAllPorts || port == number) && p.Present()) {
                ApplyLine(p);
            }
        }
        return 0;
    }

    int SetBaud(int port, int code) override {
        TPort* p = OpenPort(port);
        if (!p) {
            return -1;
        }
        if (BaudCodeToBps(code) == 0) {
            SetError(port, "unsupported baud code " + std::to_string(code));
            return -1;
        }
        p->baudCode = code;
        if (!p->Present()) {
            return 0;  // the device is away; the rate is set when it is back
        }
        return ApplyLine(*p) ? 0 : LineRefused(port, *p);
    }

    std::string LastError(int port) const override {
        auto it = errors.find(port);
        return it == errors.end() ? std::string() : it->second;
    }

    const TPortMap& PortMap() const { return map; }

    // Results other than 0 from Reset.
    static constexpr int kErrNoDevice = -2;   // no device for the port number
    static constexpr int kErrOpen = -3;       // the system could not open it (missing, denied)
    static constexpr int kErrNotSerial = -4;  // the device is not a serial port
    static constexpr int kErrBusy = -5;       // another program holds the port
    static constexpr int kErrSetup = -6;      // the line settings were refused

    // How often a lost device is looked for again.
    static constexpr int kReopenIntervalMs = 250;

    // Whether the device of an open port has gone away (and is being looked for again).
    bool Lost(int port) const {
        auto it = ports.find(port);
        return it != ports.end() && !it->second.Present();
    }
    // How many times a lost device was found and opened again (readable from any thread).
    int Reopens() const { return reopens.load(); }

protected:
    // Sets the line format and rate of `p`'s device; false when the system refuses them.
    virtual bool ApplyLine(TPort& p) = 0;
    // ApplyLine failed on a rate change, with the system's error still set: 0 when the
    // device has gone away (it is let go, and set up when it is back), else -1 with the
    // reason kept.
    virtual int LineRefused(int port, TPort& p) = 0;

    TPort* OpenPort(int port) {
        auto it = ports.find(port);
        return it == ports.end() ? nullptr : &it->second;
    }
    void SetError(int port, std::string text) { errors[port] = std::move(text); }

    // The start of Reset: an open port is closed first. The device for the port number, or
    // empty (with the error set) when it has none.
    std::string DeviceForReset(int port) {
        if (OpenPort(port)) {
            Close(port);
        }
        errors.erase(port);
        std::string path = map.PathFor(port);
        if (path.empty()) {
            SetError(port, "no serial device is assigned to port number " + std::to_string(port));
        }
        return path;
    }

    // The device of `p` went away: it is looked for again in kReopenIntervalMs.
    static void ScheduleReopen(TPort& p) { p.nextReopenMs = NowMs() + kReopenIntervalMs; }
    // Whether it is time to look for the lost device of `p`; the next look is then scheduled.
    static bool ReopenDue(TPort& p) {
        const int64_t now = NowMs();
        if (now < p.nextReopenMs) {
            return false;
        }
        p.nextReopenMs = now + kReopenIntervalMs;
        return true;
    }
    // The lost device of `port` was found and opened again.
    void Reopened(int port) {
        errors.erase(port);
        ++reopens;
    }

    TPortMap map;
    std::map<int, TPort> ports;  // nodes never move: the systems may point into them
    int parity = 0;              // 0 none, 1 odd, 2 even
    int stopBits = 0;            // 0 one, otherwise two
    int dataBits = 8;

private:
    static int64_t NowMs() {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    }

    std::map<int, std::string> errors;
    std::atomic<int> reopens{0};
};
