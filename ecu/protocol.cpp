#include "ecu/protocol.h"

#include <algorithm>

#include "ecu/packet.h"
#include "ecu/seriallibrary.h"

THwSig DecodeHwSig(const TKaloPacket& reply) {
    THwSig sig;
    sig.branded = reply.DataByte(kHwSigBrandAt) == kHwSigBranded;
    sig.boardRev = reply.DataByte(kHwSigRevisionAt);
    sig.serialNo = static_cast<uint16_t>(reply.DataByte(kHwSigSerialAt) << 8 |
                                         reply.DataByte(kHwSigSerialAt + 1));
    return sig;
}

void EncodeHwSig(const THwSig& sig, std::vector<uint8_t>& payload) {
    payload.resize(kHwSigReplyBytes);
    payload[kHwSigBrandAt] = sig.branded ? kHwSigBranded : 0xFF;
    payload[kHwSigRevisionAt] = sig.boardRev;
    payload[kHwSigSerialAt] = static_cast<uint8_t>(sig.serialNo >> 8);
    payload[kHwSigSerialAt + 1] = static_cast<uint8_t>(sig.serialNo & 0xFF);
}

uint8_t SetBaudIndex(int code) {
    return code >= kBaudCodeMin && code <= kBaudCodeMax ? static_cast<uint8_t>(code - kBaudCodeMin)
                                                        : 1;
}

int SetBaudCode(uint8_t index) {
    return index <= kBaudCodeMax - kBaudCodeMin ? kBaudCodeMin + index : 0;
}

TCheckWords BlockCheckWords(const uint8_t* block, uint16_t wordAddress, int validBytes) {
    TCheckWords c{wordAddress, wordAddress};
    for (int w = 0; w < kBlockWords; ++w) {
        const int offset = 2 * w;
        const uint16_t word = offset < validBytes
                                  ? static_cast<uint16_t>(block[offset] | (block[offset + 1] << 8))
                                  : 0xFFFF;
        c.sum = static_cast<uint16_t>(c.sum + word);
        c.xr = static_cast<uint16_t>(c.xr ^ word);
    }
    return c;
}

std::array<uint8_t, kSetAddressBytes> EncodeSetAddress(uint16_t wordAddress) {
    return {kLoaderSetAddress, static_cast<uint8_t>(wordAddress >> 8),
            static_cast<uint8_t>(wordAddress & 0xFF)};
}

uint16_t DecodeSetAddress(const uint8_t* command) {
    return static_cast<uint16_t>(command[1] << 8 | command[2]);
}

std::array<uint8_t, kWriteCommandBytes> EncodeWriteCommand(const uint8_t* block,
                                                           uint16_t wordAddress, int validBytes) {
    const TCheckWords check = BlockCheckWords(block, wordAddress, validBytes);
    std::array<uint8_t, kWriteCommandBytes> command{};
    command[0] = kLoaderWrite;
    command[1] = kLoaderWriteMemory;
    command[2] = kLoaderWriteFlags;
    std::copy(block, block + kBlockBytes, command.begin() + 3);
    command[3 + kBlockBytes] = static_cast<uint8_t>(check.sum >> 8);
    command[4 + kBlockBytes] = static_cast<uint8_t>(check.sum & 0xFF);
    command[5 + kBlockBytes] = static_cast<uint8_t>(check.xr >> 8);
    command[6 + kBlockBytes] = static_cast<uint8_t>(check.xr & 0xFF);
    return command;
}

TWriteCommand DecodeWriteCommand(const uint8_t* command) {
    TWriteCommand w;
    w.programMemory = command[1] == kLoaderWriteMemory && command[2] == kLoaderWriteFlags;
    w.block = command + 3;
    const uint8_t* check = w.block + kBlockBytes;
    w.check.sum = static_cast<uint16_t>(check[0] << 8 | check[1]);
    w.check.xr = static_cast<uint16_t>(check[2] << 8 | check[3]);
    return w;
}
