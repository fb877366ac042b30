// The link session against the virtual ECU, on virtual time: connecting, identifying,
// switching the rate, polling and noticing silence.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <sstream>

#include "ecu/ecu.h"
#include "ecu/packet.h"
#include "ecu/protocol.h"
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

    TRecordingPanels panels;
    TECU session;
};

// A virtual ECU that has only its boot loader, at `bps`.
TEcuSimConfig LoaderAt(int bps) {
    TEcuSimConfig config;
    config.startInLoader = true;
    config.loaderBps = bps;
    return config;
}

// A connect greets, identifies and reads the tables in order. At commBaud 5 it sends no
// SET_BAUD; each faster commBaud is asked for by its index and confirmed by an ACK at the
// new rate.
TEST(Session, ConnectReadsTheTablesInOrderAndSwitchesToCommBaud) {
    for (int code = 5; code <= 9; ++code) {
        SCOPED_TRACE(code);
        SessionRig rig({}, {{"commBaud", code}});
        rig.session.Step();
        EXPECT_EQ(rig.session.linkState, kLinkConnected);
        std::vector<std::string> commands;
        const auto t = rig.ecu.Transcript();
        for (size_t i = 0; i < t.size(); ++i) {
            if (t[i].rfind("SET_BAUD", 0) == 0) {
                EXPECT_NE(t[i].find("index=" + std::to_string(code - 5)), std::string::npos);
                ASSERT_LT(i + 1, t.size());
                EXPECT_EQ(t[++i].substr(0, 4), "ACK ");
                EXPECT_GT(code, 5);
                continue;
            }
            const size_t table = t[i].find("table=");
            commands.push_back(t[i].substr(0, t[i].find(' ')) +
                               (table == std::string::npos ? "" : " " + t[i].substr(table + 6)));
        }
        EXPECT_EQ(commands,
                  (std::vector<std::string>{
                      "Mas", "ACK", "GET_VERSION", "GET_HWSIG", "GET_TABLESIZE 1",
                      "GET_TABLEDATA 1", "GET_TABLESIZE 2", "GET_TABLEDATA 2", "GET_TABLESIZE 5",
                      "GET_TABLEDATA 5", "GET_TABLEDATA 4", "GET_TABLEDATA 3", "GET_TABLEDATA 7"}));
        EXPECT_EQ(rig.ecu.BaudBps(), BaudCodeToBps(code));
        EXPECT_EQ(rig.port->curBaud, code);
        EXPECT_EQ(rig.lib.BaudHistory().size(), code == 5 ? 1u : 2u);
    }
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

// An ECU keeps the rate it was last switched to until it is powered off: one at the loader
// rate, or at a rate that the settings do not name, is found in the same pass and switched to
// commBaud.
TEST(Session, EcuLeftAtAnotherRateIsFoundAndSwitchedToCommBaud) {
    for (int bps : {19200, 115200}) {
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
    // So is a boot loader, at its own rate or another; the rate that worked stays for the
    // upload.
    for (int bps : {19200, 57600}) {
        SCOPED_TRACE(bps);
        SessionRig rig(LoaderAt(bps));
        rig.session.Step();
        EXPECT_EQ(rig.session.linkState, kLinkLoader);
        EXPECT_EQ(rig.port->curBaud, BpsToBaudCode(bps));
    }
}

// A cable pulled during a block write leaves the boot loader inside that command, taking
// every greeting as block data. A fresh start knows nothing of it: its connect pass, having
// found nothing at any rate, completes the command with filler and finds the loader.
TEST(Session, ConnectPassBringsBackABootLoaderLeftInsideAWrite) {
    for (int bps : {9600, 115200}) {
        SCOPED_TRACE(bps);
        SessionRig rig(LoaderAt(bps));
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

// A reader that takes every record (recording, the chart) and falls behind the history gets
// the newest ones, the last as the snapshot shows it, and is told how many it lost. (Each
// record handed out once, in time order, is checked by a recording across a pulled cable.)
TEST(Session, AReaderBehindTheHistoryIsToldHowManyItLost) {
    SessionRig rig({}, {{"commBaud", 9}});
    rig.session.Step();
    ASSERT_EQ(rig.session.linkState, kLinkConnected);
    uint64_t seen = 0;
    std::vector<TECU::TTimedRecord> taken;
    const auto take = [&] { return rig.session.RecordsSince(seen, taken); };
    uint64_t updates = 0;
    rig.StepUntil(
        [&] {
            rig.session.SensorsSnapshot(&updates);
            return updates > TECU::kRecordHistory + 10;
        },
        120'000);
    const SensorRecord last = rig.session.SensorsSnapshot(&updates);
    const uint64_t lost = take();
    EXPECT_EQ(taken.size(), TECU::kRecordHistory);
    EXPECT_EQ(taken.back().record, last);
    EXPECT_EQ(seen, updates);
    EXPECT_EQ(lost, updates - TECU::kRecordHistory);
}

// A connected link holds through sensor polls that go unanswered (a keep-alive ACK after a
// second without replies is answered) or answered short (ignored, yet a sign of life: no
// keep-alive needed).
TEST(Session, KeepAliveOnlyAfterASecondWithoutAnyReply) {
    const struct {
        const char* name;
        std::function<void(TVirtualEcu&)> fault;
        bool keepAlive;
    } cases[] = {
        {"sensor requests unanswered", [](TVirtualEcu& e) { e.DropReplies(2); }, true},
        {"sensor replies short", [](TVirtualEcu& e) { e.SetShortSensors(true); }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SessionRig rig;
        rig.session.Step();
        ASSERT_EQ(rig.session.linkState, kLinkConnected);
        rig.ecu.ClearTranscript();
        c.fault(rig.ecu);
        rig.StepUntil([] { return false; }, 3000);
        EXPECT_EQ(rig.session.linkState, kLinkConnected);
        const auto t = rig.ecu.Transcript();
        EXPECT_EQ(std::any_of(t.begin(), t.end(),
                              [](const std::string& l) { return l.rfind("ACK ", 0) == 0; }),
                  c.keepAlive);
        if (!c.keepAlive) {
            EXPECT_EQ(rig.session.SensorsSnapshot(), SensorRecord{});
        }
    }
}

// An unbranded board shows no revision or serial and keeps those read before.
TEST(Session, IdentificationTexts) {
    const struct {
        bool branded;
        uint8_t boardRev;
        uint16_t serialNo;
        uint8_t patch;  // of version 1.4
        bool shortVersion;
        const char* firmware;  // after "Firmware Revision: "
        const char* board;
    } cases[] = {
        {true, 255, 65535, 255, false, "1.4.255", "Board: 25.5 SN: 65535"},
        {false, 12, 258, 12, false, "1.4.12", "Board is unbranded"},
        {true, 12, 258, 12, true, "1.4.0", "Board: 1.2 SN: 258"},  // the version reply short
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.firmware);
        TEcuSimConfig config;
        config.branded = c.branded;
        config.boardRev = c.boardRev;
        config.serialNo = c.serialNo;
        config.version[2] = c.patch;
        SessionRig rig(config);
        rig.ecu.SetShortVersion(c.shortVersion);
        rig.session.boardRev = 7;
        rig.session.serialNo = 99;
        rig.session.Step();
        EXPECT_EQ(rig.session.linkState, kLinkConnected);
        EXPECT_EQ(rig.panels.Text(kPanelFirmware), std::string("Firmware Revision: ") + c.firmware);
        EXPECT_EQ(rig.panels.Text(kPanelBoard), c.board);
        EXPECT_EQ(rig.session.boardRev, c.branded ? c.boardRev : 7);
        EXPECT_EQ(rig.session.serialNo, c.branded ? c.serialNo : 99u);
    }
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
// connect is its three identification exchanges and nine table reads, their seqs wrapping
// from 255 to 0.
TEST(Session, ConnectLogsEveryPacketBothWaysWithSeqsWrappingAt255) {
    std::ostringstream text;
    TStreamLogSink log(text);
    TSimRig rig;
    TECU session(rig.port.get(), nullptr, &log);
    session.seq = 254;
    session.linkState = kLinkConnecting;
    session.Step();
    EXPECT_EQ(session.linkState, kLinkConnected);
    std::vector<std::string> lines;
    std::istringstream in(text.str());
    for (std::string l; std::getline(in, l);) {
        lines.push_back(l);
    }
    ASSERT_EQ(lines.size(), 2u * (3 + 9));
    for (size_t i = 0; i < lines.size(); i += 2) {
        const std::string seq = " seq(" + std::to_string((255 + i / 2) % 256) + ") ";
        EXPECT_EQ(lines[i].rfind("Outgoing packet typ(", 0), 0u) << lines[i];
        EXPECT_EQ(lines[i + 1].rfind("Incoming packet typ(", 0), 0u) << lines[i + 1];
        EXPECT_NE(lines[i].find(seq), std::string::npos) << lines[i];
        EXPECT_NE(lines[i + 1].find(seq), std::string::npos) << lines[i + 1];
    }
}

}  // namespace
