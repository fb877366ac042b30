#include "platform/timerslack.h"

#ifdef __linux__
#include <sys/prctl.h>
#elif defined(_WIN32)
#include "platform/win32.h"

#include <timeapi.h>  // after windows.h, which it needs
#endif

void TightenTimerSlack() {
#ifdef __linux__
    prctl(PR_SET_TIMERSLACK, 1000UL);  // nanoseconds
#elif defined(_WIN32)
    // Windows wakes sleepers on its timer tick, 15.6 ms by default: a 5 ms receive pause or
    // the 10 ms pass pause would each cost a whole tick. 1 ms for the rest of the process.
    timeBeginPeriod(1);
#endif
}
