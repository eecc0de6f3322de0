#include "app/laboratoryview.h"

#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QTabBar>

#include "app/mainwindow.h"
#include "calc/messages.h"
#include "platform/filltext.h"
#include "platform/msgsink.h"

namespace app {

namespace {

constexpr char kGroupLaboratory[] = "Laboratory and reference instruments";
constexpr const char* kLabCaptions[] = {"Laboratory", "Address", "Accreditation", "Report prefix",
                                        "Accuracies from"};
// The instruments' headings, in the order of calc::kInstrumentRoles.
constexpr const char* kInstrumentHeadings[] = {"Reservoir flow controller",
                                               "Dilution flow controller",
                                               "Temperature controller and sensor", "Barometer"};
constexpr const char* kInstrumentCaptions[] = {"Model", "Serial", "Certificate",
                                               "Calibrated (yyyy-mm-dd)", "Due (yyyy-mm-dd)"};
constexpr const char* kInstrumentKeys[] = {"Model", "Serial", "Certificate", "Calibrated", "Due"};
constexpr int kAdvancedPageTab = 1;

QFont ViewFont(bool bold = false) {
    QFont font("DejaVu Sans");
    font.setPixelSize(10);
    font.setBold(bold);
    return font;
}

std::string Text(const QLineEdit* field) {
    return field->text().trimmed().toStdString();
}

}  // namespace

TLaboratoryView::TLaboratoryView(TfrmVapcalCalc& window, QWidget* above,
                                 const std::string& settingsFile)
    : QObject(&window), FWindow(window) {
    const calc::TLaboratory lab = calc::ReadSettings(settingsFile).Laboratory;
    grpLaboratory = new QGroupBox(kGroupLaboratory, window.pnlAdvanced);
    grpLaboratory->setFont(ViewFont(true));
    auto* form = new QFormLayout(grpLaboratory);
    form->setContentsMargins(12, 8, 12, 8);
    form->setVerticalSpacing(3);
    const auto field = [this, form](const char* caption, const std::string& text) {
        auto* edit = new QLineEdit(QString::fromStdString(text), grpLaboratory);
        edit->setFont(ViewFont());
        auto* label = new QLabel(QString::fromUtf8(caption), grpLaboratory);
        label->setFont(ViewFont());
        form->addRow(label, edit);
        return edit;
    };
    edtLabName = field(kLabCaptions[0], lab.Name);
    edtLabAddress = field(kLabCaptions[1], lab.Address);
    edtLabAccreditation = field(kLabCaptions[2], lab.Accreditation);
    edtReportPrefix = field(kLabCaptions[3], lab.ReportPrefix);
    edtAccuracySource = field(kLabCaptions[4], lab.AccuracySource);
    edtAccuracySource->setToolTip(QString::fromUtf8(calc::kAccuracyDefaults));
    for (int i = 0; i < calc::kInstrumentCount; ++i) {
        auto* heading = new QLabel(QString::fromUtf8(kInstrumentHeadings[i]), grpLaboratory);
        heading->setFont(ViewFont(true));
        form->addRow(heading);
        const calc::TInstrument& instrument = lab.Instruments[i];
        const std::string* values[] = {&instrument.Model, &instrument.Serial,
                                       &instrument.Certificate, &instrument.Calibrated,
                                       &instrument.Due};
        std::vector<QLineEdit*> fields;
        for (int k = 0; k < 5; ++k) {
            fields.push_back(field(kInstrumentCaptions[k], *values[k]));
            fields.back()->setToolTip(
                QString("%1.%2").arg(calc::kInstrumentRoles[i].Section, kInstrumentKeys[k]));
        }
        edtInstruments.push_back(fields);
    }
    const QRect top = above->geometry();
    grpLaboratory->setGeometry(top.left(), top.bottom() + 9, top.width(),
                               grpLaboratory->sizeHint().height());
    window.pnlAdvanced->resize(window.pnlAdvanced->width(), grpLaboratory->geometry().bottom() + 9);
}

calc::TLaboratory TLaboratoryView::Laboratory() const {
    calc::TLaboratory lab;
    lab.Name = Text(edtLabName);
    lab.Address = Text(edtLabAddress);
    lab.Accreditation = Text(edtLabAccreditation);
    lab.ReportPrefix = Text(edtReportPrefix).empty() ? lab.ReportPrefix : Text(edtReportPrefix);
    lab.AccuracySource =
        Text(edtAccuracySource).empty() ? calc::kAccuracyDefaults : Text(edtAccuracySource);
    for (int i = 0; i < calc::kInstrumentCount; ++i) {
        const std::vector<QLineEdit*>& f = edtInstruments[i];
        lab.Instruments[i] = {Text(f[0]), Text(f[1]), Text(f[2]), Text(f[3]), Text(f[4])};
    }
    return lab;
}

bool TLaboratoryView::Acceptable() {
    for (int i = 0; i < calc::kInstrumentCount; ++i) {
        for (const int k : {3, 4}) {
            const std::string date = Text(edtInstruments[i][k]);
            if (date.empty() || calc::IsIsoDate(date))
                continue;
            FWindow.TabSet1->setCurrentIndex(kAdvancedPageTab);
            edtInstruments[i][k]->setFocus();
            platform::ShowError(platform::FillText(
                calc::kNotIsoDate,
                {std::string(calc::kInstrumentRoles[i].Section) + "." + kInstrumentKeys[k]}));
            return false;
        }
    }
    return true;
}

void TLaboratoryView::Save(const std::string& settingsFile) {
    calc::SaveLaboratory(settingsFile, Laboratory());
}

}  // namespace app
