// Writes the fuzzers' recorded seeds: the virtual ECU's answers to a connect, to sensor
// polls and to uploads, captured on the fake serial library and turned into chunk scripts
// (fuzz/scriptedline.h), and a few packets. Usage: brindle_fuzz_seeds FOLDER
// (FOLDER/session, FOLDER/upload and FOLDER/packet must exist).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ecu/ecu.h"
#include "ecu/packet.h"
#include "ecu/protocol.h"
#include "ecu/serialcomm.h"
#include "firmware/ihexfile.h"
#include "firmware/upload.h"
#include "fuzz/scriptedline.h"
#include "tests/support/recordingui.h"
#include "tests/support/simrig.h"

namespace {

// One chunk per burst of puts (answered or not), holding the bytes read until the next burst;
// bytes read before the first burst form a leading chunk timed from `startUs`.
std::vector<TChunk> Chunks(const std::vector<TFakeSerialLibrary::TEvent>& events, size_t from,
                           int64_t startUs) {
    std::vector<TChunk> chunks;
    int64_t burstUs = startUs;
    bool haveChunk = false;
    int64_t lastPutUs = INT64_MIN;
    for (size_t i = from; i < events.size(); ++i) {
        const TFakeSerialLibrary::TEvent& e = events[i];
        if (e.fromHost) {
            if (e.atUs > lastPutUs) {
                chunks.push_back({true, 0, {}});
                burstUs = e.atUs;
                haveChunk = true;
            }
            lastPutUs = e.atUs;
            continue;
        }
        if (!haveChunk) {
            chunks.push_back({false, 0, {}});
            haveChunk = true;
        }
        TChunk& c = chunks.back();
        if (c.bytes.empty()) {
            c.delayCode = DelayCode(e.atUs - burstUs);
        }
        c.bytes.push_back(e.byte);
    }
    return chunks;
}

// The virtual ECU on the fake library, a session on it, and a mark where recording starts.
struct TRig : TSimRig {
    explicit TRig(TEcuSimConfig config = {}, int32_t commBaud = 5)
        : TSimRig(std::move(config), {{"commBaud", commBaud}}), session(port.get()) {
        session.linkState = kLinkConnecting;
    }
    void Start() {
        from = lib.Traffic().size();
        startUs = clock.Now().count();
    }
    std::vector<TChunk> Chunks() const { return ::Chunks(lib.Traffic(), from, startUs); }

    TECU session;
    size_t from = 0;
    int64_t startUs = 0;
};

std::string folder;

void Write(const std::string& name, const std::vector<uint8_t>& header,
           const std::vector<uint8_t>& body) {
    const std::filesystem::path file = std::filesystem::path(folder) / name;
    std::error_code ignored;  // a folder that cannot be made shows as a failed write below
    std::filesystem::create_directories(file.parent_path(), ignored);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(header.data()),
              static_cast<std::streamsize>(header.size()));
    out.write(reinterpret_cast<const char*>(body.data()),
              static_cast<std::streamsize>(body.size()));
    out.close();
    if (!out) {
        std::fprintf(stderr, "make_seeds: cannot write %s/%s\n", folder.c_str(), name.c_str());
        std::exit(1);
    }
    std::printf("%s: %zu bytes\n", name.c_str(), header.size() + body.size());
}

// Session seeds: flags (fuzz/session_fuzzer.cpp), seq, options (CRC repair on), chunks.
void Session(const std::string& name, TRig& rig, uint8_t flags, int steps) {
    const uint8_t seq = rig.session.seq;
    rig.Start();
    if (flags & 1) {
        rig.session.lastReply = rig.clock.Now();
    }
    for (int i = 0; i < steps; ++i) {
        rig.session.Step();
    }
    Write("session/" + name, {flags, seq, 1}, EncodeChunks(rig.Chunks()));
}

// Upload seeds: flags (fuzz/upload_fuzzer.cpp), seq, length / 8, chunks.
void Upload(const std::string& name, TRig& rig, int used) {
    const bool fromLoader = rig.session.linkState == kLinkLoader;
    const uint8_t flags = static_cast<uint8_t>((fromLoader ? 0 : 1) | ((used % 8) << 3));
    const uint8_t seq = rig.session.seq;
    TIHexFile image;
    FillUploadImage(image, used);
    TRecordingProgress progress;
    rig.Start();
    const bool ok = TUpload(rig.session, image, progress).Run() == TUploadRun::Completed;
    std::printf("upload %s: %s\n", name.c_str(), ok ? "ok" : "failed");
    Write("upload/" + name, {flags, seq, static_cast<uint8_t>(used / 8)},
          EncodeChunks(rig.Chunks()));
}

std::vector<uint8_t> Frame(uint8_t seq, uint8_t type, std::vector<uint8_t> payload) {
    TKaloPacket p;
    p.seq = seq;
    p.type = type;
    p.SetSize(static_cast<uint8_t>(payload.size()));
    p.payload = std::move(payload);
    return p.Encode();
}

void Packets() {
    std::vector<uint8_t> sensors(kSensorsReplyBytes);
    for (size_t i = 0; i < sensors.size(); ++i) {
        sensors[i] = static_cast<uint8_t>(i * 11 + 3);
    }
    std::vector<uint8_t> table(255);
    for (size_t i = 0; i < table.size(); ++i) {
        table[i] = static_cast<uint8_t>(i == 7 ? kKaloStart : i * 7);
    }
    // Straight to TakeByte: frames without their start byte, back to back.
    std::vector<uint8_t> direct;
    for (const auto& f :
         {Frame(18, KALO_ACK, {}), Frame(5, KALO_READ_SENSORS, sensors),
          Frame(200, KALO_GET_TABLEDATA, table), Frame(9, KALO_GET_VERSION, {1, 4, 12})}) {
        direct.insert(direct.end(), f.begin() + 1, f.end());
    }
    Write("packet/frames-direct", {0}, direct);

    // On the port: a good reply, one cut short by a pause longer than the time-out, one with
    // a bad CRC, and a good one.
    const auto good = Frame(11, KALO_GET_VERSION, {1, 4, 12});
    const auto sig =
        Frame(12, KALO_GET_HWSIG, {0xAA, 12, 'K', 'S', 0x20, 0x24, 3, 0x15, 0, 1, 1, 2});
    auto bad = Frame(13, KALO_ACK, {});
    bad.back() ^= 0x40;
    std::vector<TChunk> chunks = {
        {false, DelayCode(2'000), {good.begin() + 1, good.end()}},
        {false, DelayCode(1'000), {sig.begin() + 1, sig.begin() + 6}},
        {false, DelayCode(700'000), {sig.begin() + 6, sig.end()}},
        {false, DelayCode(3'000), {bad.begin() + 1, bad.end()}},
        {false, DelayCode(3'000), {sig.begin() + 1, sig.end()}},
    };
    Write("packet/frames-on-the-port", {1}, EncodeChunks(chunks));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 64;
    }
    folder = argv[1];
    {
        TRig rig;
        rig.session.seq = 0x30;
        Session("connect-9600", rig, 0x40, 3);  // connect, then two sensor polls
    }
    {
        TRig rig({}, 9);
        rig.session.seq = 0xFD;  // wraps during the connect
        Session("connect-switch-to-115200", rig, 5 << 1, 2);
    }
    {
        TRig rig;
        rig.session.Step();
        Session("connected-polls", rig, 0x81, 4);
    }
    {
        TRig rig;
        rig.session.Step();
        rig.ecu.DropReplies(2);  // two polls unanswered: the keep-alive then answers
        Session("connected-keepalive", rig, 0x41, 3);
    }
    {
        TEcuSimConfig config;
        config.startInLoader = true;
        TRig rig(config);
        Session("loader-only", rig, 0x00, 2);
    }

    {
        TEcuSimConfig config;
        config.startInLoader = true;
        TRig rig(config);
        rig.session.Step();
        Upload("from-loader-2-blocks", rig, 300);
    }
    {
        TRig rig;
        rig.session.Step();
        Upload("enter-flash-8-blocks", rig, 2045);
    }
    {
        TEcuSimConfig config;
        config.startInLoader = true;
        TRig rig(config);
        rig.session.Step();
        rig.ecu.NackWrites(1);
        Upload("one-write-resent", rig, 700);
    }
    Packets();
    return 0;
}
