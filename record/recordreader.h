// Reads a recording written by Brindle or brindle-cli back, for playback.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "record/recordformat.h"

struct TRecording {
    std::vector<int64_t> ms;  // time_ms of each row, never decreasing
    // Each of the thirteen values, in the rows' order, one entry per row.
    std::array<std::vector<float>, kSensorRows> values;
    int64_t startUtcMs = 0;  // the wall clock at time_ms 0, ms since 1970 (UTC)
    int offsetMinutes = 0;   // the UTC offset the recording's times were written with
    bool cutShort = false;   // the last line had no end and was left out (a crash)

    size_t Rows() const { return ms.size(); }
};

// Reads `text`. False, with `error` naming the line ("line 17: ..."), when it is not such a
// recording. A last line cut short without a line end (the writer stopped in it) is left
// out rather than refused.
bool ParseRecording(const std::string& text, TRecording& out, std::string& error);
// Reads the file at `path` the same way; `error` also says when it cannot be read.
bool LoadRecording(const std::string& path, TRecording& out, std::string& error);
