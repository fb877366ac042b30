// Texts brindle-cli prints: CSV rows of sensor records, progress lines, summaries and the
// explanations added to the core's messages. Pure functions, for the unit tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "firmware/upload.h"

struct TSerialDevice;

// "[##########..........]  50%  65536/131072 bytes" with a bar of `width` characters.
std::string ProgressBar(int percent, int64_t bytes, int64_t total, int width);
// "progress  50%  65536/131072 bytes" for output that is not a terminal.
std::string ProgressLine(int percent, int64_t bytes, int64_t total);
// True for the upload's periodic "N bytes sent." texts.
bool IsBytesSentText(const std::string& text);

// What the progress view saw of one upload run.
struct TRunTrace {
    int positions = 0;     // SetPosition calls: the blocks start only after the erase
    std::string lastText;  // the last status text
};
// Why a failed run failed, in words, from how it ended and what it showed.
std::string UploadFailureReason(TUploadRun run, const TRunTrace& trace);
// "Wrote 131072 bytes (512 blocks) in 16.8 s"
std::string WroteText(int usedLength, std::chrono::microseconds took);

// One line of `ports`: the device, the Com number standing for it ("-" for none, -1), its
// maker and model, and its stable name when it has one.
std::string PortLine(const TSerialDevice& device, int comPort);

// "used 1000 bytes, 4 blocks"
std::string HexSummary(int usedLength);

// "9600, 115200 and 19200 bit/s" for the rates a connect pass tries (codes 5..9), each once.
std::string RatesText(const std::vector<int>& baudCodes);

// Advice to add to the core's "Comm port is in use!" for the errno of opening `path`;
// empty when there is nothing useful to add.
std::string PortOpenAdvice(const std::string& path, int err);
