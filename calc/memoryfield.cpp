#include "calc/memoryfield.h"

#include "calc/messages.h"
#include "platform/numtext.h"

namespace calc {

namespace {

std::string TrimBlanks(const std::string& text) {
    const size_t begin = text.find_first_not_of(' ');
    if (begin == std::string::npos)
        return {};
    return text.substr(begin, text.find_last_not_of(' ') - begin + 1);
}

bool IsDanglingEnd(char c) {
    return c == '+' || c == '-' || c == 'E' || c == 'e' ||
           c == platform::FormatSettings().DecimalSeparator;
}

}  // namespace

long double ParseFieldText(const std::string& text) {
    std::string plain = text;
    if (const size_t percent = plain.find('%'); percent != std::string::npos)
        plain.erase(percent, 1);
    std::erase(plain, platform::FormatSettings().ThousandSeparator);
    plain = TrimBlanks(plain);
    while (!plain.empty() && IsDanglingEnd(plain.back())) {
        plain.pop_back();
        plain = TrimBlanks(plain);
    }
    if (plain.empty())
        return 0;
    long double value = 0;
    if (!platform::TryStrToFloat(plain, value)) {
        throw platform::EConvertError("'" + plain + "' is not a valid floating point value");
    }
    return value;
}

std::string FieldText(long double value, int decimals, bool trimTrailingZeroes) {
    std::string text = platform::FloatToStrFixed(value, decimals);
    const char separator = platform::FormatSettings().DecimalSeparator;
    // An exponent form (a value of 10^18 or more) keeps its digits.
    if (!trimTrailingZeroes || text.find(separator) == std::string::npos ||
        text.find('E') != std::string::npos) {
        return text;
    }
    while (text.back() == '0')
        text.pop_back();
    if (text.back() == separator)
        text.pop_back();
    return text;
}

TMemoryField::TMemoryField(TMemoryFocus& focus, const TMemoryFieldOptions& options,
                           long double initial)
    : focus_(focus), options_(options), value_(initial) {
    text_ = Format(initial);
    value_ = ParseFieldText(text_);
}

std::string TMemoryField::Format(long double value) const {
    return FieldText(value, options_.DecimalPlaces, options_.TrimTrailingZeroes);
}

// The box takes the text: the handler sees the value already converted. A
// text that does not convert stays shown, and the conversion error goes to
// the writer without a change event.
void TMemoryField::ShowText(const std::string& text) {
    if (text == text_)
        return;
    text_ = text;
    value_ = ParseFieldText(text_);
    if (OnChange)
        OnChange();
}

void TMemoryField::DisplayValue() {
    ShowText(Format(value_));
}

void TMemoryField::SetText(const std::string& text) {
    if (text == text_)
        return;
    ShowText(text);
    DisplayValue();
}

long double TMemoryField::AsFloat() const {
    value_ = ParseFieldText(text_);
    return value_;
}

void TMemoryField::SetAsFloat(long double value) {
    if (value == value_)
        return;
    value_ = value;
    DisplayValue();
}

void TMemoryField::SetBounds(long double lower, long double upper) {
    options_.BoundLower = lower;
    options_.BoundUpper = upper;
}

std::string TMemoryField::BoundsMessage() const {
    if (!options_.BoundsEnabled)
        return {};
    const long double value = AsFloat();
    if (value < options_.BoundLower) {
        return kValueBelowLimit +
               platform::FloatToStrFixed(options_.BoundLower, options_.DecimalPlaces);
    }
    if (value > options_.BoundUpper) {
        return kValueAboveLimit +
               platform::FloatToStrFixed(options_.BoundUpper, options_.DecimalPlaces);
    }
    return {};
}

}  // namespace calc
