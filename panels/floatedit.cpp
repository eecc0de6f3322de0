#include "panels/floatedit.h"

#include <QApplication>
#include <cmath>

#include "panels/messages.h"
#include "platform/fperror.h"
#include "platform/numtext.h"

namespace panels {

namespace {

constexpr int kMaxDecimals = 18;
constexpr int kDefaultWidth = 81;

char DecimalSeparator() {
    return platform::FormatSettings().DecimalSeparator;
}

}  // namespace

// ---------------------------------------------------------------------------
// TBaseNumericEdit

TBaseNumericEdit::TBaseNumericEdit(QWidget* parent) : TBaseEdit(parent) {
    const QColor text = QApplication::palette().color(QPalette::Text);
    FColorFontNeg = text;
    FColorFontPos = text;
    RefreshValidChars();
}

void TBaseNumericEdit::SetDecimalPlaces(int value) {
    value = std::clamp(value, 0, kMaxDecimals);
    if (value == FDecimalPlaces)
        return;
    FDecimalPlaces = value;
    DisplayValue();
}

void TBaseNumericEdit::SetShowPosSign(bool value) {
    if (value == FShowPosSign)
        return;
    FShowPosSign = value;
    DisplayValue();
}

void TBaseNumericEdit::SetColorFontNeg(const QColor& value) {
    if (value == FColorFontNeg)
        return;
    FColorFontNeg = value;
    ApplySignColor();
}

void TBaseNumericEdit::SetColorFontPos(const QColor& value) {
    if (value == FColorFontPos)
        return;
    FColorFontPos = value;
    ApplySignColor();
}

void TBaseNumericEdit::ResetColors() {
    TBaseEdit::ResetColors();
    FColorFontNeg = QApplication::palette().color(QPalette::Text);
    FColorFontPos = FColorFontNeg;
    ApplyColorRule();
    ApplySignColor();
}

std::bitset<256> TBaseNumericEdit::BuildValidChars() const {
    std::bitset<256> chars;
    chars.set('+');
    for (char digit = '0'; digit <= '9'; ++digit)
        chars.set(static_cast<unsigned char>(digit));
    chars.set(static_cast<unsigned char>(platform::FormatSettings().ThousandSeparator));
    chars.set(static_cast<unsigned char>(DecimalSeparator()));
    return chars;
}

bool TBaseNumericEdit::KeyPress(int ch) {
    if (ch == '+' && IsValidChar(ch))
        return PlusKey(ch);
    if (ch == '-' && IsValidChar(ch))
        return MinusKey(ch);
    if (ch == static_cast<unsigned char>(DecimalSeparator()) && IsValidChar(ch))
        return SeparatorKey(ch);
    return TBaseEdit::KeyPress(ch);
}

void TBaseNumericEdit::ApplySignColor() {
    const bool negative = FValue < 0 || std::isnan(FValue);
    SetFontColor(negative ? FColorFontNeg : FColorFontPos);
}

// "+" makes a shown number non-negative and, with sign toggling, switches
// the explicit plus sign on or off; in an empty box it types a "+" only
// when the plus sign is now wanted.
bool TBaseNumericEdit::PlusKey(int ch) {
    if (FUseSignToggling)
        FShowPosSign = !FShowPosSign;
    LeaveNullOrDeleteSelection();
    if (Text().empty())
        return FShowPosSign ? TBaseEdit::KeyPress(ch) : true;
    ParseText();
    FValue = std::fabs(FValue);
    DisplayValue();
    return true;
}

// "-" toggles the sign of a shown number and starts a negative number in an
// empty box.
bool TBaseNumericEdit::MinusKey(int ch) {
    LeaveNullOrDeleteSelection();
    if (Text().empty())
        return TBaseEdit::KeyPress(ch);
    ParseText();
    if (FUseSignToggling || FValue > 0)
        FValue = -FValue;
    if (FValue == 0)
        FValue = 0;  // no "-0"
    DisplayValue();
    return true;
}

bool TBaseNumericEdit::SeparatorKey(int ch) {
    LeaveNullOrDeleteSelection();
    if (Text().find(DecimalSeparator()) != std::string::npos) {
        QApplication::beep();
        return true;
    }
    return TBaseEdit::KeyPress(ch);
}

// ---------------------------------------------------------------------------
// TPosFloatEdit

TPosFloatEdit::TPosFloatEdit(QWidget* parent) : TBaseNumericEdit(parent) {
    resize(kDefaultWidth, height());
    DisplayValue();
}

long double TPosFloatEdit::AsFloat() {
    ParseText();
    return FValue;
}

void TPosFloatEdit::SetAsFloat(long double value) {
    if (value == FValue && !FNull)
        return;
    FValue = value;
    FNull = false;
    DisplayValue();
}

void TPosFloatEdit::SetTrimTrailingZeroes(bool value) {
    if (value == FTrimTrailingZeroes)
        return;
    FTrimTrailingZeroes = value;
    DisplayValue();
}

void TPosFloatEdit::SetScale(long double value) {
    value = std::fabs(value);
    if (value == 0)
        value = 1.0L;
    if (value == FScale)
        return;
    FScale = value;
    DisplayValue();
}

void TPosFloatEdit::ParseText() {
    if (FNull) {
        FValue = 0;
        return;
    }
    const long double value = platform::Checked(platform::FieldTextToFloat(Text()) * FScale);
    if (value != FValue)
        FValue = value;
}

void TPosFloatEdit::DisplayValue() {
    if (FNull) {
        SetText(NullStr());
        return;
    }
    const long double shown = FValue / FScale;
    std::string text = platform::FieldText(shown, DecimalPlaces(), FTrimTrailingZeroes);
    if (ShowPosSign() && shown > 0)
        text.insert(0, 1, '+');
    SetText(text);
    ApplySignColor();
}

bool TPosFloatEdit::CheckBounds() {
    if (FValue < FBoundLower) {
        ReportBoundsError(msg::kValueBelowLimit +
                          platform::FloatToStrFixed(FBoundLower, DecimalPlaces()));
        return false;
    }
    if (FValue > FBoundUpper) {
        ReportBoundsError(msg::kValueAboveLimit +
                          platform::FloatToStrFixed(FBoundUpper, DecimalPlaces()));
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// TFloatEdit

TFloatEdit::TFloatEdit(QWidget* parent) : TPosFloatEdit(parent) {
    RefreshValidChars();
}

std::bitset<256> TFloatEdit::BuildValidChars() const {
    std::bitset<256> chars = TPosFloatEdit::BuildValidChars();
    chars.set('-');
    return chars;
}

}  // namespace panels
