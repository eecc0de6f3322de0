#include "app/calcfields.h"

#include "calc/calculator.h"

namespace app {

int CalcKeyCode(int qtKey) {
    return qtKey == Qt::Key_Return || qtKey == Qt::Key_Enter ? calc::vkReturn : qtKey;
}

bool TFloatEditField::Focused() const {
    return edit_.window()->focusWidget() == &edit_;
}

void TTextEditField::SetText(const std::string& text) {
    const QString shown = QString::fromStdString(text);
    if (edit_.text() != shown)
        edit_.setText(shown);
}

}  // namespace app
