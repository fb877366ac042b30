// One direction of an RS-232 line, modelled at the level of the signal: each byte is a frame
// of ten bits (start, eight data bits LSB first, stop) at its sender's bit time, and a receiver
// samples the line at its own bit time as a UART does. When both ends run at one rate every
// byte arrives as sent; when they differ, the receiver decodes the deterministic garbage a real
// UART would (a stop bit sampled low is a framing error and reads as 0x00, as Linux delivers it).
// All times are in nanoseconds.
#pragma once

#include <cstdint>
#include <deque>
#include <limits>

constexpr int64_t kNever = std::numeric_limits<int64_t>::max();

// Bit time in ns for a rate in bits per second.
int64_t BitTimeNs(int bps);

class TUartLine {
public:
    struct TChar {
        uint8_t byte = 0;
        int64_t doneNs = 0;  // when the receiver had the whole character
        bool framingError = false;
    };

    // Puts a byte on the line; its start bit begins at startNs or, when the line is still busy,
    // right after the previous frame. Returns the time its stop bit ends.
    int64_t Send(uint8_t byte, int64_t startNs, int64_t bitNs);
    // The time the line falls idle (the end of the last frame).
    int64_t BusyUntilNs() const { return busyUntil; }

    // Takes the next character a receiver with bit time rxBitNs has completely received by
    // nowNs. False when there is none (a false start is passed over silently).
    bool Receive(int64_t rxBitNs, int64_t nowNs, TChar& out);
    // The time at which the receiver's state can next change (kNever when the line is idle).
    int64_t NextEventNs(int64_t rxBitNs) const;

    // Drops everything on the line from nowNs on (a pulled cable).
    void Clear(int64_t nowNs);

private:
    struct TFrame {
        int64_t start;
        int64_t bit;
        uint8_t byte;
        int64_t End() const { return start + 10 * bit; }
        int BitLevel(int k) const { return k == 0 ? 0 : k >= 9 ? 1 : (byte >> (k - 1)) & 1; }
    };

    int Level(int64_t t) const;
    bool FallingEdge(int64_t from, int64_t& edge) const;

    std::deque<TFrame> frames;
    int64_t busyUntil = 0;
    int64_t cursor = 0;  // the receiver looks for a start bit from here on
};
