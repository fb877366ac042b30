#include "firmware/upload.h"

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

bool TECU::UploadFirmware(const TIHexFile& image, TProgressView& progress) {
    TSerialComm& p = *port;

    if (linkState.load() != kLinkLoader) {
        TKaloBeginFlash enter(NextSeq());
        enter.Send(p);
        p.Clock().SleepMs(kEnterFlashPauseMs);
    }
    p.Flush();

    p.SendByte(kLoaderProgrammerQuery);
    if (!p.WaitForText(kLoaderProgrammerReply)) {
        progress.Close();
        return false;
    }
    p.SendByte(kLoaderIdentify);
    if (!p.WaitForText(kLoaderIdText)) {
        progress.Close();
        return false;
    }

    p.SendByte(kLoaderErase);
    const int savedTimeout = p.timeoutMs;
    p.timeoutMs = kEraseTimeoutMs;
    const bool erased = p.WaitForText(kAckText);
    p.timeoutMs = savedTimeout;
    if (!erased) {
        return false;
    }

    const int blocks = BlockCount(image.usedLength);
    int resends = 0;
    for (int i = 0; i < blocks;) {
        progress.SetPosition(i * 100 / blocks);

        const uint16_t wordAddress = static_cast<uint16_t>(i * kBlockWords);
        bool addressed = false;
        for (int attempt = 0; attempt < kMaxAddressAttempts && !addressed; ++attempt) {
            p.SendByte(kLoaderSetAddress);
            p.SendByte(static_cast<uint8_t>(wordAddress >> 8));
            p.SendByte(static_cast<uint8_t>(wordAddress & 0xFF));
            addressed = p.WaitForText(kAckText);
        }
        if (!addressed) {
            progress.SetStatusText("Too many address attempts.");
            return false;
        }

        const uint8_t* block = image.data.data() + static_cast<size_t>(i) * kBlockBytes;
        const TCheckWords check =
            BlockCheckWords(block, wordAddress, image.usedLength - i * kBlockBytes);
        const char writeCommand[] = {static_cast<char>(kLoaderWrite),
                                     static_cast<char>(kLoaderWriteMemory), 0};
        p.SendText(writeCommand);
        p.SendByte(kLoaderWriteFlags);
        p.SendBlock(block, kBlockBytes);
        p.SendByte(static_cast<uint8_t>(check.sum >> 8));
        p.SendByte(static_cast<uint8_t>(check.sum & 0xFF));
        p.SendByte(static_cast<uint8_t>(check.xr >> 8));
        p.SendByte(static_cast<uint8_t>(check.xr & 0xFF));

        if (p.WaitForText(kAckText)) {
            resends = 0;
            if (i % 4 == 0) {
                progress.SetStatusText(std::to_string(i * kBlockBytes) + " bytes sent.");
            }
            ++i;
        } else {
            progress.SetStatusText("Retrying block " + std::to_string(i));
            if (++resends > kMaxResends) {
                progress.SetStatusText("Too many resends.");
                return false;
            }
        }
    }

    const char exitCommand[] = {static_cast<char>(kLoaderExit), 0};
    p.SendText(exitCommand);
    progress.Close();
    linkState = kLinkConnecting;
    return true;
}
