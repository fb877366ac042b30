#include "forms/fuelcalcmath.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <system_error>
#include <utility>

#include <QStringView>

namespace {

constexpr long double kCidPerCc = 0.0610237L;
constexpr long double kCcPerCid = 16.387075841025698L;  // 1 / 0.0610237
constexpr long double kLbHrPerCcMin = 1.0L / 10.5L;
constexpr long double kCcMinPerLbHr = 10.5L;
constexpr long double kReqFuelFactor = 6.49L;

// A long double of at least this magnitude becomes infinite as a float: it is the midpoint
// between FLT_MAX, (2 - 2^-23) * 2^127, and 2^128, and ties go to the even neighbour, 2^128.
constexpr long double kFloatOverflow = 0x1.ffffffp127L;

struct TConversionRule {
    long double factor;
    int decimals;
    int precision;
};

TConversionRule RuleFor(TFuelConversion conversion) {
    switch (conversion) {
        case TFuelConversion::CcToCid:
            return {kCidPerCc, 0, 4};
        case TFuelConversion::CidToCc:
            return {kCcPerCid, 0, 5};
        case TFuelConversion::CcMinToLbHr:
            return {kLbHrPerCcMin, 1, 4};
        case TFuelConversion::LbHrToCcMin:
            return {kCcMinPerLbHr, 0, 5};
    }
    return {1.0L, 0, 5};
}

// Rounds a long double to float; false when the float would be infinite.
bool RoundToFloat(long double value, float* out) {
    if (std::fabs(value) >= kFloatOverflow) {
        return false;
    }
    *out = static_cast<float>(value);
    return true;
}

TFuelNumber NumberError(TFuelStatus status, QString message) {
    TFuelNumber number;
    number.status = status;
    number.message = std::move(message);
    return number;
}

TFuelNumber NumberOk(float value) {
    TFuelNumber number;
    number.value = value;
    return number;
}

TFuelResult ResultOf(TFuelStatus status, QString text, QString message) {
    TFuelResult result;
    result.status = status;
    result.text = std::move(text);
    result.message = std::move(message);
    return result;
}

// ---- Reading ----

bool IsAsciiDigit(QChar c) {
    return c >= u'0' && c <= u'9';
}

// How a token stands at a position of the text: there in full, cut short by the end of the
// text (the text ends with a proper beginning of it), or absent.
enum class TMatch { Full, CutShort, Absent };

TMatch MatchAt(const QString& text, qsizetype pos, const QString& token) {
    if (token.isEmpty() || pos >= text.size()) {
        return TMatch::Absent;
    }
    const QStringView rest = QStringView(text).mid(pos);
    if (rest.startsWith(token)) {
        return TMatch::Full;
    }
    if (rest.size() < token.size() && QStringView(token).startsWith(rest)) {
        return TMatch::CutShort;
    }
    return TMatch::Absent;
}

// Matches a sign at pos: ASCII '+' or '-', or the locale's own signs (U+2212 in some locales).
// On a full match advances pos and sets negative.
TMatch MatchSign(const QString& text, qsizetype* pos, const QLocale& locale, bool* negative) {
    const QString signs[] = {QStringLiteral("-"), locale.negativeSign(), QStringLiteral("+"),
                             locale.positiveSign()};
    TMatch best = TMatch::Absent;
    for (int i = 0; i < 4; ++i) {
        const TMatch match = MatchAt(text, *pos, signs[i]);
        if (match == TMatch::Full) {
            *pos += signs[i].size();
            *negative = i < 2;
            return TMatch::Full;
        }
        if (match == TMatch::CutShort) {
            best = TMatch::CutShort;
        }
    }
    return best;
}

// A number text taken apart: sign, ASCII digits around the decimal separator, exponent.
struct TNumberParts {
    TFuelStatus status = TFuelStatus::InvalidNumber;  // Ok, Incomplete or InvalidNumber
    bool negative = false;
    std::string whole;
    std::string fraction;
    bool exponentNegative = false;
    std::string exponent;  // digits; empty when the text has no exponent
};

TNumberParts SplitNumber(const QString& text, const QLocale& locale) {
    TNumberParts parts;
    const qsizetype end = text.size();
    qsizetype i = 0;
    // Every early return below is decided by whether the text stopped short of a number
    // (Incomplete: typing on can still make it one) or went wrong (InvalidNumber).
    auto stop = [&](bool cutShort) {
        parts.status = cutShort ? TFuelStatus::Incomplete : TFuelStatus::InvalidNumber;
        return parts;
    };
    auto takeDigits = [&](std::string* digits) {
        while (i < end && IsAsciiDigit(text[i])) {
            digits->push_back(static_cast<char>(text[i].unicode()));
            ++i;
        }
    };

    while (i < end && text[i].isSpace()) {
        ++i;
    }
    if (i == end) {
        return stop(true);
    }
    if (MatchSign(text, &i, locale, &parts.negative) == TMatch::CutShort) {
        return stop(true);
    }
    takeDigits(&parts.whole);
    const QString separator = locale.decimalPoint();
    switch (MatchAt(text, i, separator)) {
        case TMatch::Full:
            i += separator.size();
            takeDigits(&parts.fraction);
            break;
        case TMatch::CutShort:
            return stop(true);
        case TMatch::Absent:
            break;
    }
    if (parts.whole.empty() && parts.fraction.empty()) {
        return stop(i == end);
    }
    if (i < end && (text[i] == u'e' || text[i] == u'E')) {
        ++i;
        if (MatchSign(text, &i, locale, &parts.exponentNegative) == TMatch::CutShort) {
            return stop(true);
        }
        takeDigits(&parts.exponent);
        if (parts.exponent.empty()) {
            return stop(i == end);
        }
    }
    while (i < end && text[i].isSpace()) {
        ++i;
    }
    if (i < end) {
        return stop(false);
    }
    parts.status = TFuelStatus::Ok;
    return parts;
}

// The float nearest to a complete number text's value.
TFuelNumber PartsToFloat(const TNumberParts& parts) {
    const float signedZero = parts.negative ? -0.0f : 0.0f;
    const std::string digits = parts.whole + parts.fraction;
    const size_t firstSignificant = digits.find_first_not_of('0');
    if (firstSignificant == std::string::npos) {
        return NumberOk(signedZero);
    }
    // Settle absurd magnitudes here, so the parsers below only see exponents in a sane range.
    constexpr long kExponentCap = 1000000;
    long exponent = 0;
    for (char c : parts.exponent) {
        exponent = std::min(exponent * 10 + (c - '0'), kExponentCap);
    }
    if (parts.exponentNegative) {
        exponent = -exponent;
    }
    // Decimal exponent of the leading significant digit. Floats lie between 1.4e-45 and 3.4e38.
    const long leading =
        static_cast<long>(parts.whole.size()) - 1 - static_cast<long>(firstSignificant) + exponent;
    if (leading > 39) {
        return NumberError(TFuelStatus::Overflow, OverflowMessage());
    }
    if (leading < -60) {
        return NumberOk(signedZero);
    }

    std::string ascii = parts.negative ? "-" : "";
    ascii += parts.whole.empty() ? "0" : parts.whole;
    ascii += '.';
    ascii += parts.fraction;
    ascii += 'e';
    ascii += std::to_string(exponent);
    const char* first = ascii.data();
    const char* last = first + ascii.size();

    // Straight to float, so the decimal value is rounded once.
    float value = 0.0f;
    const auto narrow = std::from_chars(first, last, value);
    if (narrow.ec == std::errc() && narrow.ptr == last) {
        return NumberOk(value);
    }
    // Out of the float range: tell overflow from underflow on the wider type.
    long double wide = 0.0L;
    const auto broad = std::from_chars(first, last, wide);
    if (broad.ec != std::errc() || broad.ptr != last) {
        return NumberError(TFuelStatus::Overflow, OverflowMessage());
    }
    if (!RoundToFloat(wide, &value)) {
        return NumberError(TFuelStatus::Overflow, OverflowMessage());
    }
    return NumberOk(value);
}

// ---- Formatting ----

// The exact decimal expansion of a finite value >= 0, without leading zeros ("0" for a value
// below 1). Exact, so rounding can look at the digits alone.
struct TDecimalDigits {
    std::string whole;
    std::string fraction;
};

TDecimalDigits ExactDecimal(long double value) {
    // The expansion has no more fraction digits than the value has binary places.
    int fractionDigits = 0;
    if (value != 0) {
        const int lowestBit = std::ilogb(value) - (std::numeric_limits<long double>::digits - 1);
        fractionDigits = std::max(0, -lowestBit);
    }
    std::string buffer(64 + static_cast<size_t>(fractionDigits), '\0');
    for (;;) {
        const auto [ptr, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                             std::chars_format::fixed, fractionDigits);
        if (ec == std::errc()) {
            buffer.resize(static_cast<size_t>(ptr - buffer.data()));
            break;
        }
        buffer.resize(buffer.size() * 2);
    }
    const size_t point = buffer.find('.');
    if (point == std::string::npos) {
        return {buffer, {}};
    }
    return {buffer.substr(0, point), buffer.substr(point + 1)};
}

// Adds one in the last place of a digit string; true when a carry added a leading digit.
bool IncrementDigits(std::string* digits) {
    for (size_t i = digits->size(); i-- > 0;) {
        if ((*digits)[i] == '9') {
            (*digits)[i] = '0';
        } else {
            ++(*digits)[i];
            return false;
        }
    }
    digits->insert(digits->begin(), '1');
    return true;
}

// A digit string padded with zeros so that index n exists.
std::string PaddedTo(std::string digits, size_t n) {
    if (digits.size() <= n) {
        digits.resize(n + 1, '0');
    }
    return digits;
}

QString Scientific(const TDecimalDigits& exact, bool negative, int precision,
                   const QLocale& locale) {
    const std::string all = exact.whole + exact.fraction;
    const size_t first = all.find_first_not_of('0');
    if (first == std::string::npos) {
        return QStringLiteral("0");
    }
    int exponent = static_cast<int>(exact.whole.size()) - 1 - static_cast<int>(first);
    const size_t places = static_cast<size_t>(precision);
    const std::string significant = PaddedTo(all.substr(first), places);
    std::string mantissa = significant.substr(0, places);
    // The first dropped digit of an exact expansion decides: from '5' on it is at least half.
    if (significant[places] >= '5' && IncrementDigits(&mantissa)) {
        mantissa.pop_back();
        ++exponent;
    }
    QString text;
    if (negative) {
        text += u'-';
    }
    text += QLatin1Char(mantissa[0]);
    if (places > 1) {
        text += locale.decimalPoint();
        text += QString::fromLatin1(mantissa.data() + 1, static_cast<qsizetype>(places - 1));
    }
    text += u'E';
    text += exponent < 0 ? u'-' : u'+';
    std::string exponentDigits = std::to_string(std::abs(exponent));
    if (exponentDigits.size() < 2) {
        exponentDigits.insert(0, "0");
    }
    text +=
        QString::fromLatin1(exponentDigits.data(), static_cast<qsizetype>(exponentDigits.size()));
    return text;
}

}  // namespace

QString InvalidNumberMessage(const QString& text) {
    return QStringLiteral("'%1' is not a valid floating point value").arg(text);
}

QString DivByZeroMessage() {
    return QStringLiteral("Floating point division by zero");
}

QString OverflowMessage() {
    return QStringLiteral("Floating point overflow");
}

TFuelNumber ReadFuelNumber(const QString& text, const QLocale& locale) {
    if (text.isEmpty()) {
        return NumberError(TFuelStatus::Empty, {});
    }
    const TNumberParts parts = SplitNumber(text, locale);
    switch (parts.status) {
        case TFuelStatus::Ok:
            return PartsToFloat(parts);
        case TFuelStatus::Incomplete:
            return NumberError(TFuelStatus::Incomplete, {});
        default:
            return NumberError(TFuelStatus::InvalidNumber, InvalidNumberMessage(text));
    }
}

QString FormatFuelFixed(long double value, int decimals, int precision, const QLocale& locale) {
    if (std::isnan(value)) {
        return QStringLiteral("NAN");
    }
    if (std::isinf(value)) {
        return value < 0 ? QStringLiteral("-INF") : QStringLiteral("INF");
    }
    const size_t places = static_cast<size_t>(std::max(decimals, 0));
    precision = std::max(precision, 1);
    const bool negative = std::signbit(value);
    const TDecimalDigits exact = ExactDecimal(std::fabs(value));

    // Whole digits and the kept decimals, rounded at the first dropped digit; the expansion is
    // exact, so a '5' there means at least half, and halves go away from zero.
    const std::string fraction = PaddedTo(exact.fraction, places);
    std::string digits = exact.whole + fraction.substr(0, places);
    if (fraction[places] >= '5') {
        IncrementDigits(&digits);
    }
    const size_t wholeDigits = digits.size() - places;
    if (wholeDigits > static_cast<size_t>(precision)) {
        return Scientific(exact, negative, precision, locale);
    }

    QString text;
    // A value that rounds to zero shows as "0", not "-0".
    if (negative && digits.find_first_not_of('0') != std::string::npos) {
        text += u'-';
    }
    text += QString::fromLatin1(digits.data(), static_cast<qsizetype>(wholeDigits));
    if (places > 0) {
        text += locale.decimalPoint();
        text += QString::fromLatin1(digits.data() + wholeDigits, static_cast<qsizetype>(places));
    }
    return text;
}

int ReadInjectorText(const QString& text) {
    bool ok = false;
    const int value = text.trimmed().toInt(&ok, 10);
    return ok ? value : kMinInjectors;
}

int ClampInjectors(int count) {
    return std::clamp(count, kMinInjectors, kMaxInjectors);
}

int InjectorSpinValue(const QString& text) {
    return ClampInjectors(ReadInjectorText(text));
}

TFuelResult TFuelCalc::Convert(TFuelConversion conversion, const QString& text) const {
    const TFuelNumber input = Read(text);
    if (input.status != TFuelStatus::Ok) {
        return ResultOf(input.status, {}, input.message);
    }
    const TConversionRule rule = RuleFor(conversion);
    // The constant is applied in long double; the product is held as a float again, like
    // every value the calculator shows.
    float converted = 0.0f;
    if (!RoundToFloat(static_cast<long double>(input.value) * rule.factor, &converted)) {
        return ResultOf(TFuelStatus::Overflow, {}, OverflowMessage());
    }
    return ResultOf(TFuelStatus::Ok, Format(converted, rule.decimals, rule.precision), {});
}

TFuelResult TFuelCalc::ReqFuel(const QString& displacementCc, int injectorCount,
                               const QString& flowCcMin) const {
    if (flowCcMin.isEmpty() || displacementCc.isEmpty()) {
        return ResultOf(TFuelStatus::Ok, QStringLiteral("0"), {});
    }
    const TFuelNumber flow = Read(flowCcMin);
    if (flow.status != TFuelStatus::Ok) {
        return ResultOf(flow.status, {}, flow.message);
    }
    const TFuelNumber displacement = Read(displacementCc);
    if (displacement.status != TFuelStatus::Ok) {
        return ResultOf(displacement.status, {}, displacement.message);
    }
    if (injectorCount == 0 || flow.value == 0.0f) {
        return ResultOf(TFuelStatus::DivByZero, {}, DivByZeroMessage());
    }
    long double fuel = kReqFuelFactor * static_cast<long double>(displacement.value);
    fuel /= static_cast<long double>(injectorCount);
    fuel /= static_cast<long double>(flow.value);
    // Held as a float before it is shown, like every value of the calculator: 8.85 is the
    // float 8.85000038, which shows 8.9.
    float shown = 0.0f;
    if (!RoundToFloat(fuel, &shown)) {
        return ResultOf(TFuelStatus::Overflow, {}, OverflowMessage());
    }
    return ResultOf(TFuelStatus::Ok, Format(shown, 1, 5), {});
}
