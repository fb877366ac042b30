// Time source for everything that waits. The core never reads the time or sleeps except
// through a TClock, so tests can run the 500 ms and 4 s time-outs on a manual clock.
#pragma once

#include <cstdint>

class TClock {
public:
    virtual ~TClock() = default;

    // Monotonic time in microseconds; only differences are meaningful.
    virtual int64_t NowUs() = 0;
    // Blocks the calling thread for at least `us` microseconds (a manual clock advances instead).
    virtual void SleepUs(int64_t us) = 0;

    int64_t NowMs() { return NowUs() / 1000; }
    void SleepMs(int64_t ms) { SleepUs(ms * 1000); }
};

// The real clock: std::chrono::steady_clock, which does not jump with the wall clock.
class TSteadyClock : public TClock {
public:
    int64_t NowUs() override;
    void SleepUs(int64_t us) override;

    // One shared instance for the program's parts that have no clock of their own.
    static TSteadyClock& Instance();
};
