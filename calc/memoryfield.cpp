#include "calc/memoryfield.h"

#include "calc/messages.h"
#include "platform/numtext.h"

namespace calc {

TMemoryField::TMemoryField(TMemoryFocus& focus, const TMemoryFieldOptions& options,
                           long double initial)
    : focus_(focus), options_(options), value_(initial) {
    text_ = Format(initial);
    value_ = platform::FieldTextToFloat(text_);
}

std::string TMemoryField::Format(long double value) const {
    return platform::FieldText(value, options_.DecimalPlaces, options_.TrimTrailingZeroes);
}

// The box takes the text: the handler sees the value already converted. A
// text that does not convert stays shown, and the conversion error goes to
// the writer without a change event.
void TMemoryField::ShowText(const std::string& text) {
    if (text == text_)
        return;
    text_ = text;
    value_ = platform::FieldTextToFloat(text_);
    if (OnChange)
        OnChange();
}

void TMemoryField::DisplayValue() {
    ShowText(Format(value_));
}

void TMemoryField::SetText(const std::string& text) {
    if (text == text_)
        return;
    cleared_ = false;
    ShowText(text);
    DisplayValue();
}

long double TMemoryField::AsFloat() const {
    value_ = platform::FieldTextToFloat(text_);
    return value_;
}

void TMemoryField::SetAsFloat(long double value) {
    if (value == value_ && !cleared_)
        return;
    value_ = value;
    cleared_ = false;
    DisplayValue();
}

void TMemoryField::Clear() {
    cleared_ = true;
    ShowText("");
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
