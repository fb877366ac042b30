// The virtual ECU as hardware: its wire pacing, the boot loader's strictness, and the fault
// switches no session or upload test shows, driven through a real host port object on virtual
// time. (What the session and the upload make of it, and of the other faults, is tested with
// them.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ecu/packet.h"
#include "ecu/protocol.h"
#include "sim/faults.h"
#include "tests/support/simrig.h"

namespace {

using std::chrono::milliseconds;

// A request/reply exchange as the host makes it: send, skip to the start byte, receive.
bool Exchange(TSimRig& rig, const std::vector<uint8_t>& frame, TKaloPacket& reply) {
    rig.port->SendBlock(frame.data(), static_cast<int>(frame.size()));
    if (!rig.port->WaitForText("\n")) {
        return false;
    }
    ReceiveKaloPacket(*rig.port, reply);
    return reply.complete;
}

std::string ReceiveFor(TSimRig& rig, int64_t ms) {
    std::string got;
    const int64_t until = rig.clock.NowUs() + ms * 1000;
    uint8_t b = 0;
    while (rig.clock.NowUs() < until) {
        if (rig.port->ReceiveByte(b, milliseconds(5))) {
            got.push_back(static_cast<char>(b));
        }
    }
    return got;
}

TEcuSimConfig ColdLoader() {
    TEcuSimConfig c;
    c.startInLoader = true;
    return c;
}

// A virtual ECU with only its boot loader, the host at the loader's 19200 bit/s.
struct LoaderRig : TSimRig {
    LoaderRig() : TSimRig(ColdLoader()) { port->SetBaud(6); }
};

std::vector<uint8_t> WriteCommand(const std::vector<uint8_t>& block, uint16_t wordAddress) {
    const auto command = EncodeWriteCommand(block.data(), wordAddress, kBlockBytes);
    return {command.begin(), command.end()};
}

bool LoaderCommand(TSimRig& rig, const std::vector<uint8_t>& bytes,
                   milliseconds timeout = TSerialComm::kDefaultTimeout) {
    rig.port->SendBlock(bytes.data(), static_cast<int>(bytes.size()));
    uint8_t b = 0;
    return rig.port->ReceiveByte(b, timeout) && b == kLoaderAck;
}

// The greeting answered at the power-on rate, and a whole block write at 115200, as long as
// they take on a wire.
TEST(VirtualEcu, WirePacingOfTheGreetingAndOfAFullWrite) {
    TSimRig rig;
    int64_t t0 = rig.clock.NowUs();
    rig.port->SendText(kFirmwareGreeting);
    ASSERT_TRUE(rig.port->WaitForText(kFirmwareGreetingReply));
    // "Mas" arrives after 29.5 bit times, the answer leaves 0.5 ms later and its last byte
    // is complete 39.5 bit times after that.
    constexpr double kBitUs = 104.167;
    EXPECT_NEAR(static_cast<double>(rig.clock.NowUs() - t0), 29.5 * kBitUs + 500 + 39.5 * kBitUs,
                5.0);
    EXPECT_EQ(rig.ecu.Transcript(), std::vector<std::string>{"Mas"});

    TEcuSimConfig config = ColdLoader();
    config.loaderBps = 115200;
    TSimRig fast(config);
    ASSERT_TRUE(fast.port->SetBaud(9));
    t0 = fast.clock.NowUs();
    ASSERT_TRUE(LoaderCommand(fast, WriteCommand(std::vector<uint8_t>(kBlockBytes, 0x22), 0)));
    const double wireMs = (fast.clock.NowUs() - t0 - 4500) / 1000.0;
    // 263 bytes of ten bits at 115200 are 22.83 ms; the answer adds its own 9.5 bit times.
    EXPECT_NEAR(wireMs, 22.83, 0.2);
}

TEST(VirtualEcu, RequestWithABadCrcIsRefusedAndAStalledOneForgotten) {
    TSimRig rig;
    // A version request whose CRC's high byte was hit on the line: a NAK with its seq.
    std::vector<uint8_t> frame = TKaloVersion(21).Encode();
    frame.back() ^= 0x40;
    TKaloPacket reply;
    ASSERT_TRUE(Exchange(rig, frame, reply));
    EXPECT_TRUE(reply.Good());
    EXPECT_EQ(reply.type, KALO_NAK);
    EXPECT_EQ(reply.seq, 21);
    EXPECT_EQ(rig.ecu.Counters().badPackets, 1);
    // Half a request, then silence: it is forgotten, and the next request is answered.
    rig.port->SendBlock(frame.data(), 3);
    rig.clock.Sleep(milliseconds(200));
    ASSERT_TRUE(Exchange(rig, TKaloACK(22).Encode(), reply));
    EXPECT_TRUE(reply.Good());
    EXPECT_EQ(reply.type, KALO_ACK);
    EXPECT_EQ(reply.seq, 22);
}

// The boot loader programs a write only with matching check words, and programming can
// only clear bits (no erase means corrupted data).
TEST(VirtualEcu, WriteIsProgrammedOnlyWhenItsCheckWordsMatchAndOnlyClearsBits) {
    LoaderRig rig;
    const auto address = EncodeSetAddress(128);
    const std::vector<uint8_t> setAddress(address.begin(), address.end());
    std::vector<uint8_t> spoiled = WriteCommand(std::vector<uint8_t>(kBlockBytes, 0x0F), 128);
    spoiled[kWriteCommandBytes - 3] ^= 1;  // a check word's bit
    ASSERT_TRUE(LoaderCommand(rig, setAddress));
    EXPECT_FALSE(LoaderCommand(rig, spoiled));
    EXPECT_EQ(rig.ecu.Counters().rejectedWrites, 1);
    EXPECT_EQ(rig.ecu.Flash()[256], 0xFF);
    for (const uint8_t fill : {0x0F, 0xF3}) {
        ASSERT_TRUE(LoaderCommand(rig, setAddress));
        ASSERT_TRUE(LoaderCommand(rig, WriteCommand(std::vector<uint8_t>(kBlockBytes, fill), 128)));
    }
    EXPECT_EQ(rig.ecu.Flash()[256], 0x03);
}

// Unknown commands and malformed writes are answered with a question mark, each with a
// transcript line; those lines are handed out once each, across the transcript's trim.
TEST(VirtualEcu, UnknownCommandsAreAnsweredWithQuestionMarkAndEachLineHandedOutOnce) {
    LoaderRig rig;
    // A write command takes its whole length, whatever its bytes, before it is looked at.
    std::vector<uint8_t> badMemory(kWriteCommandBytes, 0x11);
    badMemory[0] = 'D';
    std::vector<uint8_t> badFlags = badMemory;
    badFlags[1] = 'k';
    for (const auto& in : {std::vector<uint8_t>{0x00}, badMemory, badFlags}) {
        rig.port->SendBlock(in.data(), static_cast<int>(in.size()));
        EXPECT_EQ(ReceiveFor(rig, 200), "?");
    }
    uint64_t seen = 0;
    EXPECT_EQ(rig.ecu.TranscriptSince(seen).size(), 3u);
    // 25 000 unknown commands, one transcript line each: more than the transcript keeps.
    const std::vector<uint8_t> chunk(1000, 'x');
    size_t handedOut = 0;
    for (int i = 0; i < 25; ++i) {
        rig.port->SendBlock(chunk.data(), static_cast<int>(chunk.size()));
        EXPECT_EQ(ReceiveFor(rig, 600), std::string(1000, '?'));
        handedOut += rig.ecu.TranscriptSince(seen).size();
    }
    EXPECT_LT(rig.ecu.Transcript().size(), 25000u);  // the trim did happen
    EXPECT_EQ(handedOut, 25000u);
    EXPECT_EQ(seen, 3u + 25000u);
    EXPECT_TRUE(rig.ecu.TranscriptSince(seen).empty());
}

TEST(VirtualEcu, BytesSentWhileBusyOverrunTheTwoByteBuffer) {
    LoaderRig rig;
    const std::vector<uint8_t> burst = {kLoaderErase, 'p', 'p', 'p', 'p', 'p'};
    rig.port->SendBlock(burst.data(), static_cast<int>(burst.size()));
    EXPECT_EQ(ReceiveFor(rig, 2000), "\rSS");
    EXPECT_EQ(rig.ecu.Counters().overruns, 3);
}

// ---------------------------------------------------------------- fault switches

TEST(VirtualEcuFaults, DropToLoaderLosesTheFirmwareAndWhatWasUnderWay) {
    TSimRig rig;
    // A rate switch to 115200 under way (the ACK still on the wire) dies with the firmware.
    const std::vector<uint8_t> frame = TKaloSetBaud(1, 4).Encode();
    rig.port->SendBlock(frame.data(), static_cast<int>(frame.size()));
    rig.clock.Sleep(milliseconds(9));  // 7 bytes at 9600, then the turnaround
    rig.ecu.DropToLoader(rig.Now());
    EXPECT_EQ(ReceiveFor(rig, 50), "");
    EXPECT_EQ(rig.ecu.BaudBps(), 19200);
    EXPECT_EQ(rig.ecu.Mode(), TVirtualEcu::TMode::Loader);
}

// brindle-ecusim reads its fault options and "fault" commands through this table.
TEST(VirtualEcuFaults, TableReadsEachKindOfValueWithinItsBounds) {
    const struct {
        const char* line;  // a runtime command
        bool accepted;
        int number;
    } cases[] = {
        {"fault crc 0", true, 0},
        {"fault crc 1073741824", true, 1 << 30},
        {"fault crc 1073741825", false, 0},
        {"fault drop -1", false, 0},
        {"fault seq 3x", false, 0},
        {"fault nack-block -1", true, -1},
        {"fault nack-block 511", true, 511},
        {"fault nack-block 512", false, 0},
        {"fault no-erase on", true, 0},
        {"fault no-erase yes", false, 0},
        {"babble off", true, 0},
        {"fault unplug-on D 0x1000", true, 0},
        {"fault cut-write ", false, 0},
        {"fault crcx 1", false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        std::string rest;
        const TFault* fault = FaultForCommand(c.line, rest);
        const std::optional<TFaultValue> v =
            fault ? ParseFaultValue(*fault, rest, false) : std::nullopt;
        ASSERT_EQ(v.has_value(), c.accepted);
        if (v && (fault->arg == TFaultArg::Count || fault->arg == TFaultArg::Block)) {
            EXPECT_EQ(v->number, c.number);
        }
    }
    std::string rest;
    EXPECT_EQ(
        ParseFaultValue(*FaultForCommand("fault unplug-on D 0x1000", rest), rest, false)->text,
        "D 0x1000");
    // A switch given as an option takes no value and means on.
    const TFault* babble = FaultForOption("--babble");
    ASSERT_NE(babble, nullptr);
    EXPECT_TRUE(ParseFaultValue(*babble, "", true)->on);
    EXPECT_EQ(FaultForOption("--fault"), nullptr);
}

}  // namespace
