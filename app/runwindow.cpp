#include "app/runwindow.h"

#include <QComboBox>
#include <QDate>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <cmath>
#include <exception>
#include <optional>

#include "app/livedisplay.h"
#include "app/mainwindow.h"
#include "app/messages.h"
#include "calc/settings.h"
#include "calc/uncertainty.h"
#include "history/pending.h"
#include "live/stability.h"
#include "modbus/connection.h"
#include "panels/floatedit.h"
#include "platform/filltext.h"
#include "platform/msgsink.h"
#include "platform/numtext.h"
#include "report/report.h"
#include "run/messages.h"
#include "run/procedure.h"

namespace app {

namespace {

constexpr int kTickMs = 250;
constexpr int kApplyRetryMs = 50;

// The points' columns: the plan's keys, then what a check adds.
const char* const kPointKeys[] = {"wanted",   "flow",         "temperature",
                                  "dilution", "dwellMinutes", "settleMaxMinutes"};
constexpr int kPointKeyCount = 6;
const char* const kPlanColumns[] = {
    "Wanted\n(ng/l)",           "Flow\n(ml/min)",     "Temperature\n(\u00B0C)",
    "Dilution\n(l/min)",        "Dwell\n(min)",       "Settle max\n(min)",
    "Reservoir flow\n(ml/min)", "Calculated\n(ng/l)", "Level"};
constexpr int kPlanColumnCount = 9;
// The point's level under a procedure, typed or filled from it.
constexpr int kLevelColumn = 8;
const char* const kResultColumns[] = {"Point",           "Status",       "Delivered (ng/l)",
                                      "Analyser (ng/l)", "Error (ng/l)", "Verdict"};
constexpr int kResultColumnCount = 6;
constexpr char kNoVerdict[] = "\u2013";

QString Shown(double value) {
    return QString::fromStdString(platform::FloatToStrGeneral(value));
}

QString Fixed(double value, int decimals = 3) {
    return QString::fromStdString(platform::FloatToStrFixed(value, decimals));
}

// A field's number, none when it is empty; the refusal names the key and
// where it is ("point 2: ", "analyzer: "), as a refused plan file does.
std::optional<double> FieldNumber(const QString& text, const std::string& key,
                                  const std::string& where) {
    const std::string typed = text.trimmed().toStdString();
    if (typed.empty())
        return std::nullopt;
    try {
        return static_cast<double>(platform::FieldTextToFloat(typed));
    } catch (const std::exception&) {
        throw run::EPlanError(where + platform::FillText(run::kPlanNotNumber, {key}) + ": " +
                              typed);
    }
}

void PutNumber(QJsonObject& json, const char* key, QLineEdit* field,
               const std::string& where = {}) {
    if (const auto number = FieldNumber(field->text(), key, where))
        json[key] = *number;
}

void PutText(QJsonObject& json, const char* key, QLineEdit* field) {
    if (!field->text().trimmed().isEmpty())
        json[key] = field->text().trimmed();
}

void ShowNumber(QLineEdit* field, const QJsonValue& value) {
    field->setText(value.isDouble() ? Shown(value.toDouble()) : QString());
}

QLineEdit* HeadField(QWidget* parent, const char* placeholder = nullptr) {
    auto* field = new QLineEdit(parent);
    if (placeholder != nullptr)
        field->setPlaceholderText(placeholder);
    return field;
}

QComboBox* Choice(QWidget* parent, std::initializer_list<const char*> words) {
    auto* box = new QComboBox(parent);
    for (const char* word : words)
        box->addItem(word);
    return box;
}

// A point's status as the operator reads it.
QString StatusWords(const QString& status) {
    return status == run::PointStatusName(run::psNoAnalyzerReading) ? run::kNoAnalyzerReadingWords
                                                                    : status;
}

QTableWidgetItem* ReadOnlyItem(const QString& text) {
    auto* item = new QTableWidgetItem(text);
    item->setFlags(item->flags() & ~Qt::ItemIsEditable);
    return item;
}

}  // namespace

// The run's set points go out through the console's own Apply path (the
// poll held, the confirmed writes, the handshake), always from the event
// loop and one at a time: a Stop that ends a run with the reservoir flow at
// zero may come while a point's writes are still going out.
class TfrmCalibrationRun::TConsoleKit : public QObject, public run::TRunKit {
  public:
    explicit TConsoleKit(TfrmVapcalCalc& console) : FConsole(console) {}

    // A new run: what an earlier one still had waiting is dropped.
    int Generation = 0;
    // An Apply whose writes the line did not carry is sent again for up to
    // this long, as vapcal-run does.
    qint64 PatienceMs = 0;

    void Apply(const run::TSetPoints& setPoints,
               std::function<void(const run::TApplyResult&)> done) override {
        const int generation = Generation;
        QTimer::singleShot(0, this, [this, setPoints, done, generation] {
            ApplyNow(setPoints, done, generation);
        });
    }

  private:
    void ApplyNow(const run::TSetPoints& setPoints,
                  const std::function<void(const run::TApplyResult&)>& done, int generation) {
        if (generation != Generation)
            return;
        if (FBusy) {
            QTimer::singleShot(kApplyRetryMs, this, [this, setPoints, done, generation] {
                ApplyNow(setPoints, done, generation);
            });
            return;
        }
        FBusy = true;
        run::TApplyResult outcome;
        try {
            QElapsedTimer elapsed;
            elapsed.start();
            kit::TApplyResult result;
            do {
                result = FConsole.ApplyRunSetPoints(
                    {setPoints.Temperature, setPoints.ReservoirFlow, setPoints.DilutionFlow});
            } while (result.OnlyUnanswered() && elapsed.elapsed() < PatienceMs &&
                     generation == Generation);
            if (!result.Ok())
                outcome = {false, kit::FailureText(result.Failures.front())};
        } catch (const std::exception& e) {
            outcome = {false, e.what()};
        }
        FBusy = false;
        if (generation == Generation)
            done(outcome);
    }

    TfrmVapcalCalc& FConsole;
    bool FBusy = false;
};

// The live view's clock, so the engine's times and the samples' agree.
class TfrmCalibrationRun::TConsoleClock : public run::TRunClock {
  public:
    explicit TConsoleClock(const TLiveDisplay& live) : FLive(live) {}
    qint64 Ms() const override { return FLive.NowMs(); }
    QDateTime Local() const override { return QDateTime::currentDateTime(); }

  private:
    const TLiveDisplay& FLive;
};

QString InterruptedRun(const QString& runsFolder) {
    const QDir runs(runsFolder);
    const QStringList names = runs.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (auto name = names.crbegin(); name != names.crend(); ++name) {
        const QDir folder(runs.filePath(*name));
        if (folder.exists(run::kJournalFile) && folder.exists(run::kPlanFile) &&
            !folder.exists(run::kResultsFile))
            return folder.path();
    }
    return {};
}

TfrmCalibrationRun::TfrmCalibrationRun(TfrmVapcalCalc& console)
    : QWidget(&console, Qt::Window),
      FConsole(console),
      FKit(std::make_unique<TConsoleKit>(console)),
      FClock(std::make_unique<TConsoleClock>(*console.LiveView)) {
    RunsFolder = run::DefaultRunsFolder();
    setWindowTitle(kRunWindowCaption);
    auto* layout = new QVBoxLayout(this);
    CreateHead();
    CreatePlanTable();
    CreateRunControls();
    CreateResults();
    layout->addWidget(edtName->parentWidget());
    layout->addWidget(tblPlan->parentWidget(), 2);
    layout->addWidget(btnStart->parentWidget());
    layout->addWidget(tblResults, 3);
    FTick = new QTimer(this);
    FTick->setInterval(kTickMs);
    connect(FTick, &QTimer::timeout, this, [this] {
        if (FEngine)
            FEngine->Tick();
        ShowProgress();
    });
    ShowButtons();
    resize(760, 640);
}

// The console's hooks go before the console's kit does.
TfrmCalibrationRun::~TfrmCalibrationRun() {
    FTick->stop();
    UnhookConsole();
}

void TfrmCalibrationRun::CreateHead() {
    auto* group = new QGroupBox(kRunPlanGroup, this);
    auto* grid = new QGridLayout(group);
    edtName = HeadField(group);
    edtOperator = HeadField(group);
    edtAnalyzerId = HeadField(group);
    edtTemperature = HeadField(group, "\u00B0C");
    edtDilution = HeadField(group, "l/min");
    edtSettling = HeadField(group, "10");
    edtSettleMax = HeadField(group, "30");
    edtDwell = HeadField(group, "5");
    cbxOnNotStable = Choice(group, {"skip", "stop"});
    cbxEnd = Choice(group, {"keep", "zero"});
    edtAcceptPercent = HeadField(group, "%");
    edtAcceptAbsolute = HeadField(group, "ng/l");
    cbxAnalyzerSource = Choice(group, {"none", "manual", "modbus"});
    edtAnalyzerPort = HeadField(group, "line");
    edtAnalyzerAddress = HeadField(group, "1");
    edtAnalyzerFunction = HeadField(group, "4");
    edtAnalyzerRegister = HeadField(group, "0");
    edtAnalyzerFormat = HeadField(group, "float");
    edtAnalyzerScale = HeadField(group, "1");
    edtAnalyzerDelay = HeadField(group, "0");
    cbxProcedure =
        Choice(group, {"points", "epa-linearity", "epa-calibration-error", "en14181-linearity"});
    edtSpan = HeadField(group, "ng/l");
    cbxBasis = Choice(group, {"20C", "0C"});
    edtResidualLimit = HeadField(group, "5");
    edtCustomer = HeadField(group);
    edtItemMaker = HeadField(group);
    edtItemModel = HeadField(group);
    edtItemSerial = HeadField(group);
    edtItemTag = HeadField(group);
    edtLabTemperature = HeadField(group, "\u00B0C");
    edtLabHumidity = HeadField(group, "%");
    const std::pair<const char*, QWidget*> fields[] = {
        {"Name", edtName},
        {"Operator", edtOperator},
        {"Analyser id", edtAnalyzerId},
        {"Temperature (\u00B0C)", edtTemperature},
        {"Dilution (l/min)", edtDilution},
        {"Settling (min)", edtSettling},
        {"Settle max (min)", edtSettleMax},
        {"Dwell (min)", edtDwell},
        {"Not stable", cbxOnNotStable},
        {"At the end", cbxEnd},
        {"Accept (%)", edtAcceptPercent},
        {"Accept (ng/l)", edtAcceptAbsolute},
        {"Analyser", cbxAnalyzerSource},
        {"Analyser port", edtAnalyzerPort},
        {"Address", edtAnalyzerAddress},
        {"Function", edtAnalyzerFunction},
        {"Register", edtAnalyzerRegister},
        {"Format", edtAnalyzerFormat},
        {"Scale", edtAnalyzerScale},
        {"Delay (s)", edtAnalyzerDelay},
        {"Procedure", cbxProcedure},
        {"Span / range (ng/l)", edtSpan},
        {"Basis", cbxBasis},
        {"Residual limit (%)", edtResidualLimit},
        {"Customer", edtCustomer},
        {"Item maker", edtItemMaker},
        {"Item model", edtItemModel},
        {"Item serial", edtItemSerial},
        {"Item tag", edtItemTag},
        {"Lab (\u00B0C)", edtLabTemperature},
        {"Lab humidity (%)", edtLabHumidity},
    };
    constexpr int kPerRow = 4;
    int at = 0;
    for (const auto& [caption, field] : fields) {
        grid->addWidget(new QLabel(caption, group), at / kPerRow, (at % kPerRow) * 2);
        grid->addWidget(field, at / kPerRow, (at % kPerRow) * 2 + 1);
        ++at;
    }
    connect(cbxProcedure, &QComboBox::currentIndexChanged, this, [this] { FillProcedurePoints(); });
    connect(cbxBasis, &QComboBox::currentIndexChanged, this, [this] { FillProcedurePoints(); });
    connect(edtSpan, &QLineEdit::editingFinished, this, [this] { FillProcedurePoints(); });
}

void TfrmCalibrationRun::CreatePlanTable() {
    auto* box = new QWidget(this);
    auto* layout = new QVBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    tblPlan = new QTableWidget(0, kPlanColumnCount, box);
    for (int c = 0; c < kPlanColumnCount; ++c)
        tblPlan->setHorizontalHeaderItem(c, new QTableWidgetItem(kPlanColumns[c]));
    tblPlan->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    layout->addWidget(tblPlan);
    auto* row = new QHBoxLayout;
    btnAddPoint = new QPushButton(kRunAddPoint, box);
    btnRemovePoint = new QPushButton(kRunRemovePoint, box);
    btnLoad = new QPushButton(kRunLoad, box);
    btnSave = new QPushButton(kRunSave, box);
    btnCheck = new QPushButton(kRunCheck, box);
    for (QPushButton* button : {btnAddPoint, btnRemovePoint, btnLoad, btnSave, btnCheck})
        row->addWidget(button);
    row->addStretch();
    layout->addLayout(row);
    lblCheck = new QLabel(box);
    lblCheck->setWordWrap(true);
    lblCheck->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(lblCheck);
    connect(btnAddPoint, &QPushButton::clicked, this, [this] { AddPointRow(); });
    connect(btnRemovePoint, &QPushButton::clicked, this, [this] {
        const int current = tblPlan->currentRow();
        tblPlan->removeRow(current >= 0 ? current : tblPlan->rowCount() - 1);
    });
    connect(btnLoad, &QPushButton::clicked, this, [this] { btnLoadClick(); });
    connect(btnSave, &QPushButton::clicked, this, [this] { btnSaveClick(); });
    connect(btnCheck, &QPushButton::clicked, this, [this] { btnCheckClick(); });
}

void TfrmCalibrationRun::CreateRunControls() {
    auto* box = new QWidget(this);
    auto* layout = new QVBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* row = new QHBoxLayout;
    btnStart = new QPushButton(kRunStart, box);
    btnPause = new QPushButton(kRunPause, box);
    btnStop = new QPushButton(kRunStop, box);
    btnSkip = new QPushButton(kRunSkip, box);
    lblProgress = new QLabel(kRunNotStarted, box);
    QFont bold = lblProgress->font();
    bold.setBold(true);
    lblProgress->setFont(bold);
    for (QPushButton* button : {btnStart, btnPause, btnStop, btnSkip})
        row->addWidget(button);
    row->addWidget(lblProgress, 1);
    layout->addLayout(row);
    auto* manual = new QHBoxLayout;
    lblAnalyzerWanted = new QLabel(box);
    edtAnalyzerMean = new QLineEdit(box);
    edtAnalyzerMean->setPlaceholderText("ng/l");
    btnEnterReading = new QPushButton(kRunEnterReading, box);
    manual->addWidget(lblAnalyzerWanted, 1);
    manual->addWidget(edtAnalyzerMean);
    manual->addWidget(btnEnterReading);
    layout->addLayout(manual);
    ShowAnalyzerWanted(0);
    lblFolder = new QLabel(box);
    lblFolder->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(lblFolder);
    lblInstruments = new QLabel(box);
    lblInstruments->setWordWrap(true);
    lblInstruments->setStyleSheet("color: #b40000");
    layout->addWidget(lblInstruments);
    ShowInstrumentWarnings();
    lblReport = new QLabel(box);
    lblReport->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(lblReport);
    connect(btnStart, &QPushButton::clicked, this, [this] { btnStartClick(); });
    connect(btnPause, &QPushButton::clicked, this, [this] { btnPauseClick(); });
    connect(btnStop, &QPushButton::clicked, this, [this] { btnStopClick(); });
    connect(btnSkip, &QPushButton::clicked, this, [this] { btnSkipClick(); });
    connect(btnEnterReading, &QPushButton::clicked, this, [this] { btnEnterReadingClick(); });
    connect(edtAnalyzerMean, &QLineEdit::returnPressed, this, [this] { btnEnterReadingClick(); });
}

// The manual analyser's row shows only while its reading is wanted.
void TfrmCalibrationRun::ShowAnalyzerWanted(int index) {
    for (QWidget* part :
         {static_cast<QWidget*>(lblAnalyzerWanted), static_cast<QWidget*>(edtAnalyzerMean),
          static_cast<QWidget*>(btnEnterReading)})
        part->setVisible(index > 0);
    edtAnalyzerMean->clear();
    if (index <= 0)
        return;
    char text[200];
    std::snprintf(text, sizeof text, kRunAnalyzerWanted, index);
    lblAnalyzerWanted->setText(text);
    show();
    raise();
    edtAnalyzerMean->setFocus();
}

void TfrmCalibrationRun::CreateResults() {
    tblResults = new QTableWidget(0, kResultColumnCount, this);
    for (int c = 0; c < kResultColumnCount; ++c)
        tblResults->setHorizontalHeaderItem(c, new QTableWidgetItem(kResultColumns[c]));
    tblResults->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    tblResults->verticalHeader()->hide();
    tblResults->setEditTriggers(QAbstractItemView::NoEditTriggers);
}

void TfrmCalibrationRun::AddPointRow() {
    const int row = tblPlan->rowCount();
    tblPlan->insertRow(row);
    for (int c = kPointKeyCount; c < kLevelColumn; ++c)
        tblPlan->setItem(row, c, ReadOnlyItem({}));
}

void TfrmCalibrationRun::FillProcedurePoints() {
    const run::TProcedureRule* rule =
        run::ProcedureRuleNamed(cbxProcedure->currentText().toStdString());
    std::optional<double> span;
    try {
        span = FieldNumber(edtSpan->text(), rule ? rule->SpanKey : "span", {});
    } catch (const run::EPlanError&) {
        return;  // the check names it
    }
    if (!rule || !span || *span <= 0)
        return;
    run::TProcedurePlan procedure;
    procedure.Kind = rule->Kind;
    procedure.Span = *span;
    procedure.Levels = run::DefaultLevels(rule->Kind, *span);
    const double factor = run::BasisFactor(cbxBasis->currentIndex() == 1 ? run::ab0C : run::ab20C);
    tblPlan->setRowCount(0);
    for (const run::TPlanLevel& level : run::InjectionOrder(procedure)) {
        AddPointRow();
        const int row = tblPlan->rowCount() - 1;
        tblPlan->setItem(row, 0, new QTableWidgetItem(Shown(level.Concentration / factor)));
        tblPlan->setItem(row, kLevelColumn,
                         new QTableWidgetItem(QString::fromStdString(level.Name)));
    }
}

// --- The plan ---

QJsonObject TfrmCalibrationRun::PlanJson() const {
    QJsonObject plan;
    PutText(plan, "name", edtName);
    PutText(plan, "operator", edtOperator);
    PutText(plan, "analyzerId", edtAnalyzerId);
    PutNumber(plan, "temperature", edtTemperature);
    PutNumber(plan, "dilution", edtDilution);
    PutNumber(plan, "settlingMinutes", edtSettling);
    PutNumber(plan, "settleMaxMinutes", edtSettleMax);
    PutNumber(plan, "dwellMinutes", edtDwell);
    plan["onNotStable"] = cbxOnNotStable->currentText();
    plan["end"] = cbxEnd->currentText();
    QJsonObject acceptance;
    PutNumber(acceptance, "percent", edtAcceptPercent, "acceptance: ");
    PutNumber(acceptance, "absolute", edtAcceptAbsolute, "acceptance: ");
    if (!acceptance.isEmpty())
        plan["acceptance"] = acceptance;
    QJsonObject analyzer{{"source", cbxAnalyzerSource->currentText()}};
    PutText(analyzer, "port", edtAnalyzerPort);
    PutNumber(analyzer, "address", edtAnalyzerAddress, "analyzer: ");
    PutNumber(analyzer, "function", edtAnalyzerFunction, "analyzer: ");
    PutNumber(analyzer, "register", edtAnalyzerRegister, "analyzer: ");
    PutText(analyzer, "format", edtAnalyzerFormat);
    PutNumber(analyzer, "scale", edtAnalyzerScale, "analyzer: ");
    PutNumber(analyzer, "delaySeconds", edtAnalyzerDelay, "analyzer: ");
    const run::TProcedureRule* rule =
        run::ProcedureRuleNamed(cbxProcedure->currentText().toStdString());
    if (cbxBasis->currentIndex() != 0)
        analyzer["basis"] = cbxBasis->currentText();
    QJsonObject item;
    PutText(item, "maker", edtItemMaker);
    PutText(item, "model", edtItemModel);
    PutText(item, "serial", edtItemSerial);
    PutText(item, "tag", edtItemTag);
    if (!item.isEmpty())
        analyzer["item"] = item;
    if (analyzer.size() > 1 || cbxAnalyzerSource->currentIndex() != 0)
        plan["analyzer"] = analyzer;
    if (rule) {
        plan["procedure"] = rule->Name;
        PutNumber(plan, rule->SpanKey, edtSpan);
        if (rule->Kind == run::pkEn14181Linearity)
            PutNumber(plan, "residualLimitPercent", edtResidualLimit);
    }
    QJsonArray points;
    for (int row = 0; row < tblPlan->rowCount(); ++row) {
        QJsonObject point;
        const std::string where = "point " + std::to_string(points.size() + 1) + ": ";
        for (int c = 0; c < kPointKeyCount; ++c) {
            const QTableWidgetItem* item = tblPlan->item(row, c);
            if (item == nullptr)
                continue;
            if (const auto number = FieldNumber(item->text(), kPointKeys[c], where))
                point[kPointKeys[c]] = *number;
        }
        const QTableWidgetItem* level = tblPlan->item(row, kLevelColumn);
        if (level != nullptr && !level->text().trimmed().isEmpty())
            point["level"] = level->text().trimmed();
        // A row left empty is no point.
        if (!point.isEmpty())
            points.append(point);
    }
    plan["points"] = points;
    PutText(plan, "customer", edtCustomer);
    QJsonObject environment;
    PutNumber(environment, "temperature", edtLabTemperature, "environment: ");
    PutNumber(environment, "humidity", edtLabHumidity, "environment: ");
    if (!environment.isEmpty())
        plan["environment"] = environment;
    return plan;
}

void TfrmCalibrationRun::ShowPlan(const QJsonObject& plan) {
    edtName->setText(plan["name"].toString());
    edtOperator->setText(plan["operator"].toString());
    edtAnalyzerId->setText(plan["analyzerId"].toString());
    ShowNumber(edtTemperature, plan["temperature"]);
    ShowNumber(edtDilution, plan["dilution"]);
    ShowNumber(edtSettling, plan["settlingMinutes"]);
    ShowNumber(edtSettleMax, plan["settleMaxMinutes"]);
    ShowNumber(edtDwell, plan["dwellMinutes"]);
    cbxOnNotStable->setCurrentText(plan["onNotStable"].toString("skip"));
    cbxEnd->setCurrentText(plan["end"].toString("keep"));
    const QJsonObject acceptance = plan["acceptance"].toObject();
    ShowNumber(edtAcceptPercent, acceptance["percent"]);
    ShowNumber(edtAcceptAbsolute, acceptance["absolute"]);
    const QJsonObject analyzer = plan["analyzer"].toObject();
    cbxAnalyzerSource->setCurrentText(analyzer["source"].toString("none"));
    edtAnalyzerPort->setText(analyzer["port"].toString());
    ShowNumber(edtAnalyzerAddress, analyzer["address"]);
    ShowNumber(edtAnalyzerFunction, analyzer["function"]);
    ShowNumber(edtAnalyzerRegister, analyzer["register"]);
    edtAnalyzerFormat->setText(analyzer["format"].toString());
    ShowNumber(edtAnalyzerScale, analyzer["scale"]);
    ShowNumber(edtAnalyzerDelay, analyzer["delaySeconds"]);
    const QJsonObject item = analyzer["item"].toObject();
    edtItemMaker->setText(item["maker"].toString());
    edtItemModel->setText(item["model"].toString());
    edtItemSerial->setText(item["serial"].toString());
    edtItemTag->setText(item["tag"].toString());
    edtCustomer->setText(plan["customer"].toString());
    const QJsonObject environment = plan["environment"].toObject();
    ShowNumber(edtLabTemperature, environment["temperature"]);
    ShowNumber(edtLabHumidity, environment["humidity"]);
    // The procedure's fields first: choosing one fills the points from its
    // defaults, which the plan's own points then replace.
    cbxBasis->setCurrentText(analyzer["basis"].toString("20C"));
    ShowNumber(edtSpan, plan[plan.contains("range") ? "range" : "span"]);
    ShowNumber(edtResidualLimit, plan["residualLimitPercent"]);
    cbxProcedure->setCurrentText(plan["procedure"].toString("points"));
    QJsonArray points = plan["points"].toArray();
    if (!plan.contains("points") && cbxProcedure->currentIndex() != 0) {
        // A plan of levels alone: its points as the plan makes them.
        try {
            for (const run::TPlanPoint& made : run::ParsePlan(QJsonDocument(plan).toJson()).Points)
                points.append(QJsonObject{{"wanted", made.Wanted.value_or(0)},
                                          {"level", QString::fromStdString(made.Level)}});
        } catch (const run::EPlanError&) {
            // Shown as far as it goes; the check names what is wrong.
        }
    }
    tblPlan->setRowCount(0);
    for (const QJsonValue& value : points) {
        AddPointRow();
        const QJsonObject point = value.toObject();
        const int row = tblPlan->rowCount() - 1;
        for (int c = 0; c < kPointKeyCount; ++c)
            tblPlan->setItem(row, c,
                             new QTableWidgetItem(point[kPointKeys[c]].isDouble()
                                                      ? Shown(point[kPointKeys[c]].toDouble())
                                                      : QString()));
        tblPlan->setItem(row, kLevelColumn, new QTableWidgetItem(point["level"].toString()));
    }
}

void TfrmCalibrationRun::LoadPlan(const QString& path) {
    QByteArray bytes;
    try {
        bytes = run::ReadPlanFile(path);
    } catch (const run::EPlanError& e) {
        platform::ShowError(platform::FillText(kRunPlanNotRead, {path.toStdString(), e.what()}));
        return;
    }
    try {
        const run::TPlan plan = run::ParsePlan(bytes);
        ShowPlan(plan.Json);
    } catch (const run::EPlanError& e) {
        platform::ShowError(platform::FillText(kRunPlanRefused, {e.what()}));
        return;
    }
    btnCheckClick();
}

void TfrmCalibrationRun::SavePlan(const QString& path) {
    QJsonObject plan;
    try {
        plan = PlanJson();
    } catch (const run::EPlanError& e) {
        platform::ShowError(platform::FillText(kRunPlanRefused, {e.what()}));
        return;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(QJsonDocument(plan).toJson(QJsonDocument::Indented)) < 0 || !file.commit())
        platform::ShowError(platform::FillText(
            kRunPlanNotSaved, {path.toStdString(), file.errorString().toStdString()}));
}

void TfrmCalibrationRun::btnLoadClick() {
    const QString path =
        ChooseLoadFile ? ChooseLoadFile()
                       : QFileDialog::getOpenFileName(this, kRunLoadCaption, {}, kRunPlanFilter);
    if (!path.isEmpty())
        LoadPlan(path);
}

void TfrmCalibrationRun::btnSaveClick() {
    const QString path =
        ChooseSaveFile ? ChooseSaveFile()
                       : QFileDialog::getSaveFileName(this, kRunSaveCaption, {}, kRunPlanFilter);
    if (!path.isEmpty())
        SavePlan(path);
}

// The kit as the console knows it: the capacities and temperature limits
// read from the controllers (their defaults before), and the saturator
// conditions of the Advanced page.
run::TKitLimits TfrmCalibrationRun::Limits() const {
    run::TKitLimits limits;
    limits.ReservoirCapacity = FConsole.Kit->RFCapacity;
    limits.DilutionCapacity = FConsole.Kit->DFCapacity;
    limits.TempMin = static_cast<double>(FConsole.edtTemp->BoundLower());
    limits.TempMax = static_cast<double>(FConsole.edtTemp->BoundUpper());
    const auto condition = [](panels::TFloatEdit* field, double& value) {
        try {
            value = static_cast<double>(field->AsFloat());
        } catch (const std::exception&) {
        }
    };
    condition(FConsole.edtPbar, limits.Pbar);
    condition(FConsole.edtDp, limits.Dp);
    condition(FConsole.edtRefTemp, limits.RefTemp);
    return limits;
}

void TfrmCalibrationRun::ShowRefusal(const std::string& reason, bool say) {
    const std::string text = platform::FillText(kRunPlanRefused, {reason});
    lblCheck->setText(QString::fromStdString(text));
    if (say)
        platform::ShowError(text);
}

std::optional<run::TPlan> TfrmCalibrationRun::CheckedPlan(const QJsonObject& json, bool say) {
    try {
        run::TPlan plan = run::ParsePlan(QJsonDocument(json).toJson(QJsonDocument::Compact));
        run::CheckPlan(plan, Limits(), false);
        return plan;
    } catch (const run::EPlanError& e) {
        ShowRefusal(e.what(), say);
        return std::nullopt;
    }
}

void TfrmCalibrationRun::ShowInstrumentWarnings() {
    const std::vector<std::string> warnings =
        calc::InstrumentsPastDue(calc::ReadSettings(FConsole.SettingsFile()).Laboratory,
                                 QDate::currentDate().toString(Qt::ISODate).toStdString());
    QStringList lines;
    for (const std::string& warning : warnings)
        lines << QString::fromStdString(warning);
    lblInstruments->setText(lines.join('\n'));
    lblInstruments->setVisible(!lines.isEmpty());
}

namespace {

// "about 1 h 20 min", to the minute; under a minute in seconds.
std::string AboutText(double minutes) {
    const auto seconds = static_cast<long long>(std::llround(minutes * 60));
    if (seconds < 60)
        return platform::FillText(kRunAboutSeconds, {std::to_string(seconds)});
    const long long whole = (seconds + 30) / 60;
    if (whole < 60)
        return platform::FillText(kRunAboutMinutes, {std::to_string(whole)});
    if (whole % 60 == 0)
        return platform::FillText(kRunAboutWholeHours, {std::to_string(whole / 60)});
    return platform::FillText(kRunAboutHours,
                              {std::to_string(whole / 60), std::to_string(whole % 60)});
}

}  // namespace

// The verdict stays in the window, beside the plan it judged: no box to
// close.
bool TfrmCalibrationRun::btnCheckClick() {
    QJsonObject json;
    try {
        json = PlanJson();
    } catch (const run::EPlanError& e) {
        ShowRefusal(e.what(), false);
        return false;
    }
    const std::optional<run::TPlan> plan = CheckedPlan(json, false);
    ShowInstrumentWarnings();
    if (!plan)
        return false;
    ShowCheckedFlows(*plan);
    const std::size_t points = plan->Points.size();
    lblCheck->setText(QString::fromStdString(
        platform::FillText(points == 1 ? kRunPlanCheckedOne : kRunPlanChecked,
                           {std::to_string(points), AboutText(run::PlanMinutes(*plan))})));
    return true;
}

void TfrmCalibrationRun::ShowCheckedFlows(const run::TPlan& plan) {
    int index = 0;
    for (int row = 0; row < tblPlan->rowCount() && index < static_cast<int>(plan.Points.size());
         ++row) {
        bool empty = true;
        for (int c = 0; c < kPointKeyCount; ++c)
            if (tblPlan->item(row, c) != nullptr && !tblPlan->item(row, c)->text().isEmpty())
                empty = false;
        if (empty)
            continue;
        const run::TPlanPoint& p = plan.Points[static_cast<std::size_t>(index++)];
        tblPlan->setItem(row, kPointKeyCount, ReadOnlyItem(Shown(p.ReservoirFlow)));
        tblPlan->setItem(row, kPointKeyCount + 1, ReadOnlyItem(Fixed(p.Calculated, 2)));
    }
}

// --- The run ---

// From Start on: the engine starts from the event loop.
bool TfrmCalibrationRun::Running() const {
    return FEngine && (FEngine->Running() || FEngine->State() == run::rsIdle);
}

QString TfrmCalibrationRun::FolderPath() const {
    return FFolder ? FFolder->Path() : QString();
}

void TfrmCalibrationRun::btnStartClick() {
    if (Running())
        return;
    if (!FConsole.ModbusConnection1->Active()) {
        platform::ShowError(kRunNeedsPort);
        return;
    }
    QJsonObject json;
    try {
        json = PlanJson();
    } catch (const run::EPlanError& e) {
        ShowRefusal(e.what(), true);
        return;
    }
    std::optional<run::TPlan> plan = CheckedPlan(json);
    ShowInstrumentWarnings();
    if (!plan)
        return;
    ShowCheckedFlows(*plan);
    std::string reason;
    if (!StartPlan(std::move(*plan), {}, reason))
        platform::ShowError(reason);
}

bool TfrmCalibrationRun::StartPlan(run::TPlan plan, const std::string& by, std::string& reason) {
    const QString path =
        RunsFolder + "/" + run::RunFolderName(QDateTime::currentDateTime(), plan.Name);
    try {
        OpenAnalyzerLine(plan.Analyzer);
        run::TRunFolder folder = run::TRunFolder::Create(
            path, plan.Json,
            static_cast<double>(FConsole.LiveView->Monitor.Accuracies.CoverageFactor));
        Begin(std::move(plan), std::move(folder), false, by);
        return true;
    } catch (const std::exception& e) {
        UnhookConsole();
        reason = e.what();
        return false;
    }
}

bool TfrmCalibrationRun::StartForPlant(const QString& path, const std::string& by,
                                       std::string& reason) {
    if (Running()) {
        reason = kPlantRunGoing;
        return false;
    }
    if (!FConsole.ModbusConnection1->Active() || !FConsole.Polling()) {
        reason = kPlantNotPolling;
        return false;
    }
    QByteArray bytes;
    try {
        bytes = run::ReadPlanFile(path);
    } catch (const run::EPlanError& e) {
        reason = platform::FillText(kRunPlanNotRead, {path.toStdString(), e.what()});
        return false;
    }
    run::TPlan plan;
    try {
        plan = run::ParsePlan(bytes);
        run::CheckPlan(plan, Limits(), false);
    } catch (const run::EPlanError& e) {
        reason = platform::FillText(kRunPlanRefused, {e.what()});
        return false;
    }
    // The window shows the plan it runs, as the operator's Load and Check.
    ShowPlan(plan.Json);
    ShowCheckedFlows(plan);
    return StartPlan(std::move(plan), by, reason);
}

void TfrmCalibrationRun::ResumeRun(const QString& folder) {
    if (Running())
        return;
    if (!FConsole.ModbusConnection1->Active()) {
        platform::ShowError(kRunNeedsPort);
        return;
    }
    try {
        run::TRunFolder opened = run::TRunFolder::Open(
            folder, static_cast<double>(FConsole.LiveView->Monitor.Accuracies.CoverageFactor));
        // A run that has ended is left as it is, but for a results.json
        // that a power cut or a hand lost, made again from the journal.
        if (opened.Finished()) {
            if (opened.HasResults())
                throw run::ERunFolderError(
                    platform::FillText(run::kFolderFinished, {folder.toStdString()}));
            opened.WriteResults(run::ResultsFromJournal(folder));
            platform::ShowMessage(platform::TMsgDlgType::mtInformation, kRunResumeCaption,
                                  platform::FillText(kRunResultsRebuilt, {folder.toStdString()}));
            return;
        }
        run::TPlan plan = run::ParsePlan(opened.PlanBytes());
        ShowPlan(plan.Json);
        run::CheckPlan(plan, Limits(), false);
        ShowCheckedFlows(plan);
        OpenAnalyzerLine(plan.Analyzer);
        Begin(std::move(plan), std::move(opened), true);
    } catch (const run::EPlanError& e) {
        UnhookConsole();
        platform::ShowError(platform::FillText(kRunPlanRefused, {e.what()}));
    } catch (const std::exception& e) {
        UnhookConsole();
        platform::ShowError(e.what());
    }
}

void TfrmCalibrationRun::Begin(run::TPlan plan, run::TRunFolder folder, bool resuming,
                               const std::string& by) {
    ++FKit->Generation;
    FEngine.reset();
    FFolder.reset();
    FFolder.emplace(std::move(folder));
    FPendingSample.reset();

    run::TRunSetup setup;
    setup.Port = FConsole.ModbusConnection1->Port();
    setup.Console = VAPCAL_VERSION;
    setup.StartedBy = by;
    setup.Kit = Limits();
    setup.Tolerances = live::ReadTolerances(FConsole.SettingsFile());
    setup.Accuracies = FConsole.LiveView->Monitor.Accuracies;
    FKit->PatienceMs = setup.GiveUpAfterMs;
    setup.Laboratory = calc::ReadSettings(FConsole.SettingsFile()).Laboratory;
    FEngine = std::make_unique<run::TRunEngine>(std::move(plan), setup, *FKit, *FClock, *FFolder);
    WireEngine();

    tblResults->setRowCount(FEngine->PointCount());
    for (int i = 0; i < FEngine->PointCount(); ++i) {
        tblResults->setItem(i, 0, ReadOnlyItem(QString::number(i + 1)));
        for (int c = 1; c < kResultColumnCount; ++c)
            tblResults->setItem(i, c, ReadOnlyItem({}));
    }
    lblFolder->setText(QString::fromStdString(
        platform::FillText(kRunFolderShown, {FFolder->Path().toStdString()})));
    lblReport->clear();
    FeedFromConsole();
    FTick->start();
    // From the event loop, as vapcal-run starts it: the first Apply's
    // nested waits meet a running loop.
    QTimer::singleShot(0, this, [this, resuming] {
        if (!FEngine)
            return;
        try {
            if (resuming)
                FEngine->Resume();
            else
                FEngine->Start();
        } catch (const run::ERunFolderError& e) {
            FEngine.reset();
            Finished();
            platform::ShowError(e.what());
            return;
        }
        for (int i = 0; i < FEngine->PointCount(); ++i)
            if (const auto& result = FEngine->Results()[static_cast<std::size_t>(i)])
                ShowResultRow(i + 1, *result);
        ShowProgress();
        ShowButtons();
    });
    ShowProgress();
    ShowButtons();
}

void TfrmCalibrationRun::WireEngine() {
    FEngine->OnStateChanged = [this](run::TRunState) {
        ShowProgress();
        ShowButtons();
    };
    FEngine->OnPointFinished = [this](int index, const QJsonObject& result) {
        PointFinished(index, result);
    };
    FEngine->OnFinished = [this] { Finished(); };
    FEngine->OnAnalyzerWanted = [this](int index) { ShowAnalyzerWanted(index); };
    FEngine->OnAnalyzerNews = [this](const std::string&) { ShowProgress(); };
}

// The engine takes the console's complete polls as vapcal-run takes its
// line's: each sample with the analyser's reading of the same poll cycle,
// and each poll without a sample as a lapse; the readings are judged
// against the run's point.
void TfrmCalibrationRun::FeedFromConsole() {
    TLiveDisplay& live = *FConsole.LiveView;
    live.RunTargets = [this] { return FEngine ? FEngine->Targets() : live::TKitTargets{}; };
    live.OnRunSample = [this](const live::TLiveSample& sample) { FPendingSample = sample; };
    live.OnRunLapse = [this] {
        if (FEngine)
            FEngine->Lapse(FConsole.LiveView->Monitor.Readings().OldestAgeMs(FClock->Ms()));
    };
    FConsole.Kit->OnPoll = [this](const kit::TPollCycle& cycle) { Cycle(cycle); };
    FConsole.SetRunStatus(FEngine->StatusText());
}

void TfrmCalibrationRun::UnhookConsole() {
    TLiveDisplay& live = *FConsole.LiveView;
    live.RunTargets = nullptr;
    live.OnRunSample = nullptr;
    live.OnRunLapse = nullptr;
    FConsole.Kit->OnPoll = nullptr;
    FAnalyzer.reset();
    FPendingSample.reset();
}

// Raises what the analyser's own port raised.
void TfrmCalibrationRun::OpenAnalyzerLine(const run::TAnalyzerPlan& analyzer) {
    UnhookConsole();
    FAnalyzer = std::make_unique<run::TAnalyzerReader>(analyzer, *FConsole.Kit);
}

void TfrmCalibrationRun::Cycle(const kit::TPollCycle& cycle) {
    if (FAnalyzer) {
        FAnalyzer->Cycle(cycle);
        if (FEngine && FAnalyzer->Answered())
            FEngine->AnalyzerAnswered(*FAnalyzer->Answered());
    }
    if (FPendingSample && FEngine) {
        const live::TLiveSample sample = *FPendingSample;
        FPendingSample.reset();
        FEngine->Sample(sample, FAnalyzer ? FAnalyzer->Reading() : std::nullopt);
    }
}

// The console's port vanished: the run pauses, as vapcal-run's does, and
// gives up should the port stay away; back, the point settles again.
void TfrmCalibrationRun::KitLost(const std::string& port) {
    if (FEngine)
        FEngine->KitLost(port);
}

void TfrmCalibrationRun::KitBack() {
    if (FEngine)
        FEngine->KitBack(FConsole.ModbusConnection1->Port());
}

void TfrmCalibrationRun::btnPauseClick() {
    PauseOrResume({});
}

// `by` empty: the operator.
void TfrmCalibrationRun::PauseOrResume(const std::string& by) {
    if (!Running())
        return;
    if (FEngine->Paused())
        FEngine->Continue(by);
    else
        FEngine->Pause(by);
    ShowProgress();
    ShowButtons();
}

void TfrmCalibrationRun::btnStopClick() {
    if (Running())
        FEngine->Stop(run::kStopAsked);
}

void TfrmCalibrationRun::btnSkipClick() {
    if (Running())
        FEngine->Skip();
}

void TfrmCalibrationRun::btnEnterReadingClick() {
    if (!Running() || !edtAnalyzerMean->isVisible())
        return;
    const std::string typed = edtAnalyzerMean->text().trimmed().toStdString();
    // Left empty: the analyser gave no reading, and the point is not judged.
    double mean = std::nan("");
    if (!typed.empty())
        try {
            mean = static_cast<double>(platform::FieldTextToFloat(typed));
        } catch (const std::exception&) {
            platform::ShowError(platform::FillText(kRunReadingNotNumber, {typed}));
            return;
        }
    ShowAnalyzerWanted(0);
    FEngine->EnterAnalyzerReading(mean);
}

void TfrmCalibrationRun::PointFinished(int index, const QJsonObject& result) {
    ShowResultRow(index, result);
    ShowProgress();
}

// The hooks go from the event loop: the run ends inside a poll's own
// callback, which must not be replaced while it runs.
void TfrmCalibrationRun::Finished() {
    FTick->stop();
    ShowAnalyzerWanted(0);
    QTimer::singleShot(0, this, [this] {
        if (Running())
            return;
        UnhookConsole();
        FConsole.SetRunStatus({});
        ShowProgress();
        ShowButtons();
        WriteReport();
        WriteHistory();
        // The folder is free for vapcal-run or vapcal-report once the run
        // has ended.
        if (FFolder)
            FFolder->Close();
    });
    ShowProgress();
    ShowButtons();
}

// The report is made from the run folder alone, as vapcal-report makes it
// again later. One that cannot be made is a message: the run and its
// folder stay as they are.
void TfrmCalibrationRun::WriteReport() {
    if (!FFolder || !QFileInfo::exists(FFolder->Path() + "/" + run::kResultsFile))
        return;
    try {
        report::TReportOptions options;
        // The report goes on without its history line when the history
        // cannot be read; the run's end writes the run there later.
        try {
            const QString line =
                history::FolderReportLine(FFolder->Path(), {}, FConsole.SettingsFile());
            if (!line.isEmpty())
                options.HistoryLines << line;
        } catch (const std::exception&) {
        }
        const report::TReportFiles files =
            report::WriteReport(report::ReadRunFolder(FFolder->Path()), options);
        lblReport->setText(
            QString::fromStdString(platform::FillText(kRunReportShown, {files.Pdf.toStdString()})));
    } catch (const std::exception& e) {
        lblReport->setText(QString::fromStdString(platform::FillText(kRunNoReport, {e.what()})));
        platform::ShowError(platform::FillText(kRunNoReport, {e.what()}));
    }
}

// The finished run into the history on a worker: the window never waits for
// a database, and one that is away leaves the folder marked for later.
void TfrmCalibrationRun::WriteHistory() {
    if (!FFolder || !QFileInfo::exists(FFolder->Path() + "/" + run::kResultsFile))
        return;
    const std::string settings = FConsole.SettingsFile();
    history::WriteInBackground(FFolder->Path(), history::HistoryDatabaseSetting(settings),
                               history::DefaultImportContext(settings),
                               {QFileInfo(FFolder->Path()).absolutePath()});
}

void TfrmCalibrationRun::ShowProgress() {
    if (!FEngine) {
        lblProgress->setText(kRunNotStarted);
        return;
    }
    std::string text = FEngine->StatusText();
    if (FEngine->State() == run::rsStopped && !FEngine->StopReason().empty())
        text += ": " + FEngine->StopReason();
    if (FEngine->State() == run::rsDone && FEngine->ExitStatus() != 0)
        text = platform::FillText(kRunNotAllPassed, {text});
    lblProgress->setText(QString::fromStdString(text));
    if (!Running())
        return;
    FConsole.SetRunStatus(FEngine->StatusText());
    // The point in hand's row says what it waits for until its result.
    const int row = FEngine->PointIndex() - 1;
    if (row >= 0 && row < tblResults->rowCount() &&
        !FEngine->Results()[static_cast<std::size_t>(row)])
        tblResults->setItem(row, 1,
                            ReadOnlyItem(QString::fromStdString(FEngine->PointStateText())));
}

void TfrmCalibrationRun::ShowButtons() {
    const bool running = Running();
    edtName->parentWidget()->setEnabled(!running);
    tblPlan->parentWidget()->setEnabled(!running);
    btnStart->setEnabled(!running);
    btnPause->setEnabled(running);
    btnPause->setText(running && FEngine->Paused() ? kRunResume : kRunPause);
    btnStop->setEnabled(running);
    btnSkip->setEnabled(running);
}

// "16.02 ± 0.43" (U to two significant digits, the mean to the same place,
// as the report prints it), the analyser's mean and the error to that place
// too, with the error's percent, and the verdict: PASS, FAIL, or a dash
// where nothing was judged.
void TfrmCalibrationRun::ShowResultRow(int index, const QJsonObject& result) {
    const int row = index - 1;
    if (row < 0 || row >= tblResults->rowCount())
        return;
    const auto put = [this, row](int column, const QString& text) {
        tblResults->setItem(row, column, ReadOnlyItem(text));
    };
    put(1, StatusWords(result["status"].toString()));
    const QJsonObject delivered = result["delivered"].toObject();
    std::optional<int> decimals;
    if (delivered["expanded"].isDouble())
        decimals = calc::UncertaintyDecimals(delivered["expanded"].toDouble());
    const auto rounded = [&decimals](double value) {
        return decimals ? QString::fromStdString(calc::RoundedText(value, *decimals))
                        : Fixed(value);
    };
    QString shown;
    if (delivered["mean"].isDouble()) {
        shown = rounded(delivered["mean"].toDouble());
        if (decimals)
            shown += " \u00B1 " + rounded(delivered["expanded"].toDouble());
    }
    put(2, shown);
    const QJsonObject analyzer = result["analyzer"].toObject();
    put(3, analyzer["mean"].isDouble() ? rounded(analyzer["mean"].toDouble()) : QString());
    QString error;
    if (result["error"].isDouble()) {
        error = rounded(result["error"].toDouble());
        if (result["errorPercent"].isDouble())
            error += " (" + Fixed(result["errorPercent"].toDouble(), 1) + " %)";
    }
    put(4, error);
    put(5, result["pass"].isBool() ? (result["pass"].toBool() ? kRunPass : kRunFail) : kNoVerdict);
}

}  // namespace app
