#include "ecu/clock.h"

#include <thread>

std::chrono::microseconds TSteadyClock::Now() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch());
}

void TSteadyClock::Sleep(std::chrono::microseconds d) {
    if (d.count() > 0) {
        std::this_thread::sleep_for(d);
    }
}

TSteadyClock& TSteadyClock::Instance() {
    static TSteadyClock clock;
    return clock;
}
