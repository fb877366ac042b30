// The 24-byte live-data record: bytes 3..26 of a READ_SENSORS reply. Multi-byte fields are
// unsigned little-endian; values are the ECU's raw units.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

constexpr int kSensorRecordBytes = 24;

struct SensorRecord {
    std::array<uint8_t, kSensorRecordBytes> bytes{};
    bool operator==(const SensorRecord&) const = default;
};

struct TSensorValues {
    uint16_t rpm = 0;     // offset 0
    uint16_t map = 0;     // 2
    uint16_t inj = 0;     // 4
    uint16_t afr1 = 0;    // 6
    uint16_t afr2 = 0;    // 8
    uint16_t target = 0;  // 10
    uint8_t tps = 0;      // 12
    uint8_t clt = 0;      // 13
    uint8_t mat = 0;      // 14
    uint8_t battRaw = 0;  // 15: volts = raw * 30 / 255
    uint8_t adv = 0;      // 16
                          // 17: not shown
    uint16_t egt1 = 0;    // 18
    uint16_t egt2 = 0;    // 20
                          // 22, 23: not shown
    bool operator==(const TSensorValues&) const = default;
};

TSensorValues DecodeSensors(const SensorRecord& record);
// Builds a record from values; the bytes that carry no shown value are left 0.
SensorRecord EncodeSensors(const TSensorValues& values);

// One row of the Engine Data window: its caption, the value label's name and the value as
// the window shows it (raw values; timing and battery volts with one decimal).
struct TSensorRow {
    const char* caption;
    const char* label;
    std::string value;
};
constexpr int kSensorRows = 13;
// The thirteen rows, top to bottom: RPM, MAP, Target Mixture, Mixture 1, Mixture 2, Injector
// Pulse, Coolant Temp, Charge Temp, Throttle Pos, Ignition Timing, Battery Volts, Exhaust
// Temp1, Exhaust Temp2.
std::vector<TSensorRow> SensorRows(const SensorRecord& record);
// Battery volts for a raw reading: raw x 30 / 255 with one decimal, "12.4" for 105.
std::string BatteryVoltsText(uint8_t battRaw);
