// The window's fields as the calculator sees them.
//
// The calculator reads and writes fields through calc::TCalcField; these
// adapters give it the window's numeric edit fields and the reservoir-output
// text box, and turn the fields' Qt key codes into the calculator's.
#pragma once

#include <QLineEdit>

#include "calc/calcfield.h"
#include "panels/floatedit.h"

namespace app {

// Enter from the main or the keypad Return key is the calculator's vkReturn;
// other keys keep their Qt code (no Qt key code equals 13).
int CalcKeyCode(int qtKey);

class TFloatEditField : public calc::TCalcField {
  public:
    explicit TFloatEditField(panels::TFloatEdit& edit) : edit_(edit) {}

    std::string Text() const override { return edit_.Text(); }
    void SetText(const std::string& text) override { edit_.SetText(text); }
    long double AsFloat() const override { return edit_.AsFloat(); }
    void SetAsFloat(long double value) override { edit_.SetAsFloat(value); }
    // The field's null state, with its empty null text.
    void Clear() override { edit_.SetNull(true); }

    bool BoundsEnabled() const override { return edit_.BoundsEnabled(); }
    long double BoundLower() const override { return edit_.BoundLower(); }
    long double BoundUpper() const override { return edit_.BoundUpper(); }

    bool ReadOnly() const override { return edit_.ReadOnly(); }
    void SetReadOnly(bool readOnly) override { edit_.SetReadOnly(readOnly); }

    // The window's input focus: also while one of its message boxes is open.
    bool Focused() const override;
    void SetFocus() override { edit_.SetFocus(); }

  private:
    panels::TFloatEdit& edit_;
};

class TTextEditField : public calc::TCalcTextField {
  public:
    explicit TTextEditField(QLineEdit& edit) : edit_(edit) {}

    std::string Text() const override { return edit_.text().toStdString(); }
    void SetText(const std::string& text) override;

  private:
    QLineEdit& edit_;
};

}  // namespace app
