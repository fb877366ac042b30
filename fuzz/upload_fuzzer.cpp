// The boot-loader upload against arbitrary boot-loader answers.
//
// Input: flags, initial seq, image length / 8, then a script of chunks (fuzz/scriptedline.h)
// played as the boot loader's answers, on a manual clock.
//   flags bit 0: the session is connected (ENTER_FLASH goes out first) or in the loader (5)
//   flags bits 1-2: not used
//   flags bits 3-5: image length modulo 8 (the image is 0 to 2047 bytes, up to 8 blocks)
//   flags bits 6-7: the image's capacity: 128 KiB as the program makes it, or just the used
//   length, the used length rounded up to whole blocks, or one byte more (so reads past the
//   image's end are caught)
// The host's bytes and the answers it read are replayed through the dialogue's rules, which
// give the expected result, status texts and progress positions. Checked:
// - the host sends exactly the dialogue: [ENTER_FLASH] p S e, then per block up to three
//   address commands and a write with the image's bytes and check words, then E;
// - a command counts as answered only when its answer was read after it and before the
//   next command; true is returned only when every block's last write was answered;
// - the run ends as the answers say: completed, the boot loader silent (nothing erased),
//   or failed after the erase; the status texts are from the known set, in the expected
//   order, and the positions are those of the blocks tried;
// - linkState is 2 after success and untouched after failure;
// - the upload ends within a bounded virtual time after the last answer arrived.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "ecu/ecu.h"
#include "ecu/packet.h"
#include "ecu/protocol.h"
#include "ecu/serialcomm.h"
#include "firmware/ihexfile.h"
#include "firmware/upload.h"
#include "fuzz/check.h"
#include "fuzz/scriptedline.h"
#include "tests/support/manualclock.h"
#include "tests/support/memorysettings.h"
#include "tests/support/recordingui.h"

namespace {

// The dialogue's limits, written out here rather than taken from the upload, so that a
// changed limit fails: three address commands a block, a block written at most six times.
constexpr int kAddressTries = 3;
constexpr int kResendsAllowed = 5;

// After the line falls silent: the erase wait, or three address waits and a write wait, each
// half a second past the last byte, plus a flush.
constexpr int64_t kUploadBoundUs = 12'000'000;

// The image of one run. The program's 128 KiB image is made once, as allocating it for every
// input would dominate the run; the small ones are made for each.
TIHexFile& Image(int capacityChoice, int used, std::unique_ptr<TIHexFile>& small) {
    static TIHexFile full;
    int capacity = kFirmwareImageBytes;
    switch (capacityChoice) {
        case 1:
            capacity = used;
            break;
        case 2:
            capacity = BlockCount(used) * kBlockBytes;
            break;
        case 3:
            capacity = used + 1;
            break;
        default:
            break;
    }
    TIHexFile* image = &full;
    if (capacity != kFirmwareImageBytes) {
        small = std::make_unique<TIHexFile>(capacity);
        image = small.get();
    }
    FillUploadImage(*image, used);
    return *image;
}

// The image byte at `offset` as the boot loader must receive it: erased past the image's end.
uint8_t ImageByte(const TIHexFile& image, size_t offset) {
    return offset < image.data.size() ? image.data[offset] : 0xFF;
}

// Walks the recorded traffic: the host's bytes in order, and for each command the bytes the
// host read after it and before its next byte.
class TDialogue {
public:
    explicit TDialogue(const std::vector<TFakeSerialLibrary::TEvent>& e) : events(e) {
        for (size_t i = 0; i < events.size(); ++i) {
            if (events[i].fromHost) {
                sent.push_back(i);
            }
        }
    }

    bool AtEnd() const { return next == sent.size(); }
    size_t Left() const { return sent.size() - next; }
    uint8_t Take() { return events[sent[next++]].byte; }

    // Whether the host read `text` after the byte it took last and before its next one: the
    // read bytes must end with it (the wait stops there) and hold it nowhere else.
    bool Answered(const std::string& text) const {
        const size_t last = sent[next - 1];
        std::string read;
        for (size_t i = last + 1; i < events.size() && !events[i].fromHost; ++i) {
            read.push_back(static_cast<char>(events[i].byte));
        }
        const size_t at = read.find(text);
        if (at == std::string::npos) {
            return false;
        }
        Check(at + text.size() == read.size(), "the host read on past an answer");
        return true;
    }

private:
    const std::vector<TFakeSerialLibrary::TEvent>& events;
    std::vector<size_t> sent;
    size_t next = 0;
};

struct TExpected {
    TUploadRun run = TUploadRun::FailedAfterErase;
    std::vector<std::string> texts;
    std::vector<int> positions;
};

// What the upload must have done, given what it sent and which commands were answered.
TExpected Replay(TDialogue& d, bool fromLoader, uint8_t seq, const TIHexFile& image) {
    TExpected x;
    if (!fromLoader) {
        TKaloBeginFlash enter(seq);
        for (uint8_t b : enter.Encode()) {
            Check(!d.AtEnd() && d.Take() == b, "ENTER_FLASH frame");
        }
    }
    Check(!d.AtEnd() && d.Take() == kLoaderProgrammerQuery, "programmer query");
    if (!d.Answered(kLoaderProgrammerReply)) {
        x.run = TUploadRun::LoaderSilent;
        return x;
    }
    Check(!d.AtEnd() && d.Take() == kLoaderIdentify, "identify");
    if (!d.Answered(kLoaderIdText)) {
        x.run = TUploadRun::LoaderSilent;
        return x;
    }
    Check(!d.AtEnd() && d.Take() == kLoaderErase, "erase");
    const std::string ack(1, static_cast<char>(kLoaderAck));
    if (!d.Answered(ack)) {
        return x;
    }

    const int blocks = BlockCount(image.usedLength);
    int resends = 0;
    for (int i = 0; i < blocks;) {
        x.positions.push_back(i * 100 / blocks);
        const uint16_t wordAddress = static_cast<uint16_t>(i * kBlockWords);
        bool addressed = false;
        for (int attempt = 0; attempt < kAddressTries && !addressed; ++attempt) {
            Check(d.Left() >= 3 && d.Take() == kLoaderSetAddress, "address command");
            Check(d.Take() == wordAddress >> 8 && d.Take() == (wordAddress & 0xFF), "word address");
            addressed = d.Answered(ack);
        }
        if (!addressed) {
            x.texts.push_back("Too many address attempts.");
            return x;
        }
        uint8_t block[kBlockBytes];
        for (int k = 0; k < kBlockBytes; ++k) {
            block[k] = ImageByte(image, static_cast<size_t>(i) * kBlockBytes + k);
        }
        Check(d.Left() >= 3 + kBlockBytes + 4, "write command cut short");
        Check(d.Take() == kLoaderWrite && d.Take() == kLoaderWriteMemory &&
                  d.Take() == kLoaderWriteFlags,
              "write command");
        for (int k = 0; k < kBlockBytes; ++k) {
            Check(d.Take() == block[k], "block bytes differ from the image");
        }
        const TCheckWords c =
            BlockCheckWords(block, wordAddress, image.usedLength - i * kBlockBytes);
        Check(d.Take() == c.sum >> 8 && d.Take() == (c.sum & 0xFF) && d.Take() == c.xr >> 8 &&
                  d.Take() == (c.xr & 0xFF),
              "check words");
        if (d.Answered(ack)) {
            resends = 0;
            if (i % 4 == 0) {
                x.texts.push_back(std::to_string(i * kBlockBytes) + " bytes sent.");
            }
            ++i;
        } else {
            x.texts.push_back("Retrying block " + std::to_string(i));
            if (++resends > kResendsAllowed) {
                x.texts.push_back("Too many resends.");
                return x;
            }
        }
    }
    Check(!d.AtEnd() && d.Take() == kLoaderExit, "exit command");
    x.run = TUploadRun::Completed;
    return x;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) {
        return 0;
    }
    const uint8_t flags = data[0];
    const bool fromLoader = (flags & 1) == 0;
    std::unique_ptr<TIHexFile> small;
    TIHexFile& image = Image(flags >> 6, data[2] * 8 + ((flags >> 3) & 7), small);

    TManualClock clock;
    TScriptedPeer line(clock.Now(), DecodeChunks(data + 3, size - 3));
    TFakeSerialLibrary lib(clock);
    lib.AttachPeer(&line);
    TMemorySettingsStore store;
    TSerialComm port(lib, store, clock);
    Check(port.Open(), "the fake port did not open");

    TECU session(&port);
    session.seq = data[1];
    const uint8_t state = fromLoader ? kLinkLoader : kLinkConnected;
    session.linkState = state;
    TRecordingProgress progress;
    const int64_t start = clock.NowUs();
    const TUploadRun run = TUpload(session, image, progress).Run();

    if (std::getenv("BRINDLE_FUZZ_TRACE")) {  // to look into an input by hand
        std::fprintf(stderr, "upload of %d bytes: run %d after %lld us\n", image.usedLength,
                     static_cast<int>(run), static_cast<long long>(clock.NowUs() - start));
        for (const std::string& t : progress.Texts()) {
            std::fprintf(stderr, "  %s\n", t.c_str());
        }
    }
    const bool completed = run == TUploadRun::Completed;
    Check(clock.NowUs() <= std::max(start, line.LastArrivalUs()) + kUploadBoundUs,
          "the upload went on too long after the line fell silent");
    Check(session.linkState == (completed ? kLinkConnecting : state), "linkState after the upload");
    Check(session.seq == static_cast<uint8_t>(data[1] + (fromLoader ? 0 : 1)), "seq");

    const auto traffic = lib.Traffic();
    TDialogue dialogue(traffic);
    const TExpected expected =
        Replay(dialogue, fromLoader, static_cast<uint8_t>(data[1] + 1), image);
    Check(dialogue.AtEnd(), "the host sent more than the dialogue");
    Check(run == expected.run, "the run's end differs from the answers the host read");
    Check(progress.Texts() == expected.texts, "status texts");
    Check(progress.Positions() == expected.positions, "progress positions");
    return 0;
}
