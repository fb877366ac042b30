// The Intel HEX loader on arbitrary file contents.
//
// An input is the file's text, except that one starting with 0xFF describes records in
// binary, which are written out as HEX text first: so that addresses, lengths and checksums
// the fuzzer picks reach the parser whole. Binary layout: 0xFF, the small image's capacity
// / 3, then records of control byte, byte count, offset high, offset low, type, and the
// data bytes. Control bit 0: checksum off by one; bits 1-2: line end CR LF, LF, CR or none;
// bit 3: lower-case digits.
//
// The text is parsed record by record exactly as Load does, into images of two capacities
// whose buffers are exactly that large (so any stray store hits the address sanitizer), and
// once more through Open and Load on a file. Checked on every input:
// - each record is consumed (progress) and the read position stays inside the text;
// - a data record reported good lies wholly inside the image;
// - Load on the file agrees with the record loop: result, error text and image;
// - usedLength is one past the last byte that is not 0xFF (0 for an erased image), and a
//   failed load shows exactly one "Debug" message with one of the parser's texts;
// - upper- and lower-case input load to the same image (the digits are read either way);
// - for binary input whose records have the sizes their types call for, the result, error
//   and image are those the records give: data stored at offset plus segment base (also
//   from a record whose checksum then fails), segment records moving later data, parsing
//   ending at the end-of-file record.
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

#include "ecu/userinterface.h"
#include "firmware/ihexfile.h"
#include "fuzz/check.h"

namespace {

struct TParse {
    bool ok = true;
    std::string error;
    const uint8_t* image = nullptr;  // `capacity` bytes, valid until the next parse
};

bool KnownError(const std::string& text) {
    if (text == "Incorrect record header" || text == "data record outside allocated space" ||
        text == "Checksum error!") {
        return true;
    }
    const std::string prefix = "unrecognised record type: ";
    return text.size() == prefix.size() + 1 && text.compare(0, prefix.size(), prefix) == 0;
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

// The record loop of Load, on a fresh erased image of `capacity` bytes.
TParse ParseAll(const std::string& text, int32_t capacity, int slot) {
    uint8_t* data = Buffer(slot, capacity);
    std::memset(data, 0xFF, static_cast<size_t>(capacity));
    TParse r;
    THexRec rec;
    int32_t segmentBase = 0;
    const char* const begin = text.data();
    const char* const end = begin + text.size();
    const char* pos = begin;
    while (pos != end) {
        const char* before = pos;
        if (!TIHexFile::ParseRecord(rec, pos, end, data, capacity, segmentBase)) {
            r.ok = false;
            r.error = rec.errorText;
            Check(KnownError(r.error), "unknown error text");
            break;
        }
        Check(pos > before && pos <= end, "record not consumed or read past the end");
        if (rec.type == 0) {
            Check(rec.address >= 0 && rec.address + rec.length <= capacity,
                  "data record accepted outside the image");
        }
    }
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

class TLastPanel : public TStatusPanels {
public:
    void SetPanelText(int p, const std::string& t) override {
        panel = p;
        text = t;
    }
    int panel = -1;
    std::string text;
};

class TCountedMessages : public TMessageBox {
public:
    void ShowMessage(const TMessage& message) override {
        ++count;
        last = message;
    }
    int count = 0;
    TMessage last;
};

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
        wellFormed &= (r.type != 1 || n == 0) && (r.type != 2 || n == 2) && (r.type != 3 || n == 4);
        records.push_back(std::move(r));
    }
    return records;
}

// What loading the records must give, worked out from the records themselves.
void CheckAgainstRecords(const std::vector<TRecord>& records, int32_t capacity,
                         const TParse& parsed) {
    std::vector<uint8_t> image(static_cast<size_t>(capacity), 0xFF);
    std::string error;
    int32_t segmentBase = 0;
    for (const TRecord& r : records) {
        if (r.type == 0) {
            const int32_t address = r.offset + segmentBase;
            if (address + static_cast<int32_t>(r.bytes.size()) > capacity) {
                error = "data record outside allocated space";
                break;
            }
            std::copy(r.bytes.begin(), r.bytes.end(), image.begin() + address);
        } else if (r.type == 1) {
            error = r.badChecksum ? "Checksum error!" : "";
            break;
        } else if (r.type == 2) {
            segmentBase = (r.bytes[0] * 256 + r.bytes[1]) * 16;
        } else if (r.type != 3) {
            error = std::string("unrecognised record type: ") + static_cast<char>(r.type + '0');
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
    // One image for every input, as allocating 128 KiB each time would dominate the run;
    // its fields are put back to what construction gives before each load.
    static TLastPanel panels;
    static TCountedMessages messages;
    static TIHexFile image(kCapacity, &panels, &messages);
    image.segmentBase = 0;
    image.usedLength = 0;
    panels = {};
    messages = {};
    Check(image.Open(TempPath()), "Open failed on a regular file");
    const bool loaded = image.Load();

    Check(loaded == full.ok, "Load and the record loop disagree on the result");
    Check(static_cast<int32_t>(image.data.size()) == kCapacity && image.capacity == kCapacity,
          "image size changed");
    Check(std::memcmp(image.data.data(), full.image, kCapacity) == 0,
          "Load and the record loop disagree on the image");
    Check(panels.panel == 1 && panels.text == "Loading firmware image...", "no loading text");
    if (loaded) {
        Check(messages.count == 0, "a message after a good load");
        Check(image.usedLength == UsedLength(image.data), "usedLength inconsistent with data");
        Check(image.usedLength >= 0 && image.usedLength <= image.capacity,
              "usedLength outside the image");
    } else {
        Check(messages.count == 1 && messages.last.caption == "Debug" &&
                  messages.last.text == full.error,
              "a failed load shows other than its one Debug message");
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
