// The boot-loader upload: the ECU's resident boot loader is driven with single-letter commands
// and the image is written 256 bytes at a time, each block with two check words.
#pragma once

#include <cstdint>

// The ECU's program memory, and so the size of a firmware image.
constexpr int kFirmwareImageBytes = 0x20000;

// The boot-loader dialogue.
constexpr uint8_t kLoaderProgrammerQuery = 'p';  // answered by kLoaderProgrammerReply
constexpr char kLoaderProgrammerReply[] = "S";
constexpr uint8_t kLoaderIdentify = 'S';  // answered by kLoaderIdText (also the greeting)
constexpr char kLoaderIdText[] = "AVREFI1";
constexpr uint8_t kLoaderErase = 'e';
constexpr uint8_t kLoaderSetAddress = 'A';  // then word address high, low
constexpr uint8_t kLoaderWrite = 'D';       // then 'k', 0x00, 256 bytes, sum hi/lo, xor hi/lo
constexpr uint8_t kLoaderWriteMemory = 'k';
constexpr uint8_t kLoaderWriteFlags = 0x00;
constexpr uint8_t kLoaderExit = 'E';  // not answered
constexpr uint8_t kLoaderAck = '\r';

constexpr int kBlockBytes = 256;
constexpr int kBlockWords = kBlockBytes / 2;
// 'D', 'k', 0x00, the block, then sum and xor check words, each high byte first.
constexpr int kWriteCommandBytes = 3 + kBlockBytes + 4;
// A boot loader left inside a write command by a cut line waits for the rest of its bytes and
// takes whatever comes next, greetings included, as block data. This many filler bytes
// complete any command it can be waiting in. The filler is no command of the loader (it
// answers each with '?' and does nothing), nor the running firmware's start byte or a
// character of its greeting; a write completed with it carries check words that do not
// match, so nothing is programmed. Sent at 9600 bit/s, each filler byte arrives as one
// character (0xFF, 0xFE, 0xF8, 0xE0 or 0x00) at a receiver on any of the five rates.
constexpr uint8_t kLoaderFiller = 0xFF;
constexpr int kLoaderFillerBytes = kWriteCommandBytes - 1;
constexpr int kEraseTimeoutMs = 4000;
constexpr int kEnterFlashPauseMs = 50;
constexpr int kMaxAddressAttempts = 3;
constexpr int kMaxResends = 5;
// The progress text after every fourth acknowledged block ends so: "1024 bytes sent.".
constexpr char kBytesSentSuffix[] = " bytes sent.";

// How long a boot loader takes for its work: a typical one, as the virtual ECU models it.
struct TLoaderTimes {
    int64_t eraseUs = 1'500'000;
    int64_t pageUs = 4'500;
    int64_t turnaroundUs = 500;  // from a command to its answer
};

// What an upload of `usedLength` bytes at `bps` cannot be faster than: every byte on the
// wire in either direction, the loader's erase, page and turnaround times, and the pauses
// the protocol prescribes (50 ms after ENTER_FLASH, the input flush of one reply time-out).
double UploadFloorSeconds(int usedLength, int bps, const TLoaderTimes& times = {});

struct TCheckWords {
    uint16_t sum = 0;
    uint16_t xr = 0;
};

// Check words of one block: sum and xor of its 128 little-endian words, both starting at the
// block's word address. Words at offsets from `validBytes` on count as 0xFFFF.
TCheckWords BlockCheckWords(const uint8_t* block, uint16_t wordAddress, int validBytes);

// Number of 256-byte blocks that hold `usedLength` bytes.
int BlockCount(int usedLength);
