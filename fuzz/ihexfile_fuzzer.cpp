// The Intel HEX loader on arbitrary file contents.
//
// An input is the file's text, except that one starting with 0xFF describes records in
// binary, which are written out as HEX text first: so that addresses, lengths and checksums
// the fuzzer picks reach the parser whole. Binary layout: 0xFF, the small image's capacity
// / 3, then records of control byte, byte count, offset high, offset low, type, and the
// data bytes. Control bit 0: checksum off by one; bits 1-2: line end CR LF, LF, CR or none;
// bit 3: lower-case digits.
//
// The text is loaded through Open and Load from a file, into images of two capacities whose
// buffers are exactly that large (so any stray store hits the address sanitizer). Checked on
// every input:
// - a load ends with success, or with a known text and on a second line the line inside the
//   text where it failed;
// - usedLength is one past the last byte that is not 0xFF (0 for an erased image), and 0
//   after a failed load;
// - the input in lower case loads as it does (the digits are read either way);
// - for binary input whose records have the sizes their types call for, the result, error
//   and image are those the records give: data stored at offset plus segment or linear base
//   (also from a record whose checksum then fails), base records moving later data, parsing
//   ending at the end-of-file record and failing without one.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <numeric>
#include <set>
#include <string>
#include <vector>

#include "firmware/ihexfile.h"
#include "fuzz/harness.h"

namespace {

bool KnownError(const std::string& text) {
    static const std::set<std::string> known = {
        "Incorrect record header", "data record outside allocated space",
        "Checksum error!",         kHexMissingEnd,
        kHexRecordCutShort,        kHexInvalidCharacter};
    const std::string prefix = "unrecognised record type: ";
    return known.count(text) == 1 ||
           (text.rfind(prefix, 0) == 0 && text.size() - prefix.size() - 1 < 2);
}

// Whether usedLength is one past the last byte that is not 0xFF. With memcmp: a per-byte loop
// under coverage instrumentation would cost more than the rest of a run.
bool UsedLengthFits(const TIHexFile& image) {
    static const std::vector<uint8_t> erased(kFirmwareImageBytes, 0xFF);
    const size_t used = static_cast<size_t>(image.usedLength);
    return used <= image.data.size() && (used == 0 || image.data[used - 1] != 0xFF) &&
           std::memcmp(image.data.data() + used, erased.data(), image.data.size() - used) == 0;
}

const std::string& TempPath() {
    static const std::string path = [] {
        const char* dir = std::getenv("TMPDIR");
        std::string p = std::string(dir && *dir ? dir : "/tmp") + "/brindle-fuzz-hex-XXXXXX";
        const int fd = mkstemp(p.data());
        Check(fd >= 0, "cannot create a temporary file");
        close(fd);
        std::atexit([] { std::remove(TempPath().c_str()); });
        return p;
    }();
    return path;
}

// Loads `text` from a file into `image`, and checks what every load must give.
bool LoadText(TIHexFile& image, const std::string& text) {
    {
        std::ofstream out(TempPath(), std::ios::binary | std::ios::trunc);
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        Check(out.good(), "cannot write the temporary file");
    }
    image.usedLength = 12345;  // whatever an earlier load left, Load must set it afresh
    Check(image.Open(TempPath()), "Open failed on a regular file");
    const bool loaded = image.Load();
    const std::string& error = image.LastError();
    if (loaded) {
        Check(error.empty(), "an error after a good load");
        Check(UsedLengthFits(image), "usedLength inconsistent with data");
        return true;
    }
    Check(image.usedLength == 0, "usedLength set by a failed load");
    const size_t cut = error.find('\n');
    Check(cut != std::string::npos && KnownError(error.substr(0, cut)), "unknown error text");
    // The second line says where: "Line 12 of the file.", or where a file without its end
    // record ends.
    const std::string where = error.substr(cut + 1);
    const int line =
        std::atoi(where.c_str() + std::min(where.find_first_of("0123456789"), where.size()));
    Check(!where.empty() && line >= 0 && line <= static_cast<int>(text.size()) + 1,
          "the error names no line inside the text");
    return false;
}

struct TRecord {
    bool badChecksum;
    uint8_t type;
    uint16_t offset;
    std::vector<uint8_t> bytes;
};

// Reads the binary records and writes them out as HEX text. `wellFormed` tells whether every
// record has the byte count its type is parsed with.
std::vector<TRecord> BinaryRecords(const uint8_t* data, size_t size, std::string& text,
                                   bool& wellFormed) {
    static const char* const kLineEnds[] = {"\r\n", "\n", "\r", ""};
    std::vector<TRecord> records;
    wellFormed = true;
    size_t i = 0;
    while (i + 5 <= size) {
        const uint8_t control = data[i];
        TRecord r{(control & 1) != 0,
                  data[i + 4],
                  static_cast<uint16_t>(data[i + 2] << 8 | data[i + 3]),
                  {}};
        i += 5;
        const size_t take = std::min<size_t>(data[i - 4], size - i);
        r.bytes.assign(data + i, data + i + take);
        i += take;
        std::vector<uint8_t> all = {static_cast<uint8_t>(r.bytes.size()),
                                    static_cast<uint8_t>(r.offset >> 8),
                                    static_cast<uint8_t>(r.offset & 0xFF), r.type};
        all.insert(all.end(), r.bytes.begin(), r.bytes.end());
        const unsigned sum = std::accumulate(all.begin(), all.end(), 0u);
        all.push_back(static_cast<uint8_t>((0x100 - (sum & 0xFF) + (r.badChecksum ? 1 : 0))));
        text += ':';
        const char* digits = control & 8 ? "0123456789abcdef" : "0123456789ABCDEF";
        for (uint8_t b : all) {
            text += digits[b >> 4];
            text += digits[b & 15];
        }
        text += kLineEnds[(control >> 1) & 3];
        const size_t n = r.bytes.size();
        wellFormed &= (r.type != 1 || n == 0) && (r.type != 2 || n == 2) &&
                      (r.type != 3 || n == 4) && (r.type != 4 || n == 2);
        records.push_back(std::move(r));
    }
    return records;
}

// What loading the records must give, worked out from the records themselves.
void CheckAgainstRecords(const std::vector<TRecord>& records, const TIHexFile& loaded) {
    const int32_t capacity = loaded.capacity;
    std::vector<uint8_t> image(static_cast<size_t>(capacity), 0xFF);
    std::string error = kHexMissingEnd;  // unless an end record comes
    int64_t base = 0;
    for (const TRecord& r : records) {
        if (r.type == 0) {
            const int64_t address = r.offset + base;
            if (address + static_cast<int64_t>(r.bytes.size()) > capacity) {
                error = "data record outside allocated space";
                break;
            }
            std::copy(r.bytes.begin(), r.bytes.end(), image.begin() + address);
        } else if (r.type == 1) {
            error = r.badChecksum ? "Checksum error!" : "";
            break;
        } else if (r.type == 2) {
            base = (r.bytes[0] * 256 + r.bytes[1]) * 16;
        } else if (r.type == 4) {
            base = int64_t{r.bytes[0] * 256 + r.bytes[1]} << 16;
        } else if (r.type != 3) {
            const std::string hex{"0123456789ABCDEF"[r.type >> 4], "0123456789ABCDEF"[r.type & 15]};
            error = "unrecognised record type: " + (r.type > 9 ? hex : hex.substr(1));
            break;
        }
        if (r.badChecksum) {
            error = "Checksum error!";
            break;
        }
    }
    const std::string& got = loaded.LastError();
    Check(got.substr(0, got.find('\n')) == error, "result differs from what the records give");
    Check(loaded.data == image, "image differs from what the records give");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text;
    std::vector<TRecord> records;
    bool wellFormed = false;
    int32_t smallCapacity = 300;
    if (size >= 2 && data[0] == 0xFF) {
        smallCapacity = 1 + data[1] * 3;
        records = BinaryRecords(data + 2, size - 2, text, wellFormed);
    } else {
        text.assign(reinterpret_cast<const char*>(data), size);
    }

    // The program's 128 KiB images are made once, as allocating them for every input would
    // dominate the run. On the small image, records near its end must be refused, not stored.
    static TIHexFile full;
    static TIHexFile lower;
    TIHexFile small(smallCapacity);
    const bool loaded = LoadText(full, text);
    LoadText(small, text);
    if (wellFormed) {
        CheckAgainstRecords(records, full);
        CheckAgainstRecords(records, small);
    }

    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    Check(LoadText(lower, text) == loaded && lower.LastError() == full.LastError() &&
              lower.data == full.data,
          "upper and lower case load differently");
    return 0;
}
