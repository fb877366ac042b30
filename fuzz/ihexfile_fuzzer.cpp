// The Intel HEX loader on arbitrary file contents.
//
// An input is the file's text, except that one starting with 0xFF describes records in
// binary, which are written out as HEX text first: so that addresses, lengths and checksums
// the fuzzer picks reach the parser whole. Binary layout: 0xFF, the small image's capacity
// / 3, then records of control byte, byte count, offset high, offset low, type, and the
// data bytes. Control bit 0: checksum off by one; bits 1-2: line end CR LF, LF, CR or none;
// bit 3: lower-case digits.
//
// The text is parsed as Load parses it, into images of two capacities whose buffers are
// exactly that large (so any stray store hits the address sanitizer), and once more through
// Open and Load on a file. Checked on every input:
// - the parse ends with a known text, or with success, and names a line inside the text;
// - Load on the file agrees with the parse: result, error text and image;
// - usedLength is one past the last byte that is not 0xFF (0 for an erased image), and a
//   failed load reports the parser's text and, on a second line, where it failed;
// - upper- and lower-case input load to the same image (the digits are read either way);
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
#include <memory>
#include <string>
#include <vector>

#include "firmware/ihexfile.h"
#include "fuzz/check.h"

namespace {

struct TParse {
    bool ok = true;
    std::string error;
    const uint8_t* image = nullptr;  // `capacity` bytes, valid until the next parse
};

bool KnownError(const std::string& text) {
    for (const char* known :
         {"Incorrect record header", "data record outside allocated space", "Checksum error!",
          kHexMissingEnd, kHexRecordCutShort, kHexInvalidCharacter}) {
        if (text == known) {
            return true;
        }
    }
    const std::string prefix = "unrecognised record type: ";
    return (text.size() == prefix.size() + 1 || text.size() == prefix.size() + 2) &&
           text.compare(0, prefix.size(), prefix) == 0;
}

// An image buffer of exactly `capacity` bytes, so that a store past its end is caught.
// `slot` keeps buffers of parses that are compared with each other apart.
uint8_t* Buffer(int slot, int32_t capacity) {
    static std::unique_ptr<uint8_t[]> buffers[3];
    static int32_t sizes[3] = {};
    if (sizes[slot] != capacity) {
        buffers[slot].reset(new uint8_t[static_cast<size_t>(capacity)]);
        sizes[slot] = capacity;
    }
    return buffers[slot].get();
}

// The parse of Load, on a fresh erased image of `capacity` bytes.
TParse ParseAll(const std::string& text, int32_t capacity, int slot) {
    uint8_t* data = Buffer(slot, capacity);
    std::memset(data, 0xFF, static_cast<size_t>(capacity));
    TParse r;
    THexRec rec;
    int32_t segmentBase = 0;
    int line = -1;
    r.ok = TIHexFile::ParseText(rec, text.data(), text.data() + text.size(), data, capacity,
                                segmentBase, line);
    if (!r.ok) {
        r.error = rec.errorText;
        Check(KnownError(r.error), "unknown error text");
    }
    Check(line >= 0 && line <= static_cast<int>(text.size()) + 1, "line outside the text");
    r.image = data;
    return r;
}

// One past the last byte that is not 0xFF. Word by word: a per-byte loop under coverage
// instrumentation would cost more than the rest of a run.
int32_t UsedLength(const std::vector<uint8_t>& image) {
    size_t n = image.size();
    while (n >= 8) {
        uint64_t word = 0;
        std::memcpy(&word, &image[n - 8], 8);
        if (word != ~uint64_t{0}) {
            break;
        }
        n -= 8;
    }
    while (n > 0 && image[n - 1] == 0xFF) {
        --n;
    }
    return static_cast<int32_t>(n);
}

const std::string& TempPath() {
    static const std::string path = [] {
        const char* dir = std::getenv("TMPDIR");
        std::string p = std::string(dir && *dir ? dir : "/tmp") + "/brindle-fuzz-hex-XXXXXX";
        const int fd = mkstemp(p.data());
        if (fd < 0) {
            Fail("cannot create a temporary file");
        }
        close(fd);
        std::atexit([] { std::remove(TempPath().c_str()); });
        return p;
    }();
    return path;
}

std::string Transformed(const std::string& text, int (*f)(int)) {
    std::string out = text;
    for (char& c : out) {
        c = static_cast<char>(f(static_cast<unsigned char>(c)));
    }
    return out;
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
        const uint8_t count = data[i + 1];
        TRecord r{(control & 1) != 0,
                  data[i + 4],
                  static_cast<uint16_t>(data[i + 2] << 8 | data[i + 3]),
                  {}};
        i += 5;
        const size_t take = std::min<size_t>(count, size - i);
        r.bytes.assign(data + i, data + i + take);
        i += take;
        std::vector<uint8_t> all = {static_cast<uint8_t>(r.bytes.size()),
                                    static_cast<uint8_t>(r.offset >> 8),
                                    static_cast<uint8_t>(r.offset & 0xFF), r.type};
        all.insert(all.end(), r.bytes.begin(), r.bytes.end());
        unsigned sum = 0;
        for (uint8_t b : all) {
            sum += b;
        }
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
void CheckAgainstRecords(const std::vector<TRecord>& records, int32_t capacity,
                         const TParse& parsed) {
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
            char hex[3];
            std::snprintf(hex, sizeof hex, "%02X", r.type);
            error = std::string("unrecognised record type: ") +
                    (r.type <= 9 ? std::string(1, static_cast<char>('0' + r.type)) : hex);
            break;
        }
        if (r.badChecksum) {
            error = "Checksum error!";
            break;
        }
    }
    Check(parsed.ok == error.empty() && parsed.error == error,
          "result differs from what the records give");
    Check(std::memcmp(parsed.image, image.data(), image.size()) == 0,
          "image differs from what the records give");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr int32_t kCapacity = kFirmwareImageBytes;
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

    const TParse full = ParseAll(text, kCapacity, 0);
    // A small image: records near its end must be refused, not stored.
    const TParse small = ParseAll(text, smallCapacity, 2);
    if (wellFormed) {
        CheckAgainstRecords(records, kCapacity, full);
        CheckAgainstRecords(records, smallCapacity, small);
    }

    {
        std::ofstream out(TempPath(), std::ios::binary | std::ios::trunc);
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        Check(out.good(), "cannot write the temporary file");
    }
    // One image for every input, as allocating 128 KiB each time would dominate the run.
    static TIHexFile image(kCapacity);
    image.usedLength = 12345;  // whatever an earlier load left, Load must set it afresh
    Check(image.Open(TempPath()), "Open failed on a regular file");
    const bool loaded = image.Load();

    Check(loaded == full.ok, "Load and the record loop disagree on the result");
    Check(static_cast<int32_t>(image.data.size()) == kCapacity && image.capacity == kCapacity,
          "image size changed");
    Check(std::memcmp(image.data.data(), full.image, kCapacity) == 0,
          "Load and the record loop disagree on the image");
    if (loaded) {
        Check(image.LastError().empty(), "an error after a good load");
        Check(image.usedLength == UsedLength(image.data), "usedLength inconsistent with data");
        Check(image.usedLength >= 0 && image.usedLength <= image.capacity,
              "usedLength outside the image");
    } else {
        const std::string& error = image.LastError();
        Check(error.substr(0, error.find('\n')) == full.error &&
                  error.find('\n') != std::string::npos,
              "a failed load reports other than the parser's text and where it failed");
        Check(image.usedLength == 0, "usedLength set by a failed load");
    }

    for (int (*f)(int) : {&::tolower, &::toupper}) {
        const TParse other = ParseAll(Transformed(text, f), kCapacity, 1);
        Check(other.ok == full.ok && other.error == full.error &&
                  std::memcmp(other.image, full.image, kCapacity) == 0,
              "upper and lower case load differently");
    }
    return 0;
}
