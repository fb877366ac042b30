// Frames, CRC and log lines of the packet protocol, checked against bytes worked out by hand
// from the frame layout and CRC-16/MODBUS.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <memory>
#include <sstream>

#include "ecu/packet.h"
#include "ecu/serialcomm.h"
#include "tests/support/fakeserial.h"
#include "tests/support/manualclock.h"
#include "tests/support/memorysettings.h"

namespace {

class LogCapture {
public:
    LogCapture() { AttachPacketLog(&stream); }
    ~LogCapture() { ClosePacketLog(); }
    std::string Text() const { return stream.str(); }

private:
    std::ostringstream stream;
};

struct PortRig {
    TManualClock clock;
    TFakeSerialLibrary lib{clock};
    TMemorySettingsStore store;
    TSerialComm port{lib, store, clock};
    PortRig() { EXPECT_TRUE(port.Open()); }
};

TEST(Crc, StandardCheckValue) {
    const std::string check = "123456789";
    EXPECT_EQ(Crc16(reinterpret_cast<const uint8_t*>(check.data()), check.size()), 0x4B37);
}

TEST(Crc, EmptyInputIsInitialValue) {
    EXPECT_EQ(Crc16(nullptr, 0), 0xFFFF);
}

struct WireCase {
    const char* name;
    std::function<std::unique_ptr<TKaloPacket>()> make;
    std::vector<uint8_t> wire;
    const char* logLine;
};

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
        {"READ_SENSORS seq 5",
         [] { return std::make_unique<TKaloReadSensors>(5, 0, 0); },
         {0x0A, 0x05, 0x07, 0x03, 0x00, 0x00, 0x00, 0xB5, 0xCA},
         "Outgoing packet typ(READ_SENSORS) seq(5) size(3) CRC(51893) Data(0,0,0)"},
        {"GET_VERSION seq 18",
         [] { return std::make_unique<TKaloVersion>(18); },
         {0x0A, 0x12, 0x02, 0x00, 0xD0, 0xA5},
         "Outgoing packet typ(GET_VERSION) seq(18) size(0) CRC(42448) Data((none))"},
    };
    for (const WireCase& c : cases) {
        SCOPED_TRACE(c.name);
        PortRig rig;
        LogCapture log;
        auto packet = c.make();
        packet->Send(rig.port);
        EXPECT_EQ(rig.lib.SentBytes(), c.wire);
        EXPECT_EQ(log.Text(), std::string(c.logLine) + "\n");
        EXPECT_EQ(c.make()->Encode(), c.wire);
    }
}

TEST(Packet, SendPutsTheWholeFrameInOneCall) {
    PortRig rig;
    TKaloReadSensors(5, 1, 2).Send(rig.port);
    EXPECT_EQ(rig.lib.PutCalls(), 1);
    EXPECT_EQ(rig.lib.SentCount(), 9u);
}

TEST(Packet, ReceivingWaitsForTheRestOfAPacketInOneSleep) {
    // A 33-byte reply trickling in at 9600: after the header the receiver sleeps through the
    // rest instead of waking for each byte, and still has it the moment the last one is in.
    TKaloPacket reply;
    reply.logged = false;
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
    got.logged = false;
    ASSERT_TRUE(ReceiveKaloPacket(rig.port, got));
    EXPECT_EQ(got.payload, reply.payload);
    const int64_t last = t0 + static_cast<int64_t>(frame.size() - 1) * byteUs;
    EXPECT_GE(rig.clock.NowUs(), last);
    EXPECT_LE(rig.clock.NowUs(), last + byteUs);
    EXPECT_LE(rig.clock.sleeps - sleeps0, 8);  // not one wake-up per byte
}

TEST(Packet, PacketThatStopsHalfwayFailsOneTimeoutAfterItsLastByte) {
    PortRig rig;
    const int64_t t0 = rig.clock.NowUs();
    rig.lib.AddInput({0x12, 0x07, 0x1B, 0x00, 0x01}, t0);  // 2 of 27 payload bytes
    rig.lib.AddInput({0x02}, t0 + 300'000);
    LogCapture log;
    TKaloPacket p;
    EXPECT_FALSE(ReceiveKaloPacket(rig.port, p));
    EXPECT_FALSE(p.complete);
    EXPECT_EQ(log.Text(), "");
    const int64_t waited = rig.clock.NowUs() - (t0 + 300'000);
    EXPECT_GT(waited, 500'000);
    EXPECT_LE(waited, 520'000);
}

TEST(Packet, PerTypeConstructorsFillTypeSizeAndPayload) {
    struct Case {
        std::unique_ptr<TKaloPacket> packet;
        uint8_t type;
        std::vector<uint8_t> payload;
    };
    Case cases[] = {
        {std::make_unique<TKaloACK>(1), 1, {}},
        {std::make_unique<TKaloVersion>(1), 2, {}},
        {std::make_unique<TKaloSetBaud>(1, 3), 3, {3}},
        {std::make_unique<TKaloTableSize>(1, 5), 4, {5}},
        {std::make_unique<TKaloTableData>(1, 7), 5, {7}},
        {std::make_unique<TKaloReadSensors>(1, 0x11, 0x22), 7, {0x11, 0, 0x22}},
        {std::make_unique<TKaloReadHWSig>(1), 8, {}},
        {std::make_unique<TKaloBeginFlash>(1), 9, {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.packet->type, c.type);
        EXPECT_EQ(c.packet->size, c.payload.size());
        EXPECT_EQ(c.packet->payload, c.payload);
    }
    EXPECT_EQ(TKaloTableData(1, 7).tableId, 7);
}

// Feeds bytes (after the start byte) until the packet says it is complete.
void Feed(TKaloPacket& p, const std::vector<uint8_t>& bytes, size_t* taken = nullptr) {
    p.Reset();
    size_t n = 0;
    for (uint8_t b : bytes) {
        ++n;
        if (!p.TakeByte(b)) {
            break;
        }
    }
    if (taken) {
        *taken = n;
    }
}

TEST(Packet, IncomingAckWithGoodCrcIsCompleteAndLogged) {
    LogCapture log;
    TKaloPacket p;
    size_t taken = 0;
    Feed(p, {0x12, 0x01, 0x00, 0xD0, 0x55}, &taken);
    EXPECT_EQ(taken, 5u);
    EXPECT_TRUE(p.complete);
    EXPECT_TRUE(p.Good());
    EXPECT_EQ(p.seq, 18);
    EXPECT_EQ(p.type, KALO_ACK);
    EXPECT_EQ(p.rxCrc, 0x55D0);
    EXPECT_EQ(p.crc, 0x55D0);
    EXPECT_EQ(log.Text(),
              "Incoming packet typ(ACK) seq(18) size(0) CRC(21968,21968) Data((none))\n");
}

TEST(Packet, IncomingAckWithBadCrcIsCompleteButNotGoodAndLogsBothValues) {
    LogCapture log;
    PortRig rig;
    rig.lib.AddInput({0x12, 0x01, 0x00, 0xD0, 0x56}, 0);
    TKaloPacket p;
    EXPECT_FALSE(ReceiveKaloPacket(rig.port, p));
    EXPECT_TRUE(p.complete);
    EXPECT_EQ(log.Text(),
              "Incoming packet typ(ACK) seq(18) size(0) CRC(22224,21968) Data((none))\n");
}

TEST(Packet, PayloadOf255BytesIsReceivedWithoutWrapping) {
    TKaloPacket src;
    src.seq = 200;
    src.type = KALO_GET_TABLEDATA;
    src.SetSize(255);
    for (int i = 0; i < 255; ++i) {
        src.payload[i] = static_cast<uint8_t>(i * 7);
    }
    std::vector<uint8_t> frame = src.Encode();
    ASSERT_EQ(frame.size(), 261u);
    PortRig rig;
    rig.lib.AddInput(std::vector<uint8_t>(frame.begin() + 1, frame.end()), 0);
    TKaloPacket p;
    ASSERT_TRUE(ReceiveKaloPacket(rig.port, p));
    EXPECT_EQ(p.rxPos, 260u);
    EXPECT_EQ(p.payload, src.payload);
    EXPECT_EQ(p.DataByte(254), src.payload[254]);
}

TEST(Packet, StartByteInsidePayloadIsOrdinaryData) {
    TKaloPacket src;
    src.seq = 0x0A;
    src.type = KALO_READ_SENSORS;
    src.SetSize(4);
    src.payload = {0x0A, 0x0A, 0x00, 0x0A};
    std::vector<uint8_t> frame = src.Encode();
    TKaloPacket p;
    Feed(p, std::vector<uint8_t>(frame.begin() + 1, frame.end()));
    EXPECT_TRUE(p.Good());
    EXPECT_EQ(p.payload, src.payload);
}

TEST(Packet, DataByteIsZeroBeyondSizeOrWhenTheCrcFailed) {
    TKaloPacket good;
    Feed(good, {0x01, 0x02, 0x02, 0x07, 0x09, 0x00, 0x00});
    good.rxCrc = good.crc;  // make it good whatever the bytes
    EXPECT_EQ(good.DataByte(0), 7);
    EXPECT_EQ(good.DataByte(1), 9);
    EXPECT_EQ(good.DataByte(2), 0);
    TKaloPacket bad;
    Feed(bad, {0x01, 0x02, 0x02, 0x07, 0x09, 0x00, 0x00});
    ASSERT_NE(bad.rxCrc, bad.crc);
    EXPECT_EQ(bad.DataByte(0), 0);
    TKaloPacket partial;
    Feed(partial, {0x01, 0x02, 0x02, 0x07});
    EXPECT_EQ(partial.DataByte(0), 0);
}

TEST(Packet, TruncatedPacketTimesOutAndLogsNothing) {
    LogCapture log;
    PortRig rig;
    rig.lib.AddInput({0x12, 0x02, 0x03, 0x01}, 0);
    TKaloPacket p;
    const int64_t start = rig.clock.NowUs();
    EXPECT_FALSE(ReceiveKaloPacket(rig.port, p));
    EXPECT_FALSE(p.complete);
    EXPECT_GT(rig.clock.NowUs() - start, 500'000);
    EXPECT_EQ(log.Text(), "");
}

TEST(Packet, LogLineDataIsLowerCaseHexWithoutLeadingZeros) {
    TKaloPacket p;
    p.seq = 3;
    p.type = KALO_GET_TABLEDATA;
    p.SetSize(3);
    p.payload = {0x00, 0x1B, 0xFF};
    p.ComputeCrc();
    EXPECT_EQ(p.LogLine(false), "Outgoing packet typ(GET_TABLEDATA) seq(3) size(3) CRC(" +
                                    std::to_string(p.crc) + ") Data(0,1b,ff)");
}

TEST(Packet, UnknownTypeCodesShowTheirNumber) {
    EXPECT_EQ(KaloTypeName(9), "ENTER_FLASH");
    EXPECT_EQ(KaloTypeName(10), "UNKNOWN(10)");
    EXPECT_EQ(KaloTypeName(255), "UNKNOWN(255)");
}

TEST(PacketLog, NothingIsWrittenWhileClosedAndAttachingReplacesTheSink) {
    std::ostringstream first, second;
    ClosePacketLog();
    WritePacketLogLine("lost");
    EXPECT_FALSE(PacketLogOpen());
    AttachPacketLog(&first);
    WritePacketLogLine("one");
    AttachPacketLog(&second);
    WritePacketLogLine("two");
    ClosePacketLog();
    WritePacketLogLine("after close");
    EXPECT_EQ(first.str(), "one\n");
    EXPECT_EQ(second.str(), "two\n");
}

}  // namespace
