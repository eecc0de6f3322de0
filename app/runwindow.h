// The "Calibration run" window: a plan edited as a table (its points) and
// fields (its head), loaded, saved and checked; Start, Pause and Resume,
// Stop, Skip point; the progress, and each point's result as it comes. The
// run itself is run::TRunEngine, as in vapcal-run: this window feeds it the
// console's complete polls, applies its set points through the window's
// kit, and gives it a run folder under $XDG_DATA_HOME/vapcal/runs/. While a
// run drives the kit, the main window's Apply is disabled and its status
// line shows the run's progress.
#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "kit/kit.h"
#include "run/analyzerreader.h"
#include "run/engine.h"
#include "run/plan.h"
#include "run/runfolder.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;
class QTimer;

namespace app {

class TfrmVapcalCalc;

// The newest run folder under `runsFolder` with a journal and no results
// (a run the console or a power cut interrupted); empty when none.
QString InterruptedRun(const QString& runsFolder);

class TfrmCalibrationRun : public QWidget {
  public:
    explicit TfrmCalibrationRun(TfrmVapcalCalc& console);
    ~TfrmCalibrationRun() override;

    // The plan's head.
    QLineEdit* edtName;
    QLineEdit* edtOperator;
    QLineEdit* edtAnalyzerId;
    QLineEdit* edtTemperature;
    QLineEdit* edtDilution;
    QLineEdit* edtSettling;
    QLineEdit* edtSettleMax;
    QLineEdit* edtDwell;
    QComboBox* cbxOnNotStable;
    QComboBox* cbxEnd;
    QLineEdit* edtAcceptPercent;
    QLineEdit* edtAcceptAbsolute;
    QComboBox* cbxAnalyzerSource;
    QLineEdit* edtAnalyzerPort;
    QLineEdit* edtAnalyzerAddress;
    QLineEdit* edtAnalyzerFunction;
    QLineEdit* edtAnalyzerRegister;
    QLineEdit* edtAnalyzerFormat;
    QLineEdit* edtAnalyzerScale;
    QLineEdit* edtAnalyzerDelay;
    // Whom and what the run is for, and the lab's air at the start.
    QLineEdit* edtCustomer;
    QLineEdit* edtItemMaker;
    QLineEdit* edtItemModel;
    QLineEdit* edtItemSerial;
    QLineEdit* edtItemTag;
    QLineEdit* edtLabTemperature;
    QLineEdit* edtLabHumidity;
    // The QA procedure, its span or range (ng/l on the analyser's basis),
    // the analyser's basis and the EN test's residual limit; a procedure
    // fills the points with its levels in their order.
    QComboBox* cbxProcedure;
    QLineEdit* edtSpan;
    QComboBox* cbxBasis;
    QLineEdit* edtResidualLimit;
    // The points: wanted, flow, temperature, dilution, dwell, settle max as
    // typed; after a check, the reservoir flow and concentration they give;
    // then the procedure's level each point is an injection of.
    QTableWidget* tblPlan;
    QPushButton* btnAddPoint;
    QPushButton* btnRemovePoint;
    QPushButton* btnLoad;
    QPushButton* btnSave;
    QPushButton* btnCheck;
    // Check's verdict: the points and about how long they take, or why the
    // plan is refused.
    QLabel* lblCheck;

    QPushButton* btnStart;
    QPushButton* btnPause;
    QPushButton* btnStop;
    QPushButton* btnSkip;
    QLabel* lblProgress;
    QLabel* lblFolder;
    // The reference instruments past their due date today: a warning
    // before Start, never a refusal.
    QLabel* lblInstruments;
    // The run's report, written when the run ends.
    QLabel* lblReport;
    // A manual analyser: its mean over the dwell, typed when asked.
    QLabel* lblAnalyzerWanted;
    QLineEdit* edtAnalyzerMean;
    QPushButton* btnEnterReading;
    QTableWidget* tblResults;

    // The plan file to load or save to; empty for none. Unassigned, a file
    // dialog asks the operator. Tests replace them.
    std::function<QString()> ChooseLoadFile;
    std::function<QString()> ChooseSaveFile;
    // Where new runs go; by default run::DefaultRunsFolder().
    QString RunsFolder;

    // The plan in the fields and table, as the plan file would hold it.
    // Raises run::EPlanError naming the field or point that is no number.
    QJsonObject PlanJson() const;
    // Fills the fields and table from a plan file's object.
    void ShowPlan(const QJsonObject& plan);
    // Reads, checks and shows a plan file; a refused one is a message.
    void LoadPlan(const QString& path);
    void SavePlan(const QString& path);
    // The points of the chosen procedure at its default levels of the span
    // or range, in the procedure's order, wanted at 20 °C for the basis.
    // Nothing changes under "points" or without a span.
    void FillProcedurePoints();

    void btnLoadClick();
    void btnSaveClick();
    // Checks the plan against the kit as the console knows it and shows
    // each point's flow and concentration and the verdict in the window;
    // false when it is refused.
    bool btnCheckClick();
    void btnStartClick();
    void btnPauseClick();
    // Pause, or Resume a paused run, for whom `by` names (the plant).
    void PauseOrResume(const std::string& by);
    void btnStopClick();
    void btnSkipClick();
    void btnEnterReadingClick();
    // The console's port vanished; it is back.
    void KitLost(const std::string& port);
    void KitBack();

    // Resumes the interrupted run in `folder` on the console's line: its
    // finished points stay as the journal holds them. A folder that cannot
    // be resumed is a message.
    void ResumeRun(const QString& folder);

    // The plant's "start plan": the plan file is shown, checked and started
    // as Load, Check and Start would, the journal naming `by` as who started
    // it. False, with the reason and nothing changed, when a run goes, the
    // port is closed, or the plan cannot be read or is refused.
    bool StartForPlant(const QString& path, const std::string& by, std::string& reason);

    // A run drives the kit.
    bool Running() const;
    const run::TRunEngine* Engine() const { return FEngine.get(); }
    QString FolderPath() const;

  private:
    class TConsoleKit;
    class TConsoleClock;

    void CreateHead();
    void CreatePlanTable();
    void CreateRunControls();
    void CreateResults();
    void AddPointRow();
    run::TKitLimits Limits() const;
    // The plan, checked; none, with the refusal in lblCheck (and a message
    // when `say`), when it is refused.
    std::optional<run::TPlan> CheckedPlan(const QJsonObject& json, bool say = true);
    void ShowRefusal(const std::string& reason, bool say);
    void ShowCheckedFlows(const run::TPlan& plan);
    void ShowInstrumentWarnings();
    // Starts a checked plan in a new run folder; false, with the reason.
    bool StartPlan(run::TPlan plan, const std::string& by, std::string& reason);
    void Begin(run::TPlan plan, run::TRunFolder folder, bool resuming, const std::string& by = {});
    void WireEngine();
    void FeedFromConsole();
    void UnhookConsole();
    void Cycle(const kit::TPollCycle& cycle);
    void OpenAnalyzerLine(const run::TAnalyzerPlan& analyzer);
    void PointFinished(int index, const QJsonObject& result);
    void Finished();
    void ShowProgress();
    void ShowButtons();
    void ShowResultRow(int index, const QJsonObject& result);
    void ShowAnalyzerWanted(int index);
    void WriteReport();
    void WriteHistory();

    TfrmVapcalCalc& FConsole;
    std::unique_ptr<TConsoleKit> FKit;
    std::unique_ptr<TConsoleClock> FClock;
    std::optional<run::TRunFolder> FFolder;
    std::unique_ptr<run::TRunEngine> FEngine;
    QTimer* FTick;
    // The analyser's reading: polled in the cycle on the kit's line, or on
    // its own port, whose latest answer goes with the next sample.
    std::unique_ptr<run::TAnalyzerReader> FAnalyzer;
    // The console's last complete poll, waiting for its cycle's end (which
    // brings the analyser's reading of the same cycle).
    std::optional<live::TLiveSample> FPendingSample;
};

}  // namespace app
