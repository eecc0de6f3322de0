// Number text: every conversion between numbers and text in the console.
//
// All functions take the decimal separator from one process-wide format
// settings value, read once at start-up from the operator's locale. A fixed
// text is first written with 18 significant digits, and that decimal text is
// rounded half away from zero: 45.25 held with one decimal is 45.3, and so
// is a typed 45.35 whose binary value is 45.3499999...
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace platform {

struct TFormatSettings {
    char DecimalSeparator = '.';
    char ThousandSeparator = ',';
};

// The settings every conversion uses. Start-up fills them from the locale;
// tests and command lines may replace them.
TFormatSettings& FormatSettings();

// Reads the operator's decimal and thousands separators from the system
// locale into FormatSettings(). A separator outside ASCII falls back to the
// C locale's ('.' and ',').
void LoadFormatSettingsFromLocale();

// Raised by StrToFloat: "'%s' is not a valid floating point value".
class EConvertError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Fixed notation with exactly `decimals` decimals (0..18): the value written
// with 18 significant digits, that text rounded to `decimals` half away from
// zero (a typed 1.005 gives 1.01, a computed 135.115 gives 135.12); digits beyond the 18th are
// zeros. A value that needs more than 18
// digits before the separator falls back to the general form with 18
// significant digits (1E18). Non-finite values give "INF", "-INF", "NAN".
std::string FloatToStrFixed(long double value, int decimals);

// Exponent notation with 3 significant digits: one digit, the separator, two
// digits, "E", the exponent's sign and at least two exponent digits
// (62.510151 gives 6.25E+01, 0.00123 gives 1.23E-03).
std::string FloatToStrExp3(long double value);

// General number text: up to 15 significant digits, no trailing zeros, no
// separator when nothing follows it (20, 0.5, 19.5). Fixed notation from
// 0.00001 up to 15 digits before the separator, otherwise exponent notation
// with a sign only for a negative exponent (1E-6, 1.5E15).
std::string FloatToStrGeneral(long double value);

// The general number text with at most `digits` (1..15) significant digits,
// rounded half away from zero on the value's 18-digit text: an uncertainty
// budget's figures (0.350712 with 4 gives 0.3507, 1.2345 with 4 gives 1.235).
std::string FloatToStrSignificant(long double value, int digits);

// The instruments' fixed display format with `decimals` decimals: rounded to
// 4 significant digits or to `decimals`, whichever keeps fewer digits; a
// rounded magnitude of 10000 or more in exponent form (12345.6 with 2
// decimals gives 1.235E04); INF, -INF, NAN for non-finite values.
std::string FloatToDisplay(long double value, int decimals);

// The text of a numeric field with `decimals` decimals: FloatToStrFixed,
// then, when the field trims, without the zeros after the separator and
// without the separator when nothing follows it (405.40 gives 405.4, 40.0
// gives 40). An exponent form keeps its digits.
std::string FieldText(long double value, int decimals, bool trimTrailingZeroes);

// The value a numeric field reads from its text: the first "%", thousands
// separators and surrounding blanks are ignored, a trailing sign, exponent
// mark or separator is dropped, and nothing left reads as 0. Anything else
// that does not convert raises EConvertError.
long double FieldTextToFloat(const std::string& text);

// `value` as a field with `decimals` holds it: the number its text reads as.
long double HeldValue(long double value, int decimals);

// Strict conversion of a whole text with the current decimal separator:
// optional surrounding blanks, an optional sign, digits with at most one
// separator, an optional exponent. Anything else raises EConvertError.
long double StrToFloat(std::string_view text);

// As StrToFloat, but returns false instead of raising.
bool TryStrToFloat(std::string_view text, long double& value);

// Strict integer conversion: decimal, or hexadecimal with a leading "$" or
// "0x"; returns false for anything else or a value outside int.
bool TryStrToInt(std::string_view text, int& value);

}  // namespace platform
