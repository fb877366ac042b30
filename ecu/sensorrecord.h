// The 24-byte live-data record: bytes 3..26 of a READ_SENSORS reply. Multi-byte fields are
// unsigned little-endian; values are the ECU's raw units.
#pragma once

#include <array>
#include <cstdint>

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
