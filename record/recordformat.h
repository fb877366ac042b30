// The recording format, one row per sensor record the session accepted:
//
//   time,time_ms,RPM,MAP,Target Mixture,...,Exhaust Temp2
//   2026-12-07T14:02:11.123+01:00,0,3000,95,130,...
//
// `time` is the local wall-clock time with milliseconds and the UTC offset that held when the
// recording started (ISO 8601); `time_ms` counts milliseconds from the start of the
// recording; the thirteen values are the Engine Data window's rows, top to bottom, as it
// writes them (raw values; timing and battery volts with one decimal). Rows exist only for
// records that came: a pulled cable shows as a jump in the times, never as invented rows.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <string>

#include "ecu/sensorrecord.h"

constexpr char kRecordTimeColumn[] = "time";
constexpr char kRecordMsColumn[] = "time_ms";
constexpr int kRecordColumns = 2 + kSensorRows;

// The thirteen values of a record as numbers, in the rows' order, equal to the texts the
// rows show (battery volts rounded to one decimal as displayed).
using TRecordValues = std::array<float, kSensorRows>;
TRecordValues RecordValues(const SensorRecord& record);

// One CSV field, quoted when it holds a comma, a quote or a line end.
std::string CsvField(const std::string& text);
// The header row, without its line end.
std::string RecordHeader();

// Ties the session's steady clock (TClock::Now, the records' times) to the local wall clock,
// once, when a recording starts: every row's time follows from its steady time, so a wall
// clock set meanwhile changes nothing, and all rows carry the UTC offset of the start.
class TRecordClock {
public:
    using TSteady = std::chrono::microseconds;
    TRecordClock() = default;
    // `start`: the steady time of the start; `wallStart`: the wall clock then.
    TRecordClock(TSteady start, std::chrono::system_clock::time_point wallStart);
    // The same, taking the wall clock and its local offset now.
    static TRecordClock Now(TSteady start);

    TSteady Start() const { return start; }
    // The time since the start for a steady time, in whole milliseconds.
    std::chrono::milliseconds Elapsed(TSteady steady) const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(steady - start);
    }
    // The wall clock at a steady time, since 1970 (UTC).
    std::chrono::milliseconds Wall(TSteady steady) const { return wallStart + Elapsed(steady); }
    int OffsetMinutes() const { return offsetMinutes; }
    // "2026-12-07T14:02:11.123+01:00" for a steady time.
    std::string LocalText(TSteady steady) const;
    // Sets the UTC offset (minutes east of Greenwich); Now takes the local one.
    void SetOffsetMinutes(int minutes) { offsetMinutes = minutes; }

private:
    TSteady start{0};
    std::chrono::milliseconds wallStart{0};  // since 1970 (UTC)
    int offsetMinutes = 0;
};

// One row, without its line end.
std::string RecordRow(const TRecordClock& clock, TRecordClock::TSteady steady,
                      const SensorRecord& record);

// "2026-12-07T14:02:11.123+01:00" for a time since 1970 (UTC) shown at a UTC offset.
std::string IsoLocalText(std::chrono::milliseconds utc, int offsetMinutes);
// Reads such a text back: the time since 1970 (UTC) and the offset. False when it is not one.
bool ParseIsoLocalText(const std::string& text, std::chrono::milliseconds& utc, int& offsetMinutes);
