// Waiting in real time for something another thread (often running on virtual time) brings
// about. A bound, never a bet: the tests fail when the condition does not come in time.
#pragma once

#include <chrono>
#include <thread>

template <typename Pred>
bool WaitFor(Pred done, int ms = 20000) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}
