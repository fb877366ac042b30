#include "tools/cli/cliformat.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string_view>

#include "ecu/ecu.h"
#include "ecu/protocol.h"
#include "ecu/seriallibrary.h"
#include "firmware/upload.h"
#include "platform/portmap.h"
#include "platform/serialdevices.h"

std::string ProgressBar(int percent, int64_t bytes, int64_t total, int width) {
    percent = std::clamp(percent, 0, 100);
    const int filled = percent * width / 100;
    char tail[64];
    std::snprintf(tail, sizeof tail, "] %3d%%  %lld/%lld bytes", percent,
                  static_cast<long long>(bytes), static_cast<long long>(total));
    return "[" + std::string(static_cast<size_t>(filled), '#') +
           std::string(static_cast<size_t>(width - filled), '.') + tail;
}

std::string ProgressLine(int percent, int64_t bytes, int64_t total) {
    char line[80];
    std::snprintf(line, sizeof line, "progress %3d%%  %lld/%lld bytes", std::clamp(percent, 0, 100),
                  static_cast<long long>(bytes), static_cast<long long>(total));
    return line;
}

bool IsBytesSentText(const std::string& text) {
    const std::string_view suffix = kBytesSentSuffix;
    return text.size() > suffix.size() && text.ends_with(suffix);
}

std::string UploadFailureReason(TUploadRun run, const TRunTrace& trace) {
    if (run == TUploadRun::LoaderSilent) {
        return "The boot loader did not answer; the ECU may need to be switched off and on.";
    }
    // The blocks start only after the erase: a run that set no position was not told the
    // erase was done. Once they have started, a run stops with the text that says why
    // ("Too many resends.", "Too many address attempts.").
    if (trace.positions == 0) {
        return "The boot loader did not confirm the erase.";
    }
    return trace.lastText.empty() ? "The upload stopped." : trace.lastText;
}

std::string WroteText(int usedLength, std::chrono::microseconds took) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", std::chrono::duration<double>(took).count());
    return "Wrote " + std::to_string(usedLength) + " bytes (" +
           std::to_string(BlockCount(usedLength)) + " blocks) in " + seconds + " s";
}

std::string PortLine(const TSerialDevice& device, int comPort) {
    char line[512];
    std::snprintf(line, sizeof line, "%-14s %-5s %s", device.path.c_str(),
                  comPort >= 0 ? TPortMap::PortName(comPort).c_str() : "-",
                  device.Description().c_str());
    return device.byId.empty() ? line : std::string(line) + "  " + device.byId;
}

std::string HexSummary(int usedLength) {
    return "used " + std::to_string(usedLength) + " bytes, " +
           std::to_string(BlockCount(usedLength)) + " blocks";
}

std::string RatesText(const std::vector<int>& baudCodes) {
    std::vector<int> rates;
    for (int code : baudCodes) {
        const int bps = BaudCodeToBps(code);
        if (bps > 0 && std::find(rates.begin(), rates.end(), bps) == rates.end()) {
            rates.push_back(bps);
        }
    }
    std::string text;
    for (size_t i = 0; i < rates.size(); ++i) {
        if (i > 0) {
            text += i + 1 == rates.size() ? " and " : ", ";
        }
        text += std::to_string(rates[i]);
    }
    return text.empty() ? text : text + " bit/s";
}

std::string PortOpenAdvice(const std::string& path, int err) {
    switch (err) {
        case EACCES:
        case EPERM:
            return "You may not open " + path +
                   ". Serial ports belong to the group 'dialout': add your user to it "
                   "(sudo usermod -aG dialout $USER) and log in again.";
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return "There is no device " + path +
                   ". Is the adapter plugged in? Choose the port with --port PATH or --com N.";
        default:
            return {};
    }
}
