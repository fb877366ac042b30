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

// Ties the session's steady clock to the local wall clock, once, when a recording starts:
// every row's time follows from its steady time, so a wall clock set meanwhile changes
// nothing, and all rows carry the UTC offset of the start.
class TRecordClock {
public:
    TRecordClock() = default;
    // `startMs`: the steady time of the start (ms); `wallStart`: the wall clock then.
    TRecordClock(int64_t startMs, std::chrono::system_clock::time_point wallStart);
    // The same, taking the wall clock and its local offset now.
    static TRecordClock Now(int64_t startMs);

    int64_t StartMs() const { return startMs; }
    // Milliseconds since the start for a steady time.
    int64_t Elapsed(int64_t steadyMs) const { return steadyMs - startMs; }
    // The wall clock at a steady time, ms since 1970 (UTC).
    int64_t WallMs(int64_t steadyMs) const { return wallStartMs + Elapsed(steadyMs); }
    int OffsetMinutes() const { return offsetMinutes; }
    // "2026-12-07T14:02:11.123+01:00" for a steady time.
    std::string LocalText(int64_t steadyMs) const;
    // Sets the UTC offset (minutes east of Greenwich); Now takes the local one.
    void SetOffsetMinutes(int minutes) { offsetMinutes = minutes; }

private:
    int64_t startMs = 0;
    int64_t wallStartMs = 0;  // ms since 1970 (UTC)
    int offsetMinutes = 0;
};

// One row, without its line end.
std::string RecordRow(const TRecordClock& clock, int64_t steadyMs, const SensorRecord& record);

// "2026-12-07T14:02:11.123+01:00" for ms since 1970 (UTC) shown at a UTC offset.
std::string IsoLocalText(int64_t utcMs, int offsetMinutes);
// Reads such a text back: ms since 1970 (UTC) and the offset. False when it is not one.
bool ParseIsoLocalText(const std::string& text, int64_t& utcMs, int& offsetMinutes);
