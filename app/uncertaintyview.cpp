#include "app/uncertaintyview.h"

#include <QGroupBox>
#include <QLabel>
#include <QTabBar>
#include <exception>

#include "app/livedisplay.h"
#include "app/mainwindow.h"
#include "calc/messages.h"
#include "calc/settings.h"
#include "panels/floatedit.h"
#include "platform/filltext.h"
#include "platform/msgsink.h"
#include "platform/numtext.h"

namespace app {

namespace {

constexpr char kGroupUncertainty[] = "Uncertainty (half-widths)";
// One caption per accuracy, in the order of calc::kAccuracyKeys.
constexpr const char* kAccuracyCaptions[] = {
    "Temperature (\u00B0C)",
    "Flow, of its reading (%)",
    "Flow, of its capacity (%)",
    "Atmospheric pressure (in. Hg)",
    "dp (in. H2O)",
    "Reference temperature (\u00B0C)",
    "Csat equation, 1 s.d. (%)",
    "Coverage factor k",
};
// Under the calculated concentration, which its field shows: U and k.
constexpr char kUnderCalculated[] = "\u00B1 %s (k = %s)";
// Its hint: the concentration with its U.
constexpr char kCalculatedWithU[] = "Calculated %s";
constexpr int kAccuracyDecimals = 4;
constexpr int kRowHeight = 24;

// Not bold, also inside the bold group box.
QFont ViewFont() {
    QFont font("DejaVu Sans");
    font.setPixelSize(10);
    font.setBold(false);
    return font;
}

// An input the operator left unreadable has no budget.
bool FieldValue(panels::TFloatEdit* field, long double& value) {
    try {
        value = field->AsFloat();
        return !field->Text().empty();
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

TUncertaintyView::TUncertaintyView(TfrmVapcalCalc& window, const std::string& settingsFile)
    : QObject(&window), FWindow(window) {
    // Below Default and the settling time: the Advanced page scrolls to it.
    const int rows = static_cast<int>(std::size(calc::kAccuracyKeys));
    grpUncertainty = new QGroupBox(kGroupUncertainty, window.pnlAdvanced);
    QFont bold = ViewFont();
    bold.setBold(true);
    grpUncertainty->setFont(bold);
    grpUncertainty->setGeometry(12, 356, 296, 22 + rows * kRowHeight);
    const calc::TAccuracies accuracies = calc::ReadSettings(settingsFile).Accuracies;
    for (int i = 0; i < rows; ++i) {
        const int top = 20 + i * kRowHeight;
        auto* label = new QLabel(QString::fromUtf8(kAccuracyCaptions[i]), grpUncertainty);
        label->setFont(ViewFont());
        label->adjustSize();
        label->move(12, top + 4);
        auto* field = new panels::TFloatEdit(grpUncertainty);
        field->setGeometry(213, top, 65, 21);
        field->setFont(ViewFont());
        field->SetDecimalPlaces(kAccuracyDecimals);
        field->SetTrimTrailingZeroes(true);
        field->SetAlignment(panels::TAlignment::taRightJustify);
        field->SetAsFloat(accuracies.*calc::kAccuracyKeys[i].Member);
        field->setToolTip(calc::kAccuracyKeys[i].Key);
        connect(field, &QLineEdit::textChanged, this, [this] { Refresh(); });
        edtAccuracies.push_back(field);
    }
    window.pnlAdvanced->resize(window.pnlAdvanced->width(),
                               grpUncertainty->geometry().bottom() + 9);

    // Under the calculated concentration's field, left of the delivery hint.
    lblDilutedOputU = new QLabel(window.pnlVariables);
    QFont small = ViewFont();
    small.setPixelSize(9);
    lblDilutedOputU->setFont(small);
    lblDilutedOputU->setGeometry(12, 175, 77, 13);
    for (panels::TFloatEdit* field :
         {window.edtDilutedOput, window.edtTemp, window.edtFlow, window.edtDilutionFlow,
          window.edtPbar, window.edtDp, window.edtRefTemp})
        connect(field, &QLineEdit::textChanged, this, [this] { Refresh(); });
    Refresh();
}

int TUncertaintyView::RefusedAccuracy(calc::TAccuracies& accuracies, std::string& error) const {
    for (std::size_t i = 0; i < edtAccuracies.size(); ++i) {
        const calc::TAccuracyKey& key = calc::kAccuracyKeys[i];
        long double value = 0;
        error = FieldValue(edtAccuracies[i], value)
                    ? calc::AccuracyError(key, value)
                    : platform::FillText(calc::kAccuracyEmpty, {key.Key});
        if (!error.empty())
            return static_cast<int>(i);
        accuracies.*key.Member = value;
    }
    return -1;
}

bool TUncertaintyView::AccuraciesAcceptable() {
    calc::TAccuracies accuracies;
    std::string error;
    const int refused = RefusedAccuracy(accuracies, error);
    if (refused < 0)
        return true;
    FWindow.TabSet1->setCurrentIndex(1);
    edtAccuracies[refused]->SetFocus();
    platform::ShowError(error);
    return false;
}

// Apply has checked the fields; they still hold what it checked.
void TUncertaintyView::Save(const std::string& settingsFile) {
    calc::TAccuracies accuracies;
    std::string error;
    if (RefusedAccuracy(accuracies, error) < 0)
        calc::SaveAccuracies(settingsFile, accuracies);
}

// The budget of the typed inputs as their fields hold them, the flows'
// capacities being their fields' upper bounds. No calculated concentration,
// or accuracies that may not stand: no line.
void TUncertaintyView::Refresh() {
    calc::TAccuracies accuracies;
    std::string error;
    const bool accepted = RefusedAccuracy(accuracies, error) < 0;
    if (accepted && FWindow.LiveView != nullptr)
        FWindow.LiveView->Monitor.Accuracies = accuracies;

    std::string line;
    std::string hint;
    calc::TModelInputs in;
    long double shown = 0;
    if (accepted && FieldValue(FWindow.edtDilutedOput, shown) &&
        FieldValue(FWindow.edtTemp, in.Temp) && FieldValue(FWindow.edtFlow, in.Flow) &&
        FieldValue(FWindow.edtDilutionFlow, in.DilutionFlow) &&
        FieldValue(FWindow.edtPbar, in.Pbar) && FieldValue(FWindow.edtDp, in.Dp) &&
        FieldValue(FWindow.edtRefTemp, in.RefTemp)) {
        try {
            const calc::TUncertaintyBudget budget = calc::CalcUncertaintyBudget(
                in, {FWindow.edtFlow->BoundUpper(), FWindow.edtDilutionFlow->BoundUpper()},
                accuracies);
            const calc::TRoundedUncertainty rounded =
                calc::RoundedUncertainty(shown, budget.Expanded, budget.CoverageFactor);
            line = platform::FillText(kUnderCalculated, {rounded.Expanded, rounded.CoverageFactor});
            hint = platform::FillText(kCalculatedWithU,
                                      {calc::ValueWithUncertaintyText(shown, budget.Expanded,
                                                                      budget.CoverageFactor)}) +
                   "\n" + calc::LargestContributionsText(budget);
        } catch (const std::exception&) {
        }
    }
    lblDilutedOputU->setText(QString::fromStdString(line));
    lblDilutedOputU->setToolTip(QString::fromStdString(hint));
}

}  // namespace app
