// The numeric edit field that holds every number of the console's windows.
//
// A field holds an extended-precision value and shows it in fixed notation
// with its decimals (optionally without trailing zeros), admits only number
// characters, toggles the sign with the sign keys, and checks its bounds when
// the operator leaves it. A value written to it is held rounded to its
// decimals: the text is the truth, and every read converts it again.
//
// TBaseNumericEdit holds the value, the decimals, the sign keys and the font
// colour by sign; TPosFloatEdit converts and displays, with scale, bounds and
// trimming, and admits no minus key; TFloatEdit admits the minus key as well.
#pragma once

#include "panels/valueedit.h"

namespace panels {

class TBaseNumericEdit : public TBaseEdit {
    Q_OBJECT

  public:
    explicit TBaseNumericEdit(QWidget* parent = nullptr);

    // Decimals shown (at most 18).
    int DecimalPlaces() const { return FDecimalPlaces; }
    void SetDecimalPlaces(int value);

    bool UseSignToggling() const { return FUseSignToggling; }
    void SetUseSignToggling(bool value) { FUseSignToggling = value; }
    // An explicit "+" in front of positive values.
    bool ShowPosSign() const { return FShowPosSign; }
    void SetShowPosSign(bool value);

    // Font colours by the sign of the value, applied at every redisplay.
    QColor ColorFontNeg() const { return FColorFontNeg; }
    void SetColorFontNeg(const QColor& value);
    QColor ColorFontPos() const { return FColorFontPos; }
    void SetColorFontPos(const QColor& value);

  protected:
    void ResetColors() override;
    std::bitset<256> BuildValidChars() const override;
    bool KeyPress(int ch) override;
    // Sets the font colour for the sign of the stored value.
    void ApplySignColor();

    long double FValue = 0;

  private:
    bool PlusKey(int ch);
    bool MinusKey(int ch);
    bool SeparatorKey(int ch);

    int FDecimalPlaces = 4;
    bool FUseSignToggling = true;
    bool FShowPosSign = false;
    QColor FColorFontNeg, FColorFontPos;
};

class TPosFloatEdit : public TBaseNumericEdit {
    Q_OBJECT

  public:
    explicit TPosFloatEdit(QWidget* parent = nullptr);

    // Reading converts the current text first; writing redisplays.
    long double AsFloat();
    void SetAsFloat(long double value);

    bool TrimTrailingZeroes() const { return FTrimTrailingZeroes; }
    void SetTrimTrailingZeroes(bool value);

    // The value shown is the stored value divided by Scale.
    long double Scale() const { return FScale; }
    void SetScale(long double value);

    long double BoundLower() const { return FBoundLower; }
    void SetBoundLower(long double value) { FBoundLower = value; }
    long double BoundUpper() const { return FBoundUpper; }
    void SetBoundUpper(long double value) { FBoundUpper = value; }

  protected:
    void ParseText() override;
    void DisplayValue() override;
    bool CheckBounds() override;

  private:
    bool FTrimTrailingZeroes = false;
    long double FScale = 1.0L;
    long double FBoundLower = 0;
    long double FBoundUpper = 0;
};

class TFloatEdit : public TPosFloatEdit {
    Q_OBJECT

  public:
    explicit TFloatEdit(QWidget* parent = nullptr);

  protected:
    std::bitset<256> BuildValidChars() const override;
};

}  // namespace panels
