#include "platform/timerslack.h"

#ifdef __linux__
#include <sys/prctl.h>
#endif

void TightenTimerSlack() {
#ifdef __linux__
    prctl(PR_SET_TIMERSLACK, 1000UL);  // nanoseconds
#endif
}
