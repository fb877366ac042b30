#include "sim/uartline.h"

#include <algorithm>

int64_t BitTimeNs(int bps) {
    return bps > 0 ? (1'000'000'000LL + bps / 2) / bps : 0;
}

int64_t TUartLine::Send(uint8_t byte, int64_t startNs, int64_t bitNs) {
    const int64_t start = std::max(startNs, busyUntil);
    frames.push_back({start, bitNs, byte});
    busyUntil = frames.back().End();
    return busyUntil;
}

void TUartLine::Clear(int64_t nowNs) {
    frames.clear();
    busyUntil = nowNs;
    cursor = std::max(cursor, nowNs);
}

int TUartLine::Level(int64_t t) const {
    auto it = std::upper_bound(frames.begin(), frames.end(), t,
                               [](int64_t v, const TFrame& f) { return v < f.start; });
    if (it == frames.begin()) {
        return 1;
    }
    const TFrame& f = *(it - 1);
    if (t >= f.End()) {
        return 1;
    }
    return f.BitLevel(static_cast<int>((t - f.start) / f.bit));
}

bool TUartLine::FallingEdge(int64_t from, int64_t& edge) const {
    auto it = std::lower_bound(frames.begin(), frames.end(), from,
                               [](const TFrame& f, int64_t v) { return f.End() <= v; });
    for (; it != frames.end(); ++it) {
        const TFrame& f = *it;
        // Before a start bit the line is high (idle or the previous stop bit).
        if (f.start >= from) {
            edge = f.start;
            return true;
        }
        for (int k = 1; k <= 8; ++k) {
            const int64_t t = f.start + k * f.bit;
            if (t >= from && f.BitLevel(k - 1) == 1 && f.BitLevel(k) == 0) {
                edge = t;
                return true;
            }
        }
    }
    return false;
}

int64_t TUartLine::NextEventNs(int64_t rxBitNs) const {
    int64_t edge = 0;
    if (!FallingEdge(cursor, edge)) {
        return kNever;
    }
    return edge + (19 * rxBitNs + 1) / 2;
}

bool TUartLine::Receive(int64_t rxBitNs, int64_t nowNs, TChar& out) {
    for (;;) {
        int64_t edge = 0;
        if (!FallingEdge(cursor, edge)) {
            return false;
        }
        const int64_t done = edge + (19 * rxBitNs + 1) / 2;  // middle of the stop bit
        if (done > nowNs) {
            return false;
        }
        // A start bit that is gone again at its middle was a glitch: look further.
        if (Level(edge + rxBitNs / 2) != 0) {
            cursor = edge + 1;
            continue;
        }
        uint8_t byte = 0;
        for (int i = 0; i < 8; ++i) {
            if (Level(edge + (3 + 2 * i) * rxBitNs / 2)) {
                byte = static_cast<uint8_t>(byte | (1 << i));
            }
        }
        out.framingError = Level(done) == 0;
        out.byte = out.framingError ? 0 : byte;
        out.doneNs = done;
        cursor = done;
        while (!frames.empty() && frames.front().End() <= cursor) {
            frames.pop_front();
        }
        return true;
    }
}
