// A clock that stands still until told to move; sleeping advances it at once.
#pragma once

#include <atomic>
#include <cstdint>

#include "ecu/clock.h"

class TManualClock : public TClock {
public:
    explicit TManualClock(std::chrono::microseconds start = std::chrono::seconds(1))
        : now(start.count()) {}

    std::chrono::microseconds Now() override { return std::chrono::microseconds(now.load()); }
    void Sleep(std::chrono::microseconds d) override {
        if (d.count() > 0) {
            now.fetch_add(d.count());
        }
        sleeps.fetch_add(1);
    }

    // A shorthand for the tests.
    int64_t NowUs() { return now.load(); }

    std::atomic<int64_t> sleeps{0};

private:
    std::atomic<int64_t> now;
};
