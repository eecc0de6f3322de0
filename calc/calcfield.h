// The calculator's view of one field of the main window.
//
// The calculator never touches a widget. It reads and writes the window's
// fields through these interfaces; the window adapts each of its numeric edit
// fields to `TCalcField` (and the reservoir-output text field to
// `TCalcTextField`), and `TMemoryField` realises them in memory for the
// command line and the tests.
#pragma once

#include <string>

namespace calc {

// A field that shows a text: the reservoir-output field (edtSatConc).
class TCalcTextField {
  public:
    virtual ~TCalcTextField() = default;

    virtual std::string Text() const = 0;
    // Shows `text`. A numeric field interprets it as typed text and
    // normalises it to its own format; a text it cannot convert stays shown
    // and raises the conversion error.
    virtual void SetText(const std::string& text) = 0;
};

// A numeric edit field. Contract the calculator relies on:
//  - AsFloat() is the value as held: the number its shown text converts to
//    (so it is rounded to the field's decimals). A text that does not convert
//    raises platform::EConvertError.
//  - SetAsFloat(v) formats v in fixed notation with the field's decimals and
//    the locale's separator, drops trailing zeros if the field trims, shows
//    that text, and raises the field's change handler only when the shown
//    text changes.
//  - SetText(t) shows t, raising the change handler when the text changes,
//    then normalises it as SetAsFloat would.
//  - Clear() shows no value (an empty text, raising the change handler when
//    the text changes): a result that could not be computed. The next
//    SetAsFloat shows a value again, even the one held before.
class TCalcField : public TCalcTextField {
  public:
    virtual long double AsFloat() const = 0;
    virtual void SetAsFloat(long double value) = 0;
    virtual void Clear() = 0;

    virtual bool BoundsEnabled() const = 0;
    virtual long double BoundLower() const = 0;
    virtual long double BoundUpper() const = 0;

    virtual bool ReadOnly() const = 0;
    virtual void SetReadOnly(bool readOnly) = 0;

    // True while the field has the input focus.
    virtual bool Focused() const = 0;
    virtual void SetFocus() = 0;
};

}  // namespace calc
