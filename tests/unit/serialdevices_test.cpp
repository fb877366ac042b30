// The serial devices found on this machine, from a made-up sysfs and /dev.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/serialdevices.h"

namespace {

namespace fs = std::filesystem;

void Write(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text << "\n";
}

TEST(SerialDevices, ListedFromSysfsWithTheirStableNamesMakersAndModels) {
    const fs::path root = testing::TempDir() + "/brindle-sysfs-" + std::to_string(getpid());
    fs::remove_all(root);
    const fs::path sys = root / "sys";
    const fs::path dev = root / "dev";
    const fs::path usb = sys / "devices/pci0000:00/usb1/1-2";
    // tty name -> (the folder its "device" link names, its type file or "" for none)
    const std::tuple<std::string, fs::path, std::string> ttys[] = {
        {"ttyUSB1", usb / "1-2.1/1-2.1:1.0/ttyUSB1", ""},  // a USB adapter behind a hub
        {"ttyUSB0", usb / "1-2:1.0/ttyUSB0", ""},
        {"ttyACM0", usb / "1-2.4/1-2.4:1.0", ""},
        {"ttyS0", sys / "devices/pnp0/00:03", "4"},           // a UART
        {"ttyS3", sys / "devices/platform/serial8250", "0"},  // a placeholder
        {"ttyS1", sys / "devices/pnp0/00:04", ""},
        {"tty1", sys / "devices/virtual/tty1", ""},
        {"ttyUSB9", usb / "gone", ""},  // in sysfs, but not in /dev
    };
    for (const auto& [name, device, type] : ttys) {
        fs::create_directories(device);
        fs::create_directories(sys / "class/tty" / name);
        fs::create_directory_symlink(device, sys / "class/tty" / name / "device");
        if (!type.empty()) {
            Write(sys / "class/tty" / name / "type", type);
        }
        if (name != "ttyUSB9") {
            Write(dev / name, "");
        }
    }
    Write(usb / "idVendor", "0403");
    Write(usb / "manufacturer", "FTDI");
    Write(usb / "product", "FT232R USB UART");
    Write(usb / "1-2.4/idVendor", "2341");
    Write(usb / "1-2.4/product", "Uno");
    fs::create_directories(dev / "serial/by-id");
    fs::create_symlink("../../ttyUSB0", dev / "serial/by-id/usb-FTDI_FT232R_USB_UART_A1-if00");
    fs::create_symlink("../../ttyACM0", dev / "serial/by-id/usb-Arduino_Uno_75-if00");

    const TSysfsSerialDevices list(sys.string(), dev.string());
    const std::vector<TSerialDevice> expected = {
        {(dev / "ttyUSB0").string(),
         (dev / "serial/by-id/usb-FTDI_FT232R_USB_UART_A1-if00").string(), "FTDI",
         "FT232R USB UART"},
        {(dev / "ttyUSB1").string(), "", "FTDI", "FT232R USB UART"},
        {(dev / "ttyACM0").string(), (dev / "serial/by-id/usb-Arduino_Uno_75-if00").string(), "",
         "Uno"},
        {(dev / "ttyS0").string(), "", "", ""},
    };
    EXPECT_EQ(list.Devices(), expected);
    EXPECT_EQ(expected[0].Description(), "FTDI FT232R USB UART");
    EXPECT_EQ(expected[3].Description(), "serial port");

    fs::remove_all(root);
    EXPECT_TRUE(TSysfsSerialDevices(sys.string(), dev.string()).Devices().empty());
}

}  // namespace
