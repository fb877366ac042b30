// The boot-loader upload: the ECU's resident boot loader is driven with single-letter commands
// (ecu/protocol.h) and the image is written 256 bytes at a time, each block with two check
// words. One run goes from entering the boot loader to telling it to exit.
#pragma once

#include <chrono>
#include <cstdint>

#include "ecu/protocol.h"

class TECU;
class TIHexFile;
class TProgressView;

// The ECU's program memory, and so the size of a firmware image.
constexpr int kFirmwareImageBytes = kFlashBytes;

constexpr std::chrono::milliseconds kEraseTimeout{4000};
constexpr std::chrono::milliseconds kEnterFlashPause{50};
constexpr int kMaxAddressAttempts = 3;
constexpr int kMaxResends = 5;
// The progress text after every fourth acknowledged block ends so: "1024 bytes sent.".
constexpr char kBytesSentSuffix[] = " bytes sent.";

// Number of 256-byte blocks that hold `usedLength` bytes.
int BlockCount(int usedLength);

// What an upload of `usedLength` bytes at `bps` cannot be faster than: every byte on the
// wire in either direction, the loader's erase, page and turnaround times, and the pauses
// the protocol prescribes (50 ms after ENTER_FLASH, the input flush of one reply time-out).
double UploadFloorSeconds(int usedLength, int bps, const TLoaderTimes& times = {});

// How one upload run ended.
enum class TUploadRun : uint8_t {
    Completed,         // every block acknowledged, the boot loader told to exit
    LoaderSilent,      // the boot loader did not answer its handshake: nothing was erased
    FailedAfterErase,  // the erase was sent; the ECU's firmware is gone
};

// One run of the upload over the session's port, on the control thread. The progress view
// gets the position at each block attempt, the bytes acknowledged and the status texts.
class TUpload {
public:
    TUpload(TECU& session, const TIHexFile& image, TProgressView& progress);
    TUploadRun Run();

private:
    // ENTER_FLASH unless the boot loader already answers, the filler after a failed run,
    // then "p" and "S". False when the boot loader does not answer.
    bool Handshake();
    bool Erase();
    // Block i with its address command, and its resends. False when the run must give up.
    bool WriteBlock(int i);
    void Exit();

    TECU& session;
    const TIHexFile& image;
    TProgressView& progress;
};
