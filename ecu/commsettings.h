// The four stored communication settings: the port number and three baud codes, with their
// load and save. The serial port object holds them for the link; the Preferences dialog and
// brindle-cli use this value alone, without a port object.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class TSettingsStore;

// Port numbers: 0 = COM1 .. 7 = COM8.
constexpr int kComPorts = 8;

struct TCommSettings {
    // Names of the stored values, in the order they are read and written.
    static constexpr const char* kComPortName = "comPort";
    static constexpr const char* kInitBaudName = "initBaud";
    static constexpr const char* kCommBaudName = "commBaud";
    static constexpr const char* kLoaderBaudName = "loaderBaud";

    int32_t comPort = 0;
    int32_t initBaud = 5;
    int32_t commBaud = 5;
    int32_t loaderBaud = 6;

    // Reads the stored values over these. False when any was missing (a value that is not an
    // integer counts as missing); a key that cannot be opened or created leaves the values as
    // they are and counts as complete, so nothing is written back.
    bool Load(TSettingsStore& store);
    // Writes all four; false when the key cannot be opened or a write failed (writing stops
    // there).
    bool Save(TSettingsStore& store) const;
    // Load, then, when any value was missing, all four are written back: a first start
    // creates the key and a partial key is completed.
    static TCommSettings Stored(TSettingsStore& store);

    // One warning for each value outside those the program knows (comPort 0..7, the baud
    // codes 5..9), naming its key and value. Such values are still used as they are.
    std::vector<std::string> RangeWarnings() const;

    bool operator==(const TCommSettings&) const = default;
};

// What one run uses instead of the stored values (brindle-cli's --com and --baud). Never
// stored. -1 and 0: the stored value.
struct TCommOverride {
    int32_t comPort = -1;
    int32_t commBaud = 0;
};
