// The lab and its reference instruments on the Advanced page, below the
// accuracies: kept in the settings file's [Laboratory] and [Instrument.*]
// sections and [Uncertainty]'s AccuracySource, saved by Apply. A run takes
// them into its folder at its start, and its report names them.
#pragma once

#include <QObject>
#include <string>
#include <vector>

#include "calc/settings.h"

class QGroupBox;
class QLineEdit;

namespace app {

class TfrmVapcalCalc;

class TLaboratoryView : public QObject {
  public:
    // Builds the group below `above` on the Advanced page, filled from the
    // settings file.
    TLaboratoryView(TfrmVapcalCalc& window, QWidget* above, const std::string& settingsFile);

    QGroupBox* grpLaboratory;
    QLineEdit* edtLabName;
    QLineEdit* edtLabAddress;
    QLineEdit* edtLabAccreditation;
    QLineEdit* edtReportPrefix;
    QLineEdit* edtAccuracySource;
    // Per instrument in the order of calc::kInstrumentRoles: model, serial,
    // certificate, calibrated, due.
    std::vector<std::vector<QLineEdit*>> edtInstruments;

    // The lab as the fields hold it.
    calc::TLaboratory Laboratory() const;
    // Apply's check before anything is saved: a date that is not an ISO
    // date is named and takes the focus.
    bool Acceptable();
    // Apply's save of the three sections.
    void Save(const std::string& settingsFile);

  private:
    TfrmVapcalCalc& FWindow;
};

}  // namespace app
