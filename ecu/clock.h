// Time source for everything that waits. The core never reads the time or sleeps except
// through a TClock, so tests can run the 500 ms and 4 s time-outs on a manual clock.
#pragma once

#include <chrono>

class TClock {
public:
    virtual ~TClock() = default;

    // Monotonic time since the clock's own start; only differences are meaningful.
    virtual std::chrono::microseconds Now() = 0;
    // Blocks the calling thread for at least `d` (a manual clock advances instead).
    virtual void Sleep(std::chrono::microseconds d) = 0;
};

// The real clock: std::chrono::steady_clock, which does not jump with the wall clock.
class TSteadyClock : public TClock {
public:
    std::chrono::microseconds Now() override;
    void Sleep(std::chrono::microseconds d) override;

    // One shared instance for the program's parts that have no clock of their own.
    static TSteadyClock& Instance();
};
