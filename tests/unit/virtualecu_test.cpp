// The virtual ECU, driven through a real host port object on virtual time.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "ecu/ecu.h"
#include "ecu/packet.h"
#include "firmware/upload.h"
#include "tests/support/simrig.h"

namespace {

constexpr int64_t kBit9600 = 104'167;  // ns

// A request/reply exchange as the host makes it: send, skip to the start byte, receive.
bool Exchange(TSimRig& rig, TKaloPacket request, TKaloPacket& reply) {
    request.logged = false;
    request.Send(*rig.port);
    if (!rig.port->WaitForText("\n")) {
        return false;
    }
    reply.logged = false;
    ReceiveKaloPacket(*rig.port, reply);
    return reply.complete;
}

std::string ReceiveFor(TSimRig& rig, int64_t ms) {
    std::string got;
    const int64_t until = rig.clock.NowUs() + ms * 1000;
    const int saved = rig.port->timeoutMs;
    rig.port->timeoutMs = 5;
    uint8_t b = 0;
    while (rig.clock.NowUs() < until) {
        if (rig.port->ReceiveByte(b)) {
            got.push_back(static_cast<char>(b));
        }
    }
    rig.port->timeoutMs = saved;
    return got;
}

bool Greet(TSimRig& rig) {
    rig.port->SendText(kFirmwareGreeting);
    return rig.port->WaitForText(kFirmwareGreetingReply);
}

TEcuSimConfig ColdLoader() {
    TEcuSimConfig c;
    c.startInLoader = true;
    return c;
}

// The bytes of one write command for a block at `wordAddress`.
std::vector<uint8_t> WriteCommand(const std::vector<uint8_t>& block, uint16_t wordAddress,
                                  bool spoilCheck = false) {
    TCheckWords c = BlockCheckWords(block.data(), wordAddress, kBlockBytes);
    if (spoilCheck) {
        c.sum ^= 1;
    }
    std::vector<uint8_t> cmd;
    cmd.reserve(3 + block.size() + 4);
    cmd.push_back(kLoaderWrite);
    cmd.push_back(kLoaderWriteMemory);
    cmd.push_back(kLoaderWriteFlags);
    for (uint8_t b : block) {
        cmd.push_back(b);
    }
    for (uint16_t w : {c.sum, c.xr}) {
        cmd.push_back(static_cast<uint8_t>(w >> 8));
        cmd.push_back(static_cast<uint8_t>(w & 0xFF));
    }
    return cmd;
}

bool LoaderCommand(TSimRig& rig, const std::vector<uint8_t>& bytes) {
    rig.port->SendBlock(bytes.data(), static_cast<int>(bytes.size()));
    uint8_t b = 0;
    return rig.port->ReceiveByte(b) && b == kLoaderAck;
}

bool SetAddress(TSimRig& rig, uint16_t wordAddress) {
    return LoaderCommand(rig, {kLoaderSetAddress, static_cast<uint8_t>(wordAddress >> 8),
                               static_cast<uint8_t>(wordAddress & 0xFF)});
}

TEST(VirtualEcu, AnswersTheGreetingAtItsPowerOnRateWithWirePacing) {
    TSimRig rig;
    const int64_t t0 = rig.clock.NowUs();
    ASSERT_TRUE(Greet(rig));
    // "Mas" arrives after 29.5 bit times, the answer leaves 0.5 ms later and its last byte
    // is complete 39.5 bit times after that.
    const double expectedUs = (29.5 * kBit9600 + 500'000 + 39.5 * kBit9600) / 1000.0;
    EXPECT_NEAR(static_cast<double>(rig.clock.NowUs() - t0), expectedUs, 5.0);
    EXPECT_EQ(rig.ecu.Transcript(), std::vector<std::string>{"Mas"});
}

TEST(VirtualEcu, AnswersEveryPacketTheSessionSends) {
    struct Case {
        const char* name;
        TKaloPacket request;
        uint8_t replyType;
        int replySize;
    };
    const Case cases[] = {
        {"ACK", TKaloACK(7), KALO_ACK, 0},
        {"GET_VERSION", TKaloVersion(8), KALO_GET_VERSION, 3},
        {"GET_HWSIG", TKaloReadHWSig(9), KALO_GET_HWSIG, 12},
        {"READ_SENSORS", TKaloReadSensors(10, 0, 0), KALO_READ_SENSORS, 27},
        {"GET_TABLESIZE 1", TKaloTableSize(11, 1), KALO_GET_TABLESIZE, 3},
        {"GET_TABLEDATA 1", TKaloTableData(12, 1), KALO_GET_TABLEDATA, 144},
        {"GET_TABLEDATA 2", TKaloTableData(13, 2), KALO_GET_TABLEDATA, 144},
        {"GET_TABLEDATA 3", TKaloTableData(14, 3), KALO_GET_TABLEDATA, 12},
        {"GET_TABLEDATA 4", TKaloTableData(15, 4), KALO_GET_TABLEDATA, 12},
        {"GET_TABLEDATA 5", TKaloTableData(16, 5), KALO_GET_TABLEDATA, 144},
        {"GET_TABLEDATA 7", TKaloTableData(17, 7), KALO_GET_TABLEDATA, 64},
        {"unknown table", TKaloTableData(18, 6), KALO_NAK, 0},
        {"SET_TABLEDATA is refused", TKaloTable(19, KALO_SET_TABLEDATA, 1), KALO_NAK, 0},
        {"bad SET_BAUD index", TKaloSetBaud(20, 5), KALO_NAK, 0},
    };
    TSimRig rig;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TKaloPacket reply;
        ASSERT_TRUE(Exchange(rig, c.request, reply));
        EXPECT_TRUE(reply.Good());
        EXPECT_EQ(reply.seq, c.request.seq);
        EXPECT_EQ(reply.type, c.replyType);
        EXPECT_EQ(reply.size, c.replySize);
    }
}

TEST(VirtualEcu, RequestWithABadCrcIsRefusedAndAStalledOneForgotten) {
    TSimRig rig;
    // A version request whose CRC's high byte was hit on the line: a NAK with its seq.
    TKaloVersion spoilt(21);
    spoilt.logged = false;
    std::vector<uint8_t> frame = spoilt.Encode();
    frame.back() ^= 0x01;
    rig.port->SendBlock(frame.data(), static_cast<int>(frame.size()));
    ASSERT_TRUE(rig.port->WaitForText("\n"));
    TKaloPacket nak;
    nak.logged = false;
    ASSERT_TRUE(ReceiveKaloPacket(*rig.port, nak));
    EXPECT_EQ(nak.type, KALO_NAK);
    EXPECT_EQ(nak.seq, 21);
    EXPECT_EQ(rig.ecu.Counters().badPackets, 1);
    EXPECT_EQ(rig.ecu.Counters().packets, 0);

    // A request cut off after its header, then silence: the ECU forgets it, and the next
    // request is read from its own start byte, not as the rest of the first.
    TKaloACK cut(22);
    cut.logged = false;
    const std::vector<uint8_t> head = cut.Encode();
    rig.port->SendBlock(head.data(), kKaloHeaderBytes);
    EXPECT_EQ(ReceiveFor(rig, 300), "");
    TKaloPacket reply;
    ASSERT_TRUE(Exchange(rig, TKaloACK(23), reply));
    EXPECT_TRUE(reply.Good());
    EXPECT_EQ(reply.seq, 23);
    EXPECT_EQ(rig.ecu.Counters().packets, 1);
    EXPECT_EQ(rig.ecu.Counters().badPackets, 1);
}

TEST(VirtualEcu, IdentifiesAsConfigured) {
    TSimRig branded;
    TKaloPacket version, sig;
    ASSERT_TRUE(Exchange(branded, TKaloVersion(1), version));
    EXPECT_EQ(version.payload, (std::vector<uint8_t>{1, 4, 12}));
    ASSERT_TRUE(Exchange(branded, TKaloReadHWSig(2), sig));
    EXPECT_EQ(sig.payload[0], 0xAA);
    EXPECT_EQ(sig.payload[1], 12);
    EXPECT_EQ(sig.payload[10] * 256 + sig.payload[11], 258);

    TEcuSimConfig config;
    config.branded = false;
    TSimRig unbranded(config);
    ASSERT_TRUE(Exchange(unbranded, TKaloReadHWSig(3), sig));
    EXPECT_EQ(sig.size, 12);
    EXPECT_NE(sig.payload[0], 0xAA);
}

TEST(VirtualEcu, TableSizesMatchTheTableData) {
    TSimRig rig;
    for (uint8_t table : {1, 2, 3, 4, 5, 7}) {
        TKaloPacket size, data;
        ASSERT_TRUE(Exchange(rig, TKaloTableSize(1, table), size));
        ASSERT_TRUE(Exchange(rig, TKaloTableData(2, table), data));
        EXPECT_EQ(size.payload[0], table);
        EXPECT_EQ(size.payload[1] | (size.payload[2] << 8), data.size) << int(table);
    }
}

TEST(VirtualEcu, SensorsDescribeARunningEngineThatChangesOverTime) {
    TSimRig rig;
    std::vector<TSensorValues> seen;
    for (int i = 0; i < 8; ++i) {
        TKaloPacket reply;
        ASSERT_TRUE(Exchange(rig, TKaloReadSensors(static_cast<uint8_t>(i), 0, 0), reply));
        ASSERT_EQ(reply.size, kSensorsReplyBytes);
        SensorRecord r;
        std::copy_n(reply.payload.begin() + kSensorsRecordOffset, kSensorRecordBytes,
                    r.bytes.begin());
        seen.push_back(DecodeSensors(r));
        rig.clock.AdvanceMs(3700);
    }
    for (const TSensorValues& v : seen) {
        EXPECT_GE(v.rpm, 700);
        EXPECT_LE(v.rpm, 7000);
        EXPECT_GE(v.map, 20);
        EXPECT_LE(v.map, 105);
        EXPECT_LE(v.tps, 100);
        const double volts = v.battRaw * 30.0 / 255.0;
        EXPECT_NEAR(volts, 13.8, 0.2);
        EXPECT_GT(v.egt1, 300);
        EXPECT_LT(v.egt1, 950);
    }
    const auto rpmRange = std::minmax_element(seen.begin(), seen.end(),
                                              [](auto& a, auto& b) { return a.rpm < b.rpm; });
    EXPECT_GT(rpmRange.second->rpm - rpmRange.first->rpm, 1000);
}

TEST(VirtualEcu, SetBaudAcknowledgesAtTheOldRateThenSwitches) {
    TSimRig rig;
    TKaloPacket ack;
    ASSERT_TRUE(Exchange(rig, TKaloSetBaud(33, 4), ack));
    EXPECT_EQ(ack.type, KALO_ACK);
    EXPECT_EQ(ack.seq, 33);
    EXPECT_FALSE(Greet(rig));  // the host is still at 9600
    EXPECT_EQ(rig.ecu.BaudBps(), 115200);
    ASSERT_TRUE(rig.port->SetBaud(9));
    EXPECT_TRUE(Greet(rig));
    EXPECT_EQ(rig.ecu.Counters().rateChanges, 1);
}

TEST(VirtualEcu, KeepsItsRateWhenTheHostRestarts) {
    TSimRig rig;
    TKaloPacket ack;
    ASSERT_TRUE(Exchange(rig, TKaloSetBaud(1, 2), ack));
    rig.port.reset();  // the program exits and starts again at 9600
    rig.port = std::make_unique<TSerialComm>(rig.lib, rig.store, rig.clock);
    ASSERT_TRUE(rig.port->Open());
    EXPECT_FALSE(Greet(rig));
    ASSERT_TRUE(rig.port->SetBaud(7));
    EXPECT_TRUE(Greet(rig));
}

TEST(VirtualEcu, HostAtAnotherRateIsNotUnderstood) {
    TEcuSimConfig config;
    config.powerOnBps = 19200;
    TSimRig rig(config);
    EXPECT_FALSE(Greet(rig));
    EXPECT_TRUE(rig.ecu.Transcript().empty());
    ASSERT_TRUE(rig.port->SetBaud(6));
    EXPECT_TRUE(Greet(rig));
}

TEST(VirtualEcu, AnswerAtAnotherRateArrivesAsTheSameGarbageEveryTime) {
    auto garbled = [] {
        TSimRig rig;
        rig.port->SendText(kFirmwareGreeting);
        rig.lib.SetBaud(0, 6);  // the host switches before the answer comes
        return ReceiveFor(rig, 50);
    };
    const std::string first = garbled();
    EXPECT_FALSE(first.empty());
    EXPECT_EQ(first.find("OK"), std::string::npos);
    EXPECT_EQ(garbled(), first);
}

TEST(VirtualEcu, EnterFlashDropsIntoTheBootLoaderAtTheCurrentRateWithoutReply) {
    TSimRig rig;
    TKaloBeginFlash enter(5);
    enter.logged = false;
    enter.Send(*rig.port);
    EXPECT_FALSE(rig.port->WaitForText("\n"));
    EXPECT_EQ(rig.ecu.Mode(), TVirtualEcu::TMode::Loader);
    EXPECT_EQ(rig.ecu.BaudBps(), 9600);
    rig.port->SendByte(kLoaderIdentify);
    EXPECT_TRUE(rig.port->WaitForText(kLoaderIdText));
}

TEST(VirtualEcu, ColdBootLoaderSpeaksAtTheLoaderRate) {
    TSimRig rig(ColdLoader());
    rig.port->SendByte(kLoaderIdentify);
    EXPECT_FALSE(rig.port->WaitForText(kLoaderIdText));
    ASSERT_TRUE(rig.port->SetBaud(6));
    rig.port->SendByte(kLoaderProgrammerQuery);
    EXPECT_TRUE(rig.port->WaitForText(kLoaderProgrammerReply));
    rig.port->SendByte(kLoaderIdentify);
    EXPECT_TRUE(rig.port->WaitForText(kLoaderIdText));
    rig.port->SendText("Mas");
    EXPECT_FALSE(rig.port->WaitForText(kFirmwareGreetingReply));
}

TEST(VirtualEcu, EraseTakesItsModelledTime) {
    TSimRig rig(ColdLoader());
    ASSERT_TRUE(rig.port->SetBaud(6));
    const int64_t t0 = rig.clock.NowUs();
    rig.port->timeoutMs = kEraseTimeoutMs;
    ASSERT_TRUE(LoaderCommand(rig, {kLoaderErase}));
    EXPECT_NEAR(static_cast<double>(rig.clock.NowUs() - t0), 1'500'000.0, 2'000.0);
    EXPECT_EQ(rig.ecu.Counters().erases, 1);
}

TEST(CheckWords, WorkedExamplesOfBlankBlocks) {
    const std::vector<uint8_t> blank(kBlockBytes, 0xFF);
    const TCheckWords b0 = BlockCheckWords(blank.data(), 0, kBlockBytes);
    EXPECT_EQ(b0.sum, 0xFF80);
    EXPECT_EQ(b0.xr, 0x0000);
    const TCheckWords b1 = BlockCheckWords(blank.data(), 128, kBlockBytes);
    EXPECT_EQ(b1.sum, 0x0000);
    EXPECT_EQ(b1.xr, 0x0080);
    // Words past the valid bytes count as 0xFFFF whatever the buffer holds.
    std::vector<uint8_t> tail(kBlockBytes, 0x00);
    tail[0] = 0x34;
    tail[1] = 0x12;
    const TCheckWords t = BlockCheckWords(tail.data(), 0, 2);
    EXPECT_EQ(t.sum, static_cast<uint16_t>(0x1234 + 127 * 0xFFFF));
    EXPECT_EQ(t.xr, static_cast<uint16_t>(0x1234 ^ 0xFFFF));  // 127 is odd
}

TEST(VirtualEcu, WriteIsProgrammedOnlyWhenItsCheckWordsMatch) {
    TSimRig rig(ColdLoader());
    ASSERT_TRUE(rig.port->SetBaud(6));
    std::vector<uint8_t> block(kBlockBytes);
    for (int i = 0; i < kBlockBytes; ++i) {
        block[i] = static_cast<uint8_t>(i ^ 0x5C);
    }
    ASSERT_TRUE(SetAddress(rig, 128));
    EXPECT_FALSE(LoaderCommand(rig, WriteCommand(block, 128, /*spoilCheck=*/true)));
    EXPECT_EQ(rig.ecu.Counters().rejectedWrites, 1);
    EXPECT_EQ(rig.ecu.Flash()[256], 0xFF);

    ASSERT_TRUE(SetAddress(rig, 128));
    EXPECT_TRUE(LoaderCommand(rig, WriteCommand(block, 128)));
    const std::vector<uint8_t> flash = rig.ecu.Flash();
    EXPECT_TRUE(std::equal(block.begin(), block.end(), flash.begin() + 256));
    EXPECT_EQ(flash[255], 0xFF);
    EXPECT_EQ(flash[512], 0xFF);
    EXPECT_EQ(rig.ecu.Counters().pagesWritten, 1);
}

TEST(VirtualEcu, ProgrammingWithoutEraseOnlyClearsBits) {
    TSimRig rig(ColdLoader());
    ASSERT_TRUE(rig.port->SetBaud(6));
    ASSERT_TRUE(SetAddress(rig, 0));
    ASSERT_TRUE(LoaderCommand(rig, WriteCommand(std::vector<uint8_t>(kBlockBytes, 0x0F), 0)));
    ASSERT_TRUE(SetAddress(rig, 0));
    ASSERT_TRUE(LoaderCommand(rig, WriteCommand(std::vector<uint8_t>(kBlockBytes, 0xF3), 0)));
    EXPECT_EQ(rig.ecu.Flash()[0], 0x03);
}

TEST(VirtualEcu, UnknownCommandsAndMalformedWritesAreAnsweredWithQuestionMark) {
    TSimRig rig(ColdLoader());
    ASSERT_TRUE(rig.port->SetBaud(6));
    // A write command takes its whole length, whatever its bytes, before it is looked at.
    std::vector<uint8_t> badMemory(kWriteCommandBytes, 0x11);
    badMemory[0] = 'D';
    std::vector<uint8_t> badFlags = badMemory;
    badFlags[1] = 'k';
    const std::vector<std::vector<uint8_t>> inputs = {{'x'}, {0x00}, badMemory, badFlags};
    for (const auto& in : inputs) {
        rig.port->SendBlock(in.data(), static_cast<int>(in.size()));
        EXPECT_EQ(ReceiveFor(rig, 200), "?");
    }
    // Cut short, it waits for the rest and takes the next command letters as its data.
    const std::vector<uint8_t> start = {'D', 'k', 0, 1, 2}, greeting = {'S'};
    rig.port->SendBlock(start.data(), static_cast<int>(start.size()));
    rig.port->SendBlock(greeting.data(), 1);
    EXPECT_EQ(ReceiveFor(rig, 200), "");
}

TEST(VirtualEcu, TranscriptSinceHandsOutEveryLineOnceAcrossTheTrim) {
    TSimRig rig(ColdLoader());
    ASSERT_TRUE(rig.port->SetBaud(6));
    // 25 000 unknown commands, one transcript line each: more than the transcript keeps.
    const std::vector<uint8_t> chunk(1000, 'x');
    uint64_t seen = 0;
    size_t handedOut = 0;
    for (int i = 0; i < 25; ++i) {
        rig.port->SendBlock(chunk.data(), static_cast<int>(chunk.size()));
        EXPECT_EQ(ReceiveFor(rig, 600), std::string(1000, '?'));
        for (const std::string& line : rig.ecu.TranscriptSince(seen)) {
            EXPECT_EQ(line.substr(0, 2), "? ");
            ++handedOut;
        }
    }
    EXPECT_LT(rig.ecu.Transcript().size(), 25000u);  // the trim did happen
    EXPECT_EQ(handedOut, 25000u);
    EXPECT_EQ(seen, 25000u);
    EXPECT_TRUE(rig.ecu.TranscriptSince(seen).empty());
}

TEST(VirtualEcu, BytesSentWhileBusyOverrunTheTwoByteBuffer) {
    TSimRig rig(ColdLoader());
    ASSERT_TRUE(rig.port->SetBaud(6));
    const std::vector<uint8_t> burst = {kLoaderErase, 'p', 'p', 'p', 'p', 'p'};
    rig.port->SendBlock(burst.data(), static_cast<int>(burst.size()));
    EXPECT_EQ(ReceiveFor(rig, 2000), "\rSS");
    EXPECT_EQ(rig.ecu.Counters().overruns, 3);
}

TEST(VirtualEcu, EnterFlashWritePageThenExitStartsTheFirmware) {
    TSimRig rig;
    TKaloBeginFlash enter(1);
    enter.logged = false;
    enter.Send(*rig.port);
    rig.clock.AdvanceMs(50);
    rig.port->timeoutMs = kEraseTimeoutMs;
    ASSERT_TRUE(LoaderCommand(rig, {kLoaderErase}));
    rig.port->timeoutMs = 500;
    std::vector<uint8_t> block(kBlockBytes, 0x11);
    ASSERT_TRUE(SetAddress(rig, 0));
    ASSERT_TRUE(LoaderCommand(rig, WriteCommand(block, 0)));
    rig.port->SendByte(kLoaderExit);
    ReceiveFor(rig, 10);
    EXPECT_EQ(rig.ecu.Mode(), TVirtualEcu::TMode::Application);
    EXPECT_TRUE(Greet(rig));
    EXPECT_EQ(rig.ecu.Flash()[0], 0x11);
}

TEST(VirtualEcu, ExitWithAnEmptyFlashStaysInTheBootLoader) {
    TSimRig rig(ColdLoader());
    ASSERT_TRUE(rig.port->SetBaud(6));
    rig.port->SendByte(kLoaderExit);
    rig.port->SendByte(kLoaderIdentify);
    EXPECT_TRUE(rig.port->WaitForText(kLoaderIdText));
    EXPECT_EQ(rig.ecu.Mode(), TVirtualEcu::TMode::Loader);
}

TEST(VirtualEcu, WirePacingOfAFullWriteAt115200) {
    TEcuSimConfig config = ColdLoader();
    config.loaderBps = 115200;
    TSimRig fast(config);
    ASSERT_TRUE(fast.port->SetBaud(9));
    const std::vector<uint8_t> cmd = WriteCommand(std::vector<uint8_t>(kBlockBytes, 0x22), 0);
    ASSERT_EQ(cmd.size(), 263u);
    const int64_t t0 = fast.clock.NowUs();
    ASSERT_TRUE(LoaderCommand(fast, cmd));
    const double wireMs = (fast.clock.NowUs() - t0 - 4500) / 1000.0;
    // 263 bytes of ten bits at 115200 are 22.83 ms; the answer adds its own 9.5 bit times.
    EXPECT_NEAR(wireMs, 22.83, 0.2);
}

// ---------------------------------------------------------------- fault switches

TEST(VirtualEcuFaults, EachPacketFaultChangesWhatTheHostSees) {
    struct Case {
        const char* name;
        std::function<void(TVirtualEcu&)> set;
        std::function<void(bool ok, const TKaloPacket& reply)> check;
    };
    const Case cases[] = {
        {"corrupt CRC", [](TVirtualEcu& e) { e.CorruptCrc(1); },
         [](bool ok, const TKaloPacket& r) {
             EXPECT_TRUE(ok);
             EXPECT_FALSE(r.Good());
         }},
        {"wrong seq", [](TVirtualEcu& e) { e.WrongSeq(1); },
         [](bool ok, const TKaloPacket& r) {
             EXPECT_TRUE(ok && r.Good());
             EXPECT_NE(r.seq, 40);
         }},
        {"drop reply", [](TVirtualEcu& e) { e.DropReplies(1); },
         [](bool ok, const TKaloPacket&) { EXPECT_FALSE(ok); }},
        {"unplugged", [](TVirtualEcu& e) { e.SetUnplugged(true, 0); },
         [](bool ok, const TKaloPacket&) { EXPECT_FALSE(ok); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TSimRig rig;
        c.set(rig.ecu);
        TKaloPacket reply;
        const bool ok = Exchange(rig, TKaloACK(40), reply);
        c.check(ok, reply);
        if (c.name != std::string("unplugged")) {
            // The fault was for one reply only.
            rig.port->Flush();
            TKaloPacket next;
            ASSERT_TRUE(Exchange(rig, TKaloACK(41), next));
            EXPECT_TRUE(next.Good());
            EXPECT_EQ(next.seq, 41);
        }
    }
}

TEST(VirtualEcuFaults, UnplugAndPlugBack) {
    TSimRig rig;
    rig.ecu.SetUnplugged(true, rig.NowNs());
    EXPECT_FALSE(Greet(rig));
    rig.ecu.SetUnplugged(false, rig.NowNs());
    EXPECT_TRUE(Greet(rig));
}

TEST(VirtualEcuFaults, ShortRepliesLoseTheirLastByte) {
    TSimRig rig;
    rig.ecu.SetShortSensors(true);
    rig.ecu.SetShortVersion(true);
    TKaloPacket sensors, version;
    ASSERT_TRUE(Exchange(rig, TKaloReadSensors(1, 0, 0), sensors));
    ASSERT_TRUE(Exchange(rig, TKaloVersion(2), version));
    EXPECT_EQ(sensors.size, 26);
    EXPECT_EQ(version.size, 2);
}

TEST(VirtualEcuFaults, UnacknowledgedWrites) {
    TSimRig rig(ColdLoader());
    ASSERT_TRUE(rig.port->SetBaud(6));
    const std::vector<uint8_t> block(kBlockBytes, 0x42);
    rig.ecu.NackBlock(1);
    ASSERT_TRUE(SetAddress(rig, 128));
    EXPECT_FALSE(LoaderCommand(rig, WriteCommand(block, 128)));
    ASSERT_TRUE(SetAddress(rig, 128));
    EXPECT_FALSE(LoaderCommand(rig, WriteCommand(block, 128)));  // never for block 1
    ASSERT_TRUE(SetAddress(rig, 256));
    EXPECT_TRUE(LoaderCommand(rig, WriteCommand(block, 256)));

    rig.ecu.NackBlock(-1);
    rig.ecu.NackWrites(1);
    ASSERT_TRUE(SetAddress(rig, 128));
    EXPECT_FALSE(LoaderCommand(rig, WriteCommand(block, 128)));
    ASSERT_TRUE(SetAddress(rig, 128));
    EXPECT_TRUE(LoaderCommand(rig, WriteCommand(block, 128)));
    EXPECT_EQ(rig.ecu.Counters().unansweredWrites, 3);
    EXPECT_EQ(rig.ecu.Flash()[256], 0x42);
}

TEST(VirtualEcuFaults, EraseWithoutAnswer) {
    TSimRig rig(ColdLoader());
    ASSERT_TRUE(rig.port->SetBaud(6));
    rig.ecu.SetNoEraseAnswer(true);
    rig.port->timeoutMs = kEraseTimeoutMs;
    EXPECT_FALSE(LoaderCommand(rig, {kLoaderErase}));
}

TEST(VirtualEcuFaults, BabbleFillsTheLine) {
    TSimRig rig;
    rig.ecu.SetBabble(true, rig.NowNs());
    const std::string noise = ReceiveFor(rig, 100);
    // 100 ms at 9600 carry 96 bytes.
    EXPECT_GE(noise.size(), 90u);
    EXPECT_LE(noise.size(), 97u);
    rig.ecu.SetBabble(false, rig.NowNs());
    rig.port->Flush();
    EXPECT_TRUE(Greet(rig));
}

TEST(VirtualEcuFaults, DropToLoaderLosesTheFirmware) {
    TSimRig rig;
    // A rate switch to 115200 under way (the ACK still on the wire) dies with the firmware.
    TKaloSetBaud setBaud(1, 4);
    setBaud.logged = false;
    setBaud.Send(*rig.port);
    rig.clock.AdvanceMs(9);  // 7 bytes at 9600, then the turnaround
    rig.ecu.DropToLoader(rig.NowNs());
    EXPECT_EQ(ReceiveFor(rig, 50), "");
    EXPECT_EQ(rig.ecu.BaudBps(), 19200);
    EXPECT_FALSE(Greet(rig));
    ASSERT_TRUE(rig.port->SetBaud(6));
    rig.port->SendByte(kLoaderIdentify);
    EXPECT_TRUE(rig.port->WaitForText(kLoaderIdText));
    rig.ecu.PowerCycle(rig.NowNs());
    EXPECT_EQ(rig.ecu.Mode(), TVirtualEcu::TMode::Loader);  // still no firmware
}

}  // namespace
