#include "platform/portmap.h"

TPortMap::TPortMap() {
    for (int i = 0; i < kPorts; ++i) {
        paths[i] = DefaultPath(i);
    }
}

std::string TPortMap::DefaultPath(int port) {
#ifdef _WIN32
    // On Windows COM1 to COM8 are themselves.
    if (port >= 0 && port < kPorts) {
        return "\\\\.\\COM" + std::to_string(port + 1);
    }
#else
    if (port >= 0 && port < 4) {
        return "/dev/ttyUSB" + std::to_string(port);
    }
    if (port >= 4 && port < 6) {
        return "/dev/ttyACM" + std::to_string(port - 4);
    }
    if (port >= 6 && port < kPorts) {
        return "/dev/ttyS" + std::to_string(port - 6);
    }
#endif
    return {};
}

const char* TPortMap::DevicesHelp() {
#ifdef _WIN32
    return "                      COM1 to COM8 (--port COM12 reaches any other)";
#else
    return "                      COM1-COM4 /dev/ttyUSB0-3, COM5-COM6 /dev/ttyACM0-1,\n"
           "                      COM7-COM8 /dev/ttyS0-1, unless the settings file's [ports]\n"
           "                      section names another device";
#endif
}

const char* TPortMap::OpenFailureHelp() {
#ifdef _WIN32
    return "(the system's reason is printed)";
#else
    return "(the system's reason is printed; when\n"
           "       permission is denied, the user belongs in the group 'dialout')";
#endif
}

std::string TPortMap::PortName(int port) {
    return "Com" + std::to_string(port + 1);
}

void TPortMap::SetPath(int port, const std::string& path) {
    if (port >= 0 && port < kPorts) {
        paths[port] = path.empty() ? DefaultPath(port) : path;
    }
}

std::string TPortMap::PathFor(int port) const {
    if (!runOverride.empty()) {
        return runOverride;
    }
    return MappedPath(port);
}

std::string TPortMap::MappedPath(int port) const {
    if (port >= 0 && port < kPorts) {
        return paths[port];
    }
    return {};
}
