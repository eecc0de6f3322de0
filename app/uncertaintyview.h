// The window's uncertainty: the lab's accuracies on the Advanced page (kept
// in the settings file's Uncertainty section, saved by Apply) and the
// calculated concentration's expanded uncertainty under its field. The
// delivered concentration's is the live view's (live::TKitMonitor), which
// takes the accuracies from here.
#pragma once

#include <QObject>
#include <string>
#include <vector>

#include "calc/uncertainty.h"

class QGroupBox;
class QLabel;

namespace panels {
class TFloatEdit;
}

namespace app {

class TfrmVapcalCalc;

class TUncertaintyView : public QObject {
  public:
    // Builds the accuracies' group below the Advanced page's own controls
    // and the ± line under the calculated concentration; the accuracies come
    // from the settings file.
    TUncertaintyView(TfrmVapcalCalc& window, const std::string& settingsFile);

    QGroupBox* grpUncertainty;
    // One field per accuracy, in the order of calc::kAccuracyKeys.
    std::vector<panels::TFloatEdit*> edtAccuracies;
    // "± 0.95 (k = 2)" under the calculated concentration; its hint holds
    // the whole line and the largest contributions.
    QLabel* lblDilutedOputU;

    // The accuracies as the fields hold them: -1 when all may stand,
    // otherwise the index of the first that may not (or is empty), with its
    // refusal naming its key in `error`.
    int RefusedAccuracy(calc::TAccuracies& accuracies, std::string& error) const;
    // Apply's check before anything is calculated, saved or sent: a refused
    // accuracy is shown with its key and takes the focus.
    bool AccuraciesAcceptable();
    // Apply's save of the Uncertainty section.
    void Save(const std::string& settingsFile);
    // Brings the ± line and the live view's accuracies up to date with the
    // fields.
    void Refresh();

  private:
    TfrmVapcalCalc& FWindow;
};

}  // namespace app
