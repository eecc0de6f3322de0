// The window's live view: the delivered concentration and the stability
// beside the calculated concentration, the settling time on the Advanced
// page, the Trend page and the record. Its logic is live::TKitMonitor; this
// is the widgets around it, fed by one hook in the poll's completion.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "live/monitor.h"

class QLabel;
class QSpinBox;

namespace regwire {
class TModbusClient;
struct TTransactionInfo;
}  // namespace regwire

namespace app {

class TfrmVapcalCalc;
class TTrendPage;

class TLiveDisplay : public QObject {
  public:
    // Builds the labels and the settling field on the window's pages, and the
    // Trend page; the settling time comes from the settings file.
    TLiveDisplay(TfrmVapcalCalc& window, const std::string& settingsFile);

    live::TKitMonitor Monitor;
    QLabel* lblDelivered;
    QLabel* lblStability;
    QSpinBox* edtSettlingTime;
    TTrendPage* pnlTrend;

    // Chooses the file to record to; empty for none. Unassigned, a save
    // dialog asks the operator. Tests replace it.
    std::function<QString()> ChooseRecordFile;

    // Every completion of a register read of the kit's clients; only the
    // measured-value reads count.
    void RegistersRead(regwire::TModbusClient* sender, const regwire::TTransactionInfo& info,
                       std::uint16_t startReg, const std::vector<std::uint16_t>& values);

    // Starts recording to the file; a file that cannot be opened is
    // reported and nothing records.
    void StartRecording(const QString& path);
    void StopRecording();
    void btnRecordClick();

    // The monitor's clock: milliseconds since the window was made.
    qint64 NowMs() const { return FClock.elapsed(); }
    // Shows the current texts (also once a second, so a stopped poll shows).
    void ShowTexts();

  private:
    live::TKitTargets Targets() const;
    void SettlingTimeChanged(int minutes);
    void RecordingStopped(const std::string& message);

    TfrmVapcalCalc& FWindow;
    std::string FSettingsFile;
    QElapsedTimer FClock;
    QTimer FRefresh;
};

}  // namespace app
