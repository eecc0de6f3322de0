// app/: the application shell of the Vapcal console. TfrmVapcalCalc is the
// one window: the concentration calculator on two pages (Vapcal Variables and
// Advanced) and the workflow buttons, at the fixed pixel layout the kit's
// operators know.
//
// The calculator's rules live in calc::TCalculator; the window owns the
// widgets, adapts its numeric fields to the calculator's field interface and
// forwards each widget event to the calculator's handler of the same name.
#pragma once

#include <QWidget>
#include <memory>
#include <string>

#include "calc/calculator.h"
#include "calc/settings.h"
#include "panels/floatedit.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabBar;

namespace panels {
class TCal3300rs485;
class TChemLabel;
class TELflowMfc;
}  // namespace panels

namespace app {

class TfrmVapcalCalc : public QWidget, private calc::TCalculatorControls {
    Q_OBJECT

  public:
    // Creates the window with the settings of `settingsFile` (Vapcal.ini
    // beside the executable in the program).
    explicit TfrmVapcalCalc(const std::string& settingsFile = calc::SettingsFilePath(),
                            QWidget* parent = nullptr);
    ~TfrmVapcalCalc() override;

    calc::TCalculator& Calculator() { return *calculator_; }

    // Set points last known to be in the instruments (from the settings
    // file at start-up).
    long double LastFlowSP = calc::kDefaultFlow;
    long double LastDilutionFlowSP = calc::kDefaultDilutionFlow;
    long double LastTempSP = calc::kDefaultTemp;

    // Pages and tab strip.
    QWidget* pnlVariables;
    QWidget* pnlAdvanced;
    QTabBar* TabSet1;

    // Variables page.
    QGroupBox* grpVariables;
    panels::TFloatEdit* edtTemp;
    panels::TFloatEdit* edtFlow;
    panels::TFloatEdit* edtDilutionFlow;
    QLabel* lblDilutedOput;
    panels::TFloatEdit* edtDilutedOput;
    QCheckBox* cbxAllowInput;
    QLabel* lblStandardConditions;

    // Readout group: the instruments' live readings.
    QGroupBox* grpReadout;
    QLabel* lblRflow;
    QLabel* lblDflow;
    QLabel* lblTempCont;
    panels::TELflowMfc* ELflowMfcRF;
    panels::TELflowMfc* ELflowMfcDF;
    panels::TCal3300rs485* Cal33VCtemp;

    // Advanced page.
    QGroupBox* grpSaturator;
    panels::TFloatEdit* edtPbar;
    panels::TChemLabel* ChemLabel1;
    panels::TFloatEdit* edtDp;
    panels::TFloatEdit* edtRefTemp;
    QGroupBox* grpActual;
    panels::TFloatEdit* edtSatFlow;
    QLineEdit* edtSatConc;
    panels::TFloatEdit* edtSaturator;
    panels::TFloatEdit* edtUncorrectedOput;
    panels::TFloatEdit* edtRatio;
    QPushButton* btnDefault;

    // Button row.
    QPushButton* btnCalculate;
    QPushButton* btnApply;
    QPushButton* btnClose;

    // Handlers.
    void FormCreate();
    void FormShow();
    void TabSet1Change(int newTab);
    void btnApplyClick();
    void btnCloseClick();

  protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    // calc::TCalculatorControls
    bool AllowInputChecked() const override;
    void EnableApply() override;
    void FocusClose() override;

    void CreatePages();
    void CreateVariablesPage();
    void CreateReadoutGroup();
    void CreateAdvancedPage();
    void CreateButtonRow();
    void CreateCalculator();
    void WireEvents();
    void TakeEnterForApply(QWidget* control);

    // The fields as the calculator sees them.
    struct TFields;

    std::string settingsFile_;
    bool shown_ = false;
    std::unique_ptr<TFields> fields_;
    std::unique_ptr<calc::TCalculator> calculator_;
};

}  // namespace app
