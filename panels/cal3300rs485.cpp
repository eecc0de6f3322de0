#include "panels/cal3300rs485.h"

#include <QApplication>
#include <QToolButton>

#include "panels/floatedit.h"

namespace panels {

namespace {

constexpr char kButtonCaption[] = "Set Temp";
constexpr char kButtonHint[] = "Set Temperature";

bool IsEnter(int key) {
    return key == Qt::Key_Return || key == Qt::Key_Enter;
}

}  // namespace

TCal3300rs485::TCal3300rs485(QWidget* parent)
    : TInstrumentPanel({.Led = {0, 0, 54, 21},
                        .Picture = "CAL3300",
                        .PictureAt = {0, 22},
                        .Button = {0, 42, 54, 16},
                        .ButtonCaption = kButtonCaption,
                        .ButtonHint = kButtonHint,
                        .FlatButton = true,
                        .CollapsedHeight = 40,
                        .ExpandedHeight = 77,
                        .Face = QApplication::palette().color(QPalette::Button),
                        .DecimalPlaces = 1},
                       parent) {
    FEdit = new TPosFloatEdit(this);
    FEdit->setFont(SetPointButton()->font());
    FEdit->setGeometry(0, 58, kWidth, 18);
    FEdit->SetAutoSelect(false);
    FEdit->SetMaxLength(0);
    FEdit->SetBoundLower(FSetPointMin);
    FEdit->SetBoundUpper(FSetPointMax);
    FEdit->SetBoundsEnabled(true);
    FEdit->SetDecimalPlaces(DecimalPlaces());
    FEdit->SetTrimTrailingZeroes(true);
    FEdit->SetNullStr({});
    // Blank until the first set point is written or typed.
    FEdit->SetNull(true);
    FEdit->OnChange = [this](QObject*) { EditChange(); };
    FEdit->OnKeyDown = [this](QObject*, int& key, Qt::KeyboardModifiers) { EditKeyDown(key); };
    AdoptSetPointField(FEdit);
}

void TCal3300rs485::SetSetPoint(float value) {
    if (value == FSetPoint) {
        return;
    }
    FSetPoint = value > static_cast<float>(FSetPointMax) ? static_cast<float>(FSetPointMax) : value;
    FEdit->SetAsFloat(FSetPoint);
}

void TCal3300rs485::SetSetPointMax(int value) {
    if (value == FSetPointMax) {
        return;
    }
    FSetPointMax = value;
    FEdit->SetBoundUpper(value);
}

void TCal3300rs485::SetSetPointMin(int value) {
    if (value == FSetPointMin) {
        return;
    }
    FSetPointMin = value;
    FEdit->SetBoundLower(value);
}

void TCal3300rs485::SetSetBand(int value) {
    if (value == FSetBand) {
        return;
    }
    if (value > FSetPointMax) {
        FSetBand = FSetPointMax;
    } else if (value < FSetPointMin) {
        FSetBand = FSetPointMin;
    } else {
        FSetBand = value;
    }
}

void TCal3300rs485::DecimalPlacesChanged() {
    FEdit->SetDecimalPlaces(DecimalPlaces());
}

// Every change of the field's text: a temperature above the controller's
// limit becomes the limit at once; below the lower limit it is kept, and
// the field's bounds check reports it when the operator leaves the field.
void TCal3300rs485::EditChange() {
    const long double typed = FEdit->AsFloat();
    if (!(typed <= FSetPointMax)) {
        FEdit->SetAsFloat(FSetPointMax);
    }
    FSetPoint = static_cast<float>(FEdit->AsFloat());
}

// Enter sends the set point, also while the button is locked; a blank field
// sends 0. The field then moves on to the next control as after any Enter.
void TCal3300rs485::EditKeyDown(int& key) {
    if (!IsEnter(key)) {
        return;
    }
    if (FEdit->Text().empty()) {
        FEdit->SetAsFloat(0);
    }
    if (!RunSetPointAction()) {
        // The panel, and the field this key came to, are gone.
        key = 0;
    }
}

void TCal3300rs485::DoSetTemp() {
    if (OnSetTemp) {
        OnSetTemp(this);
    }
}

void TCal3300rs485::DoSetPointRequest() {
    DoSetTemp();
}

}  // namespace panels
