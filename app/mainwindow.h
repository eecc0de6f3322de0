// app/: the application shell of the Vapcal console. TfrmVapcalCalc is the
// one window: the concentration calculator on two pages (Vapcal Variables and
// Advanced) and the workflow buttons, at the fixed pixel layout the kit's
// operators know.
//
// The calculator's rules live in calc::TCalculator; the window owns the
// widgets, adapts its numeric fields to the calculator's field interface and
// forwards each widget event to the calculator's handler of the same name.
//
// The window drives the kit (kit::TKit: the line, the instruments' clients,
// the 500 ms poll, the confirmed set-point writes) and shows what its
// completions bring on the three panels (devicepolling.cpp). Errors of a
// workflow are not caught here: the application shows them in its error box.
#pragma once

#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/statusline.h"
#include "calc/calculator.h"
#include "calc/settings.h"
#include "calc/settingslocation.h"
#include "kit/kit.h"
#include "live/readings.h"
#include "panels/floatedit.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QScrollArea;
class QTabBar;
class QTimer;

namespace regwire {
class TModbusClient;
class TModbusConnection;
struct TTransactionInfo;
enum TTransactionStatus : std::uint8_t;
}  // namespace regwire

namespace panels {
class TCal3300rs485;
class TChemLabel;
class TELflowMfc;
class TInstrumentPanel;
}  // namespace panels

namespace app {

class TfrmCalibrationRun;
class TfrmComSelect;
class THistoryPage;
class TLiveDisplay;
class TUncertaintyView;
class TLaboratoryView;

// A caption as the window shows it (the soft hyphen before a superscript
// digit drawn as a superscript minus).
QString ShownCaption(const std::string& text);

// Waits while the window keeps processing events (replies, ticks, input).
void Delay(int seconds, int milliseconds);

class TfrmVapcalCalc : public QWidget, private calc::TCalculatorControls {
    Q_OBJECT

  public:
    // Creates the window with the settings of `settingsFile` (in the
    // program: beside the executable or in the user's configuration folder).
    explicit TfrmVapcalCalc(const std::string& settingsFile = calc::SettingsFilePath(),
                            QWidget* parent = nullptr);
    ~TfrmVapcalCalc() override;

    calc::TCalculator& Calculator() { return *calculator_; }

    // The kit the window drives; what follows up to PortConfirmed is the
    // kit's own, under the window's names.
    kit::TKit* Kit;

    // Set points last known to be in the instruments (from the settings
    // file at start-up).
    long double& LastFlowSP;
    long double& LastDilutionFlowSP;
    long double& LastTempSP;

    // The Modbus line and its three instruments (Tag 1 reservoir flow,
    // 2 dilution flow, 3 temperature).
    regwire::TModbusConnection* ModbusConnection1;
    regwire::TModbusClient* mcVapcalRF;
    regwire::TModbusClient* mcVapcalDF;
    regwire::TModbusClient* mcVapcalTC;
    kit::TThreadedTimer* SW_VCtimer;

    // Capacities of the flow controllers, as read from them.
    float& RFCapacity;
    float& DFCapacity;
    // Set by the temperature controller's write completion, taken by the
    // write handshake.
    bool& WriteAcknowledged;

    // True while the last port selection ended with OK.
    bool PortConfirmed = false;
    // Unanswered reads of each instrument since start or its last blanking.
    int RFTimeouts = 0;
    int DFTimeouts = 0;
    int TCTimeouts = 0;

    // Runs the port dialog modally and returns its result; tests replace it
    // to choose a port without a modal loop.
    std::function<int(TfrmComSelect& dialog)> ExecPortDialog;

    // Pages and tab strip.
    QWidget* pnlVariables;
    QWidget* pnlAdvanced;
    // The Advanced page's scrolling frame; pnlAdvanced is its content.
    QScrollArea* scrAdvanced;
    QTabBar* TabSet1;

    // The live view: delivered concentration, stability, the Trend page
    // (the third tab) and the record (livedisplay.h).
    TLiveDisplay* LiveView = nullptr;
    // The History page, the fourth tab.
    THistoryPage* HistoryPage = nullptr;
    // The calibration run window, once opened (from the Trend page).
    TfrmCalibrationRun* RunWindow = nullptr;
    // The accuracies on the Advanced page and the calculated concentration's
    // uncertainty (uncertaintyview.h).
    TUncertaintyView* Uncertainty = nullptr;
    // The lab and its reference instruments, below the accuracies.
    TLaboratoryView* Laboratory = nullptr;

    // Variables page.
    QGroupBox* grpVariables;
    panels::TFloatEdit* edtTemp;
    panels::TFloatEdit* edtFlow;
    panels::TFloatEdit* edtDilutionFlow;
    QLabel* lblDilutedOput;
    panels::TFloatEdit* edtDilutedOput;
    // What a back-calculated flow really delivers, when it is off the
    // wanted output (hidden otherwise).
    QLabel* lblDeliveryHint;
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

    // Readout group and button row.
    QPushButton* btnRefresh;
    // Under the button row: the port, the line's state, the oldest reading.
    QLabel* lblStatus;
    QPushButton* btnComPort;
    QPushButton* btnCalculate;
    QPushButton* btnApply;
    QPushButton* btnAbout;
    QPushButton* btnClose;

    // Handlers.
    void FormCreate();
    void FormShow();
    void FormActivate();
    void TabSet1Change(int newTab);
    void btnComPortClick();
    // Opens the port and starts the poll as OK in the port dialog would,
    // without showing it, now or at the first activation.
    void TakePort(const std::string& port);
    void btnRefreshClick();
    void btnApplyClick();
    void btnAboutClick();
    void btnCloseClick();
    // A command of the plant's DAHS that set the fields: the outputs follow
    // the fields forward, the settings are saved and the changed set points
    // written, as Apply does; the status line names the command. While a
    // workflow holds the poll it waits for its end.
    void ApplyForPlant(const std::string& command);
    // The plant's run command, taken: the status line names it.
    void ShowPlantCommand(const std::string& command);
    // A workflow holds the poll (Apply, Refresh, the port dialog).
    bool Busy() const { return !line_.Activity.empty(); }

    // Shows the calibration run window, made at its first opening.
    void OpenRunWindow();
    // The calibration run window, made if it was never opened.
    TfrmCalibrationRun& CalibrationRun();
    // A calibration run drives the kit while `text` (its progress, for the
    // status line) is not empty: Apply, the port and Refresh wait for its end.
    void SetRunStatus(const std::string& text);
    bool RunDrivesKit() const { return !line_.Run.empty(); }
    // A run's set points, written as Apply writes them: the poll held, only
    // those that differ from the instruments', each confirmed.
    kit::TApplyResult ApplyRunSetPoints(const kit::TSetPoints& setPoints);
    // When the operator first chooses the line in the port dialog: the
    // newest interrupted run, if any, offered for resuming.
    void OfferInterruptedRun();
    const std::string& SettingsFile() const { return settingsFile_; }

    // Device polling (devicepolling.cpp).
    void SW_VCtimerTimer();
    void mcVapcalTCHoldingRegistersRead(regwire::TModbusClient* Sender,
                                        const regwire::TTransactionInfo& Info,
                                        std::uint16_t StartReg, std::uint16_t RegCount,
                                        const std::vector<std::uint16_t>& RegValues);
    void mcVapcalTCSingleRegisterWrite(regwire::TModbusClient* Sender,
                                       const regwire::TTransactionInfo& Info, std::uint16_t RegAddr,
                                       std::uint16_t RegValue);
    void ELflowMfcDFUpdate(QObject* Sender);
    void ReadInitialDeviceState();
    void RefreshDeviceState();
    void HaltPolling();

    // Whether the instrument's reading on its panel is current, as the live
    // view's readings say: the poll runs, the instrument answered its last
    // read, and not long ago.
    bool ReadingCurrent(live::TInstrument instrument) const;
    const live::TKitReadings& Readings() const;
    // True while the poll timer runs on an open line.
    bool Polling() const;
    // Dims the panels whose reading is old, rewrites the status line and
    // the delivered concentration and stability, all at one moment; runs
    // on every change of a reading's state and a few times a second.
    void UpdateReadingStates();

  protected:
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    // calc::TCalculatorControls
    bool AllowInputChecked() const override;
    void EnableApply() override;
    void FocusClose() override;
    void ShowDeliveryHint(const std::string& hint) override;

    void CreatePages();
    void CreateVariablesPage();
    void CreateDeliveryHint();
    void CreateReadoutGroup();
    void CreateAdvancedPage();
    void CreateButtonRow();
    void CreateCalculator();
    void CreateModbus();
    void CreateLiveView();
    void CreateHistoryPage();
    void CreateGlyphs();
    void WireEvents();
    void CreateStatusLine();
    bool InputsWithinBounds(bool flowComputed = false);
    bool ConditionsPossible();
    void ApplySetPoints();
    kit::TSetPointChange ChangedSetPoints() const;
    void ResumePolling();
    void StartLine(const std::string& port);
    void OpenLine(const std::string& port);
    void PollingStopped(const std::string& why);
    void ReadingCompleted(live::TInstrument instrument);
    void ShowRead(const kit::TReadDone& read);
    void ShowSetting(const kit::TReadDone& read);
    void CountUnanswered(live::TInstrument instrument);
    void PortGone(const std::string& port);
    void PortBack(const std::string& port);
    void ShowReadingState(panels::TInstrumentPanel* panel, QLabel* caption, bool current);
    void ShowFlowCaption(QLabel* label, const std::string& full, const std::string& shortened);

    void TakeEnterForApply(QWidget* control);

    // The fields as the calculator sees them.
    struct TFields;

    std::string settingsFile_;
    bool shown_ = false;
    bool activated_ = false;
    bool runOffered_ = false;
    std::unique_ptr<TFields> fields_;
    std::unique_ptr<calc::TCalculator> calculator_;

    TLineStatus line_;
    QTimer* statusTimer_ = nullptr;
};

}  // namespace app
