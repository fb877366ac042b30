// The fuel calculator's arithmetic and texts, free of widgets: reading numbers typed in the
// user's locale, the four unit conversions, the fuel constant, and the fixed-point text the
// dialog writes. The dialog only wires its edits to these operations and shows the results.
//
// Numbers are read as single-precision floats. Constants are applied in long double; every
// result (a converted value, the fuel constant) is rounded back to float before it is
// formatted.
//
// Nothing here throws. Every operation returns a status; the error statuses carry the text
// the dialog shows in its message box.
#pragma once

#include <QLocale>
#include <QString>

enum class TFuelStatus {
    Ok,             // text holds the result: write it
    Empty,          // the input is empty: the conversion stops, nothing is written
    Incomplete,     // the input is the beginning of a number still being typed: wait silently
    InvalidNumber,  // error: the input can never become a number
    DivByZero,      // error: the fuel constant would divide by zero
    Overflow,       // error: a value is beyond the range of a float
};

// Errors are the statuses that carry a message for the user.
inline bool IsFuelError(TFuelStatus status) {
    return status == TFuelStatus::InvalidNumber || status == TFuelStatus::DivByZero ||
           status == TFuelStatus::Overflow;
}

// A number read from an edit. value is meaningful only when status is Ok.
struct TFuelNumber {
    TFuelStatus status = TFuelStatus::Ok;
    float value = 0.0f;
    QString message;  // set for the error statuses only
};

// The outcome of a conversion or of the fuel constant.
struct TFuelResult {
    TFuelStatus status = TFuelStatus::Ok;
    QString text;     // the formatted result when status is Ok, otherwise empty
    QString message;  // set for the error statuses only

    bool IsError() const { return IsFuelError(status); }
};

// The four conversions, each named by the edited field's unit and its partner's unit.
enum class TFuelConversion {
    CcToCid,      // engine displacement, CC to CID: 0 decimals, precision 4
    CidToCc,      // CID to CC: 0 decimals, precision 5
    CcMinToLbHr,  // injector flow, CC/min to lb/hr: 1 decimal, precision 4
    LbHrToCcMin,  // lb/hr to CC/min: 0 decimals, precision 5
};

// Message texts, also used by the tests.
QString InvalidNumberMessage(const QString& text);  // "'abc' is not a valid floating point value"
QString DivByZeroMessage();                         // "Floating point division by zero"
QString OverflowMessage();                          // "Floating point overflow"

// Reads text as a float in the locale. Accepted: optional white space, an optional sign ('+',
// '-' or the locale's own signs), ASCII digits with the locale's decimal separator (digits on
// at least one side of it), an optional exponent 'e' or 'E' with an optional sign and digits,
// optional white space. No thousands separators. The decimal value is rounded to the nearest
// float; values too small for a float read as zero with their sign, values too large are
// Overflow. "" is Empty; a text that some continuation would make valid ("-", ".", "1e-", " ")
// is Incomplete; anything else is InvalidNumber.
TFuelNumber ReadFuelNumber(const QString& text, const QLocale& locale);

// Fixed-point text of value with `decimals` decimals and at most `precision` whole digits:
// rounded to `decimals` decimals, halves away from zero (the exact binary value decides, so
// 0.15 held as a double, 0.1499999..., gives "0.1"); at least one digit before the locale's
// decimal separator; ASCII digits; a leading '-' when negative, but never "-0"; no thousands
// separators. When the rounded whole part has more than `precision` digits the text is
// scientific instead: `precision` significant digits rounded halves away from zero, the locale's
// decimal separator after the first digit, 'E', the exponent's sign and at least two exponent
// digits, as in "1.2346E+05" (precision 5) or "-3.402E+38" (precision 4). Infinities and NaN
// give "INF", "-INF" and "NAN". decimals below 0 count as 0, precision below 1 as 1.
QString FormatFuelFixed(long double value, int decimals, int precision, const QLocale& locale);

// The injector spin edit's text read as an integer (surrounding white space and a sign are
// allowed); a text that is not an integer reads as the minimum, kMinInjectors. Not clamped:
// while the user types, "0" reads as 0 and "20" as 20.
constexpr int kMinInjectors = 1;
constexpr int kMaxInjectors = 16;
int ReadInjectorText(const QString& text);
// Forces a count into kMinInjectors..kMaxInjectors, as the spin edit does when it loses the
// focus or is stepped with its arrows.
int ClampInjectors(int count);
// ReadInjectorText then ClampInjectors: the value the spin edit settles on.
int InjectorSpinValue(const QString& text);

// The calculator in one locale. Holds no state besides the locale; the dialog's texts are its
// state.
class TFuelCalc {
public:
    explicit TFuelCalc(const QLocale& userLocale = QLocale()) : locale(userLocale) {}

    // Converts the text of an edited field for its partner field. Empty and Incomplete mean
    // the partner and the fuel constant keep their texts.
    TFuelResult Convert(TFuelConversion conversion, const QString& text) const;

    // The fuel constant, 6.49 x displacement / injectorCount / flow, divided left to right in
    // long double and held as a float; text with 1 decimal, precision 5. The count is the spin
    // edit's value as read while typing (ReadInjectorText), so it can be 0. When either text is
    // empty the result is Ok with "0"; otherwise the flow is read before the displacement, and the
    // first that is not Ok decides the status. A zero count or flow gives DivByZero.
    TFuelResult ReqFuel(const QString& displacementCc, int injectorCount,
                        const QString& flowCcMin) const;

    TFuelNumber Read(const QString& text) const { return ReadFuelNumber(text, locale); }
    QString Format(long double value, int decimals, int precision) const {
        return FormatFuelFixed(value, decimals, precision, locale);
    }
    const QLocale& Locale() const { return locale; }

private:
    QLocale locale;
};
