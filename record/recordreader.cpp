#include "record/recordreader.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string_view>

namespace {

// Larger than any recording: a day at 115200 bit/s is about 500 MiB.
constexpr std::streamoff kMaxRecordingBytes = std::streamoff{2} << 30;

std::string Quote(std::string_view field) {
    constexpr size_t kShown = 40;
    return "'" + std::string(field.substr(0, kShown)) + (field.size() > kShown ? "...'" : "'");
}

template <typename T>
bool Number(std::string_view field, T& value) {
    const char* end = field.data() + field.size();
    const auto [ptr, ec] = std::from_chars(field.data(), end, value);
    return !field.empty() && ec == std::errc() && ptr == end;
}

}  // namespace

bool ParseRecording(const std::string& text, TRecording& out, std::string& error) {
    out = TRecording{};
    const std::string header = RecordHeader();
    const std::vector<TSensorRow> captions = SensorRows(SensorRecord{});
    std::string_view fields[kRecordColumns];
    size_t lineNo = 0;
    for (size_t at = 0; at < text.size();) {
        ++lineNo;
        const size_t newline = text.find('\n', at);
        const bool ended = newline != std::string::npos;
        std::string_view line(text.data() + at, (ended ? newline : text.size()) - at);
        at = ended ? newline + 1 : text.size();
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        auto fail = [&](const std::string& why) {
            error = "line " + std::to_string(lineNo) + ": " + why;
            return false;
        };
        if (lineNo == 1) {
            if (line.substr(0, 3) == "\xEF\xBB\xBF") {
                line.remove_prefix(3);  // a byte order mark a spreadsheet may have added
            }
            if (line != header) {
                return fail("this is not the header of a recording (" + header + ")");
            }
            continue;
        }
        if (line.empty() && !ended) {
            break;
        }
        int count = 0;
        for (size_t from = 0;; ++count) {
            const size_t comma = line.find(',', from);
            if (count < kRecordColumns) {
                fields[count] =
                    line.substr(from, comma == std::string_view::npos ? comma : comma - from);
            }
            if (comma == std::string_view::npos) {
                ++count;
                break;
            }
            from = comma + 1;
        }
        std::chrono::milliseconds utc{0};
        int offset = 0;
        int64_t ms = 0;
        std::string why;
        if (count != kRecordColumns) {
            why =
                std::to_string(count) + " fields where a row has " + std::to_string(kRecordColumns);
        } else if (!ParseIsoLocalText(std::string(fields[0]), utc, offset)) {
            why = "the time " + Quote(fields[0]) +
                  " is not a local time such as 2026-12-07T14:02:11.123+01:00";
        } else if (!Number(fields[1], ms) || ms < 0) {
            why = "time_ms " + Quote(fields[1]) + " is not a number of milliseconds";
        } else if (!out.ms.empty() && ms < out.ms.back()) {
            why = "time_ms " + Quote(fields[1]) + " is earlier than the row before";
        }
        for (int i = 0; why.empty() && i < kSensorRows; ++i) {
            float v = 0;
            if (!Number(fields[2 + i], v)) {
                why = Quote(fields[2 + i]) + " under " + captions[i].caption + " is not a number";
            } else {
                out.values[i].push_back(v);
            }
        }
        if (!why.empty()) {
            if (!ended) {
                // The last line of a recording whose writer stopped in the middle of it: left
                // out, with every value already taken from it.
                out.cutShort = true;
                for (auto& column : out.values) {
                    column.resize(out.ms.size());
                }
                break;
            }
            return fail(why);
        }
        if (out.ms.empty()) {
            out.startUtcMs = utc.count() - ms;
            out.offsetMinutes = offset;
        }
        out.ms.push_back(ms);
    }
    if (lineNo == 0) {
        error = "line 1: the file is empty";
        return false;
    }
    return true;
}

bool LoadRecording(const std::string& path, TRecording& out, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = std::strerror(errno);
        return false;
    }
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    in.seekg(0);
    if (size > kMaxRecordingBytes) {
        error = "the file is too large to be a recording";
        return false;
    }
    std::string text(static_cast<size_t>(size > 0 ? size : 0), '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (in.bad() || in.gcount() != static_cast<std::streamsize>(text.size())) {
        error = "the file could not be read";
        return false;
    }
    return ParseRecording(text, out, error);
}
