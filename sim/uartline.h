// One direction of an RS-232 line, modelled at the level of the signal: each byte is a frame
// of ten bits (start, eight data bits LSB first, stop) at its sender's bit time, and a receiver
// samples the line at its own bit time as a UART does. When both ends run at one rate every
// byte arrives as sent; when they differ, the receiver decodes the deterministic garbage a real
// UART would (a stop bit sampled low is a framing error and reads as 0x00, as Linux delivers it).
// All times are nanoseconds on the line's clock.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>

using TNs = std::chrono::nanoseconds;
constexpr TNs kNever = TNs::max();

// Bit time for a rate in bits per second (0 for a rate of 0).
TNs BitTime(int bps);

class TUartLine {
public:
    struct TChar {
        uint8_t byte = 0;
        TNs done{0};  // when the receiver had the whole character
        bool framingError = false;
    };

    // Puts a byte on the line; its start bit begins at `start` or, when the line is still
    // busy, right after the previous frame. Returns the time its stop bit ends.
    TNs Send(uint8_t byte, TNs start, TNs bit);
    // The time the line falls idle (the end of the last frame).
    TNs BusyUntil() const { return busyUntil; }

    // Takes the next character a receiver with bit time `rxBit` has completely received by
    // `now`. False when there is none (a false start is passed over silently).
    bool Receive(TNs rxBit, TNs now, TChar& out);
    // The time at which the receiver's state can next change (kNever when the line is idle).
    TNs NextEvent(TNs rxBit) const;

    // Drops everything on the line from `now` on (a pulled cable).
    void Clear(TNs now);

private:
    struct TFrame {
        TNs start;
        TNs bit;
        uint8_t byte;
        TNs End() const { return start + 10 * bit; }
        int BitLevel(int k) const { return k == 0 ? 0 : k >= 9 ? 1 : (byte >> (k - 1)) & 1; }
    };

    int Level(TNs t) const;
    bool FallingEdge(TNs from, TNs& edge) const;

    std::deque<TFrame> frames;
    TNs busyUntil{0};
    TNs cursor{0};  // the receiver looks for a start bit from here on
};
