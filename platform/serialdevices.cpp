#include "platform/serialdevices.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "platform/portmap.h"

namespace fs = std::filesystem;

namespace {

// The kinds, in the order they are listed.
const char* const kKinds[] = {"ttyUSB", "ttyACM", "ttyS"};

// The first line of a small sysfs file; empty when there is none.
std::string ReadLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) {
        line.pop_back();
    }
    return line;
}

// "ttyUSB12" -> kind 0, number 12; false for other names.
bool KindAndNumber(const std::string& name, int& kind, int& number) {
    for (int k = 0; k < static_cast<int>(std::size(kKinds)); ++k) {
        const std::string prefix = kKinds[k];
        if (name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
            std::all_of(name.begin() + static_cast<long>(prefix.size()), name.end(),
                        [](char c) { return c >= '0' && c <= '9'; })) {
            kind = k;
            number = std::stoi(name.substr(prefix.size()));
            return true;
        }
    }
    return false;
}

}  // namespace

int ComPortOf(const TSerialDevice& device, const TPortMap& map) {
    for (int port = 0; port < TPortMap::kPorts; ++port) {
        const std::string mapped = map.MappedPath(port);
        if (mapped == device.path || (!device.byId.empty() && mapped == device.byId)) {
            return port;
        }
    }
    return -1;
}

std::string TSerialDevice::Description() const {
    std::string text = maker;
    if (!model.empty()) {
        text += (text.empty() ? "" : " ") + model;
    }
    return text.empty() ? "serial port" : text;
}

TSysfsSerialDevices::TSysfsSerialDevices(std::string sys, std::string dev)
    : sysRoot(std::move(sys)), devRoot(std::move(dev)) {}

std::string TSysfsSerialDevices::Searched() const {
    return devRoot + "/ttyUSB*, " + devRoot + "/ttyACM* and " + devRoot + "/ttyS*";
}

std::vector<TSerialDevice> TSysfsSerialDevices::Devices() const {
    std::error_code ec;
    // Stable names: the links in serial/by-id, by the device they name.
    std::vector<std::pair<std::string, std::string>> byId;
    for (const fs::directory_entry& link :
         fs::directory_iterator(fs::path(devRoot) / "serial" / "by-id", ec)) {
        const fs::path target = fs::read_symlink(link.path(), ec);
        if (!ec) {
            byId.emplace_back(target.filename().string(), link.path().string());
        }
    }
    std::sort(byId.begin(), byId.end());

    struct TFound {
        int kind;
        int number;
        TSerialDevice device;
    };
    std::vector<TFound> found;
    const fs::path ttys = fs::path(sysRoot) / "class" / "tty";
    for (const fs::directory_entry& entry : fs::directory_iterator(ttys, ec)) {
        const std::string name = entry.path().filename().string();
        int kind = 0;
        int number = 0;
        if (!KindAndNumber(name, kind, number) || !fs::exists(entry.path() / "device", ec)) {
            continue;
        }
        // An on-board port answers only with a UART behind it: the others are of type 0.
        if (std::string(kKinds[kind]) == "ttyS") {
            const std::string type = ReadLine(entry.path() / "type");
            if (type.empty() || type == "0") {
                continue;
            }
        }
        TSerialDevice device;
        device.path = (fs::path(devRoot) / name).string();
        if (!fs::exists(device.path, ec)) {
            continue;
        }
        for (const auto& [target, link] : byId) {
            if (target == name) {
                device.byId = link;
                break;
            }
        }
        // The USB device is the nearest folder above the interface with a vendor id.
        const fs::path root = fs::canonical(sysRoot, ec);
        fs::path dir = fs::canonical(entry.path() / "device", ec);
        for (; !ec && !dir.empty() && dir != root && dir != dir.parent_path();
             dir = dir.parent_path()) {
            if (fs::exists(dir / "idVendor", ec)) {
                device.maker = ReadLine(dir / "manufacturer");
                device.model = ReadLine(dir / "product");
                break;
            }
        }
        found.push_back({kind, number, device});
    }
    std::sort(found.begin(), found.end(), [](const TFound& a, const TFound& b) {
        return a.kind != b.kind ? a.kind < b.kind : a.number < b.number;
    });
    std::vector<TSerialDevice> devices;
    for (TFound& f : found) {
        devices.push_back(std::move(f.device));
    }
    return devices;
}

namespace {

// Where no listing is implemented yet: nothing found.
class TNoSerialDevices : public TSerialDeviceList {
public:
    std::vector<TSerialDevice> Devices() const override { return {}; }
    std::string Searched() const override { return "serial devices"; }
};

}  // namespace

std::unique_ptr<TSerialDeviceList> MakeSerialDeviceList() {
#ifdef _WIN32
    return std::make_unique<TNoSerialDevices>();
#else
    return std::make_unique<TSysfsSerialDevices>();
#endif
}
