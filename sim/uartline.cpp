#include "sim/uartline.h"

#include <algorithm>

TNs BitTime(int bps) {
    return TNs(bps > 0 ? (1'000'000'000LL + bps / 2) / bps : 0);
}

TNs TUartLine::Send(uint8_t byte, TNs startAt, TNs bit) {
    const TNs start = std::max(startAt, busyUntil);
    frames.push_back({start, bit, byte});
    busyUntil = frames.back().End();
    return busyUntil;
}

void TUartLine::Clear(TNs now) {
    frames.clear();
    busyUntil = now;
    cursor = std::max(cursor, now);
}

int TUartLine::Level(TNs t) const {
    auto it = std::upper_bound(frames.begin(), frames.end(), t,
                               [](TNs v, const TFrame& f) { return v < f.start; });
    if (it == frames.begin()) {
        return 1;
    }
    const TFrame& f = *(it - 1);
    if (t >= f.End()) {
        return 1;
    }
    return f.BitLevel(static_cast<int>((t - f.start) / f.bit));
}

bool TUartLine::FallingEdge(TNs from, TNs& edge) const {
    auto it = std::lower_bound(frames.begin(), frames.end(), from,
                               [](const TFrame& f, TNs v) { return f.End() <= v; });
    for (; it != frames.end(); ++it) {
        const TFrame& f = *it;
        // Before a start bit the line is high (idle or the previous stop bit).
        if (f.start >= from) {
            edge = f.start;
            return true;
        }
        for (int k = 1; k <= 8; ++k) {
            const TNs t = f.start + k * f.bit;
            if (t >= from && f.BitLevel(k - 1) == 1 && f.BitLevel(k) == 0) {
                edge = t;
                return true;
            }
        }
    }
    return false;
}

namespace {
// The middle of the stop bit, nine and a half bit times after the start bit's edge.
TNs StopMiddle(TNs edge, TNs rxBit) {
    return edge + (19 * rxBit + TNs(1)) / 2;
}
}  // namespace

TNs TUartLine::NextEvent(TNs rxBit) const {
    TNs edge{0};
    if (!FallingEdge(cursor, edge)) {
        return kNever;
    }
    return StopMiddle(edge, rxBit);
}

bool TUartLine::Receive(TNs rxBit, TNs now, TChar& out) {
    for (;;) {
        TNs edge{0};
        if (!FallingEdge(cursor, edge)) {
            return false;
        }
        const TNs done = StopMiddle(edge, rxBit);
        if (done > now) {
            return false;
        }
        // A start bit that is gone again at its middle was a glitch: look further.
        if (Level(edge + rxBit / 2) != 0) {
            cursor = edge + TNs(1);
            continue;
        }
        uint8_t byte = 0;
        for (int i = 0; i < 8; ++i) {
            if (Level(edge + (3 + 2 * i) * rxBit / 2)) {
                byte = static_cast<uint8_t>(byte | (1 << i));
            }
        }
        out.framingError = Level(done) == 0;
        out.byte = out.framingError ? 0 : byte;
        out.done = done;
        cursor = done;
        while (!frames.empty() && frames.front().End() <= cursor) {
            frames.pop_front();
        }
        return true;
    }
}
