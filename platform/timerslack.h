// Timer precision for the threads that pace the serial line.
#pragma once

// Asks the kernel to wake the calling thread, and the threads it starts from now on, within
// a microsecond of their deadlines instead of the default 50 us (Linux), or sets the system
// timer to 1 ms instead of its 15.6 ms tick (Windows): the 10 ms pause between polls then
// costs 10 ms, not a little more each time. No effect where unsupported.
void TightenTimerSlack();
