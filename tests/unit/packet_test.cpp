// Frames, CRC and log lines of the packet protocol, and the boot loader's check words, checked
// against values worked out by hand (from the frame layout and CRC-16/MODBUS); receiving on the
// session's port, and the session's log of what it sent and received.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <sstream>

#include "ecu/ecu.h"
#include "ecu/packet.h"
#include "ecu/protocol.h"
#include "ecu/serialcomm.h"
#include "tests/support/simrig.h"

namespace {

struct PortRig : TFakePortRig {
    std::ostringstream logText;
    TStreamLogSink log{logText};
    TECU session{&port, nullptr, &log};
};

struct WireCase {
    const char* name;
    std::function<std::unique_ptr<TKaloPacket>()> make;
    std::vector<uint8_t> wire;
    const char* logLine;
};

// What the session sends: the frame in one write, and its log line.
TEST(Packet, RequestsGoOnTheWireAndInTheLogExactly) {
    const WireCase cases[] = {
        {"ACK seq 18",
         [] { return std::make_unique<TKaloACK>(18); },
         {0x0A, 0x12, 0x01, 0x00, 0xD0, 0x55},
         "Outgoing packet typ(ACK) seq(18) size(0) CRC(21968) Data((none))"},
        {"SET_BAUD seq 33 index 4",
         [] { return std::make_unique<TKaloSetBaud>(33, 4); },
         {0x0A, 0x21, 0x03, 0x01, 0x04, 0xFA, 0x4B},
         "Outgoing packet typ(SET_BAUD) seq(33) size(1) CRC(19450) Data(4)"},
        // Data bytes in lower-case hex.
        {"READ_SENSORS seq 5",
         [] { return std::make_unique<TKaloReadSensors>(5, 0x1B, 0xFF); },
         {0x0A, 0x05, 0x07, 0x03, 0x1B, 0x00, 0xFF, 0x85, 0x8D},
         "Outgoing packet typ(READ_SENSORS) seq(5) size(3) CRC(36229) Data(1b,0,ff)"},
        {"GET_VERSION seq 18",
         [] { return std::make_unique<TKaloVersion>(18); },
         {0x0A, 0x12, 0x02, 0x00, 0xD0, 0xA5},
         "Outgoing packet typ(GET_VERSION) seq(18) size(0) CRC(42448) Data((none))"},
    };
    for (const WireCase& c : cases) {
        SCOPED_TRACE(c.name);
        PortRig rig;
        auto packet = c.make();
        rig.session.SendPacket(*packet);
        EXPECT_EQ(rig.lib.SentBytes(), c.wire);
        EXPECT_EQ(rig.lib.PutCalls(), 1);
        EXPECT_EQ(rig.logText.str(), std::string(c.logLine) + "\n");
    }
}

TEST(Packet, ReceivingWaitsForTheRestOfAPacketInOneSleep) {
    // A 33-byte reply trickling in at 9600: after the header the receiver sleeps through the
    // rest instead of waking for each byte, and still has it the moment the last one is in.
    TKaloPacket reply;
    reply.seq = 4;
    reply.type = KALO_READ_SENSORS;
    reply.SetSize(kSensorsReplyBytes);
    const std::vector<uint8_t> frame = reply.Encode();
    PortRig rig;
    const int64_t t0 = rig.clock.NowUs();
    const int64_t byteUs = 1042;  // ten bits at 9600
    for (size_t i = 1; i < frame.size(); ++i) {
        rig.lib.AddInput({frame[i]}, t0 + static_cast<int64_t>(i) * byteUs);
    }
    const int64_t sleeps0 = rig.clock.sleeps;
    TKaloPacket got;
    ASSERT_TRUE(ReceiveKaloPacket(rig.port, got));
    EXPECT_EQ(got.payload, reply.payload);
    const int64_t last = t0 + static_cast<int64_t>(frame.size() - 1) * byteUs;
    EXPECT_GE(rig.clock.NowUs(), last);
    EXPECT_LE(rig.clock.NowUs(), last + byteUs);
    EXPECT_LE(rig.clock.sleeps - sleeps0, 8);  // not one wake-up per byte
}

// A packet cut short fails one reply time-out after its last byte, and is not logged; one
// with a wrong CRC is complete, not good, and logged with both CRC values.
TEST(Packet, CutShortOrWithABadCrc) {
    PortRig rig;
    const int64_t t0 = rig.clock.NowUs();
    rig.lib.AddInput({0x12, 0x07, 0x1B, 0x00, 0x01}, t0);  // 2 of 27 payload bytes
    rig.lib.AddInput({0x02}, t0 + 300'000);
    TKaloPacket p;
    EXPECT_FALSE(rig.session.ReceivePacket(p));
    EXPECT_FALSE(p.complete);
    EXPECT_EQ(rig.logText.str(), "");
    const int64_t waited = rig.clock.NowUs() - (t0 + 300'000);
    EXPECT_GT(waited, 500'000);
    EXPECT_LE(waited, 520'000);

    rig.lib.AddInput({0x12, 0x01, 0x00, 0xD0, 0x56}, rig.clock.NowUs());
    EXPECT_FALSE(rig.session.ReceivePacket(p));
    EXPECT_TRUE(p.complete);
    EXPECT_EQ(p.seq, 18);
    EXPECT_EQ(rig.logText.str(),
              "Incoming packet typ(ACK) seq(18) size(0) CRC(22224,21968) Data((none))\n");
}

TEST(Packet, UnknownTypesAreLoggedByNumber) {
    EXPECT_EQ(KaloTypeName(9), "ENTER_FLASH");
    EXPECT_EQ(KaloTypeName(10), "UNKNOWN(10)");
}

TEST(CheckWords, WorkedExamplesOfBlankBlocks) {
    const std::vector<uint8_t> blank(kBlockBytes, 0xFF);
    EXPECT_EQ(BlockCheckWords(blank.data(), 0, kBlockBytes), (TCheckWords{0xFF80, 0x0000}));
    EXPECT_EQ(BlockCheckWords(blank.data(), 128, kBlockBytes), (TCheckWords{0x0000, 0x0080}));
    // Words past the valid bytes count as 0xFFFF whatever the buffer holds.
    std::vector<uint8_t> tail(kBlockBytes, 0x00);
    tail[0] = 0x34;
    tail[1] = 0x12;
    EXPECT_EQ(BlockCheckWords(tail.data(), 0, 2),
              (TCheckWords{static_cast<uint16_t>(0x1234 + 127 * 0xFFFF),
                           static_cast<uint16_t>(0x1234 ^ 0xFFFF)}));  // 127 is odd
}

}  // namespace
