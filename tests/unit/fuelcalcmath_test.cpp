// The fuel calculator's arithmetic and texts. Every expected text is worked out by hand from
// the formulas (products and quotients written out in the comments), the float rounding of the
// inputs and products, and the text rule: round halves away from zero, scientific beyond the
// precision.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <ostream>
#include <string>
#include <utility>

#include "forms/fuelcalcmath.h"

// Readable failure output for Qt strings.
void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

namespace {

const QLocale kEnglish(QLocale::English, QLocale::UnitedStates);
const QLocale kGerman(QLocale::German, QLocale::Germany);

const char* StatusName(TFuelStatus status) {
    switch (status) {
        case TFuelStatus::Ok:
            return "Ok";
        case TFuelStatus::Empty:
            return "Empty";
        case TFuelStatus::Incomplete:
            return "Incomplete";
        case TFuelStatus::InvalidNumber:
            return "InvalidNumber";
        case TFuelStatus::DivByZero:
            return "DivByZero";
        case TFuelStatus::Overflow:
            return "Overflow";
    }
    return "?";
}

}  // namespace

void PrintTo(TFuelStatus status, std::ostream* os) {
    *os << StatusName(status);
}

namespace {

// ---- Conversions ----

struct ConversionCase {
    const char* why;
    TFuelConversion conversion;
    const char* input;
    const char* expected;
};

TEST(FuelConvert, WritesThePartnerText) {
    const ConversionCase cases[] = {
        // 2000 x 0.0610237 = 122.0474
        {"CC to CID", TFuelConversion::CcToCid, "2000", "122"},
        // 440 / 10.5 = 41.904...
        {"CC/min to lb/hr", TFuelConversion::CcMinToLbHr, "440", "41.9"},
        // 42 x 10.5 = 441
        {"lb/hr to CC/min", TFuelConversion::LbHrToCcMin, "42", "441"},
        // 31 x 10.5 = 325.5 exactly: the half goes away from zero
        {"half rounds up", TFuelConversion::LbHrToCcMin, "31", "326"},
        // 33 x 10.5 = 346.5: away from zero, where halves-to-even would give 346
        {"half away from zero, not to even", TFuelConversion::LbHrToCcMin, "33", "347"},
        // -31 x 10.5 = -325.5: away from zero, where rounding halves up would give -325
        {"negative half away from zero", TFuelConversion::LbHrToCcMin, "-31", "-326"},
        // 100 x 16.387075841025698 = 1638.7075...
        {"CID to CC", TFuelConversion::CidToCc, "100", "1639"},
        // -2000 x 0.0610237 = -122.0474
        {"negative CC", TFuelConversion::CcToCid, "-2000", "-122"},
        // -440 / 10.5 = -41.904...
        {"negative flow", TFuelConversion::CcMinToLbHr, "-440", "-41.9"},
        // -100 x 16.387... = -1638.7...
        {"negative CID", TFuelConversion::CidToCc, "-100", "-1639"},
        // 9999 x 0.0610237 = 610.175...
        {"four-digit result stays fixed", TFuelConversion::CcToCid, "9999", "610"},
        // 6102 x 16.387075841025698 = 99993.9367...: five whole digits fit precision 5
        {"five whole digits fit", TFuelConversion::CidToCc, "6102", "99994"},
        // 6103 x 16.387075841025698 = 100010.3238...: six whole digits, five significant
        {"six whole digits go scientific", TFuelConversion::CidToCc, "6103", "1.0001E+05"},
        // 200000 x 0.0610237 = 12204.74: five whole digits beyond precision 4
        {"CID of five whole digits", TFuelConversion::CcToCid, "200000", "1.220E+04"},
        // -200000 x 0.0610237 = -12204.74
        {"negative scientific", TFuelConversion::CcToCid, "-200000", "-1.220E+04"},
        // 100000 / 10.5 = 9523.809...: four whole digits and one decimal
        {"flow of four whole digits", TFuelConversion::CcMinToLbHr, "100000", "9523.8"},
        // 105000 / 10.5 = 10000: five whole digits beyond precision 4
        {"flow of five whole digits", TFuelConversion::CcMinToLbHr, "105000", "1.000E+04"},
        // 0.5 x 10.5 = 5.25
        {"fraction input", TFuelConversion::LbHrToCcMin, "0.5", "5"},
        // -1 x 0.0610237 = -0.061 rounds to zero, shown without a sign
        {"negative rounding to zero", TFuelConversion::CcToCid, "-1", "0"},
        {"zero", TFuelConversion::CcToCid, "0", "0"},
        // 0.525 is held as the float 8808038 / 2^24 = 0.52499997615814208984375;
        // / 10.5 = 0.04999999773 rounds to 0.0. Read as a double it would give 0.1.
        {"input held as float", TFuelConversion::CcMinToLbHr, "0.525", "0.0"},
        // The float 9750723 / 2048 = 4761.09521484375; x 10.5 = 49991.499755859375, which as a
        // float (steps of 2^-8 there) is 49991.5, rounding to 49992. Unrounded it gives 49991.
        {"product held as float", TFuelConversion::LbHrToCcMin, "4761.09521484375", "49992"},
        // 2e37 x 16.387... = 3.2774e38, just inside the float range
        {"large but finite", TFuelConversion::CidToCc, "2e37", "3.2774E+38"},
        // 1e-50 is below the smallest float and reads as zero
        {"tiny input", TFuelConversion::CidToCc, "1e-50", "0"},
    };
    const TFuelCalc calc(kEnglish);
    for (const ConversionCase& c : cases) {
        SCOPED_TRACE(c.why);
        const TFuelResult result = calc.Convert(c.conversion, QString::fromUtf8(c.input));
        EXPECT_EQ(result.status, TFuelStatus::Ok);
        EXPECT_EQ(result.text, QString::fromUtf8(c.expected));
        EXPECT_TRUE(result.message.isEmpty());
        EXPECT_FALSE(result.IsError());
    }
}

TEST(FuelConvert, GermanLocaleReadsAndWritesTheComma) {
    const ConversionCase cases[] = {
        // 440 / 10.5 = 41.904...
        {"decimal comma in the result", TFuelConversion::CcMinToLbHr, "440", "41,9"},
        // 1.5e3 x 0.0610237 = 91.53555
        {"decimal comma and exponent", TFuelConversion::CcToCid, "1,5e3", "92"},
        // 4.2 held as float is 4.19999980926513671875; x 10.5 = 44.0999979972839 -> 44
        {"decimal comma in the input", TFuelConversion::LbHrToCcMin, "4,2", "44"},
        // 4200 / 10.5 = 400
        {"one decimal", TFuelConversion::CcMinToLbHr, "4200", "400,0"},
        // -200000 x 0.0610237 = -12204.74
        {"scientific with comma", TFuelConversion::CcToCid, "-200000", "-1,220E+04"},
    };
    const TFuelCalc calc(kGerman);
    for (const ConversionCase& c : cases) {
        SCOPED_TRACE(c.why);
        const TFuelResult result = calc.Convert(c.conversion, QString::fromUtf8(c.input));
        EXPECT_EQ(result.status, TFuelStatus::Ok);
        EXPECT_EQ(result.text, QString::fromUtf8(c.expected));
    }
}

TEST(FuelConvert, EmptyTextStopsSilently) {
    const TFuelResult result = TFuelCalc(kEnglish).Convert(TFuelConversion::CcToCid, "");
    EXPECT_EQ(result.status, TFuelStatus::Empty);
    EXPECT_TRUE(result.text.isEmpty());
    EXPECT_TRUE(result.message.isEmpty());
    EXPECT_FALSE(result.IsError());
}

struct TextCase {
    const char* text;
    const QLocale* locale;
};

// What a user passes through while typing "-5", ".5", "-.5", "1e5", "1e-5", "1.5e3", "+5".
TEST(FuelConvert, BeginningsOfNumbersWaitWithoutMessage) {
    const TextCase cases[] = {
        {"-", &kEnglish},   {".", &kEnglish},    {"-.", &kEnglish}, {"1e", &kEnglish},
        {"1e-", &kEnglish}, {"1.5e", &kEnglish}, {"+", &kEnglish},  {"1E+", &kEnglish},
        {" ", &kEnglish},   {" -", &kEnglish},   {",", &kGerman},   {"-,", &kGerman},
        {"1,5e", &kGerman}, {"-", &kGerman},     {"1e+", &kGerman}, {".5e", &kEnglish},
    };
    for (const TextCase& c : cases) {
        SCOPED_TRACE(c.text);
        const TFuelResult result =
            TFuelCalc(*c.locale).Convert(TFuelConversion::CcToCid, QString::fromUtf8(c.text));
        EXPECT_EQ(result.status, TFuelStatus::Incomplete);
        EXPECT_TRUE(result.text.isEmpty());
        EXPECT_TRUE(result.message.isEmpty());
        EXPECT_FALSE(result.IsError());
    }
}

TEST(FuelConvert, TextsThatCanNeverBeNumbersReportAnError) {
    const TextCase cases[] = {
        {"abc", &kEnglish},
        {"1..2", &kEnglish},
        {"1e5e", &kEnglish},
        {"--1", &kEnglish},
        {"e5", &kEnglish},
        {"1e.5", &kEnglish},
        {"1 2", &kEnglish},
        {"- 1", &kEnglish},
        {"1e ", &kEnglish},
        {"+-1", &kEnglish},
        {"inf", &kEnglish},
        {"nan", &kEnglish},
        {"0x10", &kEnglish},
        {"5x", &kEnglish},
        {".e5", &kEnglish},
        {"1e5.", &kEnglish},
        // No thousands separators; in German '.' is one, in English ','.
        {"1,000", &kEnglish},
        {"1.5", &kGerman},
        {"1,,2", &kGerman},
    };
    for (const TextCase& c : cases) {
        SCOPED_TRACE(c.text);
        const QString text = QString::fromUtf8(c.text);
        const TFuelResult result = TFuelCalc(*c.locale).Convert(TFuelConversion::CcToCid, text);
        EXPECT_EQ(result.status, TFuelStatus::InvalidNumber);
        EXPECT_TRUE(result.IsError());
        EXPECT_TRUE(result.text.isEmpty());
        EXPECT_EQ(result.message, "'" + text + "' is not a valid floating point value");
    }
}

TEST(FuelConvert, ValuesBeyondTheFloatRangeReportOverflow) {
    const struct {
        TFuelConversion conversion;
        const char* text;
    } cases[] = {
        {TFuelConversion::CcToCid, "1e39"},        // the input itself exceeds 3.4028e38
        {TFuelConversion::CcToCid, "-3.5e38"},     // likewise, negative
        {TFuelConversion::CcToCid, "1e99999"},     // far beyond
        {TFuelConversion::CidToCc, "3e37"},        // 3e37 x 16.387 = 4.9e38
        {TFuelConversion::LbHrToCcMin, "-33e36"},  // -3.3e37 x 10.5 = -3.465e38
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const TFuelResult result = TFuelCalc(kEnglish).Convert(c.conversion, c.text);
        EXPECT_EQ(result.status, TFuelStatus::Overflow);
        EXPECT_TRUE(result.IsError());
        EXPECT_EQ(result.message, "Floating point overflow");
    }
}

// ---- Reading numbers ----

TEST(FuelRead, AcceptedFormsAndTheirFloats) {
    const struct {
        const char* text;
        const QLocale* locale;
        float expected;
    } cases[] = {
        {"5.", &kEnglish, 5.0f},
        {".5", &kEnglish, 0.5f},
        {"-.5", &kEnglish, -0.5f},
        {"+5", &kEnglish, 5.0f},
        {" 7 ", &kEnglish, 7.0f},
        {"1E3", &kEnglish, 1000.0f},
        {"1e+3", &kEnglish, 1000.0f},
        {"2.5e-1", &kEnglish, 0.25f},
        {"0.1", &kEnglish, 0.1f},
        {"16777217", &kEnglish, 16777216.0f},  // 2^24 + 1 is no float; ties go to even 2^24
        {"1,5", &kGerman, 1.5f},
        {",5", &kGerman, 0.5f},
        {"-1,5e2", &kGerman, -150.0f},
        {"3e-1", &kGerman, 0.3f},
        {"0e99999", &kEnglish, 0.0f},
        {"1e-99999", &kEnglish, 0.0f},
        {"3.4e38", &kEnglish, 3.4e38f},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const TFuelNumber number = ReadFuelNumber(QString::fromUtf8(c.text), *c.locale);
        EXPECT_EQ(number.status, TFuelStatus::Ok);
        EXPECT_EQ(number.value, c.expected);
        EXPECT_TRUE(number.message.isEmpty());
    }
}

TEST(FuelRead, NegativeZeroKeepsItsSign) {
    const TFuelNumber number = ReadFuelNumber("-0", kEnglish);
    EXPECT_EQ(number.status, TFuelStatus::Ok);
    EXPECT_EQ(number.value, 0.0f);
    EXPECT_TRUE(std::signbit(number.value));
}

TEST(FuelRead, LocaleMinusSignIsAccepted) {
    // Swedish writes negative numbers with U+2212 MINUS SIGN.
    const QLocale swedish(QLocale::Swedish, QLocale::Sweden);
    const QString text = swedish.negativeSign() + "2,5";
    const TFuelNumber number = ReadFuelNumber(text, swedish);
    EXPECT_EQ(number.status, TFuelStatus::Ok);
    EXPECT_EQ(number.value, -2.5f);
    EXPECT_EQ(ReadFuelNumber(swedish.negativeSign(), swedish).status, TFuelStatus::Incomplete);
}

TEST(FuelRead, SignsOfSeveralCharactersWaitUntilComplete) {
    // Arabic (UAE) signs start with U+200E LEFT-TO-RIGHT MARK: "\u200E-" and "\u200E+".
    const QLocale arabic(QLocale::Arabic, QLocale::UnitedArabEmirates);
    ASSERT_EQ(arabic.negativeSign(), QString::fromUtf8("\u200E-"));
    const TFuelNumber negative = ReadFuelNumber(QString::fromUtf8("\u200E-2.5"), arabic);
    EXPECT_EQ(negative.status, TFuelStatus::Ok);
    EXPECT_EQ(negative.value, -2.5f);
    const TFuelNumber exponent = ReadFuelNumber(QString::fromUtf8("25e\u200E-1"), arabic);
    EXPECT_EQ(exponent.status, TFuelStatus::Ok);
    EXPECT_EQ(exponent.value, 2.5f);
    for (const char* text : {"\u200E", "1e\u200E", "-"}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(ReadFuelNumber(QString::fromUtf8(text), arabic).status, TFuelStatus::Incomplete);
    }
    EXPECT_EQ(ReadFuelNumber(QString::fromUtf8("\u200E5"), arabic).status,
              TFuelStatus::InvalidNumber);
}

// ---- Fixed-point text ----

TEST(FuelFormat, FixedAndScientificTexts) {
    const struct {
        long double value;
        int decimals;
        int precision;
        const char* expected;
    } cases[] = {
        {0.5L, 0, 4, "1"},
        {1.5L, 0, 4, "2"},
        {2.5L, 0, 4, "3"},  // halves-to-even would give 2
        {-2.5L, 0, 4, "-3"},
        {0.25L, 1, 4, "0.3"},  // exact binary half at the first decimal
        {-0.25L, 1, 4, "-0.3"},
        {0.125L, 1, 4, "0.1"},
        {0.96L, 1, 4, "1.0"},
        {0.04L, 1, 4, "0.0"},
        {-0.04L, 1, 4, "0.0"},  // no "-0.0"
        {-0.0L, 0, 4, "0"},
        {7.0L, 2, 4, "7.00"},
        // The double 0.15 is 0.1499999999999999944488848768742172978818416595458984375
        {0.15, 1, 4, "0.1"},
        // The float 0.15 is 0.1500000059604644775390625
        {0.15f, 1, 4, "0.2"},
        // The double 2.675 is 2.67499999999999982236431605997495353221893310546875
        {2.675, 2, 4, "2.67"},
        {12345.0L, 0, 5, "12345"},  // no thousands separators
        {99999.4L, 0, 5, "99999"},
        {99999.5L, 0, 5, "1.0000E+05"},  // rounding adds a whole digit
        {9999.96L, 1, 4, "1.000E+04"},
        {123456.0L, 0, 5, "1.2346E+05"},
        {-123456.0L, 0, 5, "-1.2346E+05"},
        {123445.0L, 0, 5, "1.2345E+05"},  // half away from zero in the mantissa too
        {999996.0L, 0, 5, "1.0000E+06"},  // mantissa carry raises the exponent
        {1e10L, 0, 1, "1E+10"},           // precision 1: no separator
        // FLT_MAX = 340282346638528859811704183484516925440
        {FLT_MAX, 0, 5, "3.4028E+38"},
        {-FLT_MAX, 0, 4, "-3.403E+38"},
        {1e300L, 0, 5, "1.0000E+300"},
        {INFINITY, 0, 4, "INF"},
        {-INFINITY, 0, 4, "-INF"},
        {NAN, 0, 4, "NAN"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        EXPECT_EQ(FormatFuelFixed(c.value, c.decimals, c.precision, kEnglish),
                  QString::fromUtf8(c.expected));
    }
}

TEST(FuelFormat, UsesTheLocaleSeparatorWithoutGrouping) {
    EXPECT_EQ(FormatFuelFixed(1234.25L, 1, 4, kGerman), "1234,3");
    EXPECT_EQ(FormatFuelFixed(-0.75L, 1, 4, kGerman), "-0,8");
    EXPECT_EQ(FormatFuelFixed(123456.0L, 0, 5, kGerman), "1,2346E+05");
    EXPECT_EQ(FormatFuelFixed(1234.25L, 1, 4, kEnglish), "1234.3");
}

// ---- Fuel constant ----

struct ReqFuelCase {
    const char* why;
    const char* displacement;
    int count;
    const char* flow;
    const char* expected;
};

TEST(FuelReqFuel, ComputesTheConstant) {
    const ReqFuelCase cases[] = {
        // 6.49 x 2000 / 4 / 440 = 7.375
        {"four injectors", "2000", 4, "440", "7.4"},
        // 6.49 x 2000 / 8 / 440 = 3.6875: twice the injectors, half the constant
        {"eight injectors", "2000", 8, "440", "3.7"},
        // 6.49 x 2000 / 4 / 326 = 9.9539...: the rounded CC/min text of 31 lb/hr
        {"flow from the lb/hr conversion", "2000", 4, "326", "10.0"},
        // 6.49 x -2000 / 4 / 440 = -7.375
        {"negative displacement", "-2000", 4, "440", "-7.4"},
        // 6.49 x 2000 / 4 / -440 = -7.375
        {"negative flow", "2000", 4, "-440", "-7.4"},
        // 6.49 x 1e6 / 1 / 1 = 6490000: seven whole digits beyond precision 5
        {"beyond the precision", "1000000", 1, "1", "6.4900E+06"},
        // 6.49 x 100000 / 1 / 10 = 64900: five whole digits fit
        {"five whole digits", "100000", 1, "10", "64900.0"},
        // 6.49 x 0 / 4 / 440 = 0
        {"zero displacement", "0", 4, "440", "0.0"},
        // The count is used as typed, before the spin edit clamps it: 12980 / 20 / 440 = 1.475
        {"count beyond the spin range", "2000", 20, "440", "1.5"},
    };
    const TFuelCalc calc(kEnglish);
    for (const ReqFuelCase& c : cases) {
        SCOPED_TRACE(c.why);
        const TFuelResult result = calc.ReqFuel(c.displacement, c.count, c.flow);
        EXPECT_EQ(result.status, TFuelStatus::Ok);
        EXPECT_EQ(result.text, QString::fromUtf8(c.expected));
        EXPECT_TRUE(result.message.isEmpty());
    }
}

TEST(FuelReqFuel, GermanLocale) {
    const TFuelCalc calc(kGerman);
    // 6.49 x 2000 / 4 / 440 = 7.375
    EXPECT_EQ(calc.ReqFuel("2000", 4, "440").text, "7,4");
    // 6.49 x 1500 / 6 / 262.5 = 6.180952...; 1500 and 262.5 are exact floats
    EXPECT_EQ(calc.ReqFuel("1,5e3", 6, "262,5").text, "6,2");
    EXPECT_EQ(calc.ReqFuel("2000", 4, "440.5").status, TFuelStatus::InvalidNumber);
}

TEST(FuelReqFuel, EmptyFieldsGiveZero) {
    const ReqFuelCase cases[] = {
        {"no displacement", "", 4, "440", "0"},
        {"no flow", "2000", 4, "", "0"},
        {"neither", "", 4, "", "0"},
        // Emptiness is looked at before anything is read or divided.
        {"bad displacement, no flow", "abc", 4, "", "0"},
        {"no flow, zero count", "2000", 0, "", "0"},
    };
    const TFuelCalc calc(kEnglish);
    for (const ReqFuelCase& c : cases) {
        SCOPED_TRACE(c.why);
        const TFuelResult result = calc.ReqFuel(c.displacement, c.count, c.flow);
        EXPECT_EQ(result.status, TFuelStatus::Ok);
        EXPECT_EQ(result.text, QString::fromUtf8(c.expected));
    }
}

TEST(FuelReqFuel, DivisionByZeroIsReported) {
    const ReqFuelCase cases[] = {
        {"zero flow", "2000", 4, "0", nullptr},
        {"negative zero flow", "2000", 4, "-0", nullptr},
        {"flow below the float range", "2000", 4, "1e-50", nullptr},
        {"zero count", "2000", 0, "440", nullptr},
        {"zero everything", "0", 0, "0", nullptr},
    };
    const TFuelCalc calc(kEnglish);
    for (const ReqFuelCase& c : cases) {
        SCOPED_TRACE(c.why);
        const TFuelResult result = calc.ReqFuel(c.displacement, c.count, c.flow);
        EXPECT_EQ(result.status, TFuelStatus::DivByZero);
        EXPECT_TRUE(result.IsError());
        EXPECT_TRUE(result.text.isEmpty());
        EXPECT_EQ(result.message, "Floating point division by zero");
    }
}

TEST(FuelReqFuel, BadNumbersAreReportedFlowFirst) {
    const TFuelCalc calc(kEnglish);
    const TFuelResult badFlow = calc.ReqFuel("2000", 4, "4x0");
    EXPECT_EQ(badFlow.status, TFuelStatus::InvalidNumber);
    EXPECT_EQ(badFlow.message, "'4x0' is not a valid floating point value");

    const TFuelResult badDisplacement = calc.ReqFuel("2OOO", 4, "440");
    EXPECT_EQ(badDisplacement.status, TFuelStatus::InvalidNumber);
    EXPECT_EQ(badDisplacement.message, "'2OOO' is not a valid floating point value");

    const TFuelResult both = calc.ReqFuel("d", 4, "f");
    EXPECT_EQ(both.status, TFuelStatus::InvalidNumber);
    EXPECT_EQ(both.message, "'f' is not a valid floating point value");

    // A bad number is reported even when the division would also fail.
    EXPECT_EQ(calc.ReqFuel("abc", 0, "440").status, TFuelStatus::InvalidNumber);
}

TEST(FuelReqFuel, ATextStillBeingTypedComputesNothing) {
    const TFuelCalc calc(kEnglish);
    for (const auto& [displacement, flow] : {std::pair{"-", "440"}, std::pair{"2000", "1e"},
                                             std::pair{"2000", "."}, std::pair{"1.5e", "0"}}) {
        SCOPED_TRACE(std::string(displacement) + " / " + flow);
        const TFuelResult result = calc.ReqFuel(displacement, 4, flow);
        EXPECT_EQ(result.status, TFuelStatus::Incomplete);
        EXPECT_TRUE(result.text.isEmpty());
        EXPECT_TRUE(result.message.isEmpty());
    }
}

TEST(FuelReqFuel, LargeValuesOverflow) {
    const TFuelCalc calc(kEnglish);
    EXPECT_EQ(calc.ReqFuel("1e39", 4, "440").status, TFuelStatus::Overflow);
    // 6.49 x 3e38 / 1 / 1e-30 = 1.947e69: beyond the float the constant is held in
    EXPECT_EQ(calc.ReqFuel("3e38", 1, "1e-30").status, TFuelStatus::Overflow);
    // 6.49 x 3e38 / 16 / 1 = 1.2169e38: still a float
    EXPECT_EQ(calc.ReqFuel("3e38", 16, "1").text, "1.2169E+38");
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
    const ReqFuelCase cases[] = {
        // 6.49 x 2400 / 4 / 440 = 8.85 exactly; as a float 8.85000038 -> 8.9
        {"exact half above as a float", "2400", 4, "440", "8.9"},
        // 6.49 x 2200 / 4 / 590 = 6.05 exactly; as a float 6.05000019 -> 6.1
        {"6.05", "2200", 4, "590", "6.1"},
        // 6.49 x 4400 / 4 / 220 = 32.45 exactly; as a float 32.4500008 -> 32.5
        {"32.45", "4400", 4, "220", "32.5"},
    };
    for (const ReqFuelCase& c : cases) {
        SCOPED_TRACE(c.why);
        EXPECT_EQ(calc.ReqFuel(c.displacement, c.count, c.flow).text,
                  QString::fromUtf8(c.expected));
    }
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

// ---- Injector count ----

TEST(FuelInjectors, ReadingTheSpinText) {
    const struct {
        const char* text;
        int read;     // as typed
        int settled;  // after the spin edit clamps it
    } cases[] = {
        {"4", 4, 4},   {"8", 8, 8}, {"16", 16, 16}, {"1", 1, 1},
        {" 6 ", 6, 6}, {"0", 0, 1}, {"20", 20, 16}, {"-3", -3, 1},
        {"abc", 1, 1}, {"", 1, 1},  {"4.5", 1, 1},  {"99999999999", 1, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(ReadInjectorText(c.text), c.read);
        EXPECT_EQ(InjectorSpinValue(c.text), c.settled);
    }
}

TEST(FuelInjectors, ClampKeepsTheSpinRange) {
    EXPECT_EQ(ClampInjectors(0), 1);
    EXPECT_EQ(ClampInjectors(-100), 1);
    EXPECT_EQ(ClampInjectors(1), 1);
    EXPECT_EQ(ClampInjectors(9), 9);
    EXPECT_EQ(ClampInjectors(16), 16);
    EXPECT_EQ(ClampInjectors(17), 16);
}

}  // namespace
