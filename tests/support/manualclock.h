// A clock that stands still until told to move; sleeping advances it at once.
#pragma once

#include <atomic>

#include "ecu/clock.h"

class TManualClock : public TClock {
public:
    explicit TManualClock(int64_t startUs = 1'000'000) : now(startUs) {}

    int64_t NowUs() override { return now.load(); }
    void SleepUs(int64_t us) override {
        if (us > 0) {
            now.fetch_add(us);
        }
        sleeps.fetch_add(1);
    }

    void AdvanceUs(int64_t us) { now.fetch_add(us); }
    void AdvanceMs(int64_t ms) { AdvanceUs(ms * 1000); }
    // Moves the clock forward to `us` (never back).
    void AdvanceToUs(int64_t us) {
        int64_t cur = now.load();
        while (us > cur && !now.compare_exchange_weak(cur, us)) {
        }
    }

    std::atomic<int64_t> sleeps{0};

private:
    std::atomic<int64_t> now;
};
