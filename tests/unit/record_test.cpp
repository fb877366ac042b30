// Recordings: the rows as written, read back, refused with the line at fault, a writer that
// stops at a failing stream, and what a pulled cable leaves in a recording.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <sstream>

#include "ecu/ecu.h"
#include "ecu/ecucontrol.h"
#include "record/recordreader.h"
#include "record/recordwriter.h"
#include "tests/support/files.h"
#include "tests/support/simrig.h"
#include "tests/support/waitfor.h"

namespace {

using namespace std::chrono;

const char kHeader[] =
    "time,time_ms,RPM,MAP,Target Mixture,Mixture 1,Mixture 2,Injector Pulse,Coolant Temp,"
    "Charge Temp,Throttle Pos,Ignition Timing,Battery Volts,Exhaust Temp1,Exhaust Temp2";

// 2026-12-07 14:02:11.000 UTC, shown an hour east of it.
TRecordClock Clock(microseconds start) {
    TRecordClock clock(start, system_clock::time_point(milliseconds(1796652131000)));
    clock.SetOffsetMinutes(60);
    return clock;
}

std::string TempDir() {
    const std::string dir = testing::TempDir() + "/brindle-record-" + std::to_string(getpid());
    std::filesystem::create_directories(dir);
    return dir;
}

// The values' texts are the Engine Data window's (tested with the sensor record).
TEST(Record, RowsAreTheLocalTimeTheMillisecondsAndTheValuesAsTheEngineDataWindowShowsThem) {
    // rpm, map, inj, afr1, afr2, target, tps, clt, mat, batt, adv, egt1, egt2
    const SensorRecord r =
        EncodeSensors({3000, 95, 4200, 131, 133, 130, 42, 120, 70, 105, 25, 610, 605});
    EXPECT_EQ(RecordRow(Clock(5000ms), 6234ms, r),
              "2026-12-07T15:02:12.234+01:00,1234,3000,95,130,131,133,4200,120,70,42,25.0,12.4,"
              "610,605");
    EXPECT_EQ(RecordRow(Clock(5000ms), 5000ms + 10h, {}),  // past midnight
              "2026-12-08T01:02:11.000+01:00,36000000,0,0,0,0,0,0,0,0,0,0.0,0.0,0,0");
    TRecordClock west = Clock(0ms);
    west.SetOffsetMinutes(-(3 * 60 + 30));
    EXPECT_EQ(west.LocalText(1ms), "2026-12-07T10:32:11.001-03:30");
}

TEST(Record, WrittenToANewFileAndReadBack) {
    const std::string path = TempDir() + "/roundtrip.csv";
    std::filesystem::remove(path);
    std::vector<TECU::TTimedRecord> records;
    for (int i = 0; i < 300; ++i) {
        records.push_back({milliseconds(1000 + i * 14),
                           EncodeSensors({static_cast<uint16_t>(i * 200), 95, 4200, 131, 133, 130,
                                          42, 120, 70, static_cast<uint8_t>(i), 25, 610, 65535})});
    }
    {
        TRecordWriter writer;
        ASSERT_TRUE(writer.Create(path)) << writer.Error();
        ASSERT_TRUE(writer.Start(Clock(990ms)));
        ASSERT_TRUE(writer.Write({records.begin(), records.begin() + 100}));
        ASSERT_TRUE(writer.Write({records.begin() + 100, records.end()}));
        EXPECT_EQ(writer.Rows(), 300u);
        EXPECT_EQ(writer.LastMs(), (records.back().time - 990ms) / 1ms);
        EXPECT_TRUE(writer.Close());
    }
    TRecording r;
    std::string error;
    ASSERT_TRUE(LoadRecording(path, r, error)) << error;
    ASSERT_EQ(r.Rows(), records.size());
    EXPECT_FALSE(r.cutShort);
    EXPECT_EQ(r.startUtcMs, 1796652131000);
    EXPECT_EQ(r.offsetMinutes, 60);
    for (size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(r.ms[i], (records[i].time - 990ms) / 1ms);
        const TRecordValues expected = RecordValues(records[i].record);
        for (int v = 0; v < kSensorRows; ++v) {
            EXPECT_EQ(r.values[v][i], expected[v]) << "row " << i << " value " << v;
        }
    }

    // A recording never replaces a file, nor writes through a link.
    const std::string before = ReadFile(path);
    const std::string link = TempDir() + "/link.csv";
    std::filesystem::remove(link);
    std::filesystem::create_symlink(TempDir() + "/nowhere.csv", link);
    for (const std::string& taken : {path, link}) {
        TRecordWriter again;
        EXPECT_FALSE(again.Create(taken));
        EXPECT_EQ(again.ErrorNumber(), EEXIST);
    }
    EXPECT_FALSE(std::filesystem::exists(TempDir() + "/nowhere.csv"));
    EXPECT_EQ(ReadFile(path), before);
}

TEST(Record, AFileThatIsNotARecordingIsRefusedWithItsLine) {
    const std::string good = std::string(kHeader) +
                             "\n2026-12-07T15:02:11.000+01:00,0,1,2,3,4,5,6,7,8,9,1.0,1.1,12,13"
                             "\n2026-12-07T15:02:11.014+01:00,14,1,2,3,4,5,6,7,8,9,1.0,1.1,12,13\n";
    const std::string row = "2026-12-07T15:02:11.028+01:00,28,1,2,3,4,5,6,7,8,9,1.0,1.1,12,13";
    const std::pair<std::string, std::string> cases[] = {
        {"", "line 1: the file is empty"},
        {"RPM,MAP\n1,2\n", "line 1: this is not the header of a recording"},
        {good + "2026-12-07T15:02:11.028+01:00,28,1,2,3\n", "line 4: 5 fields where a row has 15"},
        {good + "15:02:11,28,1,2,3,4,5,6,7,8,9,1.0,1.1,12,13\n", "line 4: the time '15:02:11'"},
        {good + "2026-12-07T15:02:11.028+01:00,x,1,2,3,4,5,6,7,8,9,1.0,1.1,12,13\n",
         "line 4: time_ms 'x' is not"},
        {good + "2026-12-07T15:02:11.028+01:00,13,1,2,3,4,5,6,7,8,9,1.0,1.1,12,13\n",
         "line 4: time_ms '13' is earlier than the row before"},
        {good + "2026-12-07T15:02:11.028+01:00,28,1,2,3,4,5,6,7,8,9,1.0,volts,12,13\n",
         "line 4: 'volts' under Battery Volts is not a number"},
        {good + row + "\n\n" + row + "\n", "line 5: 1 fields where a row has 15"},
        {good + row, ""},  // the last row without its line end
    };
    for (const auto& [text, message] : cases) {
        TRecording r;
        std::string error;
        EXPECT_EQ(ParseRecording(text, r, error), message.empty()) << text;
        EXPECT_EQ(error.substr(0, message.size()), message) << error;
        if (message.empty()) {
            EXPECT_EQ(r.Rows(), 3u);
            EXPECT_FALSE(r.cutShort);
            for (const std::vector<float>& column : r.values) {
                EXPECT_EQ(column.size(), 3u);
            }
        }
    }
}

// A stream that takes `room` bytes, then fails as a full disk does.
class TFullDisk : public std::streambuf {
public:
    explicit TFullDisk(size_t room) : room(room) {}
    std::string taken;

protected:
    int_type overflow(int_type c) override {
        if (c == traits_type::eof() || taken.size() >= room) {
            errno = ENOSPC;
            return traits_type::eof();
        }
        taken += static_cast<char>(c);
        return c;
    }

private:
    size_t room;
};

TEST(Record, AFailingStreamEndsTheRecordingAndKeepsItsRows) {
    const std::string header = std::string(kHeader) + "\n";
    const size_t rowBytes = RecordRow(Clock(0ms), 0ms, {}).size() + 1;
    TFullDisk disk(header.size() + 3 * rowBytes + rowBytes / 2);
    std::ostream out(&disk);
    TRecordWriter writer;
    writer.Attach(out);
    ASSERT_TRUE(writer.Start(Clock(0ms)));
    std::vector<TECU::TTimedRecord> rows(2);
    EXPECT_TRUE(writer.Write(rows));
    EXPECT_FALSE(writer.Write(rows));  // the fourth row does not fit
    EXPECT_TRUE(writer.Failed());
    EXPECT_EQ(writer.ErrorNumber(), ENOSPC);
    EXPECT_EQ(writer.Error(), "No space left on device");
    EXPECT_EQ(writer.Rows(), 3u);
    const size_t kept = disk.taken.size();
    EXPECT_FALSE(writer.Write(rows));  // nothing after the failure
    EXPECT_EQ(disk.taken.size(), kept);
    TRecording r;
    std::string error;
    // The disk filled in the middle of the fourth row: the three before it play.
    EXPECT_TRUE(ParseRecording(disk.taken, r, error)) << error;
    EXPECT_EQ(r.Rows(), 3u);
    EXPECT_TRUE(r.cutShort);
}

// A cable pulled during a recording and put back: rows only for the records that came, a gap
// where none came, and the recording going on after it. On virtual time.
TEST(Record, APulledCableLeavesAGapAndNoInventedRows) {
    TSimControlRig rig({}, {{"commBaud", 9}});
    TManualClock& clock = rig.clock;
    TVirtualEcu& ecu = rig.ecu;
    TECUControl control(TECUControlLinks{rig.lib, rig.store, clock}, true);
    TECU& session = *control.session;
    control.Start();
    ASSERT_TRUE(WaitFor([&] { return session.linkState == kLinkConnected; }));

    std::ostringstream out;
    TRecordWriter writer;
    writer.Attach(out);
    uint64_t seen = 0;
    session.SensorsSnapshot(&seen);
    const uint64_t seenAtStart = seen;
    const microseconds start = clock.Now();
    writer.Start(Clock(start));
    uint64_t lost = 0;
    std::vector<TECU::TTimedRecord> batch;
    const auto drain = [&] {
        batch.clear();
        lost += session.RecordsSince(seen, batch);
        writer.Write(batch);
        return writer.Rows();
    };
    ASSERT_TRUE(WaitFor([&] { return drain() >= 100; }));
    ecu.SetUnplugged(true, clock.Now());
    const int64_t unpluggedMs = (clock.Now() - start) / 1ms;
    ASSERT_TRUE(WaitFor([&] { return session.linkState == kLinkConnecting; }));
    const uint64_t before = drain();
    const microseconds t0 = clock.Now();
    ASSERT_TRUE(WaitFor([&] { return clock.Now() - t0 > 3s; }));
    EXPECT_EQ(drain(), before);  // nothing while it is away
    const int64_t pluggedMs = (clock.Now() - start) / 1ms;
    ecu.SetUnplugged(false, clock.Now());
    ASSERT_TRUE(WaitFor([&] { return drain() >= before + 100; }));
    control.Stop();
    drain();

    uint64_t updates = 0;
    session.SensorsSnapshot(&updates);
    EXPECT_EQ(lost, 0u);
    EXPECT_EQ(writer.Rows(), updates - seenAtStart);  // one row for each record it accepted
    TRecording r;
    std::string error;
    ASSERT_TRUE(ParseRecording(out.str(), r, error)) << error;
    ASSERT_EQ(r.Rows(), writer.Rows());
    int gaps = 0;
    for (size_t i = 1; i < r.Rows(); ++i) {
        const int64_t step = r.ms[i] - r.ms[i - 1];
        EXPECT_GT(step, 0);
        if (step > 1000) {
            ++gaps;
            // Silence from (at most 1.5 s before) the notice until the cable was back.
            EXPECT_LE(r.ms[i - 1], unpluggedMs);
            EXPECT_GE(r.ms[i], pluggedMs);
        }
    }
    EXPECT_EQ(gaps, 1);
}

}  // namespace
