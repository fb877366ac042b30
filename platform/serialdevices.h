// The serial devices present on this machine, for choosing a port by what is plugged in
// rather than by guessing its number.
#pragma once

#include <memory>
#include <string>
#include <vector>

struct TSerialDevice {
    std::string path;   // "/dev/ttyUSB0"
    std::string byId;   // its stable name, "/dev/serial/by-id/usb-FTDI_..."; empty when none
    std::string maker;  // the adapter's maker and model as it reports them; empty when unknown
    std::string model;

    // The name to store for it: the stable one where there is one.
    const std::string& StableName() const { return byId.empty() ? path : byId; }
    // "FTDI FT232R USB UART", or "serial port" when the adapter names nothing.
    std::string Description() const;
    bool operator==(const TSerialDevice&) const = default;
};

class TSerialDeviceList {
public:
    virtual ~TSerialDeviceList() = default;
    // The devices present now, USB adapters first, each kind in number order.
    virtual std::vector<TSerialDevice> Devices() const = 0;
    // What is looked for, for the message when nothing is found.
    virtual std::string Searched() const = 0;
};

// Linux: /dev/ttyUSB* and /dev/ttyACM* (USB adapters) and the on-board /dev/ttyS* that have a
// UART behind them (the kernel keeps placeholders of the others), with their by-id names and
// the maker and model the USB device reports. The roots are injectable for tests.
class TSysfsSerialDevices : public TSerialDeviceList {
public:
    explicit TSysfsSerialDevices(std::string sysRoot = "/sys", std::string devRoot = "/dev");
    std::vector<TSerialDevice> Devices() const override;
    std::string Searched() const override;

private:
    std::string sysRoot;
    std::string devRoot;
};

class TPortMap;
// The port number (0..7) whose device is this one, by its path or its stable name; -1 when
// no port stands for it.
int ComPortOf(const TSerialDevice& device, const TPortMap& map);

// This system's list (empty where no listing is implemented yet).
std::unique_ptr<TSerialDeviceList> MakeSerialDeviceList();
