// The fuel calculator's arithmetic and texts. Every expected text is worked out by hand from
// the formulas (products and quotients written out in the comments), the float rounding of the
// inputs and products, and the text rule: round halves away from zero, scientific beyond the
// precision.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <string>

#include "forms/fuelcalcmath.h"

namespace {

const QLocale kEnglish(QLocale::English, QLocale::UnitedStates);
const QLocale kGerman(QLocale::German, QLocale::Germany);
// Swedish writes negative numbers with U+2212 MINUS SIGN; the Arabic (UAE) signs are two
// characters, U+200E LEFT-TO-RIGHT MARK and '-' or '+'.
const QLocale kSwedish(QLocale::Swedish, QLocale::Sweden);
const QLocale kArabic(QLocale::Arabic, QLocale::UnitedArabEmirates);
using S = TFuelStatus;
using C = TFuelConversion;

// The expected text of an error status, written out.
std::string MessageFor(S status, const std::string& text) {
    return status == S::InvalidNumber ? "'" + text + "' is not a valid floating point value"
           : status == S::Overflow    ? "Floating point overflow"
           : status == S::DivByZero   ? "Floating point division by zero"
                                      : "";
}

// Each conversion's factor, its decimals and precision, the float rounding of its input and
// product, and the reader's statuses and messages passed on.
TEST(FuelConvert, PartnerTexts) {
    const struct {
        C conversion;
        const char* input;
        const char* expected;  // the text, or "" for a status without one
        S status = S::Ok;
        const QLocale& locale = kEnglish;
    } cases[] = {
        {C::CcToCid, "2000", "122"},              // 2000 x 0.0610237 = 122.0474
        {C::CcMinToLbHr, "440", "41.9"},          // 440 / 10.5 = 41.904...
        {C::LbHrToCcMin, "31", "326"},            // 325.5 exactly: the half goes away from zero
        {C::CidToCc, "100", "1639"},              // 100 x 16.387075841025698 = 1638.7...
        {C::CidToCc, "6103", "1.0001E+05"},       // 100010.3...: six digits, beyond precision 5
        {C::CcToCid, "-200000", "-1.220E+04"},    // -12204.74, beyond precision 4
        {C::CcMinToLbHr, "105000", "1.000E+04"},  // 10000: five whole digits, precision 4
        // 0.525 is held as the float 0.52499997615814208984375; / 10.5 = 0.0499999977 rounds
        // to 0.0. Read as a double it would give 0.1.
        {C::CcMinToLbHr, "0.525", "0.0"},
        // The float 4761.09521484375 x 10.5 = 49991.499755859375, as a float (steps of 2^-8)
        // 49991.5, rounding to 49992. Unrounded it gives 49991.
        {C::LbHrToCcMin, "4761.09521484375", "49992"},
        {C::CidToCc, "2e37", "3.2774E+38"},  // just inside the float range
        {C::CcMinToLbHr, "440", "41,9", S::Ok, kGerman},
        {C::CidToCc, "3e37", "", S::Overflow},  // the product: 3e37 x 16.387 = 4.9e38
        {C::CcToCid, "abc", "", S::InvalidNumber},
        {C::CcToCid, "-", "", S::Incomplete},
        {C::CcToCid, "", "", S::Empty},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        const TFuelResult result = TFuelCalc(c.locale).Convert(c.conversion, c.input);
        EXPECT_EQ(static_cast<int>(result.status), static_cast<int>(c.status));
        EXPECT_EQ(result.text.toStdString(), c.expected);
        EXPECT_EQ(result.message.toStdString(), MessageFor(c.status, c.input));
    }
}

// The numbers read, and the texts that are not yet numbers (they wait silently) or never
// (they carry the message the dialog shows), and values beyond the float range.
TEST(FuelRead, NumbersAndTextsThatAreNotYetOrNeverNumbers) {
    const struct {
        const char* text;
        S status;
        float value = 0.0f;
        const QLocale& locale = kEnglish;
    } cases[] = {
        {"5.", S::Ok, 5.0f},
        {".5", S::Ok, 0.5f},
        {"+5", S::Ok, 5.0f},
        {" 7 ", S::Ok, 7.0f},
        {"16777217", S::Ok, 16777216.0f},  // 2^24 + 1 is no float; ties go to even 2^24
        {"-1,5e2", S::Ok, -150.0f, kGerman},
        {"1e-99999", S::Ok, 0.0f},
        {"3.4e38", S::Ok, 3.4e38f},
        {"\u22122,5", S::Ok, -2.5f, kSwedish},  // the locale's own signs
        {"\u200E-2.5", S::Ok, -2.5f, kArabic},
        {"25e\u200E-1", S::Ok, 2.5f, kArabic},
        {"", S::Empty},
        {"-", S::Incomplete},
        {"-.", S::Incomplete},
        {"1e-", S::Incomplete},
        {"1E+", S::Incomplete},
        {"-,", S::Incomplete, 0.0f, kGerman},
        {"\u2212", S::Incomplete, 0.0f, kSwedish},
        {"\u200E", S::Incomplete, 0.0f, kArabic},  // a two-character sign waits until whole
        {"1e\u200E", S::Incomplete, 0.0f, kArabic},
        {"-", S::Incomplete, 0.0f, kArabic},
        {"1..2", S::InvalidNumber},
        {"--1", S::InvalidNumber},
        {"e5", S::InvalidNumber},
        {"1e.5", S::InvalidNumber},
        {"- 1", S::InvalidNumber},
        {"1e ", S::InvalidNumber},
        {"inf", S::InvalidNumber},
        {"0x10", S::InvalidNumber},
        // No thousands separators: ',' in English, '.' in German.
        {"1,000", S::InvalidNumber},
        {"1.5", S::InvalidNumber, 0.0f, kGerman},
        {"\u200E5", S::InvalidNumber, 0.0f, kArabic},
        {"1e39", S::Overflow},
        {"-3.5e38", S::Overflow},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const TFuelNumber number = ReadFuelNumber(c.text, c.locale);
        EXPECT_EQ(static_cast<int>(number.status), static_cast<int>(c.status));
        if (c.status == S::Ok) {
            EXPECT_EQ(number.value, c.value);
        }
        EXPECT_EQ(number.message.toStdString(), MessageFor(c.status, c.text));
    }
    EXPECT_TRUE(std::signbit(ReadFuelNumber("-0", kEnglish).value));
}

TEST(FuelFormat, FixedAndScientificTexts) {
    const struct {
        long double value;
        int decimals;
        int precision;
        const char* expected;
        const QLocale& locale = kEnglish;
    } cases[] = {
        {2.5L, 0, 4, "3"},  // halves-to-even would give 2
        {-2.5L, 0, 4, "-3"},
        {0.25L, 1, 4, "0.3"},  // exact binary half at the first decimal
        {0.96L, 1, 4, "1.0"},
        {-0.04L, 1, 4, "0.0"},  // no "-0.0"
        // The double 0.15 is 0.14999999999999999445; the float 0.15 is 0.15000000596.
        {0.15, 1, 4, "0.1"},
        {0.15f, 1, 4, "0.2"},
        {12345.0L, 0, 5, "12345"},        // no thousands separators
        {99999.5L, 0, 5, "1.0000E+05"},   // rounding adds a whole digit
        {123445.0L, 0, 5, "1.2345E+05"},  // half away from zero in the mantissa too
        {999996.0L, 0, 5, "1.0000E+06"},  // mantissa carry raises the exponent
        {1e10L, 0, 1, "1E+10"},           // precision 1: no separator
        {-FLT_MAX, 0, 4, "-3.403E+38"},   // -340282346638528859811704183484516925440
        {1e300L, 0, 5, "1.0000E+300"},
        {-INFINITY, 0, 4, "-INF"},
        {NAN, 0, 4, "NAN"},
        {1234.25L, 1, 4, "1234,3", kGerman},
        {123456.0L, 0, 5, "1,2346E+05", kGerman},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FormatFuelFixed(c.value, c.decimals, c.precision, c.locale).toStdString(),
                  c.expected);
    }
}

TEST(FuelReqFuel, TheConstantAndEveryWayItFails) {
    const struct {
        const char* displacement;
        int count;
        const char* flow;
        S status;
        const char* expected;  // the text, or the message of an error
        const QLocale& locale = kEnglish;
    } cases[] = {
        {"-2000", 4, "440", S::Ok, "-7.4"},        // 6.49 x -2000 / 4 / 440 = -7.375
        {"1000000", 1, "1", S::Ok, "6.4900E+06"},  // beyond precision 5
        {"100000", 1, "10", S::Ok, "64900.0"},     // five whole digits fit
        {"2000", 20, "440", S::Ok, "1.5"},         // the count as typed, before the spin clamps it
        {"1,5e3", 6, "262,5", S::Ok, "6,2", kGerman},  // 6.180952...
        {"3e38", 16, "1", S::Ok, "1.2169E+38"},        // still a float
        // Emptiness is looked at before anything is read or divided.
        {"", 4, "440", S::Ok, "0"},
        {"abc", 0, "", S::Ok, "0"},
        {"2000", 4, "-0", S::DivByZero, "Floating point division by zero"},
        {"2000", 4, "1e-50", S::DivByZero, "Floating point division by zero"},  // reads as 0
        {"2000", 0, "440", S::DivByZero, "Floating point division by zero"},
        // The flow is read first; a bad number wins over a division by zero.
        {"d", 4, "f", S::InvalidNumber, "'f' is not a valid floating point value"},
        {"abc", 0, "440", S::InvalidNumber, "'abc' is not a valid floating point value"},
        {"2000", 4, "440.5", S::InvalidNumber, "'440.5' is not a valid floating point value",
         kGerman},
        {"-", 4, "440", S::Incomplete, ""},
        {"2000", 4, "1e", S::Incomplete, ""},
        // 6.49 x 3e38 / 1 / 1e-30 = 1.947e69: beyond the float the constant is held in.
        {"3e38", 1, "1e-30", S::Overflow, "Floating point overflow"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.displacement) + " / " + std::to_string(c.count) + " / " +
                     c.flow);
        const TFuelResult result = TFuelCalc(c.locale).ReqFuel(c.displacement, c.count, c.flow);
        EXPECT_EQ(static_cast<int>(result.status), static_cast<int>(c.status));
        EXPECT_EQ((result.IsError() ? result.message : result.text).toStdString(), c.expected);
    }
}

// The constant held as a float before it is shown, worked out apart from the calculator:
// 649 cc / (100 n flow) as one correctly rounded double quotient of exact integers, then the
// nearest float; its tenths (exact in a double) rounded halves up.
std::string IndependentReqFuel(int cc, int count, int flow) {
    const float constant = static_cast<float>(649.0 * cc / (100.0 * count * flow));
    const long tenths = static_cast<long>(std::floor(static_cast<double>(constant) * 10 + 0.5));
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
}

TEST(FuelReqFuel, TheConstantIsRoundedFromItsFloat) {
    const TFuelCalc calc(kEnglish);
    // 8.85 exactly, as a float a little above: 8.9 (the sweep's own function agrees by hand).
    EXPECT_EQ(calc.ReqFuel("2400", 4, "440").text, "8.9");
    // Realistic engines: 1000 to 8000 CC, 4, 6 or 8 injectors, 150 to 1200 CC/min.
    int checked = 0;
    for (int cc = 1000; cc <= 8000; cc += 100) {
        for (int count : {4, 6, 8}) {
            for (int flow = 150; flow <= 1200; flow += 10) {
                const QString text =
                    calc.ReqFuel(QString::number(cc), count, QString::number(flow)).text;
                ASSERT_EQ(text.toStdString(), IndependentReqFuel(cc, count, flow))
                    << cc << " CC, " << count << " injectors, " << flow << " CC/min";
                ++checked;
            }
        }
    }
    EXPECT_EQ(checked, 22578);
}

TEST(FuelInjectors, ReadingAndSettlingTheSpinText) {
    const struct {
        const char* text;
        int read;     // as typed
        int settled;  // after the spin edit clamps it
    } cases[] = {
        {"16", 16, 16}, {"1", 1, 1},   {" 6 ", 6, 6}, {"0", 0, 1},   {"20", 20, 16},
        {"-3", -3, 1},  {"abc", 1, 1}, {"", 1, 1},    {"4.5", 1, 1}, {"99999999999", 1, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(ReadInjectorText(c.text), c.read);
        EXPECT_EQ(InjectorSpinValue(c.text), c.settled);
    }
}

}  // namespace
