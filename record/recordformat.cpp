#include "record/recordformat.h"

#include <charconv>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

using namespace std::chrono;

int64_t DaysFromCivil(int y, unsigned m, unsigned d) {
    return sys_days(year(y) / month(m) / day(d)).time_since_epoch().count();
}

// The local clock's offset from UTC at `t`, in minutes.
int LocalOffsetMinutes(std::time_t t) {
    const std::tm* local = std::localtime(&t);
    if (!local) {
        return 0;
    }
    const int64_t asUtc =
        DaysFromCivil(local->tm_year + 1900, local->tm_mon + 1, local->tm_mday) * 86400 +
        local->tm_hour * 3600 + local->tm_min * 60 + local->tm_sec;
    return static_cast<int>((asUtc - static_cast<int64_t>(t)) / 60);
}

// Reads `n` decimal digits at `at`; false when any is not a digit.
bool Digits(const std::string& s, size_t at, size_t n, int& value) {
    if (at + n > s.size()) {
        return false;
    }
    value = 0;
    for (size_t i = at; i < at + n; ++i) {
        if (s[i] < '0' || s[i] > '9') {
            return false;
        }
        value = value * 10 + (s[i] - '0');
    }
    return true;
}

}  // namespace

TRecordValues RecordValues(const SensorRecord& record) {
    TRecordValues values{};
    const std::vector<TSensorRow> rows = SensorRows(record);
    for (int i = 0; i < kSensorRows; ++i) {
        const std::string& text = rows[i].value;
        std::from_chars(text.data(), text.data() + text.size(), values[i]);
    }
    return values;
}

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"') {
            quoted += '"';
        }
        quoted += c;
    }
    return quoted + "\"";
}

std::string RecordHeader() {
    std::string line = std::string(kRecordTimeColumn) + "," + kRecordMsColumn;
    for (const TSensorRow& row : SensorRows(SensorRecord{})) {
        line += ",";
        line += CsvField(row.caption);
    }
    return line;
}

TRecordClock::TRecordClock(TSteady steadyStart, system_clock::time_point wall)
    : start(steadyStart), wallStart(duration_cast<milliseconds>(wall.time_since_epoch())) {}

TRecordClock TRecordClock::Now(TSteady steadyStart) {
    const system_clock::time_point now = system_clock::now();
    TRecordClock clock(steadyStart, now);
    clock.SetOffsetMinutes(LocalOffsetMinutes(system_clock::to_time_t(now)));
    return clock;
}

std::string TRecordClock::LocalText(TSteady steady) const {
    return IsoLocalText(Wall(steady), offsetMinutes);
}

std::string RecordRow(const TRecordClock& clock, TRecordClock::TSteady steady,
                      const SensorRecord& record) {
    std::string line = clock.LocalText(steady);
    line += ",";
    line += std::to_string(clock.Elapsed(steady).count());
    for (const TSensorRow& row : SensorRows(record)) {
        line += ",";
        line += CsvField(row.value);
    }
    return line;
}

std::string IsoLocalText(milliseconds utc, int offsetMinutes) {
    const int64_t localMs = utc.count() + int64_t{offsetMinutes} * 60'000;
    const sys_days days(floor<std::chrono::days>(milliseconds(localMs)));
    const year_month_day date(days);
    const int64_t inDay = localMs - duration_cast<milliseconds>(days.time_since_epoch()).count();
    const int offset = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03d%c%02d:%02d",
                  static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<int>(inDay / 3'600'000),
                  static_cast<int>(inDay / 60'000 % 60), static_cast<int>(inDay / 1000 % 60),
                  static_cast<int>(inDay % 1000), offsetMinutes < 0 ? '-' : '+', offset / 60,
                  offset % 60);
    return text;
}

bool ParseIsoLocalText(const std::string& s, milliseconds& utc, int& offsetMinutes) {
    // YYYY-MM-DDTHH:MM:SS.mmm+HH:MM
    int y, mo, d, h, mi, sec, ms, oh, om;
    if (s.size() != 29 || !Digits(s, 0, 4, y) || s[4] != '-' || !Digits(s, 5, 2, mo) ||
        s[7] != '-' || !Digits(s, 8, 2, d) || s[10] != 'T' || !Digits(s, 11, 2, h) ||
        s[13] != ':' || !Digits(s, 14, 2, mi) || s[16] != ':' || !Digits(s, 17, 2, sec) ||
        s[19] != '.' || !Digits(s, 20, 3, ms) || (s[23] != '+' && s[23] != '-') ||
        !Digits(s, 24, 2, oh) || s[26] != ':' || !Digits(s, 27, 2, om)) {
        return false;
    }
    const year_month_day date{year(y), month(static_cast<unsigned>(mo)),
                              day(static_cast<unsigned>(d))};
    if (!date.ok() || h > 23 || mi > 59 || sec > 59 || om > 59) {
        return false;
    }
    offsetMinutes = (s[23] == '-' ? -1 : 1) * (oh * 60 + om);
    const int64_t localMs =
        DaysFromCivil(y, mo, d) * 86'400'000 + ((h * 60 + mi) * 60 + sec) * int64_t{1000} + ms;
    utc = milliseconds(localMs - int64_t{offsetMinutes} * 60'000);
    return true;
}
