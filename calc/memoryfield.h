// Numeric and text fields held in memory, behaving as the window's numeric
// edit fields do for everything the calculator relies on: a value is held
// rounded to the field's decimals (fixed notation, then trimmed), a text is
// interpreted as typed text, and the change handler runs only when the shown
// text changes. The command line and the tests use them in place of widgets.
#pragma once

#include "calc/calcfield.h"

#include <functional>
#include <string>

namespace calc {

// Which control of an in-memory window has the input focus.
struct TMemoryFocus {
    const void* Current = nullptr;
};

struct TMemoryFieldOptions {
    int DecimalPlaces = 4;
    bool TrimTrailingZeroes = false;
    bool BoundsEnabled = false;
    long double BoundLower = 0;
    long double BoundUpper = 0;
    bool ReadOnly = false;
};

class TMemoryField : public TCalcField {
  public:
    TMemoryField(TMemoryFocus& focus, const TMemoryFieldOptions& options, long double initial);

    // Raised after every change of the shown text, with the new value held.
    std::function<void()> OnChange;

    std::string Text() const override { return text_; }
    void SetText(const std::string& text) override;
    long double AsFloat() const override;
    void SetAsFloat(long double value) override;
    void Clear() override;

    bool BoundsEnabled() const override { return options_.BoundsEnabled; }
    long double BoundLower() const override { return options_.BoundLower; }
    long double BoundUpper() const override { return options_.BoundUpper; }
    void SetBounds(long double lower, long double upper);

    bool ReadOnly() const override { return options_.ReadOnly; }
    void SetReadOnly(bool readOnly) override { options_.ReadOnly = readOnly; }

    bool Focused() const override { return focus_.Current == this; }
    void SetFocus() override { focus_.Current = this; }

    int DecimalPlaces() const { return options_.DecimalPlaces; }

    // The message a numeric field shows when it is left holding a value
    // outside its enabled bounds ("Your entered Value is below the acceptable
    // limit of 30.0"); empty when the value passes.
    std::string BoundsMessage() const;

  private:
    std::string Format(long double value) const;
    void ShowText(const std::string& text);
    void DisplayValue();

    TMemoryFocus& focus_;
    TMemoryFieldOptions options_;
    mutable long double value_ = 0;
    bool cleared_ = false;
    std::string text_;
};

class TMemoryTextField : public TCalcTextField {
  public:
    std::string Text() const override { return text_; }
    void SetText(const std::string& text) override { text_ = text; }

  private:
    std::string text_;
};

}  // namespace calc
