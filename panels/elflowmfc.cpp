#include "panels/elflowmfc.h"

#include <QToolButton>
#include <algorithm>

#include "panels/spinedit.h"

namespace panels {

namespace {

constexpr char kButtonCaption[] = "Set Flow";
constexpr char kButtonHint[] = "Set MFC Flow";
constexpr int kFieldMaxLength = 3;

const QColor kSilver(192, 192, 192);

bool IsEnter(int key) {
    return key == Qt::Key_Return || key == Qt::Key_Enter;
}

}  // namespace

TELflowMfc::TELflowMfc(QWidget* parent)
    : TInstrumentPanel({.Led = {1, 0, 52, 21},
                        .Picture = "ELFLOW",
                        .PictureAt = {6, 22},
                        .Button = {0, 59, 54, 16},
                        .ButtonCaption = kButtonCaption,
                        .ButtonHint = kButtonHint,
                        .FlatButton = false,
                        .CollapsedHeight = 58,
                        .ExpandedHeight = 95,
                        .Face = kSilver,
                        .DecimalPlaces = 2},
                       parent) {
    FEdit = new TSpinEdit(this);
    FEdit->setFont(SetPointButton()->font());
    FEdit->setGeometry(0, 75, kWidth, 19);
    FEdit->SetMaxLength(kFieldMaxLength);
    FEdit->SetMinValue(FSetPointMin);
    FEdit->SetMaxValue(FSetPointMax);
    FEdit->SetValue(FSetPoint);
    FEdit->SetAutoSelect(false);
    QPalette face = FEdit->palette();
    face.setColor(QPalette::Base, face.color(QPalette::Button));
    FEdit->setPalette(face);
    FEdit->OnChange = [this](QObject*) { EditChange(); };
    FEdit->OnKeyDown = [this](QObject*, int& key, Qt::KeyboardModifiers) { EditKeyDown(key); };
    AdoptSetPointField(FEdit);
}

void TELflowMfc::SetSetPoint(int value) {
    if (value == FSetPoint) {
        return;
    }
    FSetPoint = std::min(value, FSetPointMax);
    // The field keeps to its own range; when that changes its text, its
    // change rule brings SetPoint to what it shows.
    FEdit->SetValue(FSetPoint);
}

void TELflowMfc::SetSetPointMax(int value) {
    if (value == FSetPointMax) {
        return;
    }
    FSetPointMax = value;
    FEdit->SetMaxValue(value);
}

void TELflowMfc::SetSetPointMin(int value) {
    if (value == FSetPointMin) {
        return;
    }
    FSetPointMin = value;
    FEdit->SetMinValue(value);
}

// Every change of the field's text, typed or written: a percentage above
// 100 becomes 100, and the set point follows the field (held to
// SetPointMax, which the field then shows at once).
void TELflowMfc::EditChange() {
    if (FEdit->Value() > kFieldCeiling) {
        FEdit->SetValue(kFieldCeiling);
    }
    SetSetPoint(FEdit->Value());
}

// Enter sends the set point, also while the button is locked; an empty
// field sends 0 (or the field's minimum).
void TELflowMfc::EditKeyDown(int& key) {
    if (!IsEnter(key)) {
        return;
    }
    if (FEdit->text().isEmpty()) {
        FEdit->SetValue(0);
    }
    if (!RunSetPointAction()) {
        // The panel, and the field this key came to, are gone.
        key = 0;
    }
}

void TELflowMfc::DoSetFlow() {
    if (OnSetFlow) {
        OnSetFlow(this);
    }
}

void TELflowMfc::DoSetPointRequest() {
    DoSetFlow();
}

}  // namespace panels
