// What the ECU and the program say to each other, beyond the packet frame (ecu/packet.h):
// the greetings, the payloads the session reads, the rate switch, and the boot loader's
// single-letter dialogue with its write command. The session, the upload and the virtual ECU
// all encode and decode through here, so each fact has one home.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <vector>

class TKaloPacket;

// ---------------------------------------------------------------- the running firmware

// Its greeting and the answer.
constexpr char kFirmwareGreeting[] = "Mas";
constexpr char kFirmwareGreetingReply[] = "OK\r\n";

// Payload sizes of the replies the session relies on.
constexpr int kVersionReplyBytes = 3;
constexpr int kHwSigReplyBytes = 12;
constexpr int kSensorsReplyBytes = 27;
constexpr int kSensorsRecordOffset = 3;  // the sensor record is payload bytes 3..26

// The hardware signature: a byte that marks a branded board, the board revision in tenths,
// and the serial number, high byte first.
struct THwSig {
    bool branded = false;
    uint8_t boardRev = 0;
    uint16_t serialNo = 0;
};
constexpr uint8_t kHwSigBranded = 0xAA;
constexpr unsigned kHwSigBrandAt = 0;
constexpr unsigned kHwSigRevisionAt = 1;
constexpr unsigned kHwSigSerialAt = 10;
// Reads a GET_HWSIG reply (missing bytes read as 0).
THwSig DecodeHwSig(const TKaloPacket& reply);
// Puts the signature's fields into a 12-byte payload, leaving its other bytes as they are.
void EncodeHwSig(const THwSig& sig, std::vector<uint8_t>& payload);

// SET_BAUD carries a rate index: the baud code less 5 (9600 is 0, 115200 is 4). A code the
// program does not know asks for index 1.
uint8_t SetBaudIndex(int baudCode);
// The baud code an index asks for; 0 for an index outside 0..4.
int SetBaudCode(uint8_t index);

// ---------------------------------------------------------------- the boot loader

// The ECU's program memory.
constexpr int kFlashBytes = 0x20000;

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
constexpr char kLoaderUnknown[] = "?";  // the answer to a command it does not know

constexpr int kBlockBytes = 256;
constexpr int kBlockWords = kBlockBytes / 2;
constexpr int kSetAddressBytes = 3;
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

struct TCheckWords {
    uint16_t sum = 0;
    uint16_t xr = 0;
    bool operator==(const TCheckWords&) const = default;
};
// Check words of one block: sum and xor of its 128 little-endian words, both starting at the
// block's word address. Words at offsets from `validBytes` on count as 0xFFFF.
TCheckWords BlockCheckWords(const uint8_t* block, uint16_t wordAddress, int validBytes);

std::array<uint8_t, kSetAddressBytes> EncodeSetAddress(uint16_t wordAddress);
uint16_t DecodeSetAddress(const uint8_t* command);  // the 3 bytes, 'A' first

// The write command of one block, its check words over the first `validBytes` bytes.
std::array<uint8_t, kWriteCommandBytes> EncodeWriteCommand(const uint8_t* block,
                                                           uint16_t wordAddress, int validBytes);
struct TWriteCommand {
    bool programMemory = false;  // 'k' and flags 0x00: a write of the program memory
    const uint8_t* block = nullptr;
    TCheckWords check;
};
TWriteCommand DecodeWriteCommand(const uint8_t* command);  // the 263 bytes, 'D' first

// How long a boot loader takes for its work: a typical one, as the virtual ECU models it.
struct TLoaderTimes {
    std::chrono::microseconds erase{1'500'000};
    std::chrono::microseconds page{4'500};
    std::chrono::microseconds turnaround{500};  // from a command to its answer
};
