// The window's live view: the delivered concentration and the stability
// beside the calculated concentration, the settling time on the Advanced
// page, the Trend page and the record. Its logic is live::TKitMonitor, whose
// readings also tell the window which readings are current; this is the
// widgets around it, fed by one hook in the kit's read completion.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <functional>
#include <string>

#include "live/monitor.h"

class QLabel;
class QSpinBox;

namespace app {

class TfrmVapcalCalc;
class TTrendPage;

class TLiveDisplay : public QObject {
  public:
    // Builds the labels and the settling field on the window's pages, and the
    // Trend page; the settling time comes from the settings file.
    // `pollPeriodMs`: how often the window reads each instrument.
    TLiveDisplay(TfrmVapcalCalc& window, const std::string& settingsFile, qint64 pollPeriodMs);

    live::TKitMonitor Monitor;
    QLabel* lblDelivered;
    QLabel* lblStability;
    QSpinBox* edtSettlingTime;
    TTrendPage* pnlTrend;

    // A calibration run drives the kit: each complete poll's sample goes to
    // OnRunSample, each poll without one to OnRunLapse, and the readings are
    // judged against RunTargets (the run's point, not the window's fields).
    std::function<void(const live::TLiveSample& sample)> OnRunSample;
    std::function<void()> OnRunLapse;
    std::function<live::TKitTargets()> RunTargets;

    // Chooses the file to record to; empty for none. Unassigned, a save
    // dialog asks the operator. Tests replace it.
    std::function<QString()> ChooseRecordFile;

    // Every completed read of an instrument's measured value, as the kit
    // decoded it (`ok` false: no good reply).
    void MeasuredRead(live::TInstrument instrument, bool ok, double value);

    // Starts recording to the file; a file that cannot be opened is
    // reported and nothing records.
    void StartRecording(const QString& path);
    void StopRecording();
    void btnRecordClick();

    // The monitor's clock: milliseconds since the window was made.
    qint64 NowMs() const { return FClock.elapsed(); }
    // Shows the delivered concentration and the stability as they are at
    // `nowMs`; the window calls it with its other reading states.
    void ShowTexts(qint64 nowMs);

  private:
    live::TKitTargets Targets() const;
    void SettlingTimeChanged(int minutes);
    void RecordingStopped(const std::string& message);

    TfrmVapcalCalc& FWindow;
    std::string FSettingsFile;
    QElapsedTimer FClock;
    bool FSampled = false;
};

}  // namespace app
