// <windows.h> as the platform layer uses it: without the min and max macros and the rarely
// used parts. Included only by platform/ files built for Windows (and their tests).
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
