// The link session against the virtual ECU, on virtual time: connecting, identifying,
// switching the rate, polling and noticing silence.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "ecu/ecu.h"
#include "ecu/packet.h"
#include "ecu/protocol.h"
#include "tests/support/fakeserial.h"
#include "tests/support/manualclock.h"
#include "tests/support/recordingui.h"
#include "tests/support/simrig.h"

namespace {

using TSettings = std::map<std::string, TMemorySettingsStore::TValue>;

struct SessionRig : TSimRig {
    explicit SessionRig(TEcuSimConfig config = {}, TSettings settings = {})
        : TSimRig(std::move(config), std::move(settings)), session(port.get(), &panels) {
        session.linkState = kLinkConnecting;
    }
    // Steps as the control thread does (a step, then 10 ms) until `done` or `ms` have passed.
    template <typename Pred>
    bool StepUntil(Pred done, int64_t ms) {
        const int64_t until = clock.NowUs() + ms * 1000;
        while (clock.NowUs() < until) {
            session.Step();
            if (done()) {
                return true;
            }
            clock.Sleep(std::chrono::milliseconds(10));
        }
        return false;
    }
    std::vector<std::string> Commands() {
        std::vector<std::string> out;
        for (const std::string& t : ecu.Transcript()) {
            out.push_back(t.substr(0, t.find(' ')));
        }
        return out;
    }

    TRecordingPanels panels;
    TECU session;
};

const std::vector<std::string> kTableReads = {"GET_TABLESIZE", "GET_TABLEDATA", "GET_TABLESIZE",
                                              "GET_TABLEDATA", "GET_TABLESIZE", "GET_TABLEDATA",
                                              "GET_TABLEDATA", "GET_TABLEDATA", "GET_TABLEDATA"};

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(Session, ConnectsAtInitBaudWithoutSetBaud) {
    SessionRig rig;
    rig.session.Step();
    EXPECT_EQ(rig.session.linkState, kLinkConnected);
    EXPECT_EQ(rig.Commands(), Concat({"Mas", "ACK", "GET_VERSION", "GET_HWSIG"}, kTableReads));
    EXPECT_EQ(rig.panels.Text(kPanelFirmware), "Firmware Revision: 1.4.12");
    EXPECT_EQ(rig.panels.Text(kPanelBoard), "Board: 1.2 SN: 258");
    EXPECT_EQ(rig.session.boardRev, 12);
    EXPECT_EQ(rig.session.serialNo, 258u);
    EXPECT_EQ(rig.lib.BaudHistory(), std::vector<int>{5});  // only the rate set by Open
}

TEST(Session, ReadsTheTablesInItsFixedOrder) {
    SessionRig rig;
    rig.session.Step();
    std::vector<std::string> tables;
    for (const std::string& t : rig.ecu.Transcript()) {
        if (t.rfind("GET_TABLE", 0) == 0) {
            tables.push_back(t.substr(0, t.find(' ')) + t.substr(t.find("table=")));
        }
    }
    EXPECT_EQ(tables, (std::vector<std::string>{
                          "GET_TABLESIZEtable=1", "GET_TABLEDATAtable=1", "GET_TABLESIZEtable=2",
                          "GET_TABLEDATAtable=2", "GET_TABLESIZEtable=5", "GET_TABLEDATAtable=5",
                          "GET_TABLEDATAtable=4", "GET_TABLEDATAtable=3", "GET_TABLEDATAtable=7"}));
}

TEST(Session, CommBaud115200SwitchesBothSidesAndConfirmsAtTheNewRate) {
    SessionRig rig({}, {{"commBaud", 9}});
    rig.session.Step();
    EXPECT_EQ(rig.session.linkState, kLinkConnected);
    const auto t = rig.ecu.Transcript();
    const auto setBaud = std::find_if(
        t.begin(), t.end(), [](const std::string& s) { return s.rfind("SET_BAUD", 0) == 0; });
    ASSERT_NE(setBaud, t.end());
    EXPECT_NE(setBaud->find("index=4"), std::string::npos);
    ASSERT_NE(setBaud + 1, t.end());
    EXPECT_EQ((setBaud + 1)->substr(0, 4), "ACK ");  // the confirmation, understood at 115200
    EXPECT_EQ(rig.ecu.BaudBps(), 115200);
    EXPECT_EQ(rig.lib.BaudCode(), 9);
    EXPECT_EQ(rig.port->curBaud, 9);
    // Polling goes on at the new rate.
    rig.ecu.ClearTranscript();
    rig.StepUntil([] { return false; }, 100);
    EXPECT_FALSE(rig.ecu.Transcript().empty());
    EXPECT_EQ(rig.ecu.Transcript()[0].substr(0, 12), "READ_SENSORS");
}

TEST(Session, RateIndexForEachCommBaud) {
    for (int code = 6; code <= 9; ++code) {
        SessionRig rig({}, {{"commBaud", code}});
        rig.session.Step();
        const auto t = rig.ecu.Transcript();
        const auto it = std::find_if(
            t.begin(), t.end(), [](const std::string& s) { return s.rfind("SET_BAUD", 0) == 0; });
        ASSERT_NE(it, t.end()) << code;
        EXPECT_NE(it->find("index=" + std::to_string(code - 5)), std::string::npos) << *it;
        EXPECT_EQ(rig.session.linkState, kLinkConnected);
    }
}

TEST(Session, EcuAnsweringOnlyAtLoaderBaudIsFoundOnTheThirdAttempt) {
    TEcuSimConfig config;
    config.powerOnBps = 19200;  // the loader rate of the default settings
    SessionRig rig(config);
    ASSERT_TRUE(rig.session.Sync());
    EXPECT_EQ(rig.port->curBaud, 6);
    // The session then moves the ECU to the communication rate, 9600.
    rig.session.linkState = kLinkConnecting;
    rig.session.Step();
    EXPECT_EQ(rig.session.linkState, kLinkConnected);
    EXPECT_EQ(rig.ecu.BaudBps(), 9600);
    EXPECT_EQ(rig.port->curBaud, 5);
}

TEST(Session, BootLoaderOnlyEcuBecomesState5) {
    TEcuSimConfig config;
    config.startInLoader = true;
    SessionRig rig(config);
    rig.session.Step();
    EXPECT_EQ(rig.session.linkState, kLinkLoader);
    EXPECT_EQ(rig.port->curBaud, 6);  // the rate that worked stays for the upload
    // It stays there: steps in state 5 do nothing.
    const size_t sent = rig.lib.SentCount();
    rig.StepUntil([] { return false; }, 3000);
    EXPECT_EQ(rig.lib.SentCount(), sent);
    EXPECT_EQ(rig.session.linkState, kLinkLoader);
}

TEST(Session, SilentEcuStaysConnectingWithThePortBackAtInitBaud) {
    SessionRig rig({}, {{"initBaud", 7}, {"commBaud", 9}, {"loaderBaud", 6}});
    rig.ecu.SetUnplugged(true, rig.Now());
    const int64_t t0 = rig.clock.NowUs();
    rig.session.Step();
    EXPECT_EQ(rig.session.linkState, kLinkConnecting);
    EXPECT_EQ(rig.port->curBaud, 7);
    EXPECT_EQ(rig.lib.BaudCode(), 7);
    // Six flushes and six reply time-outs at the three rates of the settings, then the two
    // other rates and the loader's recovery, each bounded by its time-outs.
    EXPECT_GT(rig.clock.NowUs() - t0, 6'000'000);
    EXPECT_LT(rig.clock.NowUs() - t0, 13'000'000);
}

// An ECU keeps the rate it was last switched to until it is powered off: one left at a rate
// that the settings do not name is found in the same pass and switched to commBaud.
TEST(Session, EcuLeftAtAnotherRateIsFoundAndSwitchedToCommBaud) {
    for (int bps : {38400, 57600, 115200}) {
        SCOPED_TRACE(bps);
        TEcuSimConfig config;
        config.powerOnBps = bps;
        SessionRig rig(config);
        rig.session.Step();
        EXPECT_EQ(rig.session.linkState, kLinkConnected);
        EXPECT_EQ(rig.ecu.BaudBps(), 9600);
        EXPECT_EQ(rig.port->curBaud, 5);
        EXPECT_EQ(rig.panels.Text(kPanelBoard), "Board: 1.2 SN: 258");
    }
    // So is a boot loader waiting at such a rate.
    TEcuSimConfig config;
    config.startInLoader = true;
    config.loaderBps = 57600;
    SessionRig rig(config);
    rig.session.Step();
    EXPECT_EQ(rig.session.linkState, kLinkLoader);
    EXPECT_EQ(rig.port->curBaud, 8);
}

// A cable pulled during a block write leaves the boot loader inside that command, taking
// every greeting as block data. A fresh start knows nothing of it: its connect pass, having
// found nothing at any rate, completes the command with filler and finds the loader.
TEST(Session, ConnectPassBringsBackABootLoaderLeftInsideAWrite) {
    for (int bps : {9600, 19200, 115200}) {
        SCOPED_TRACE(bps);
        TEcuSimConfig config;
        config.startInLoader = true;
        config.loaderBps = bps;
        SessionRig rig(config);
        ASSERT_TRUE(rig.port->SetBaud(BpsToBaudCode(bps)));
        std::vector<uint8_t> cutShort = {'D', 'k', 0};
        cutShort.resize(100, 0x5A);
        rig.port->SendBlock(cutShort.data(), static_cast<int>(cutShort.size()));
        ASSERT_TRUE(rig.port->SetBaud(5));
        const int64_t t0 = rig.clock.NowUs();
        rig.session.Step();
        EXPECT_EQ(rig.session.linkState, kLinkLoader);
        EXPECT_EQ(rig.port->curBaud, BpsToBaudCode(bps));
        EXPECT_EQ(rig.ecu.Counters().pagesWritten, 0);  // the filler programmed nothing
        EXPECT_LT(rig.clock.NowUs() - t0, 15'000'000);
    }
}

TEST(Session, UnpluggingWhileConnectedIsNoticedWithin1500Ms) {
    SessionRig rig;
    rig.session.Step();
    ASSERT_EQ(rig.session.linkState, kLinkConnected);
    rig.StepUntil([] { return false; }, 500);
    rig.ecu.SetUnplugged(true, rig.Now());
    const int64_t t0 = rig.clock.NowUs();
    ASSERT_TRUE(rig.StepUntil([&] { return rig.session.linkState == kLinkConnecting; }, 5000));
    const int64_t took = rig.clock.NowUs() - t0;
    // 1000 ms of silence seen at the end of a 505 ms sensor wait, then the keep-alive's wait.
    EXPECT_LE(took, 1'600'000);
    EXPECT_GE(took, 1'000'000);
    // Plugged back, it connects again.
    rig.ecu.SetUnplugged(false, rig.Now());
    EXPECT_TRUE(rig.StepUntil([&] { return rig.session.linkState == kLinkConnected; }, 20000));
}

TEST(Session, DamagedRepliesDuringIdentifyKeepConnectingAndTheNextStepRetries) {
    struct Case {
        const char* name;
        std::function<void(TVirtualEcu&)> fault;
    };
    const Case cases[] = {
        {"bad CRC", [](TVirtualEcu& e) { e.CorruptCrc(1); }},
        {"wrong seq", [](TVirtualEcu& e) { e.WrongSeq(1); }},
        {"no reply", [](TVirtualEcu& e) { e.DropReplies(1); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SessionRig rig;
        c.fault(rig.ecu);
        rig.session.Step();
        EXPECT_EQ(rig.session.linkState, kLinkConnecting);
        EXPECT_EQ(rig.panels.Text(kPanelFirmware), "");  // it failed at the first exchange
        rig.session.Step();
        EXPECT_EQ(rig.session.linkState, kLinkConnected);
    }
}

TEST(Session, ShortSensorReplyIsIgnoredButCountsAsASignOfLife) {
    SessionRig rig;
    rig.session.Step();
    ASSERT_EQ(rig.session.linkState, kLinkConnected);
    rig.ecu.SetShortSensors(true);
    rig.ecu.ClearTranscript();
    rig.StepUntil([] { return false; }, 3000);
    EXPECT_EQ(rig.session.linkState, kLinkConnected);
    EXPECT_EQ(rig.session.SensorsSnapshot(), SensorRecord{});
    const auto commands = rig.Commands();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "ACK"), 0);  // no keep-alive needed
}

TEST(Session, SensorRecordComesFromBytes3To26OfTheReply) {
    SessionRig rig;
    rig.session.Step();
    EXPECT_EQ(rig.session.SensorsSnapshot(), SensorRecord{});  // zero-filled before the first
    rig.session.Step();
    const SensorRecord got = rig.session.SensorsSnapshot();
    EXPECT_NE(got, SensorRecord{});
    // The ECU's record for the moment it answered, within the step's few milliseconds.
    const TSensorValues v = DecodeSensors(got);
    const TSensorValues expected =
        DecodeSensors(TVirtualEcu::EngineAt(rig.Now() - rig.ecu.PowerOn()));
    EXPECT_NEAR(v.rpm, expected.rpm, 30);
    EXPECT_EQ(v.battRaw, expected.battRaw);
}

// Readers that take every record (recording, the chart) get each one once, in order, with
// its time; one that falls behind the history is told how many it lost.
TEST(Session, EveryRecordIsHandedOutOnceInOrderWithItsTime) {
    SessionRig rig({}, {{"commBaud", 9}});
    rig.session.Step();
    ASSERT_EQ(rig.session.linkState, kLinkConnected);
    uint64_t seen = 0;
    std::vector<TECU::TTimedRecord> taken;
    const auto take = [&] { return rig.session.RecordsSince(seen, taken); };
    rig.StepUntil([] { return false; }, 2000);
    EXPECT_EQ(take(), 0u);
    uint64_t updates = 0;
    const SensorRecord last = rig.session.SensorsSnapshot(&updates);
    ASSERT_GT(updates, 100u);  // about 70 a second
    EXPECT_EQ(seen, updates);
    ASSERT_EQ(taken.size(), updates);
    EXPECT_EQ(taken.back().record, last);
    for (size_t i = 1; i < taken.size(); ++i) {
        EXPECT_GT(taken[i].time, taken[i - 1].time);
    }
    // A reader away for longer than the history keeps loses the oldest, and is told so.
    const uint64_t before = seen;
    rig.StepUntil(
        [&] {
            uint64_t n = 0;
            rig.session.SensorsSnapshot(&n);
            return n > before + TECU::kRecordHistory + 10;
        },
        120'000);
    taken.clear();
    const uint64_t lost = take();
    EXPECT_EQ(taken.size(), TECU::kRecordHistory);
    EXPECT_GT(lost, 0u);
    EXPECT_EQ(lost + taken.size(), seen - before);
}

TEST(Session, KeepAliveAfterOneSecondWithoutReplies) {
    SessionRig rig;
    rig.session.Step();
    ASSERT_EQ(rig.session.linkState, kLinkConnected);
    // Sensor requests go unanswered but the keep-alive ACK is answered: the link holds.
    rig.ecu.ClearTranscript();
    rig.ecu.DropReplies(2);
    rig.StepUntil([] { return false; }, 2500);
    EXPECT_EQ(rig.session.linkState, kLinkConnected);
    const auto commands = rig.Commands();
    EXPECT_GE(std::count(commands.begin(), commands.end(), "ACK"), 1);
}

TEST(Session, SeqWrapsFrom255To0) {
    SessionRig rig;
    rig.session.seq = 254;
    rig.session.Step();
    EXPECT_EQ(rig.session.linkState, kLinkConnected);
    const auto t = rig.ecu.Transcript();
    EXPECT_EQ(t[1], "ACK seq=255");
    EXPECT_EQ(t[2], "GET_VERSION seq=0");
    EXPECT_EQ(t[3], "GET_HWSIG seq=1");
}

TEST(Session, IdentificationTexts) {
    struct Case {
        const char* name;
        std::function<void(TEcuSimConfig&)> configure;
        bool shortVersion;
        const char* firmware;
        const char* board;
    };
    const Case cases[] = {
        {"branded", [](TEcuSimConfig&) {}, false, "Firmware Revision: 1.4.12",
         "Board: 1.2 SN: 258"},
        {"revision 10 reads 1", [](TEcuSimConfig& c) { c.boardRev = 10; }, false,
         "Firmware Revision: 1.4.12", "Board: 1 SN: 258"},
        {"revision 255, serial 65535",
         [](TEcuSimConfig& c) {
             c.boardRev = 255;
             c.serialNo = 65535;
         },
         false, "Firmware Revision: 1.4.12", "Board: 25.5 SN: 65535"},
        {"unbranded", [](TEcuSimConfig& c) { c.branded = false; }, false,
         "Firmware Revision: 1.4.12", "Board is unbranded"},
        {"short version reply", [](TEcuSimConfig&) {}, true, "Firmware Revision: 1.4.0",
         "Board: 1.2 SN: 258"},
        {"other version",
         [](TEcuSimConfig& c) {
             c.version[0] = 2;
             c.version[1] = 0;
             c.version[2] = 255;
         },
         false, "Firmware Revision: 2.0.255", "Board: 1.2 SN: 258"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TEcuSimConfig config;
        c.configure(config);
        SessionRig rig(config);
        rig.ecu.SetShortVersion(c.shortVersion);
        rig.session.Step();
        EXPECT_EQ(rig.session.linkState, kLinkConnected);
        EXPECT_EQ(rig.panels.Text(kPanelFirmware), c.firmware);
        EXPECT_EQ(rig.panels.Text(kPanelBoard), c.board);
    }
}

TEST(Session, UnbrandedBoardKeepsEarlierRevisionAndSerial) {
    TEcuSimConfig config;
    config.branded = false;
    SessionRig rig(config);
    rig.session.boardRev = 7;
    rig.session.serialNo = 99;
    rig.session.Step();
    EXPECT_EQ(rig.session.boardRev, 7);
    EXPECT_EQ(rig.session.serialNo, 99u);
}

TEST(Session, SensorReplyCutShortDoesNotSpoilTheNextPoll) {
    TManualClock clock;
    TFakeSerialLibrary lib(clock);
    TMemorySettingsStore store;
    TSerialComm port(lib, store, clock);
    ASSERT_TRUE(port.Open());
    TECU session(&port);
    session.linkState = kLinkConnected;
    session.lastReply = clock.Now();
    // A reply that stops after 3 of its 27 payload bytes...
    lib.AddInput({0x0A, 0x10, KALO_READ_SENSORS, 27, 1, 2, 0x0A, 4, 5, 6}, clock.NowUs() + 2000);
    session.Step();
    // ...then a whole one: it is taken, and nothing of the first is left to confuse it.
    TKaloPacket reply;
    reply.seq = static_cast<uint8_t>(session.seq + 1);
    reply.type = KALO_READ_SENSORS;
    reply.SetSize(kSensorsReplyBytes);
    for (int i = 0; i < kSensorsReplyBytes; ++i) {
        reply.payload[i] = static_cast<uint8_t>(0x40 + i);
    }
    lib.AddInput(reply.Encode(), clock.NowUs() + 2000);
    session.Step();
    uint64_t updates = 0;
    const SensorRecord r = session.SensorsSnapshot(&updates);
    EXPECT_EQ(updates, 1u);
    EXPECT_EQ(r.bytes[0], 0x40 + kSensorsRecordOffset);
}

TEST(Session, StatesOtherThanConnectedAndConnectingDoNothing) {
    for (uint8_t state : {kLinkOffline, kLinkLoader, uint8_t{3}, uint8_t{200}}) {
        SessionRig rig;
        rig.session.linkState = state;
        rig.session.Step();
        EXPECT_EQ(rig.lib.SentCount(), 0u) << int(state);
        EXPECT_EQ(rig.session.linkState, state);
    }
}

// The session logs every packet it sends and every one it receives, in order: a whole
// connect is its three identification exchanges and nine table reads.
TEST(Session, PacketLogOfAWholeConnect) {
    std::ostringstream text;
    TStreamLogSink log(text);
    TSimRig rig;
    TECU session(rig.port.get(), nullptr, &log);
    session.seq = 9;
    session.linkState = kLinkConnecting;
    session.Step();
    std::vector<std::string> lines;
    std::istringstream in(text.str());
    for (std::string l; std::getline(in, l);) {
        lines.push_back(l);
    }
    ASSERT_EQ(lines.size(), 2u * (3 + 9));
    for (size_t i = 0; i < lines.size(); i += 2) {
        const std::string seq = " seq(" + std::to_string(10 + i / 2) + ") ";
        EXPECT_EQ(lines[i].rfind("Outgoing packet typ(", 0), 0u) << lines[i];
        EXPECT_EQ(lines[i + 1].rfind("Incoming packet typ(", 0), 0u) << lines[i + 1];
        EXPECT_NE(lines[i].find(seq), std::string::npos) << lines[i];
        EXPECT_NE(lines[i + 1].find(seq), std::string::npos) << lines[i + 1];
    }
    EXPECT_EQ(lines[0].substr(0, 37), "Outgoing packet typ(ACK) seq(10) size");
    EXPECT_EQ(lines[5].substr(0, 40), "Incoming packet typ(GET_HWSIG) seq(12) s");
}

TEST(Session, LinkStatesReadAsTheStatusBarShowsThem) {
    EXPECT_EQ(LinkStateText(kLinkOffline), "Offline");
    EXPECT_EQ(LinkStateText(kLinkConnected), "Connected");
    EXPECT_EQ(LinkStateText(kLinkConnecting), "Connecting");
    EXPECT_EQ(LinkStateText(kLinkLoader), "Loader");
    EXPECT_EQ(LinkStateText(3), "");  // no state of the session: shown as nothing
}

}  // namespace
