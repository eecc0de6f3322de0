#include "app/livedisplay.h"

#include <QDateTime>
#include <QFileDialog>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <exception>

#include "app/mainwindow.h"
#include "app/trendpage.h"
#include "calc/settings.h"
#include "live/messages.h"
#include "panels/floatedit.h"
#include "platform/inifile.h"
#include "platform/msgsink.h"

namespace app {

namespace {

constexpr char kLabelSettlingTime[] = "Settling time (min)";
constexpr char kRecordDialogCaption[] = "Record the kit's readings to";
constexpr char kRecordFileFilter[] = "CSV files (*.csv);;All files (*)";

QFont LiveFont(bool bold) {
    QFont font("DejaVu Sans");
    font.setPixelSize(10);
    font.setBold(bold);
    return font;
}

// A field the operator left unreadable has no value to judge by.
double FieldValue(panels::TFloatEdit* field) {
    try {
        return static_cast<double>(field->AsFloat());
    } catch (const std::exception&) {
        return live::kUnknown;
    }
}

// A text longer than its line (the names of the readings not current, all
// that is off while settling) shows `shortened`, or else ends in an ellipsis;
// the hint holds it whole.
void ShowLine(QLabel* label, const std::string& text, const char* shortened = nullptr) {
    const QString whole = QString::fromStdString(text);
    const QFontMetrics metrics = label->fontMetrics();
    const int width = label->contentsRect().width();
    QString shown = whole;
    if (metrics.horizontalAdvance(whole) > width)
        shown = shortened != nullptr ? QString(shortened)
                                     : metrics.elidedText(whole, Qt::ElideRight, width);
    if (label->text() != shown)
        label->setText(shown);
    label->setToolTip(shown == whole ? QString() : whole);
}

}  // namespace

TLiveDisplay::TLiveDisplay(TfrmVapcalCalc& window, const std::string& settingsFile,
                           qint64 pollPeriodMs)
    : QObject(&window),
      Monitor(calc::kDefaultSettlingMinutes * 60000LL, pollPeriodMs),
      FWindow(window),
      FSettingsFile(settingsFile) {
    FClock.start();
    // Beside the calculated concentration, right of its field, above the
    // window's delivery hint; out to the page's edge, for the concentration
    // with its uncertainty.
    lblDelivered = new QLabel(window.pnlVariables);
    lblDelivered->setFont(LiveFont(true));
    lblDelivered->setGeometry(88, 146, 232, 13);
    lblStability = new QLabel(window.pnlVariables);
    lblStability->setFont(LiveFont(false));
    lblStability->setGeometry(90, 159, 218, 13);

    // On the Advanced page, left of Default.
    auto* label = new QLabel(kLabelSettlingTime, window.pnlAdvanced);
    label->setFont(LiveFont(false));
    label->adjustSize();
    label->move(12, 325);
    edtSettlingTime = new QSpinBox(window.pnlAdvanced);
    edtSettlingTime->setFont(LiveFont(false));
    edtSettlingTime->setGeometry(label->x() + label->width() + 8, 321, 55, 21);
    edtSettlingTime->setRange(calc::kMinSettlingMinutes, calc::kMaxSettlingMinutes);
    edtSettlingTime->setKeyboardTracking(false);
    edtSettlingTime->setValue(calc::ReadSettings(settingsFile).SettlingMinutes);
    Monitor.Stability().SetSettlingMs(edtSettlingTime->value() * 60000LL);
    Monitor.Stability().SetTolerances(live::ReadTolerances(settingsFile));
    connect(edtSettlingTime, &QSpinBox::valueChanged, this,
            [this](int minutes) { SettlingTimeChanged(minutes); });

    pnlTrend = new TTrendPage(
        Monitor.History(), Monitor.Stability().Tolerances(), [this] { return NowMs(); }, &window);
    connect(pnlTrend->btnRecord, &QPushButton::clicked, this, [this] { btnRecordClick(); });

    Monitor.Targets = [this] { return Targets(); };
    Monitor.OnPoll = [this] {
        if (!FSampled && OnRunLapse)
            OnRunLapse();
        FSampled = false;
        FWindow.UpdateReadingStates();
    };
    Monitor.OnSample = [this](const live::TLiveSample& sample) {
        FSampled = true;
        pnlTrend->Redraw();
        if (OnRunSample)
            OnRunSample(sample);
    };
    Monitor.OnRecordingStopped = [this](const std::string& message) { RecordingStopped(message); };
}

// The set points the instruments are known to hold, the saturator conditions
// and the calculated concentration as the window shows them now.
live::TKitTargets TLiveDisplay::Targets() const {
    if (RunTargets)
        return RunTargets();
    live::TKitTargets t;
    t.TempSP = static_cast<double>(FWindow.LastTempSP);
    t.FlowSP = static_cast<double>(FWindow.LastFlowSP);
    t.DilutionFlowSP = static_cast<double>(FWindow.LastDilutionFlowSP);
    t.Pbar = FieldValue(FWindow.edtPbar);
    t.Dp = FieldValue(FWindow.edtDp);
    t.RefTemp = FieldValue(FWindow.edtRefTemp);
    t.Calculated = FieldValue(FWindow.edtDilutedOput);
    t.FlowCapacity = static_cast<double>(FWindow.edtFlow->BoundUpper());
    t.DilutionFlowCapacity = static_cast<double>(FWindow.edtDilutionFlow->BoundUpper());
    return t;
}

void TLiveDisplay::MeasuredRead(live::TInstrument instrument, bool ok, double value) {
    Monitor.Completed(instrument, ok, ok ? value : 0, NowMs(), QDateTime::currentDateTime());
}

void TLiveDisplay::ShowTexts(qint64 now) {
    const std::string delivered = Monitor.DeliveredText(now);
    // A concentration with its U that does not fit keeps its number and
    // its U; k and the contributions are in the hint.
    const std::string hint = Monitor.DeliveredUncertaintyHint(now);
    const std::string shortened =
        hint.empty() ? live::kDeliveredCannotTell : delivered.substr(0, delivered.rfind(" (k = "));
    ShowLine(lblDelivered, delivered, shortened.c_str());
    if (!hint.empty())
        lblDelivered->setToolTip(QString::fromStdString(delivered + "\n" + hint));
    ShowLine(lblStability, Monitor.StabilityText(now));
    // The record's last lines reach the disk when the poll has stopped too.
    if (!Monitor.Recorder().SyncIfDue())
        RecordingStopped(Monitor.Recorder().Error());
}

// The new time counts at once and is kept for the next start; a settings
// file that refuses it is reported, and the time still counts.
void TLiveDisplay::SettlingTimeChanged(int minutes) {
    Monitor.Stability().SetSettlingMs(minutes * 60000LL);
    ShowTexts(NowMs());
    try {
        calc::SaveSettlingMinutes(FSettingsFile, minutes);
    } catch (const platform::EIniFileError& error) {
        platform::ShowError(error.what());
    }
}

void TLiveDisplay::StartRecording(const QString& path) {
    try {
        Monitor.Recorder().CoverageFactor = static_cast<double>(Monitor.Accuracies.CoverageFactor);
        Monitor.Recorder().Start(path);
    } catch (const live::ERecordError& error) {
        platform::ShowError(error.what());
    }
    pnlTrend->ShowRecording(Monitor.Recorder().Recording(), path);
}

void TLiveDisplay::StopRecording() {
    const bool recording = Monitor.Recorder().Recording();
    Monitor.Recorder().Stop();
    pnlTrend->ShowRecording(false, {});
    if (recording && !Monitor.Recorder().Error().empty())
        platform::ShowError(Monitor.Recorder().Error());
}

void TLiveDisplay::btnRecordClick() {
    if (Monitor.Recorder().Recording()) {
        StopRecording();
        return;
    }
    const QString path = ChooseRecordFile
                             ? ChooseRecordFile()
                             : QFileDialog::getSaveFileName(&FWindow, kRecordDialogCaption,
                                                            QString(), kRecordFileFilter, nullptr,
                                                            QFileDialog::DontConfirmOverwrite);
    if (!path.isEmpty())
        StartRecording(path);
}

// Told from inside a poll's completion: the message waits for the event
// loop, so the poll's handler ends first and the polling goes on.
void TLiveDisplay::RecordingStopped(const std::string& message) {
    pnlTrend->ShowRecording(false, {});
    QTimer::singleShot(0, this, [message] { platform::ShowError(message); });
}

}  // namespace app
