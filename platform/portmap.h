// Maps the program's port numbers (0 = COM1 .. 7 = COM8) to device paths.
#pragma once

#include <array>
#include <string>

#include "ecu/serialcomm.h"

class TPortMap {
public:
    static constexpr int kPorts = kComPorts;

    // Defaults: COM1-COM4 are /dev/ttyUSB0-3, COM5-COM6 /dev/ttyACM0-1, COM7-COM8 /dev/ttyS0-1;
    // on Windows COM1 to COM8 are \\.\COM1 to \\.\COM8.
    TPortMap();

    // Replaces the device of one port (0..7); an empty path restores the default.
    void SetPath(int port, const std::string& path);
    // Uses `path` for every port number for this run (the --port option); empty clears it.
    void SetRunOverride(const std::string& path) { runOverride = path; }
    const std::string& RunOverride() const { return runOverride; }

    // The device for a port number; empty when the number has none.
    std::string PathFor(int port) const;
    // The port's own device, whatever the run override says.
    std::string MappedPath(int port) const;
    static std::string DefaultPath(int port);
    // "Com1" .. "Com8" as the Preferences dialog lists them.
    static std::string PortName(int port);
    // For help texts: the devices of the port numbers (lines indented to the option text of
    // brindle-cli's help), and what is printed when a port cannot be opened.
    static const char* DevicesHelp();
    static const char* OpenFailureHelp();

private:
    std::array<std::string, kPorts> paths;
    std::string runOverride;
};

// Where the per-port devices are kept (the settings file's [ports] section).
class TPortMapStore {
public:
    virtual ~TPortMapStore() = default;
    // Reads the stored devices into `map`.
    virtual void LoadPortOverrides(TPortMap& map) = 0;
    // Stores `path` as the device of a port (0..7); false when it could not be stored.
    virtual bool SavePortPath(int port, const std::string& path) = 0;
};
