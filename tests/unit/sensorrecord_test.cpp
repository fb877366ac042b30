// The sensor record's layout and the texts the Engine Data window shows.
#include <gtest/gtest.h>

#include <clocale>

#include "ecu/ecu.h"
#include "ecu/sensorrecord.h"

namespace {

std::map<std::string, std::string> Values(const SensorRecord& r) {
    std::map<std::string, std::string> out;
    for (const TSensorRow& row : SensorRows(r)) {
        out[row.label] = row.value;
    }
    return out;
}

TEST(SensorRecord, FieldsAreLittleEndianAtTheirOffsets) {
    SensorRecord r;
    for (int i = 0; i < kSensorRecordBytes; ++i) {
        r.bytes[i] = static_cast<uint8_t>(i + 1);
    }
    const TSensorValues v = DecodeSensors(r);
    EXPECT_EQ(v.rpm, 0x0201);
    EXPECT_EQ(v.map, 0x0403);
    EXPECT_EQ(v.inj, 0x0605);
    EXPECT_EQ(v.afr1, 0x0807);
    EXPECT_EQ(v.afr2, 0x0A09);
    EXPECT_EQ(v.target, 0x0C0B);
    EXPECT_EQ(v.tps, 13);
    EXPECT_EQ(v.clt, 14);
    EXPECT_EQ(v.mat, 15);
    EXPECT_EQ(v.battRaw, 16);
    EXPECT_EQ(v.adv, 17);
    EXPECT_EQ(v.egt1, 0x1413);
    EXPECT_EQ(v.egt2, 0x1615);
}

TEST(SensorRecord, AllOnesShowTheLargestValues) {
    SensorRecord r;
    r.bytes.fill(0xFF);
    auto v = Values(r);
    for (const char* word :
         {"lblRPM", "lblMAP", "lblTarget", "lblAFR1", "lblAFR2", "lblInj", "lblEGT1", "lblEGT2"}) {
        EXPECT_EQ(v[word], "65535") << word;
    }
    for (const char* byte : {"lblTPS", "lblCLT", "lblMAT"}) {
        EXPECT_EQ(v[byte], "255") << byte;
    }
    EXPECT_EQ(v["lblAdv"], "255.0");
    EXPECT_EQ(v["lblVolts"], "30.0");
}

// A German locale, by the name the C library knows it (glibc's, or the Windows one's).
const char* GermanLocale() {
    for (const char* name : {"de_DE.UTF-8", "German_Germany.1252"}) {
        if (std::setlocale(LC_ALL, name)) {
            return name;
        }
    }
    return "de_DE.UTF-8";
}

TEST(SensorRecord, BatteryVoltsTimingAndBoardTextUseAPointInEveryLocale) {
    // The C library's number texts follow the locale the desktop program sets up; these
    // texts always use a point. A German locale writes a comma where it can.
    for (const char* locale : {"C", GermanLocale()}) {
        SCOPED_TRACE(locale);
        ASSERT_NE(std::setlocale(LC_ALL, locale), nullptr) << "locale missing (locales-all)";
        // raw x 30 / 255, worked by hand: 105 -> 12.35 -> 12.4; 51 -> 6.0; 1 -> 0.1176 -> 0.1.
        const std::pair<int, const char*> volts[] = {{0, "0.0"},    {1, "0.1"},    {51, "6.0"},
                                                     {105, "12.4"}, {117, "13.8"}, {255, "30.0"}};
        for (const auto& [raw, text] : volts) {
            EXPECT_EQ(BatteryVoltsText(static_cast<uint8_t>(raw)), text) << raw;
        }
        SensorRecord r;
        r.bytes[16] = 25;
        EXPECT_EQ(Values(r)["lblAdv"], "25.0");
        EXPECT_EQ(Values(SensorRecord{})["lblAdv"], "0.0");
        // The board revision in tenths, in the general format (the session's identification
        // tests cover the other texts).
        EXPECT_EQ(BoardText(10, 4660), "Board: 1 SN: 4660");
        EXPECT_EQ(BoardText(255, 65535), "Board: 25.5 SN: 65535");
    }
    std::setlocale(LC_ALL, "C");
}

}  // namespace
