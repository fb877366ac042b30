// The implementations of the core's platform interfaces for the system the program is built
// for, chosen by the build: termios devices and an INI file on Linux; COM ports and the
// registry on Windows. Programs create their serial library and settings store here.
#pragma once

#include <memory>
#include <string>

#include "ecu/clock.h"
#include "ecu/seriallibrary.h"
#include "ecu/settingsstore.h"
#include "platform/portmap.h"

// The serial library over the system's serial devices, with `map` for the port numbers.
std::unique_ptr<TSerialLibrary> MakeSerialLibrary(const TPortMap& map);

// The settings store: the INI file named by BRINDLE_SETTINGS when it is set; otherwise the
// user's INI file on Linux and the registry key on Windows. Per-port devices that an INI file
// names (section [ports]) are put into `map`.
std::unique_ptr<TSettingsStore> MakeSettingsStore(TPortMap& map);

// The clock for the ECU control thread: the standard library's steady clock, with sleeps
// that the system keeps to the microsecond where it can.
TClock& SystemClock();

// Where MakeSettingsStore keeps the settings, in words for help texts and messages.
std::string SettingsLocation();
