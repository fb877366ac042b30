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

int BlockCount(int usedLength) {
    return usedLength / kBlockBytes + (usedLength % kBlockBytes ? 1 : 0);
}

double UploadFloorSeconds(int usedLength, int bps, const TLoaderTimes& times) {
    using Seconds = std::chrono::duration<double>;
    const int blocks = BlockCount(usedLength);
    const double sent = kKaloHeaderBytes + kKaloCrcBytes  // ENTER_FLASH
                        + 3                               // p, S, e
                        + blocks * double(kSetAddressBytes + kWriteCommandBytes) + 1;  // .., E
    const double received = std::strlen(kLoaderProgrammerReply) + std::strlen(kLoaderIdText) + 1 +
                            blocks * 2.0;  // CR after the erase, the address, each write
    const double wire = (sent + received) * 10 / bps;
    const Seconds loader =
        times.erase + blocks * times.page + (2 + blocks) * times.turnaround;  // p, S, each address
    const Seconds pauses =
        kEnterFlashPause + TSerialComm::kDefaultTimeout + TSerialComm::kPollPause;
    return wire + loader.count() + pauses.count();
}

TUpload::TUpload(TECU& s, const TIHexFile& i, TProgressView& p)
    : session(s), image(i), progress(p) {}

TUploadRun TUpload::Run() {
    if (!Handshake()) {
        return TUploadRun::LoaderSilent;
    }
    if (!Erase()) {
        return TUploadRun::FailedAfterErase;
    }
    const int blocks = BlockCount(image.usedLength);
    for (int i = 0; i < blocks; ++i) {
        if (!WriteBlock(i)) {
            return TUploadRun::FailedAfterErase;
        }
    }
    Exit();
    return TUploadRun::Completed;
}

bool TUpload::Handshake() {
    TSerialComm& p = *session.port;
    if (session.linkState.load() != kLinkLoader) {
        TKaloBeginFlash enter(session.NextSeq());
        session.SendPacket(enter);
        p.Clock().Sleep(kEnterFlashPause);
    }
    // After a run that did not complete, the boot loader may still be inside the write
    // command the run was cut off in: complete it before the handshake. The upload keeps the
    // rate, so the loader of that run listens at the port's rate.
    if (session.uploadFailed) {
        session.SendLoaderFiller();
    }
    session.uploadFailed = true;  // until this run completes
    p.Flush();

    p.SendByte(kLoaderProgrammerQuery);
    if (!p.WaitForText(kLoaderProgrammerReply)) {
        return false;
    }
    p.SendByte(kLoaderIdentify);
    return p.WaitForText(kLoaderIdText);
}

bool TUpload::Erase() {
    TSerialComm& p = *session.port;
    p.SendByte(kLoaderErase);
    return p.WaitForText(kAckText, kEraseTimeout);
}

bool TUpload::WriteBlock(int i) {
    TSerialComm& p = *session.port;
    const int blocks = BlockCount(image.usedLength);
    const uint16_t wordAddress = static_cast<uint16_t>(i * kBlockWords);
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
    // "Dk", 0x00, the block and the four check bytes, in one write.
    const auto command = EncodeWriteCommand(block, wordAddress, image.usedLength - i * kBlockBytes);
    const auto setAddress = EncodeSetAddress(wordAddress);

    for (int resends = 0;; ++resends) {
        progress.SetPosition(i * 100 / blocks);
        bool addressed = false;
        for (int attempt = 0; attempt < kMaxAddressAttempts && !addressed; ++attempt) {
            p.SendBlock(setAddress.data(), kSetAddressBytes);
            addressed = p.WaitForText(kAckText);
        }
        if (!addressed) {
            progress.SetStatusText("Too many address attempts.");
            return false;
        }
        p.SendBlock(command.data(), kWriteCommandBytes);
        if (p.WaitForText(kAckText)) {
            progress.SetBytesWritten(std::min((i + 1) * kBlockBytes, image.usedLength),
                                     image.usedLength);
            if (i % 4 == 0) {
                progress.SetStatusText(std::to_string(i * kBlockBytes) + kBytesSentSuffix);
            }
            return true;
        }
        progress.SetStatusText("Retrying block " + std::to_string(i));
        if (resends + 1 > kMaxResends) {
            progress.SetStatusText("Too many resends.");
            return false;
        }
    }
}

void TUpload::Exit() {
    const char exitCommand[] = {static_cast<char>(kLoaderExit), 0};
    session.port->SendText(exitCommand);
    session.uploadFailed = false;
    session.linkState = kLinkConnecting;
}
