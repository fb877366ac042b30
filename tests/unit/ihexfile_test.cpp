// The Intel HEX loader: records, line ends, errors, and agreement with an independent tool.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "firmware/ihexfile.h"
#include "tests/support/files.h"

namespace {

std::string TempDir() {
    const std::string dir = testing::TempDir() + "/brindle-hex-" + std::to_string(getpid());
    std::filesystem::create_directories(dir);
    return dir;
}

// One record with its checksum: the two's complement of the byte sum.
std::string Rec(int type, int offset, std::vector<uint8_t> bytes) {
    bytes.insert(bytes.begin(),
                 {static_cast<uint8_t>(bytes.size()), static_cast<uint8_t>(offset >> 8),
                  static_cast<uint8_t>(offset), static_cast<uint8_t>(type)});
    uint8_t sum = 0;
    for (uint8_t b : bytes) {
        sum = static_cast<uint8_t>(sum - b);
    }
    bytes.push_back(sum);
    std::string text = ":";
    char buf[3];
    for (uint8_t b : bytes) {
        std::snprintf(buf, sizeof buf, "%02X", b);
        text += buf;
    }
    return text;
}

const std::string kEof = ":00000001FF";

struct Loaded {
    bool opened = false;
    bool loaded = false;
    std::vector<uint8_t> data;
    int usedLength = -1;
    std::string error;
};

// Every text goes through the same image object, so each table also shows that nothing of one
// file (its segment base, its data, its used length) shapes the next.
Loaded LoadText(const std::string& text) {
    static int n = 0;
    static TIHexFile image(kFirmwareImageBytes);
    const std::string path = TempDir() + "/case" + std::to_string(++n) + ".hex";
    WriteFile(path, text);
    Loaded r;
    r.opened = image.Open(path);
    r.loaded = r.opened && image.Load();
    r.data = image.data;
    r.usedLength = image.usedLength;
    r.error = image.LastError();
    return r;
}

struct ErrorCase {
    const char* name;
    std::string text;
    const char* error;  // the first line of the message; nullptr: loads
    int line;           // the line the second line names (0: not checked)
};

TEST(IHexFile, RecordsThatLoadAndRecordsThatFail) {
    const std::string data16 =
        Rec(0, 0x0100, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
    const std::string cutShort = data16.substr(0, data16.size() - 6);
    const ErrorCase cases[] = {
        {"CR line ends", data16 + "\r" + kEof + "\r", nullptr, 0},
        {"empty lines between records", data16 + "\r\n\r\n\n\n" + kEof, nullptr, 0},
        {"blank first line", "\n" + data16 + "\n" + kEof, "Incorrect record header", 1},
        {"blank before a colon", " " + data16 + "\n" + kEof, "Incorrect record header", 1},
        {"tab at a line end", data16 + "\r\n" + data16 + "\t\n" + kEof, "Incorrect record header",
         2},
        {"type 4 beyond the image", Rec(4, 0, {0, 2}) + "\n" + data16 + "\n" + kEof,
         "data record outside allocated space", 2},
        {"one byte beyond 128 KiB",
         Rec(2, 0, {0x10, 0}) + "\n" + Rec(0, 0xFFF1, std::vector<uint8_t>(16, 0x5A)) + "\n" + kEof,
         "data record outside allocated space", 2},
        {"type 5", Rec(5, 0, {0, 0, 0, 0}) + "\n" + kEof, "unrecognised record type: 5", 1},
        {"type 0xC0 as two digits", data16 + "\n\n" + Rec(0xC0, 0, {}) + "\n" + kEof,
         "unrecognised record type: C0", 3},
        {"type 3 is skipped", Rec(3, 0, {0x12, 0x34, 0x56, 0x78}) + "\n" + data16 + "\n" + kEof,
         nullptr, 0},
        {"no end record", data16 + "\n" + data16 + "\n", kHexMissingEnd, 2},
        {"wrong checksum", data16.substr(0, data16.size() - 1) + "0\n" + kEof, "Checksum error!",
         1},
        {"wrong end-record checksum", ":00000001FE\n", "Checksum error!", 1},
        {"record cut short by the end", data16 + "\n" + cutShort, kHexRecordCutShort, 2},
        {"record cut short by its line end", cutShort + "\n" + kEof, kHexRecordCutShort, 1},
        {"non-hex character in the data",
         data16.substr(0, 12) + "G" + data16.substr(13) + "\n" + kEof, kHexInvalidCharacter, 1},
        {"a binary file",
         std::string("\x7f"
                     "ELF\x02\x01\x01\0\0\0",
                     10),
         "Incorrect record header", 1},
    };
    for (const ErrorCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Loaded r = LoadText(c.text);
        ASSERT_TRUE(r.opened);
        EXPECT_EQ(r.loaded, c.error == nullptr);
        if (!c.error) {
            EXPECT_EQ(r.error, "");
            continue;
        }
        EXPECT_EQ(r.usedLength, 0);
        const size_t nl = r.error.find('\n');
        EXPECT_EQ(r.error.substr(0, nl), c.error);
        if (c.line > 0) {
            std::string lower = r.error;
            std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
            EXPECT_NE(lower.find("line " + std::to_string(c.line) + " "), std::string::npos)
                << r.error;
        }
    }
}

// Every cut of a whole file fails, however it falls, until its end-of-file record is whole:
// a file cut short is never taken for a firmware image.
TEST(IHexFile, EveryCutOfAFileFailsUntilItsEndRecordIsWhole) {
    std::string text;
    for (int i = 0; i < 12; ++i) {
        std::vector<uint8_t> bytes(i % 5 == 4 ? 3 : 16);
        for (size_t k = 0; k < bytes.size(); ++k) {
            bytes[k] = static_cast<uint8_t>(i * 31 + k);
        }
        text += (i == 6 ? Rec(4, 0, {0, 1}) + "\r\n" : "") + Rec(0, i * 16, bytes) +
                (i % 2 ? "\r\n" : "\n");
    }
    const size_t eofEnd = text.size() + kEof.size();
    text += kEof + "\r\ntrailing text\n";
    const Loaded whole = LoadText(text);
    ASSERT_TRUE(whole.loaded);
    for (size_t cut = 0; cut < text.size(); ++cut) {
        const Loaded r = LoadText(text.substr(0, cut));
        ASSERT_EQ(r.loaded, cut >= eofEnd) << "cut at " << cut << ": " << r.error;
        if (r.loaded) {
            EXPECT_EQ(r.data, whole.data);
        }
    }
}

// Data lands at its address (moved by a segment record; later records overwrite earlier
// ones; upper and lower case alike), the rest stays erased, and the used length runs to the
// last byte that is not 0xFF. The third case follows two with a segment base: neither that
// base nor their data may be left in the image.
TEST(IHexFile, DataLandsAtItsAddressAndTheUsedLengthEndsAtTheLastProgrammedByte) {
    const std::string seg = Rec(2, 0, {0x10, 0x00}) + "\n";  // base 0x10000
    std::string lower = Rec(0, 0xABCD, {0xAB, 0xCD});
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    const struct {
        std::string text;
        int used;
        std::vector<std::pair<int, uint8_t>> bytes;  // address, byte
    } cases[] = {
        {seg + Rec(0, 0x0010, {0x42}) + "\n", 0x10011, {{0x10010, 0x42}, {0x0010, 0xFF}}},
        {Rec(0, 0x0010, {0x24}) + "\n", 0x11, {{0x0010, 0x24}, {0x10010, 0xFF}}},
        {lower + "\n", 0xABCF, {{0xABCD, 0xAB}, {0xABCE, 0xCD}}},
        {Rec(0, 0, {1, 2}) + "\n" + Rec(0, 1, {9}) + "\n", 2, {{0, 1}, {1, 9}}},
        {"", 0, {}},  // the end record alone
        {Rec(0, 0x0000, {0x01}) + "\n" + Rec(0, 0x0300, {0xFF}) + "\n", 1, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const Loaded r = LoadText(c.text + kEof);
        ASSERT_TRUE(r.loaded) << r.error;
        EXPECT_EQ(r.usedLength, c.used);
        for (const auto& [address, byte] : c.bytes) {
            EXPECT_EQ(r.data[address], byte) << address;
        }
    }
}

TEST(IHexFile, FilesThatCannotBeOpenedOrRead) {
    TIHexFile image(kFirmwareImageBytes);
    EXPECT_FALSE(image.Load());  // nothing opened
    EXPECT_FALSE(image.Open(TempDir() + "/does-not-exist.hex"));
    EXPECT_NE(image.LastError().find("No such file"), std::string::npos);
    EXPECT_FALSE(image.Open(TempDir()));  // a folder
    EXPECT_FALSE(image.Load());
}

TEST(IHexFile, HugeFileIsRefusedWithoutReadingIt) {
    const std::string path = TempDir() + "/huge.hex";
    { std::ofstream(path, std::ios::trunc) << ":"; }
    ASSERT_EQ(truncate(path.c_str(), TIHexFile::kMaxFileBytes + 1), 0);
    TIHexFile image(kFirmwareImageBytes);
    ASSERT_TRUE(image.Open(path));
    EXPECT_FALSE(image.Load());
    EXPECT_NE(image.LastError().find("too large"), std::string::npos);
    std::remove(path.c_str());
}

// srec_cat, an independent implementation, writes the HEX files; the loader must give back
// exactly the binary they were made from.
TEST(IHexFile, AgreesWithSrecCat) {
    if (system("command -v srec_cat >/dev/null 2>&1") != 0) {
        GTEST_FAIL() << "srec_cat is missing: run scripts/bootstrap";
    }
    std::mt19937 random(1234);
    // Its default output uses extended linear address records (type 4); with
    // -address-length=3 it writes extended segment records (type 2) instead.
    for (const char* form : {"", " -address-length=3 -obs=16"}) {
        for (int size : {1, 255, 256, 257, 4096, 65535, 65536, 70001, 131072}) {
            SCOPED_TRACE(std::to_string(size) + form);
            std::vector<uint8_t> binary(static_cast<size_t>(size));
            for (uint8_t& b : binary) {
                b = static_cast<uint8_t>(random());
            }
            binary.back() = 0x00;  // so the used length is the whole file
            const std::string dir = TempDir();
            const std::string bin = dir + "/image.bin";
            const std::string hex = dir + "/image.hex";
            std::ofstream(bin, std::ios::binary | std::ios::trunc)
                .write(reinterpret_cast<const char*>(binary.data()), size);
            const std::string cmd = "srec_cat " + bin + " -binary -o " + hex + " -intel" + form;
            ASSERT_EQ(system(cmd.c_str()), 0);
            TIHexFile image;
            ASSERT_TRUE(image.Open(hex));
            ASSERT_TRUE(image.Load());
            EXPECT_EQ(image.usedLength, size);
            EXPECT_TRUE(std::equal(binary.begin(), binary.end(), image.data.begin()));
            EXPECT_TRUE(std::all_of(image.data.begin() + size, image.data.end(),
                                    [](uint8_t b) { return b == 0xFF; }));
        }
    }
}

}  // namespace
