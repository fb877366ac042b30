// The boot-loader upload against arbitrary boot-loader answers.
//
// Input: flags, initial seq, image length / 8, then a script of chunks
// (TFakeSerialLibrary::DecodeScript) played as the boot loader's answers, on a manual clock.
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
// The commands are written out here byte by byte, with the dialogue's limits as this file's
// own numbers, so that a wrong encoder or a changed limit fails.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ecu/ecu.h"
#include "ecu/packet.h"
#include "firmware/ihexfile.h"
#include "firmware/upload.h"
#include "fuzz/harness.h"
#include "tests/support/recordingui.h"

namespace {

// Three address commands a block, a block written at most six times.
constexpr int kAddressTries = 3;
constexpr int kResendsAllowed = 5;
constexpr int kBlock = 256;  // bytes a write command carries

// After the line falls silent: the erase wait, or three address waits and a write wait, each
// half a second past the last byte, plus a flush.
constexpr int64_t kUploadBoundUs = 12'000'000;

// The image of one run: `used` bytes of a pattern, the last one 0x00 so that it counts, the
// rest erased. The program's 128 KiB image is made once, as allocating it for every input
// would dominate the run; the small ones are made for each.
TIHexFile& Image(int capacityChoice, int used) {
    static TIHexFile full;
    static std::unique_ptr<TIHexFile> small;
    const int capacities[] = {kFirmwareImageBytes, used, (used + kBlock - 1) / kBlock * kBlock,
                              used + 1};
    if (capacityChoice > 0) {
        small = std::make_unique<TIHexFile>(capacities[capacityChoice]);
    }
    TIHexFile* image = capacityChoice > 0 ? small.get() : &full;
    std::fill(image->data.begin(), image->data.end(), 0xFF);
    for (int i = 0; i < used; ++i) {
        image->data[i] = static_cast<uint8_t>(i == used - 1 ? 0 : i * 29 + 7 + (i >> 8));
    }
    image->usedLength = used;
    return *image;
}

// Walks the recorded traffic: the host's bytes in order, and after each the bytes the host
// read before its next one.
struct TDialogue {
    // Takes the host's next byte, which must be `expected`.
    void Expect(int expected, const char* what) {
        Check(!AtEnd() && events[next++].byte == expected, what);
    }
    bool AtEnd() {
        while (next < events.size() && !events[next].fromHost) {
            ++next;
        }
        return next == events.size();
    }

    // Whether the host read `text` after the byte it took last and before its next one: the
    // read bytes must end with it (the wait stops there) and hold it nowhere else.
    bool Answered(const std::string& text) const {
        std::string read;
        for (size_t i = next; i < events.size() && !events[i].fromHost; ++i) {
            read.push_back(static_cast<char>(events[i].byte));
        }
        const size_t at = read.find(text);
        Check(at == std::string::npos || at + text.size() == read.size(),
              "the host read on past an answer");
        return at != std::string::npos;
    }

    std::vector<TFakeSerialLibrary::TEvent> events;
    size_t next = 0;  // the event after the host's byte taken last
};

struct TExpected {
    TUploadRun run = TUploadRun::LoaderSilent;
    std::vector<std::string> texts;
    std::vector<int> positions;
};

// What the upload must have done, given what it sent and which commands were answered.
TExpected Replay(TDialogue& d, bool fromLoader, uint8_t seq, const TIHexFile& image) {
    TExpected x;
    if (!fromLoader) {
        for (uint8_t b : TKaloBeginFlash(seq).Encode()) {
            d.Expect(b, "ENTER_FLASH frame");
        }
    }
    // The programmer query, identify and erase, each answered before the next goes out.
    const std::pair<char, const char*> greeting[] = {{'p', "S"}, {'S', "AVREFI1"}, {'e', "\r"}};
    for (const auto& [command, answer] : greeting) {
        x.run = command == 'e' ? TUploadRun::FailedAfterErase : TUploadRun::LoaderSilent;
        d.Expect(command, "programmer query, identify or erase");
        if (!d.Answered(answer)) {
            return x;
        }
    }

    const int blocks = (image.usedLength + kBlock - 1) / kBlock;
    int resends = 0;
    for (int i = 0; i < blocks;) {
        x.positions.push_back(i * 100 / blocks);
        const unsigned wordAddress = i * kBlock / 2;
        bool addressed = false;
        for (int attempt = 0; attempt < kAddressTries && !addressed; ++attempt) {
            d.Expect('A', "address command");
            d.Expect(wordAddress >> 8, "word address high");
            d.Expect(wordAddress & 0xFF, "word address low");
            addressed = d.Answered("\r");
        }
        if (!addressed) {
            x.texts.push_back("Too many address attempts.");
            return x;
        }
        d.Expect('D', "write command");
        d.Expect('k', "write command's memory");
        d.Expect(0x00, "write command's flags");
        // Sum and xor of the block's little-endian words, both starting at the word address;
        // the image reads as erased past its end.
        uint16_t sum = static_cast<uint16_t>(wordAddress);
        uint16_t xr = sum;
        for (size_t k = static_cast<size_t>(i) * kBlock; k < (i + 1u) * kBlock; k += 2) {
            const uint8_t low = k < image.data.size() ? image.data[k] : 0xFF;
            const uint8_t high = k + 1 < image.data.size() ? image.data[k + 1] : 0xFF;
            d.Expect(low, "block bytes differ from the image");
            d.Expect(high, "block bytes differ from the image");
            sum = static_cast<uint16_t>(sum + (low | high << 8));
            xr = static_cast<uint16_t>(xr ^ (low | high << 8));
        }
        for (int b : {sum >> 8, sum & 0xFF, xr >> 8, xr & 0xFF}) {
            d.Expect(b, "check words");
        }
        if (d.Answered("\r")) {
            resends = 0;
            if (i % 4 == 0) {
                x.texts.push_back(std::to_string(i * kBlock) + " bytes sent.");
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
    d.Expect('E', "exit command");
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
    TIHexFile& image = Image(flags >> 6, data[2] * 8 + ((flags >> 3) & 7));

    TFuzzLine line(TFakeSerialLibrary::DecodeScript(data + 3, size - 3));
    TECU session(&line.port);
    session.seq = data[1];
    const uint8_t state = fromLoader ? kLinkLoader : kLinkConnected;
    session.linkState = state;
    TRecordingProgress progress;
    const int64_t start = line.clock.NowUs();
    const TUploadRun run = TUpload(session, image, progress).Run();

    if (Trace()) {
        std::fprintf(stderr, "upload of %d bytes: run %d after %lld us, last text %s\n",
                     image.usedLength, static_cast<int>(run),
                     static_cast<long long>(line.clock.NowUs() - start),
                     progress.Texts().empty() ? "none" : progress.Texts().back().c_str());
    }
    Check(line.clock.NowUs() <= std::max(start, line.lib.LastArrivalUs()) + kUploadBoundUs,
          "the upload went on too long after the line fell silent");
    Check(session.linkState == (run == TUploadRun::Completed ? kLinkConnecting : state),
          "linkState after the upload");
    Check(session.seq == static_cast<uint8_t>(data[1] + (fromLoader ? 0 : 1)), "seq");

    TDialogue dialogue{line.lib.Traffic()};
    const TExpected expected =
        Replay(dialogue, fromLoader, static_cast<uint8_t>(data[1] + 1), image);
    Check(dialogue.AtEnd(), "the host sent more than the dialogue");
    Check(run == expected.run, "the run's end differs from the answers the host read");
    Check(progress.Texts() == expected.texts, "status texts");
    Check(progress.Positions() == expected.positions, "progress positions");
    return 0;
}
