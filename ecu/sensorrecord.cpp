#include "ecu/sensorrecord.h"

#include <charconv>
#include <cstdio>

namespace {
uint16_t Word(const SensorRecord& r, int offset) {
    return static_cast<uint16_t>(r.bytes[offset] | (r.bytes[offset + 1] << 8));
}
void PutWord(SensorRecord& r, int offset, uint16_t v) {
    r.bytes[offset] = static_cast<uint8_t>(v & 0xFF);
    r.bytes[offset + 1] = static_cast<uint8_t>(v >> 8);
}
}  // namespace

TSensorValues DecodeSensors(const SensorRecord& r) {
    TSensorValues v;
    v.rpm = Word(r, 0);
    v.map = Word(r, 2);
    v.inj = Word(r, 4);
    v.afr1 = Word(r, 6);
    v.afr2 = Word(r, 8);
    v.target = Word(r, 10);
    v.tps = r.bytes[12];
    v.clt = r.bytes[13];
    v.mat = r.bytes[14];
    v.battRaw = r.bytes[15];
    v.adv = r.bytes[16];
    v.egt1 = Word(r, 18);
    v.egt2 = Word(r, 20);
    return v;
}

SensorRecord EncodeSensors(const TSensorValues& v) {
    SensorRecord r;
    PutWord(r, 0, v.rpm);
    PutWord(r, 2, v.map);
    PutWord(r, 4, v.inj);
    PutWord(r, 6, v.afr1);
    PutWord(r, 8, v.afr2);
    PutWord(r, 10, v.target);
    r.bytes[12] = v.tps;
    r.bytes[13] = v.clt;
    r.bytes[14] = v.mat;
    r.bytes[15] = v.battRaw;
    r.bytes[16] = v.adv;
    PutWord(r, 18, v.egt1);
    PutWord(r, 20, v.egt2);
    return r;
}

std::string BatteryVoltsText(uint8_t battRaw) {
    // Computed in extended precision and held as a float, as the ECU's own tools show it.
    const float volts = static_cast<float>(static_cast<long double>(battRaw) * (1.0L / 255) * 30);
    // to_chars: always a point, whatever the process's locale says.
    char text[16];
    const std::to_chars_result r = std::to_chars(
        text, text + sizeof text, static_cast<double>(volts), std::chars_format::fixed, 1);
    return std::string(text, r.ptr);
}

std::vector<TSensorRow> SensorRows(const SensorRecord& record) {
    const TSensorValues v = DecodeSensors(record);
    char adv[16];
    std::snprintf(adv, sizeof adv, "%u.0", static_cast<unsigned>(v.adv));
    return {
        {"RPM", "lblRPM", std::to_string(v.rpm)},
        {"MAP", "lblMAP", std::to_string(v.map)},
        {"Target Mixture", "lblTarget", std::to_string(v.target)},
        {"Mixture 1", "lblAFR1", std::to_string(v.afr1)},
        {"Mixture 2", "lblAFR2", std::to_string(v.afr2)},
        {"Injector Pulse", "lblInj", std::to_string(v.inj)},
        {"Coolant Temp", "lblCLT", std::to_string(v.clt)},
        {"Charge Temp", "lblMAT", std::to_string(v.mat)},
        {"Throttle Pos", "lblTPS", std::to_string(v.tps)},
        {"Ignition Timing", "lblAdv", adv},
        {"Battery Volts", "lblVolts", BatteryVoltsText(v.battRaw)},
        {"Exhaust Temp1", "lblEGT1", std::to_string(v.egt1)},
        {"Exhaust Temp2", "lblEGT2", std::to_string(v.egt2)},
    };
}
