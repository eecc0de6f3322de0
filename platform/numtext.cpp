#include "platform/numtext.h"

#include <locale.h>
#include <QLocale>
#include <QString>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace platform {

namespace {

// A finite value as decimal digits: value = 0.Digits x 10^Exponent, the
// digits without leading or trailing zeros; no digits means zero.
struct TDecimal {
    bool Negative = false;
    std::string Digits;
    int Exponent = 0;
};

// 120 significant digits of the exact binary value: enough that a tie at
// any place this module rounds to is seen as a tie, and a value just off a
// tie is never mistaken for one.
constexpr int ExpansionDigits = 120;

// The significant digits a fixed text is first written with, before it is
// rounded to its decimals.
constexpr int kWrittenDigits = 18;

TDecimal Expand(long double value) {
    TDecimal d;
    d.Negative = std::signbit(value);
    const long double magnitude = std::fabs(value);
    if (magnitude == 0.0L)
        return d;
    char text[ExpansionDigits + 16];
    std::snprintf(text, sizeof text, "%.*Le", ExpansionDigits - 1, magnitude);
    const char* p = text;
    d.Digits.reserve(ExpansionDigits);
    for (; *p != 'e'; ++p) {
        if (*p != '.')
            d.Digits.push_back(*p);
    }
    d.Exponent = std::atoi(p + 1) + 1;
    d.Digits.erase(d.Digits.find_last_not_of('0') + 1);
    return d;
}

// Keeps `count` significant digits, a tie rounded away from zero.
void RoundDigits(TDecimal& d, int count) {
    if (d.Digits.empty() || count >= static_cast<int>(d.Digits.size()))
        return;
    if (count < 0) {
        d.Digits.clear();
        return;
    }
    const bool up = d.Digits[count] >= '5';
    d.Digits.resize(count);
    if (up) {
        int i = count - 1;
        while (i >= 0 && d.Digits[i] == '9')
            d.Digits[i--] = '0';
        if (i >= 0) {
            ++d.Digits[i];
        } else {
            d.Digits.insert(d.Digits.begin(), '1');
            ++d.Exponent;
        }
    }
    d.Digits.erase(d.Digits.find_last_not_of('0') + 1);
}

char DigitAt(const TDecimal& d, int index) {
    return index >= 0 && index < static_cast<int>(d.Digits.size()) ? d.Digits[index] : '0';
}

std::string NonFinite(long double value) {
    if (std::isnan(value))
        return "NAN";
    return value < 0 ? "-INF" : "INF";
}

std::string Sign(const TDecimal& d) {
    return d.Negative && !d.Digits.empty() ? "-" : "";
}

std::string ExponentDigits(int exponent, int minDigits) {
    std::string text = std::to_string(std::abs(exponent));
    if (static_cast<int>(text.size()) < minDigits)
        text.insert(0, minDigits - text.size(), '0');
    return text;
}

// Exponent form of the general format: significant digits without trailing
// zeros, a sign only for a negative exponent.
std::string GeneralExponent(const TDecimal& d, int expDigits) {
    std::string text = Sign(d);
    text += d.Digits[0];
    if (d.Digits.size() > 1) {
        text += FormatSettings().DecimalSeparator;
        text.append(d.Digits, 1);
    }
    const int exponent = d.Exponent - 1;
    text += 'E';
    if (exponent < 0)
        text += '-';
    return text + ExponentDigits(exponent, expDigits);
}

// Fixed notation of already rounded digits with exactly `decimals` decimals.
std::string FixedText(const TDecimal& d, int decimals) {
    std::string text = Sign(d);
    if (d.Exponent <= 0) {
        text += '0';
    } else {
        for (int i = 0; i < d.Exponent; ++i)
            text += DigitAt(d, i);
    }
    if (decimals > 0) {
        text += FormatSettings().DecimalSeparator;
        for (int i = 0; i < decimals; ++i)
            text += DigitAt(d, d.Exponent + i);
    }
    return text;
}

std::string General(long double value, int precision, int expDigits, bool writtenFirst = false) {
    if (!std::isfinite(value))
        return NonFinite(value);
    TDecimal d = Expand(value);
    if (writtenFirst)
        RoundDigits(d, kWrittenDigits);
    RoundDigits(d, precision);
    if (d.Digits.empty())
        return "0";
    if (d.Exponent > precision || d.Exponent < -4)
        return GeneralExponent(d, expDigits);
    const int decimals = std::max(0, static_cast<int>(d.Digits.size()) - d.Exponent);
    return FixedText(d, decimals);
}

// Fixed notation with `precision` significant digits at most and exactly
// `decimals` decimals; too many digits before the separator fall back to
// the general form, whose exponent has at least `decimals` digits (none
// required above 4). The value is first written with 18 significant digits
// and that text is rounded, so a typed 45.35 (held as 45.3499999...) shows
// 45.4 with one decimal, as the operator typed it.
std::string Fixed(long double value, int precision, int decimals) {
    if (!std::isfinite(value))
        return NonFinite(value);
    TDecimal d = Expand(value);
    RoundDigits(d, kWrittenDigits);
    RoundDigits(d, std::min(precision, d.Exponent + decimals));
    if (d.Digits.empty())
        return FixedText(d, decimals);
    if (d.Exponent > precision)
        return GeneralExponent(d, decimals > 4 ? 0 : decimals);
    return FixedText(d, decimals);
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool IsControlOrBlank(char c) {
    return static_cast<unsigned char>(c) <= ' ';
}

void TrimControlsAndBlanks(std::string& text) {
    while (!text.empty() && IsControlOrBlank(text.back()))
        text.pop_back();
    size_t first = 0;
    while (first < text.size() && IsControlOrBlank(text[first]))
        ++first;
    text.erase(0, first);
}

// A field's text as the operator may have left it, reduced to what
// converts: no percent sign, no thousands separators, no dangling sign,
// exponent mark or separator at the end ("12.", "-", "1e" are numbers being
// typed).
std::string FieldNumberPart(std::string text) {
    const TFormatSettings& settings = FormatSettings();
    if (const size_t percent = text.find('%'); percent != std::string::npos)
        text.erase(percent, 1);
    if (settings.ThousandSeparator != settings.DecimalSeparator)
        std::erase(text, settings.ThousandSeparator);
    TrimControlsAndBlanks(text);
    while (!text.empty()) {
        const char last = text.back();
        if (last != '+' && last != '-' && last != 'E' && last != 'e' &&
            last != settings.DecimalSeparator)
            break;
        text.pop_back();
        TrimControlsAndBlanks(text);
    }
    return text;
}

locale_t CLocale() {
    static const locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return c;
}

// The locale's separators as single ASCII characters; the two always differ.
TFormatSettings FromLocale(const QLocale& locale) {
    TFormatSettings settings;
    const QString decimal = locale.decimalPoint();
    if (decimal.size() == 1 && decimal[0].unicode() < 0x80) {
        settings.DecimalSeparator = static_cast<char>(decimal[0].unicode());
    }
    const QString group = locale.groupSeparator();
    if (group.size() == 1 && group[0].unicode() < 0x80) {
        settings.ThousandSeparator = static_cast<char>(group[0].unicode());
    } else {
        settings.ThousandSeparator = ' ';
    }
    if (settings.ThousandSeparator == settings.DecimalSeparator) {
        settings.ThousandSeparator = settings.DecimalSeparator == ',' ? '.' : ',';
    }
    return settings;
}

}  // namespace

TFormatSettings& FormatSettings() {
    static TFormatSettings settings;
    return settings;
}

void LoadFormatSettingsFromLocale() {
    FormatSettings() = FromLocale(QLocale::system());
}

std::string FloatToStrFixed(long double value, int decimals) {
    return Fixed(value, 18, std::clamp(decimals, 0, 18));
}

std::string FloatToStrExp3(long double value) {
    if (!std::isfinite(value))
        return NonFinite(value);
    TDecimal d = Expand(value);
    RoundDigits(d, 3);
    std::string text = Sign(d);
    text += DigitAt(d, 0);
    text += FormatSettings().DecimalSeparator;
    text += DigitAt(d, 1);
    text += DigitAt(d, 2);
    const int exponent = d.Digits.empty() ? 0 : d.Exponent - 1;
    text += exponent < 0 ? "E-" : "E+";
    return text + ExponentDigits(exponent, 2);
}

std::string FloatToStrGeneral(long double value) {
    return General(value, 15, 0);
}

std::string FloatToStrSignificant(long double value, int digits) {
    return General(value, std::clamp(digits, 1, 15), 0, true);
}

std::string FloatToDisplay(long double value, int decimals) {
    return Fixed(value, 4, std::max(decimals, 0));
}

std::string FieldText(long double value, int decimals, bool trimTrailingZeroes) {
    std::string text = FloatToStrFixed(value, decimals);
    const char separator = FormatSettings().DecimalSeparator;
    // An exponent form (a value of 10^18 or more) keeps its digits: its last
    // zeros belong to the exponent.
    if (!trimTrailingZeroes || text.find(separator) == std::string::npos ||
        text.find_first_of("Ee") != std::string::npos) {
        return text;
    }
    while (text.back() == '0')
        text.pop_back();
    if (text.back() == separator)
        text.pop_back();
    return text;
}

long double FieldTextToFloat(const std::string& text) {
    const std::string number = FieldNumberPart(text);
    if (number.empty())
        return 0;
    return StrToFloat(number);
}

long double HeldValue(long double value, int decimals) {
    return FieldTextToFloat(FieldText(value, decimals, false));
}

bool TryStrToFloat(std::string_view text, long double& value) {
    const char separator = FormatSettings().DecimalSeparator;
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && IsBlank(text[begin]))
        ++begin;
    while (end > begin && IsBlank(text[end - 1]))
        --end;

    // Rebuild the number in the C locale's form, accepting only
    // [sign] digits [separator digits] [E [sign] digits] with at least one
    // mantissa digit.
    std::string plain;
    size_t i = begin;
    if (i < end && (text[i] == '+' || text[i] == '-'))
        plain += text[i++];
    int mantissaDigits = 0;
    for (; i < end && std::isdigit(static_cast<unsigned char>(text[i])); ++i, ++mantissaDigits) {
        plain += text[i];
    }
    if (i < end && text[i] == separator) {
        plain += '.';
        for (++i; i < end && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
            plain += text[i];
            ++mantissaDigits;
        }
    }
    if (mantissaDigits == 0)
        return false;
    if (i < end && (text[i] == 'E' || text[i] == 'e')) {
        plain += 'e';
        ++i;
        if (i < end && (text[i] == '+' || text[i] == '-'))
            plain += text[i++];
        int exponentDigits = 0;
        for (; i < end && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
            plain += text[i];
            ++exponentDigits;
        }
        if (exponentDigits == 0)
            return false;
    }
    if (i != end)
        return false;

    errno = 0;
    const long double result = strtold_l(plain.c_str(), nullptr, CLocale());
    if (!std::isfinite(result))
        return false;
    value = result;
    return true;
}

long double StrToFloat(std::string_view text) {
    long double value = 0;
    if (!TryStrToFloat(text, value)) {
        throw EConvertError("'" + std::string(text) + "' is not a valid floating point value");
    }
    return value;
}

bool TryStrToInt(std::string_view text, int& value) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    int base = 10;
    if (i < text.size() && text[i] == '$') {
        base = 16;
        ++i;
    } else if (i + 1 < text.size() && text[i] == '0' &&
               (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i == text.size())
        return false;
    long long magnitude = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        int digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else {
            return false;
        }
        magnitude = magnitude * base + digit;
        if (magnitude > 0x100000000LL)
            return false;
    }
    const long long result = negative ? -magnitude : magnitude;
    // Hexadecimal texts name a bit pattern, so $FFFFFFFF is -1 as in a
    // 32-bit register.
    if (base == 16 && !negative && result <= 0xFFFFFFFFLL) {
        value = static_cast<int>(static_cast<unsigned>(result));
        return true;
    }
    if (result < std::numeric_limits<int>::min() || result > std::numeric_limits<int>::max()) {
        return false;
    }
    value = static_cast<int>(result);
    return true;
}

}  // namespace platform
