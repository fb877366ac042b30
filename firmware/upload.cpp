#include "firmware/upload.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>

#include "ecu/clock.h"
#include "ecu/ecu.h"
#include "ecu/packet.h"
#include "ecu/serialcomm.h"
#include "ecu/userinterface.h"
#include "firmware/ihexfile.h"

namespace {
constexpr char kAckText[] = {static_cast<char>(kLoaderAck), 0};
}  // namespace

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

int BlockCount(int usedLength) {
    return usedLength / kBlockBytes + (usedLength % kBlockBytes ? 1 : 0);
}

double UploadFloorSeconds(int usedLength, int bps, const TLoaderTimes& times) {
    const int blocks = BlockCount(usedLength);
    const double sent = kKaloHeaderBytes + kKaloCrcBytes            // ENTER_FLASH
                        + 3                                         // p, S, e
                        + blocks * (3.0 + kWriteCommandBytes) + 1;  // A.., Dk0 block sums, E
    const double received = std::strlen(kLoaderProgrammerReply) + std::strlen(kLoaderIdText) + 1 +
                            blocks * 2.0;  // CR after the erase, the address, each write
    const double wire = (sent + received) * 10 / bps;
    const double loader = (times.eraseUs + blocks * times.pageUs +
                           (2 + blocks) * times.turnaroundUs) /  // p, S, each address
                          1e6;
    const double pauses = kEnterFlashPauseMs / 1e3 + (TSerialComm::kDefaultTimeoutMs + 5) / 1e3;
    return wire + loader + pauses;
}

TUploadRun TECU::UploadFirmware(const TIHexFile& image, TProgressView& progress) {
    TSerialComm& p = *port;

    if (linkState.load() != kLinkLoader) {
        TKaloBeginFlash enter(NextSeq());
        enter.Send(p);
        p.Clock().SleepMs(kEnterFlashPauseMs);
    }
    // After a run that did not complete, the boot loader may still be inside the write
    // command the run was cut off in: complete it before the handshake. The upload keeps the
    // rate, so the loader of that run listens at the port's rate.
    if (uploadFailed) {
        SendLoaderFiller();
    }
    uploadFailed = true;  // until this run completes
    p.Flush();

    p.SendByte(kLoaderProgrammerQuery);
    if (!p.WaitForText(kLoaderProgrammerReply)) {
        return TUploadRun::LoaderSilent;
    }
    p.SendByte(kLoaderIdentify);
    if (!p.WaitForText(kLoaderIdText)) {
        return TUploadRun::LoaderSilent;
    }

    p.SendByte(kLoaderErase);
    const int savedTimeout = p.timeoutMs;
    p.timeoutMs = kEraseTimeoutMs;
    const bool erased = p.WaitForText(kAckText);
    p.timeoutMs = savedTimeout;
    if (!erased) {
        return TUploadRun::FailedAfterErase;
    }

    const int blocks = BlockCount(image.usedLength);
    int resends = 0;
    for (int i = 0; i < blocks;) {
        progress.SetPosition(i * 100 / blocks);

        const uint16_t wordAddress = static_cast<uint16_t>(i * kBlockWords);
        bool addressed = false;
        const uint8_t setAddress[] = {kLoaderSetAddress, static_cast<uint8_t>(wordAddress >> 8),
                                      static_cast<uint8_t>(wordAddress & 0xFF)};
        for (int attempt = 0; attempt < kMaxAddressAttempts && !addressed; ++attempt) {
            p.SendBlock(setAddress, sizeof setAddress);
            addressed = p.WaitForText(kAckText);
        }
        if (!addressed) {
            progress.SetStatusText("Too many address attempts.");
            return TUploadRun::FailedAfterErase;
        }

        const size_t offset = static_cast<size_t>(i) * kBlockBytes;
        uint8_t padded[kBlockBytes];
        const uint8_t* block = padded;
        if (offset + kBlockBytes <= image.data.size()) {
            block = image.data.data() + offset;
        } else {
            // An image that ends inside its last block: the rest of the block is erased flash.
            std::fill(std::begin(padded), std::end(padded), 0xFF);
            if (offset < image.data.size()) {
                std::copy(image.data.begin() + offset, image.data.end(), padded);
            }
        }
        const TCheckWords check =
            BlockCheckWords(block, wordAddress, image.usedLength - i * kBlockBytes);
        // "Dk", 0x00, the block and the four check bytes, in one write.
        uint8_t command[kWriteCommandBytes];
        command[0] = kLoaderWrite;
        command[1] = kLoaderWriteMemory;
        command[2] = kLoaderWriteFlags;
        std::copy(block, block + kBlockBytes, command + 3);
        command[3 + kBlockBytes] = static_cast<uint8_t>(check.sum >> 8);
        command[4 + kBlockBytes] = static_cast<uint8_t>(check.sum & 0xFF);
        command[5 + kBlockBytes] = static_cast<uint8_t>(check.xr >> 8);
        command[6 + kBlockBytes] = static_cast<uint8_t>(check.xr & 0xFF);
        p.SendBlock(command, sizeof command);

        if (p.WaitForText(kAckText)) {
            resends = 0;
            progress.SetBytesWritten(std::min((i + 1) * kBlockBytes, image.usedLength),
                                     image.usedLength);
            if (i % 4 == 0) {
                progress.SetStatusText(std::to_string(i * kBlockBytes) + kBytesSentSuffix);
            }
            ++i;
        } else {
            progress.SetStatusText("Retrying block " + std::to_string(i));
            if (++resends > kMaxResends) {
                progress.SetStatusText("Too many resends.");
                return TUploadRun::FailedAfterErase;
            }
        }
    }

    const char exitCommand[] = {static_cast<char>(kLoaderExit), 0};
    p.SendText(exitCommand);
    uploadFailed = false;
    linkState = kLinkConnecting;
    return TUploadRun::Completed;
}
