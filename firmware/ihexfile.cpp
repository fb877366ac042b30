#include "firmware/ihexfile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <limits>
#include <system_error>

namespace {

constexpr uint8_t kTypeData = 0;
constexpr uint8_t kTypeEnd = 1;
constexpr uint8_t kTypeSegment = 2;
constexpr uint8_t kTypeStartSegment = 3;
constexpr uint8_t kTypeLinear = 4;

// A hex digit's value, or -1 for any other character.
int DigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Reads one byte of a record (two hex digits, high nibble first) and adds it to the checksum.
// A record that stops before its byte is complete, at a line end or at the end of the text,
// and a character that is no hex digit, fail the record.
bool ReadByte(THexRec& rec, const char*& pos, const char* end, uint8_t& out) {
    for (int i = 0; i < 2; ++i) {
        if (pos + i == end || pos[i] == '\r' || pos[i] == '\n') {
            rec.errorText = kHexRecordCutShort;
            return false;
        }
        if (DigitValue(pos[i]) < 0) {
            rec.errorText = kHexInvalidCharacter;
            return false;
        }
    }
    out = static_cast<uint8_t>(DigitValue(pos[0]) << 4 | DigitValue(pos[1]));
    pos += 2;
    rec.checksum = static_cast<uint8_t>(rec.checksum + out);
    return true;
}

// The type as the error text names it: the digit for 0 to 9, else two hex digits.
std::string TypeText(uint8_t type) {
    static const char kHex[] = "0123456789ABCDEF";
    if (type <= 9) {
        return std::string(1, static_cast<char>('0' + type));
    }
    return {kHex[type >> 4], kHex[type & 15]};
}

bool IsLineEnd(char c) {
    return c == '\r' || c == '\n';
}

// Line breaks in [from, to): LF, CR LF and a lone CR each end one line.
int LineBreaks(const char* from, const char* to) {
    int n = 0;
    for (const char* p = from; p != to; ++p) {
        if (*p == '\n' || (*p == '\r' && (p + 1 == to || p[1] != '\n'))) {
            ++n;
        }
    }
    return n;
}

}  // namespace

TIHexFile::TIHexFile(int cap) : capacity(cap), data(static_cast<size_t>(std::max(cap, 0)), 0xFF) {}

bool TIHexFile::Open(const std::string& path) {
    file.reset();
    lastError.clear();
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(path, error);
    if (error) {
        lastError = path + ": " + error.message();
        return false;
    }
    if (!std::filesystem::is_regular_file(status)) {
        lastError = path + ": not a regular file";
        return false;
    }
    auto stream = std::make_unique<std::ifstream>(path, std::ios::in | std::ios::binary);
    if (!stream->is_open()) {
        lastError = path + ": " + std::strerror(errno);
        return false;
    }
    file = std::move(stream);
    return true;
}

bool TIHexFile::Load() {
    // Each load starts afresh: nothing of an earlier file may shape this one, and a failed
    // load leaves no length that would pass for an image.
    segmentBase = 0;
    usedLength = 0;
    lastError.clear();
    if (!file) {
        lastError = "No firmware image is open.";
        return false;
    }
    file->clear();
    file->seekg(0, std::ios::end);
    const std::streamoff length = file->tellg();
    file->seekg(0, std::ios::beg);
    if (length < 0) {
        lastError = "The firmware image could not be read.";
        return false;
    }
    if (length > kMaxFileBytes) {
        lastError = "The file is too large to be a firmware image (" + std::to_string(length) +
                    " bytes; a HEX file for this ECU is well under 16 MiB).";
        return false;
    }
    std::fill(data.begin(), data.end(), 0xFF);

    std::string text(static_cast<size_t>(length), '\0');
    file->read(text.data(), length);
    if (file->bad()) {
        // A read error must not pass for a short file that happens to parse.
        lastError = "The firmware image could not be read.";
        return false;
    }
    text.resize(static_cast<size_t>(file->gcount()));

    THexRec rec;
    int line = 0;
    if (!ParseText(rec, text.data(), text.data() + text.size(), data.data(), capacity, segmentBase,
                   line)) {
        lastError = rec.errorText + "\n";
        if (rec.errorText != kHexMissingEnd) {
            lastError += "Line " + std::to_string(line) + " of the file.";
        } else if (line == 0) {
            lastError += "The file is empty.";
        } else {
            lastError += "The file ends at line " + std::to_string(line) + " without one.";
        }
        return false;
    }

    for (int32_t i = capacity - 1; i >= 0; --i) {
        if (data[i] != 0xFF) {
            usedLength = i + 1;
            break;
        }
    }
    return true;
}

bool TIHexFile::ParseText(THexRec& rec, const char* begin, const char* end, uint8_t* data,
                          int32_t capacity, int32_t& segmentBase, int& line) {
    const char* pos = begin;
    line = 1;
    while (pos != end) {
        const char* start = pos;
        if (!ParseRecord(rec, pos, end, data, capacity, segmentBase)) {
            return false;
        }
        if (rec.type == kTypeEnd) {
            return true;  // ParseRecord skipped what follows
        }
        line += LineBreaks(start, pos);
    }
    // The text stopped before its end-of-file record: a file cut short, never to be flashed.
    rec.errorText = kHexMissingEnd;
    line = begin == end ? 0 : line - (IsLineEnd(end[-1]) ? 1 : 0);
    return false;
}

bool TIHexFile::ParseRecord(THexRec& rec, const char*& pos, const char* end, uint8_t* data,
                            int32_t capacity, int32_t& segmentBase) {
    if (pos == end || *pos++ != ':') {
        rec.errorText = "Incorrect record header";
        return false;
    }
    rec.checksum = 0;
    uint8_t hi = 0;
    uint8_t lo = 0;
    if (!ReadByte(rec, pos, end, rec.length) || !ReadByte(rec, pos, end, hi) ||
        !ReadByte(rec, pos, end, lo) || !ReadByte(rec, pos, end, rec.type)) {
        return false;
    }
    rec.address = int64_t{hi} * 256 + lo + segmentBase;

    uint8_t b[4] = {};
    switch (rec.type) {
        case kTypeData:
            if (rec.address + rec.length > capacity) {
                rec.errorText = "data record outside allocated space";
                return false;
            }
            for (int i = 0; i < rec.length; ++i) {
                if (!ReadByte(rec, pos, end, data[rec.address + i])) {
                    return false;
                }
            }
            break;
        case kTypeEnd:
            if (!ReadByte(rec, pos, end, b[0])) {
                return false;
            }
            if (rec.checksum != 0) {
                rec.errorText = "Checksum error!";
                return false;
            }
            pos = end;  // whatever follows the end-of-file record is ignored
            return true;
        case kTypeSegment:
        case kTypeLinear: {
            if (!ReadByte(rec, pos, end, b[0]) || !ReadByte(rec, pos, end, b[1])) {
                return false;
            }
            // A segment moves by 16 bytes, a linear base by 64 KiB. A base beyond what an
            // image can hold is kept as the largest one, so any data after it is refused.
            const int64_t base =
                (int64_t{b[0]} * 256 + b[1]) * (rec.type == kTypeSegment ? 16 : 65536);
            segmentBase =
                static_cast<int32_t>(std::min<int64_t>(base, std::numeric_limits<int32_t>::max()));
            break;
        }
        case kTypeStartSegment:
            for (uint8_t& x : b) {
                if (!ReadByte(rec, pos, end, x)) {
                    return false;
                }
            }
            break;
        default:
            rec.errorText = "unrecognised record type: " + TypeText(rec.type);
            return false;
    }
    if (!ReadByte(rec, pos, end, b[0])) {
        return false;
    }
    if (rec.checksum != 0) {
        rec.errorText = "Checksum error!";
        return false;
    }
    while (pos != end && IsLineEnd(*pos)) {
        ++pos;
    }
    return true;
}
