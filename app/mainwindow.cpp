#include "app/mainwindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFrame>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QStyle>
#include <QTabBar>
#include <QTimer>
#include <algorithm>
#include <cstdio>

#include "app/calcfields.h"
#include "app/comselect.h"
#include "app/historypage.h"
#include "app/laboratoryview.h"
#include "app/livedisplay.h"
#include "app/messages.h"
#include "app/runwindow.h"
#include "app/skin.h"
#include "app/trendpage.h"
#include "app/uncertaintyview.h"
#include "calc/model.h"
#include "history/pending.h"
#include "kit/kit.h"
#include "kit/threadedtimer.h"
#include "modbus/client.h"
#include "modbus/connection.h"
#include "panels/cal3300rs485.h"
#include "panels/chemlabel.h"
#include "panels/elflowmfc.h"
#include "panels/messagebox.h"
#include "panels/toolkitfont.h"
#include "platform/filltext.h"
#include "platform/inifile.h"
#include "platform/msgsink.h"
#include "platform/numtext.h"
#include "run/runfolder.h"

namespace app {

namespace {

// A path as a shell takes it whole: in single quotes, each quote of its own
// closed, escaped and opened again.
std::string ShellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// The window's client area: the designed 339 x 447 window less its frame and
// title bar, and the status line under the button row.
constexpr int kClientWidth = 331;
constexpr int kStatusLineTop = 410;
constexpr int kStatusLineHeight = 16;
constexpr int kClientHeight = kStatusLineTop + kStatusLineHeight + 3;
constexpr int kPageWidth = 322;
constexpr int kPageHeight = 353;

// The designed font, MS Sans Serif 8 pt, in the nearest sans font of the
// platform. DejaVu Sans runs wider than MS Sans Serif: at 10 pixels it
// takes the designed widths, so every caption ends before its field.
constexpr char kFontFamily[] = "DejaVu Sans";
constexpr int kFontPixels = 10;

// Captions. Before each superscript digit stands a soft hyphen (U+00AD) for
// the minus sign of the unit.
constexpr char kCaption[] = "Vapcal Hg vapor pressure  concentration";
constexpr char kTabVariables[] = "Vapcal Variables";
constexpr char kTabAdvanced[] = "Advanced";
constexpr char kTabTrend[] = "Trend";
constexpr char kGroupVariables[] = "Vapcal Variables";
constexpr char kLabelTemp[] = "Temperature (\u00B0C)";
constexpr char kLabelFlow[] = "Reservoir Flow (ml min\u00AD\u00B9)";
constexpr char kLabelDilutionFlow[] = "Dilution Flow (l min\u00AD\u00B9)";
constexpr char kLabelDilutedOput[] =
    "Diluted Output Concentration (ng l\u00AD\u00B9) (\u00B5g m\u00AD\u00B3)";
constexpr char kCheckAllowInput[] = "Allow manual input of output concentration";
constexpr char kLabelStandardConditions[] = "At standard conditions (1 atm, 20 \u00B0C)";
constexpr char kGroupReadout[] = "Digital Vapcal Readout";
constexpr char kLabelRflow[] = "Reservoir Flow  (ml min\u00AD\u00B9)";
constexpr char kLabelDflow[] = "   Dilution Flow      (l min\u00AD\u00B9)";
constexpr char kLabelTempCont[] = "Hg Reservoir Temp(\u00B0C)";
constexpr char kGroupSaturator[] = "Saturator Conditions";
constexpr char kLabelPbar[] = "Atmospheric pressure (in. Hg)";
constexpr char kLabelDp[] = "dp";
constexpr char kLabelDpUnit[] = "(in. H2O)";
constexpr char kLabelRefTemp[] = "Reference Temperature (\u00B0C)";
constexpr char kGroupActual[] = "At actual reservoir conditions";
constexpr char kLabelSatFlow[] = "Reservoir Flow (ml min\u00AD\u00B9)";
constexpr char kLabelSatConc[] = "Reservoir Output (ng ml\u00AD\u00B9)";
constexpr char kLabelSaturator[] = "Reservoir Output (ng min\u00AD\u00B9)";
constexpr char kLabelUncorrectedOput[] = "Uncorrected output concentration (ng l\u00AD\u00B9)";
constexpr char kLabelRatio[] = "Ratio";
constexpr char kButtonDefault[] = "&Default";
constexpr char kHintDefault[] = "Load Default";
constexpr char kButtonCalculate[] = "Ca&lculate";
constexpr char kHintCalculate[] = "Diluted Output Concentration";
constexpr char kButtonApply[] = "&Apply";
constexpr char kButtonAbout[] = "A&bout";
constexpr char kButtonClose[] = "&Close";

// How often the old-reading look and the status line's age are brought up
// to date between readings.
constexpr int kStatusRefreshMs = 250;
// An old reading's LED segments and caption, dimmed towards the face.
constexpr int kOldReadingDimPercent = 50;
const QColor kOldCaptionColour(128, 128, 128);

QString Qs(const char* text) {
    return ShownCaption(text);
}

QFont WindowFont(bool bold = false) {
    QFont font(kFontFamily);
    font.setPixelSize(kFontPixels);
    font.setBold(bold);
    return font;
}

// A label on the left of a field, on the field's text line.
QLabel* FieldLabel(QWidget* parent, const char* text, int left, int fieldTop) {
    auto* label = new QLabel(Qs(text), parent);
    label->setFont(WindowFont());
    label->adjustSize();
    label->move(left, fieldTop + 4);
    return label;
}

// A caption above an instrument panel, in the small font, centred and
// wrapped in its box.
QLabel* PanelCaption(QWidget* parent, const char* text, const QRect& rect) {
    auto* label = new QLabel(Qs(text), parent);
    label->setFont(panels::ToolkitFont("Small Fonts", -9));
    label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    label->setWordWrap(true);
    label->setGeometry(rect);
    return label;
}

QGroupBox* Group(QWidget* parent, const char* caption, const QRect& rect) {
    auto* group = new QGroupBox(Qs(caption), parent);
    group->setFont(WindowFont(true));
    group->setGeometry(rect);
    return group;
}

QFrame* SeparatorLine(QWidget* parent, int left, int top, int width) {
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    line->setGeometry(left, top, width, 2);
    return line;
}

QPushButton* Button(QWidget* parent, const char* caption, const QRect& rect) {
    auto* button = new QPushButton(Qs(caption), parent);
    button->setFont(WindowFont());
    button->setGeometry(rect);
    // As in the kit's other programs, Enter on a focused button presses it.
    button->setAutoDefault(true);
    return button;
}

struct TFieldLayout {
    int decimals;
    bool trim;
    bool readOnly;
    panels::TAlignment alignment;
    bool bold;
    bool red;
    long double initial;
};

panels::TFloatEdit* Field(QWidget* parent, const QRect& rect, const TFieldLayout& layout) {
    auto* field = new panels::TFloatEdit(parent);
    field->setGeometry(rect);
    field->setFont(WindowFont(layout.bold));
    field->SetColorRO(QApplication::palette().color(QPalette::Button));
    field->SetDecimalPlaces(layout.decimals);
    field->SetTrimTrailingZeroes(layout.trim);
    field->SetAlignment(layout.alignment);
    field->SetReadOnly(layout.readOnly);
    if (layout.red) {
        field->SetColorFontNeg(Qt::red);
        field->SetColorFontPos(Qt::red);
    }
    field->SetAsFloat(layout.initial);
    return field;
}

constexpr auto kRight = panels::TAlignment::taRightJustify;
constexpr auto kLeft = panels::TAlignment::taLeftJustify;

}  // namespace

// The soft hyphen that stands for the minus of a unit is drawn only at a
// line break, so it is shown as a superscript minus.
QString ShownCaption(const std::string& text) {
    return QString::fromStdString(text).replace(QChar(0x00AD), QChar(0x207B));
}

struct TfrmVapcalCalc::TFields {
    TFloatEditField Temp, Flow, DilutionFlow, Pbar, Dp, RefTemp;
    TTextEditField SatConc;
    TFloatEditField SatFlow, Saturator, UncorrectedOput, Ratio, DilutedOput;

    calc::TCalculatorFields Calculator() {
        return {Temp,    Flow,      DilutionFlow,    Pbar,  Dp,         RefTemp, SatConc,
                SatFlow, Saturator, UncorrectedOput, Ratio, DilutedOput};
    }
};

TfrmVapcalCalc::TfrmVapcalCalc(const std::string& settingsFile, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      Kit(new kit::TKit(this)),
      LastFlowSP(Kit->LastFlowSP),
      LastDilutionFlowSP(Kit->LastDilutionFlowSP),
      LastTempSP(Kit->LastTempSP),
      ModbusConnection1(Kit->Connection),
      mcVapcalRF(Kit->ReservoirFlow),
      mcVapcalDF(Kit->DilutionFlow),
      mcVapcalTC(Kit->Temperature),
      SW_VCtimer(Kit->PollTimer),
      RFCapacity(Kit->RFCapacity),
      DFCapacity(Kit->DFCapacity),
      WriteAcknowledged(Kit->WriteAcknowledged),
      settingsFile_(settingsFile) {
    setWindowTitle(Qs(kCaption));
    setFont(WindowFont());
    setFixedSize(kClientWidth, kClientHeight);
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());

    CreatePages();
    CreateButtonRow();
    CreateStatusLine();
    CreateGlyphs();
    CreateCalculator();
    CreateModbus();
    WireEvents();
    CreateLiveView();
    Uncertainty = new TUncertaintyView(*this, settingsFile_);
    Laboratory = new TLaboratoryView(*this, Uncertainty->grpUncertainty, settingsFile_);
    FormCreate();
    line_.StopReason = kStopNoPortChosen;
    UpdateReadingStates();
}

// The kit's poll stops and its line closes (its worker finishing the
// transaction in hand) before the panels its replies feed go.
TfrmVapcalCalc::~TfrmVapcalCalc() {
    statusTimer_->stop();
    delete RunWindow;
    delete Kit;
}

void TfrmVapcalCalc::CreatePages() {
    pnlVariables = new QWidget(this);
    pnlVariables->setGeometry(0, 0, kPageWidth, kPageHeight);
    // The Advanced page scrolls: below its designed controls lie the
    // uncertainty's accuracies. The area takes the window's whole width so
    // that its scroll bar leaves the page's designed width free.
    scrAdvanced = new QScrollArea(this);
    scrAdvanced->setGeometry(0, 0, kClientWidth, kPageHeight);
    scrAdvanced->setFrameShape(QFrame::NoFrame);
    scrAdvanced->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scrAdvanced->viewport()->setAutoFillBackground(false);
    pnlAdvanced = new QWidget;
    pnlAdvanced->setGeometry(0, 0, kPageWidth, kPageHeight);
    scrAdvanced->setWidget(pnlAdvanced);
    CreateVariablesPage();
    CreateDeliveryHint();
    CreateAdvancedPage();

    TabSet1 = new QTabBar(this);
    TabSet1->setShape(QTabBar::RoundedSouth);
    TabSet1->setDrawBase(false);
    TabSet1->setExpanding(false);
    TabSet1->addTab(Qs(kTabVariables));
    TabSet1->addTab(Qs(kTabAdvanced));
    TabSet1->setGeometry(0, 352, kPageWidth, 21);
    TabSet1->setAutoFillBackground(true);
    QPalette olive = TabSet1->palette();
    olive.setColor(QPalette::Window, QColor(128, 128, 0));
    TabSet1->setPalette(olive);
    // A click on a tab takes the focus, so a field being left finishes its
    // exit before its page goes behind the other.
    TabSet1->setFocusPolicy(Qt::StrongFocus);
    TabSet1Change(0);
}

void TfrmVapcalCalc::CreateVariablesPage() {
    grpVariables = Group(pnlVariables, kGroupVariables, {12, 7, 296, 116});
    FieldLabel(grpVariables, kLabelTemp, 12, 30);
    edtTemp = Field(grpVariables, {213, 30, 65, 21}, {1, true, false, kRight, true, false, 40});
    FieldLabel(grpVariables, kLabelFlow, 12, 56);
    edtFlow = Field(grpVariables, {213, 56, 65, 21}, {1, true, false, kRight, false, false, 6});
    FieldLabel(grpVariables, kLabelDilutionFlow, 12, 82);
    edtDilutionFlow =
        Field(grpVariables, {213, 82, 65, 21}, {1, true, false, kRight, true, false, 10});
    for (panels::TFloatEdit* bounded : {edtTemp, edtFlow, edtDilutionFlow})
        bounded->SetBoundsEnabled(true);
    edtTemp->SetBoundLower(30);
    edtTemp->SetBoundUpper(60);
    edtFlow->SetBoundUpper(20);
    edtDilutionFlow->SetBoundUpper(20);

    lblDilutedOput = new QLabel(Qs(kLabelDilutedOput), pnlVariables);
    lblDilutedOput->setFont(WindowFont(true));
    lblDilutedOput->adjustSize();
    lblDilutedOput->move(12, 133);
    edtDilutedOput =
        Field(pnlVariables, {12, 153, 71, 21}, {2, true, true, kRight, true, true, 40.51L});

    cbxAllowInput = new QCheckBox(Qs(kCheckAllowInput), pnlVariables);
    // Below the three lines beside the output field (the delivered
    // concentration, the stability, the delivery hint).
    cbxAllowInput->setGeometry(12, 188, std::max(228, cbxAllowInput->sizeHint().width()), 17);

    CreateReadoutGroup();

    lblStandardConditions = new QLabel(Qs(kLabelStandardConditions), pnlVariables);
    QFont underlined = WindowFont();
    underlined.setUnderline(true);
    lblStandardConditions->setFont(underlined);
    lblStandardConditions->adjustSize();
    // Designed at 134 so that it ends at the groups' right edge; anchored
    // there, whatever the font's width.
    lblStandardConditions->move(std::min(134, 308 - lblStandardConditions->width()), 331);
}

// The three instrument panels as the kit's operators know them: reservoir
// flow, dilution flow, reservoir temperature, each under its caption. The
// panels start blank and collapsed; their other settings are the panels' own.
void TfrmVapcalCalc::CreateReadoutGroup() {
    grpReadout = Group(pnlVariables, kGroupReadout, {12, 209, 296, 117});
    lblRflow = PanelCaption(grpReadout, kLabelRflow, {43, 18, 79, 25});
    lblDflow = PanelCaption(grpReadout, kLabelDflow, {131, 18, 70, 25});
    lblTempCont = PanelCaption(grpReadout, kLabelTempCont, {206, 18, 83, 25});

    ELflowMfcRF = new panels::TELflowMfc(grpReadout);
    ELflowMfcRF->move(52, 46);
    ELflowMfcRF->ServerAddress = 10;
    ELflowMfcDF = new panels::TELflowMfc(grpReadout);
    ELflowMfcDF->move(136, 46);
    ELflowMfcDF->ServerAddress = 11;
    Cal33VCtemp = new panels::TCal3300rs485(grpReadout);
    Cal33VCtemp->move(220, 46);
    Cal33VCtemp->ServerAddress = 20;
    Cal33VCtemp->SetSetPointMin(30);
    Cal33VCtemp->SetSetPointMax(60);

    btnRefresh = new QPushButton(grpReadout);
    btnRefresh->setGeometry(8, 44, 35, 25);
    btnRefresh->setToolTip(kHintRefresh);
    btnRefresh->setEnabled(false);
}

// Right of the diluted output, in its red, under the delivered concentration
// and the stability: a word, not a message box.
void TfrmVapcalCalc::CreateDeliveryHint() {
    lblDeliveryHint = new QLabel(pnlVariables);
    lblDeliveryHint->setFont(WindowFont());
    lblDeliveryHint->setGeometry(90, 172, 218, 13);
    QPalette red = lblDeliveryHint->palette();
    red.setColor(QPalette::WindowText, Qt::red);
    lblDeliveryHint->setPalette(red);
    lblDeliveryHint->hide();
}

void TfrmVapcalCalc::CreateAdvancedPage() {
    grpSaturator = Group(pnlAdvanced, kGroupSaturator, {12, 8, 296, 110});
    FieldLabel(grpSaturator, kLabelPbar, 12, 28);
    edtPbar =
        Field(grpSaturator, {213, 28, 65, 21}, {4, true, false, kRight, false, false, 29.96L});
    FieldLabel(grpSaturator, kLabelDp, 12, 52);
    // The unit with its subscript 2. The box is as designed unless the
    // platform's font needs more room.
    ChemLabel1 = new panels::TChemLabel(Qs(kLabelDpUnit), grpSaturator);
    ChemLabel1->setFont(WindowFont());
    ChemLabel1->setGeometry(
        41, 57, std::max(46, ChemLabel1->fontMetrics().horizontalAdvance(ChemLabel1->text())), 18);
    edtDp = Field(grpSaturator, {213, 52, 65, 21}, {4, true, false, kRight, false, false, 0});
    FieldLabel(grpSaturator, kLabelRefTemp, 12, 77);
    edtRefTemp = Field(grpSaturator, {213, 77, 65, 21}, {4, true, false, kRight, false, false, 20});

    grpActual = Group(pnlAdvanced, kGroupActual, {12, 126, 296, 97});
    FieldLabel(grpActual, kLabelSatFlow, 12, 34);
    edtSatFlow =
        Field(grpActual, {213, 34, 65, 21}, {6, false, true, kLeft, false, false, 6.4851L});
    FieldLabel(grpActual, kLabelSatConc, 12, 65);
    // A plain text box: read-only, but a tab stop so its text can be copied.
    edtSatConc = new QLineEdit(grpActual);
    edtSatConc->setGeometry(213, 65, 65, 21);
    edtSatConc->setFont(WindowFont());
    edtSatConc->setReadOnly(true);
    QPalette grey = edtSatConc->palette();
    grey.setColor(QPalette::Base, QApplication::palette().color(QPalette::Button));
    grey.setColor(QPalette::Text, Qt::black);
    edtSatConc->setPalette(grey);

    FieldLabel(pnlAdvanced, kLabelSaturator, 12, 231);
    edtSaturator =
        Field(pnlAdvanced, {224, 231, 65, 21}, {2, true, true, kRight, true, true, 405.4L});
    FieldLabel(pnlAdvanced, kLabelUncorrectedOput, 12, 257);
    edtUncorrectedOput =
        Field(pnlAdvanced, {224, 257, 65, 21}, {2, true, true, kRight, false, false, 37.48L});
    FieldLabel(pnlAdvanced, kLabelRatio, 12, 283);
    edtRatio = Field(pnlAdvanced, {224, 283, 65, 21}, {2, true, true, kRight, false, false, 1.08L});
    SeparatorLine(pnlAdvanced, 12, 313, 296);

    btnDefault = Button(pnlAdvanced, kButtonDefault, {232, 321, 75, 25});
    btnDefault->setToolTip(Qs(kHintDefault));
}

void TfrmVapcalCalc::CreateButtonRow() {
    SeparatorLine(this, 0, 374, kPageWidth);
    btnComPort = Button(this, "", {2, 380, 31, 25});
    btnComPort->setToolTip(Qs(kHintComPort));
    btnCalculate = Button(this, kButtonCalculate, {39, 380, 65, 25});
    btnCalculate->setFont(WindowFont(true));
    btnCalculate->setToolTip(Qs(kHintCalculate));
    btnApply = Button(this, kButtonApply, {112, 380, 65, 25});
    btnAbout = Button(this, kButtonAbout, {183, 380, 65, 25});
    btnClose = Button(this, kButtonClose, {254, 380, 65, 25});
}

// Under the button row, across the window: what the line is doing, so that a
// reading that stopped coming never looks live.
void TfrmVapcalCalc::CreateStatusLine() {
    lblStatus = new QLabel(this);
    lblStatus->setObjectName("lblStatus");
    lblStatus->setFont(WindowFont());
    lblStatus->setGeometry(4, kStatusLineTop, kClientWidth - 8, kStatusLineHeight);
    lblStatus->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    statusTimer_ = new QTimer(this);
    statusTimer_->setInterval(kStatusRefreshMs);
    connect(statusTimer_, &QTimer::timeout, this, &TfrmVapcalCalc::UpdateReadingStates);
    statusTimer_->start();
}

// The platform's own pictures for the buttons' glyphs: a network drive for
// the serial line, reload, the apply tick, information, close.
void TfrmVapcalCalc::CreateGlyphs() {
    const auto glyph = [this](QPushButton* button, QStyle::StandardPixmap picture) {
        button->setIcon(style()->standardIcon(picture, nullptr, button));
        button->setIconSize(QSize(16, 16));
    };
    glyph(btnComPort, QStyle::SP_DriveNetIcon);
    glyph(btnRefresh, QStyle::SP_BrowserReload);
    glyph(btnApply, QStyle::SP_DialogApplyButton);
    glyph(btnAbout, QStyle::SP_MessageBoxInformation);
    glyph(btnClose, QStyle::SP_DialogCloseButton);
}

// The kit's completions feed the panels, its poll's tick runs under the
// window's name (so a test may wrap it), and its line's events reach the
// status line.
void TfrmVapcalCalc::CreateModbus() {
    Kit->OnRead = [this](const kit::TReadDone& read) { ShowRead(read); };
    SW_VCtimer->OnTimer = [this](kit::TThreadedTimer*) { SW_VCtimerTimer(); };
    Kit->OnPollStopped = [this](const std::string& why) { PollingStopped(why); };
    Kit->OnPortGone = [this](const std::string& port) { PortGone(port); };
    Kit->OnPortBack = [this](const std::string& port) { PortBack(port); };
}

// The live view's widgets on the two pages, and its Trend page behind them
// as the third tab.
void TfrmVapcalCalc::CreateLiveView() {
    LiveView = new TLiveDisplay(*this, settingsFile_, kit::kPollIntervalMs);
    LiveView->Monitor.Readings().PollRunning = [this] { return Polling(); };
    LiveView->pnlTrend->setGeometry(0, 0, kPageWidth, kPageHeight);
    LiveView->pnlTrend->hide();
    connect(LiveView->pnlTrend->btnRun, &QPushButton::clicked, this,
            &TfrmVapcalCalc::OpenRunWindow);
    TabSet1->addTab(Qs(kTabTrend));
    CreateHistoryPage();
}

// The History page as the fourth tab; and the runs that ended while the
// history was away are written now, on a worker, when any are marked.
void TfrmVapcalCalc::CreateHistoryPage() {
    HistoryPage = new THistoryPage(settingsFile_, this);
    HistoryPage->setGeometry(0, 0, kPageWidth, kPageHeight);
    HistoryPage->hide();
    TabSet1->addTab(Qs(kTabHistory));
    const QString runs = run::DefaultRunsFolder();
    if (!history::PendingFolders(runs).isEmpty())
        history::WriteInBackground({}, history::HistoryDatabaseSetting(settingsFile_),
                                   history::DefaultImportContext(settingsFile_), {runs});
}

void TfrmVapcalCalc::CreateCalculator() {
    fields_.reset(new TFields{TFloatEditField(*edtTemp), TFloatEditField(*edtFlow),
                              TFloatEditField(*edtDilutionFlow), TFloatEditField(*edtPbar),
                              TFloatEditField(*edtDp), TFloatEditField(*edtRefTemp),
                              TTextEditField(*edtSatConc), TFloatEditField(*edtSatFlow),
                              TFloatEditField(*edtSaturator), TFloatEditField(*edtUncorrectedOput),
                              TFloatEditField(*edtRatio), TFloatEditField(*edtDilutedOput)});
    calc::TCalculatorControls& controls = *this;
    calculator_ = std::make_unique<calc::TCalculator>(fields_->Calculator(), controls);
}

// Every field event goes to the calculator's handler of the same name.
void TfrmVapcalCalc::WireEvents() {
    calc::TCalculator& c = *calculator_;
    for (panels::TFloatEdit* input : {edtTemp, edtFlow, edtPbar, edtDp, edtRefTemp}) {
        input->OnExit = [&c](QObject*) { c.edtExit(); };
        input->OnKeyDown = [&c](QObject*, int& key, Qt::KeyboardModifiers) {
            c.edtKeyDown(CalcKeyCode(key));
        };
    }
    edtDilutionFlow->OnExit = [&c](QObject*) { c.edtDilutionFlowExit(); };
    edtDilutionFlow->OnKeyDown = [&c](QObject*, int& key, Qt::KeyboardModifiers) {
        c.edtDilutionFlowKeyDown(CalcKeyCode(key));
    };
    edtSatFlow->OnChange = [&c](QObject*) { c.edtSatFlowChange(); };
    edtSaturator->OnChange = [&c](QObject*) { c.edtSaturatorChange(); };
    edtDilutedOput->OnChange = [&c](QObject*) { c.edtDilutedOputChange(); };
    edtDilutedOput->OnExit = [&c](QObject*) { c.edtDilutedOputExit(); };
    edtDilutedOput->OnKeyDown = [&c](QObject*, int& key, Qt::KeyboardModifiers) {
        c.edtDilutedOputKeyDown(CalcKeyCode(key));
    };
    connect(cbxAllowInput, &QCheckBox::toggled, this, [&c] { c.cbxAllowInputClick(); });
    connect(btnCalculate, &QPushButton::clicked, this, [&c] { c.btnCalculateClick(); });
    connect(btnDefault, &QPushButton::clicked, this, [&c] { c.btnDefaultClick(); });
    connect(btnApply, &QPushButton::clicked, this, &TfrmVapcalCalc::btnApplyClick);
    connect(btnComPort, &QPushButton::clicked, this, &TfrmVapcalCalc::btnComPortClick);
    connect(btnRefresh, &QPushButton::clicked, this, &TfrmVapcalCalc::btnRefreshClick);
    connect(btnAbout, &QPushButton::clicked, this, &TfrmVapcalCalc::btnAboutClick);
    ELflowMfcDF->OnUpdate = [this](QObject* sender) { ELflowMfcDFUpdate(sender); };
    connect(btnClose, &QPushButton::clicked, this, &TfrmVapcalCalc::btnCloseClick);
    connect(TabSet1, &QTabBar::currentChanged, this, &TfrmVapcalCalc::TabSet1Change);

    for (QWidget* control :
         {static_cast<QWidget*>(edtTemp), static_cast<QWidget*>(edtFlow),
          static_cast<QWidget*>(edtDilutionFlow), static_cast<QWidget*>(edtDilutedOput),
          static_cast<QWidget*>(cbxAllowInput), static_cast<QWidget*>(edtPbar),
          static_cast<QWidget*>(edtDp), static_cast<QWidget*>(edtRefTemp),
          static_cast<QWidget*>(edtSatFlow), static_cast<QWidget*>(edtSatConc),
          static_cast<QWidget*>(edtSaturator), static_cast<QWidget*>(edtUncorrectedOput),
          static_cast<QWidget*>(edtRatio)})
        TakeEnterForApply(control);
}

// Apply is the window's default button: while it is enabled, Enter in a
// field or the check box presses it, and the field never sees the key.
void TfrmVapcalCalc::TakeEnterForApply(QWidget* control) {
    control->installEventFilter(this);
}

bool TfrmVapcalCalc::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress)
        return QWidget::eventFilter(watched, event);
    const auto* key = static_cast<QKeyEvent*>(event);
    const bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
    const bool plain = (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
    if (!enter || !plain || !btnApply->isEnabled() || !btnApply->isVisible())
        return QWidget::eventFilter(watched, event);
    btnApply->click();
    return true;
}

void TfrmVapcalCalc::FormCreate() {
    RFTimeouts = 0;
    DFTimeouts = 0;
    TCTimeouts = 0;
    const calc::TVapcalSettings settings = calc::ReadSettings(settingsFile_);
    calculator_->AllowConcInput = settings.AllowConcInput;
    LastDilutionFlowSP = settings.LastDilutionFlowSP;
    LastFlowSP = settings.LastFlowSP;
    LastTempSP = settings.LastTempSP;
    // A hand-edited value no field can read took its default: the operator
    // sees which, and the window still comes up.
    calc::LoadSettingsTexts(settings, fields_->Calculator());
    if (const std::string unreadable = calc::UnreadableSettingsMessage(settings);
        !unreadable.empty())
        platform::ShowError(unreadable);
    calculator_->UpdateReservoirConditions();
    calculator_->UpdateOutputs();
    btnApply->setEnabled(false);
    ApplySkinHue(*this, settings.SkinHue);
}

void TfrmVapcalCalc::FormShow() {
    cbxAllowInput->setChecked(calculator_->AllowConcInput);
}

void TfrmVapcalCalc::TabSet1Change(int newTab) {
    QWidget* pages[] = {pnlVariables, scrAdvanced,
                        LiveView != nullptr ? LiveView->pnlTrend : nullptr, HistoryPage};
    QWidget* front =
        newTab >= 0 && newTab < 4 && pages[newTab] != nullptr ? pages[newTab] : pnlVariables;
    // The pages behind are hidden, not only covered, so that Tab and the
    // arrow keys never move into fields the operator cannot see.
    front->show();
    front->raise();
    for (QWidget* back : pages) {
        if (back != nullptr && back != front)
            back->hide();
    }
}

// The port dialog at the first activation: the operator chooses the line
// before anything is sent.
void TfrmVapcalCalc::FormActivate() {
    btnComPortClick();
}

// OK on another port while the line is open closes it and opens the chosen
// one: an operator switches adapters without restarting. The initial reads
// follow on every OK, and the poll starts (again).
void TfrmVapcalCalc::btnComPortClick() {
    SW_VCtimer->SetEnabled(false);
    line_.Activity = kActivityPortDialog;
    UpdateReadingStates();
    const auto dialog = std::make_unique<TfrmComSelect>(
        this, ScanComPorts(ComPortCandidates(), SimulatedPort()),
        ModbusConnection1->Active() ? ModbusConnection1->Port() : std::string());
    const std::string networkPort = calc::ReadSettings(settingsFile_).NetworkPort;
    dialog->SetNetworkPort(networkPort);
    const int result = ExecPortDialog ? ExecPortDialog(*dialog) : dialog->exec();
    line_.Activity.clear();
    PortConfirmed = result == mrOk;
    if (PortConfirmed && dialog->NetworkPort() != networkPort) {
        // The gateway is kept for the next start; a settings file that
        // refuses it is reported, and the port is opened all the same.
        try {
            calc::SaveNetworkPort(settingsFile_, dialog->NetworkPort());
        } catch (const platform::EIniFileError& error) {
            platform::ShowError(error.what());
        }
    }
    if (!PortConfirmed) {
        // No port chosen: a vanished one is no longer waited for, and one
        // that came back while the dialog was open is not polled.
        if (Kit->PortGone())
            Kit->Close();
        SW_VCtimer->SetEnabled(false);
        PollingStopped(kStopNoPortChosen);
        btnComPort->update();
        return;
    }
    StartLine(dialog->SelectedPort());
}

// A port named at start (vapcal --port) is taken as if chosen in the dialog,
// which then does not open at the first activation: a console started
// unattended has nobody to answer it.
void TfrmVapcalCalc::TakePort(const std::string& port) {
    activated_ = true;
    // The interrupted run is offered once the line runs, below.
    runOffered_ = true;
    SW_VCtimer->SetEnabled(false);
    PortConfirmed = true;
    StartLine(port);
    // Started on its port without a screen (offscreen), nobody answers the
    // question: the way to resume the run goes to standard error instead.
    if (QGuiApplication::platformName() == "offscreen") {
        const QString folder = InterruptedRun(run::DefaultRunsFolder());
        if (!folder.isEmpty())
            std::fputs(platform::FillText(kRunResumeInstead,
                                          {folder.toStdString(), ShellQuoted(folder.toStdString())})
                           .c_str(),
                       stderr);
        return;
    }
    runOffered_ = false;
    OfferInterruptedRun();
}

void TfrmVapcalCalc::StartLine(const std::string& port) {
    try {
        OpenLine(port);
    } catch (const std::exception& error) {
        // The line in use before stays in use when the chosen port fails.
        if (ModbusConnection1->Active())
            ResumePolling();
        else
            PollingStopped(error.what());
        throw;
    }
    try {
        ReadInitialDeviceState();
        SW_VCtimer->SetEnabled(true);
    } catch (const std::exception& error) {
        PollingStopped(error.what());
        throw;
    }
    btnRefresh->setEnabled(true);
    line_.StopReason.clear();
    UpdateReadingStates();
    btnComPort->update();
    OfferInterruptedRun();
}

// The readings on the panels came from the line being left: they show as
// old until the new line's instruments answer. A port that cannot be opened
// leaves the line as it was: the kit opens the previous port again.
void TfrmVapcalCalc::OpenLine(const std::string& port) {
    const std::string previous = ModbusConnection1->Port();
    Kit->Open(port);
    if (port != previous) {
        LiveView->Monitor.Forget();
        RFTimeouts = DFTimeouts = TCTimeouts = 0;
    }
}

void TfrmVapcalCalc::btnRefreshClick() {
    if (!PortConfirmed)
        return;
    panels::TCursorOverride busy(Qt::WaitCursor);
    SW_VCtimer->SetEnabled(false);
    btnRefresh->setEnabled(false);
    line_.Activity = kActivityRefresh;
    try {
        RefreshDeviceState();
        SW_VCtimer->SetEnabled(true);
    } catch (const std::exception& error) {
        PollingStopped(error.what());
        throw;
    }
    btnRefresh->setEnabled(true);
    line_.Activity.clear();
    line_.StopReason.clear();
    UpdateReadingStates();
}

// Nothing leaves the console unchecked: every input field is held against
// its bounds before anything is calculated, saved or sent, and again after
// the calculation (a back-calculated flow). A value outside them gets its
// field's bounds message and the focus, and Apply ends there.
//
// In manual-input mode the flow is the back-calculation's to compute: the
// flow it replaces is not held against the bounds, the computed one is, and
// a rejected back-calculation ends Apply with its message, nothing saved or
// sent. Saturator conditions no kit can have are refused by name first.
void TfrmVapcalCalc::btnApplyClick() {
    if (RunDrivesKit())
        return;
    panels::TCursorOverride busy(Qt::WaitCursor);
    const bool flowComputed = cbxAllowInput->isChecked();
    if (!InputsWithinBounds(flowComputed) || !ConditionsPossible() ||
        !Uncertainty->AccuraciesAcceptable() || !Laboratory->Acceptable())
        return;
    btnApply->setEnabled(false);
    // Apply stays available after a failed step, so the operator can retry
    // once the cause (an unwritable settings file) is removed.
    struct TReenable {
        TfrmVapcalCalc* window;
        ~TReenable() { window->EnableApply(); }
    } reenable{this};
    calculator_->btnCalculateClick();
    if ((flowComputed && calculator_->BackCalculationRejected) || !InputsWithinBounds())
        return;
    calc::SaveSettings(settingsFile_, fields_->Calculator(), cbxAllowInput->isChecked());
    Uncertainty->Save(settingsFile_);
    Laboratory->Save(settingsFile_);
    if (ModbusConnection1->Active() || Kit->PortGone())
        ApplySetPoints();
}

void TfrmVapcalCalc::ApplyForPlant(const std::string& command) {
    if (Busy()) {
        QTimer::singleShot(kPlantRetryMs, this, [this, command] { ApplyForPlant(command); });
        return;
    }
    line_.PlantCommand = command;
    UpdateReadingStates();
    // Forward, whatever the input mode: the command set the flow itself.
    calculator_->UpdateReservoirConditions();
    calculator_->UpdateOutputs();
    if (!InputsWithinBounds())
        return;
    calc::SaveSettings(settingsFile_, fields_->Calculator(), cbxAllowInput->isChecked());
    Uncertainty->Save(settingsFile_);
    Laboratory->Save(settingsFile_);
    if (ModbusConnection1->Active() || Kit->PortGone())
        ApplySetPoints();
}

void TfrmVapcalCalc::ShowPlantCommand(const std::string& command) {
    line_.PlantCommand = command;
    UpdateReadingStates();
}

bool TfrmVapcalCalc::InputsWithinBounds(bool flowComputed) {
    for (panels::TFloatEdit* input :
         {edtTemp, edtFlow, edtDilutionFlow, edtPbar, edtDp, edtRefTemp, edtDilutedOput}) {
        if (flowComputed && input == edtFlow)
            continue;
        if (!input->ValueWithinBounds())
            return false;
    }
    return true;
}

// The refusal names the field; the field takes the focus on its page. A
// text no field can read is the calculation's to report.
bool TfrmVapcalCalc::ConditionsPossible() {
    try {
        calc::CheckSaturatorConditions(edtPbar->AsFloat(), edtDp->AsFloat(), edtRefTemp->AsFloat());
        return true;
    } catch (const calc::EImpossibleInput& impossible) {
        panels::TFloatEdit* fields[] = {edtPbar, edtDp, edtRefTemp};
        TabSet1->setCurrentIndex(1);
        fields[impossible.Input]->SetFocus();
        platform::ShowError(impossible.what());
        return false;
    } catch (const platform::EConvertError&) {
        return true;
    }
}

// The poll is held while the set points go out and resumes afterwards, also
// when a step failed, so that the readings keep coming. Each step that
// failed is told to the operator once the line is back to polling.
void TfrmVapcalCalc::ApplySetPoints() {
    HaltPolling();
    line_.Activity = kActivityApply;
    UpdateReadingStates();
    kit::TApplyResult result;
    try {
        result = Kit->WriteSetPoints(ChangedSetPoints());
    } catch (...) {
        ResumePolling();
        throw;
    }
    ResumePolling();
    for (const kit::TStepFailure& failure : result.Failures)
        platform::ShowError(kit::FailureText(failure));
}

// Only the set points whose field text differs from the value last known to
// be in the instrument are written.
kit::TSetPointChange TfrmVapcalCalc::ChangedSetPoints() const {
    kit::TSetPointChange change;
    if (platform::FloatToStrGeneral(LastFlowSP) != edtFlow->Text())
        change.Flow = edtFlow->AsFloat();
    if (platform::FloatToStrGeneral(LastDilutionFlowSP) != edtDilutionFlow->Text())
        change.DilutionFlow = edtDilutionFlow->AsFloat();
    if (platform::FloatToStrGeneral(LastTempSP) != edtTemp->Text())
        change.Temp = edtTemp->AsFloat();
    return change;
}

void TfrmVapcalCalc::ResumePolling() {
    line_.Activity.clear();
    if (ModbusConnection1->Active())
        SW_VCtimer->SetEnabled(true);
    UpdateReadingStates();
}

// The poll stopped (an error, a cancelled port choice, a failed tick): the
// status line says why at once and every reading shows as old.
void TfrmVapcalCalc::PollingStopped(const std::string& why) {
    line_.StopReason = why;
    line_.Activity.clear();
    UpdateReadingStates();
}

bool TfrmVapcalCalc::Polling() const {
    return SW_VCtimer->Enabled() && ModbusConnection1->Active();
}

const live::TKitReadings& TfrmVapcalCalc::Readings() const {
    return LiveView->Monitor.Readings();
}

bool TfrmVapcalCalc::ReadingCurrent(live::TInstrument instrument) const {
    return Readings().Current(instrument, LiveView->NowMs());
}

// One moment for everything that says whether a reading is current, so the
// panels, the status line and the delivered concentration never disagree.
void TfrmVapcalCalc::UpdateReadingStates() {
    const qint64 now = LiveView->NowMs();
    const live::TKitReadings& readings = Readings();
    ShowReadingState(ELflowMfcRF, lblRflow, readings.Current(live::inReservoirFlow, now));
    ShowReadingState(ELflowMfcDF, lblDflow, readings.Current(live::inDilutionFlow, now));
    ShowReadingState(Cal33VCtemp, lblTempCont, readings.Current(live::inTemperature, now));
    TLineStatus status = line_;
    status.Port = PortConfirmed || ModbusConnection1->Active() ? ModbusConnection1->Port() : "";
    status.PortGone = Kit->PortGone();
    if (status.PortGone)
        status.Port = Kit->GonePort();
    status.Polling = Polling();
    const QString text = QString::fromStdString(StatusLineText(status, readings, now));
    if (lblStatus->text() != text)
        lblStatus->setText(text);
    LiveView->ShowTexts(now);
}

// A caption whose capacity makes it too long for its box (it would wrap
// past the box or run out of it, cutting off the unit) shows the capacity
// shortened; the hint holds the full caption.
void TfrmVapcalCalc::ShowFlowCaption(QLabel* label, const std::string& full,
                                     const std::string& shortened) {
    const auto fits = [label](const QString& text) {
        const QRect box = label->contentsRect();
        const QRect needed = label->fontMetrics().boundingRect(
            QRect(0, 0, box.width(), 10000), Qt::AlignHCenter | Qt::TextWordWrap, text);
        return needed.width() <= box.width() && needed.height() <= box.height();
    };
    const QString text = ShownCaption(full);
    const bool whole = fits(text);
    label->setText(whole ? text : ShownCaption(shortened));
    label->setToolTip(whole ? QString() : text);
}

// An old reading is dimmed, LED and caption alike; the blanking at the
// fifth unanswered read stays as it is.
void TfrmVapcalCalc::ShowReadingState(panels::TInstrumentPanel* panel, QLabel* caption,
                                      bool current) {
    panel->SetReadingOld(!current, kOldReadingDimPercent);
    QPalette colours = caption->palette();
    const QColor wanted = current ? palette().color(QPalette::WindowText) : kOldCaptionColour;
    if (colours.color(QPalette::WindowText) == wanted)
        return;
    colours.setColor(QPalette::WindowText, wanted);
    caption->setPalette(colours);
}

TfrmCalibrationRun& TfrmVapcalCalc::CalibrationRun() {
    if (RunWindow == nullptr)
        RunWindow = new TfrmCalibrationRun(*this);
    return *RunWindow;
}

void TfrmVapcalCalc::OpenRunWindow() {
    CalibrationRun();
    RunWindow->show();
    RunWindow->raise();
    RunWindow->activateWindow();
}

void TfrmVapcalCalc::SetRunStatus(const std::string& text) {
    const bool before = RunDrivesKit();
    line_.Run = text;
    if (before != RunDrivesKit()) {
        btnApply->setEnabled(!RunDrivesKit());
        btnComPort->setEnabled(!RunDrivesKit());
        btnRefresh->setEnabled(!RunDrivesKit() && PortConfirmed);
    }
    UpdateReadingStates();
}

kit::TApplyResult TfrmVapcalCalc::ApplyRunSetPoints(const kit::TSetPoints& setPoints) {
    HaltPolling();
    line_.Activity = kActivityApply;
    UpdateReadingStates();
    kit::TApplyResult result;
    try {
        result = Kit->WriteSetPoints(Kit->Changes(setPoints));
    } catch (...) {
        ResumePolling();
        throw;
    }
    ResumePolling();
    return result;
}

// Asked once, when the line first runs: resuming needs the kit. No leaves
// the folder as it is, for vapcal-run --resume or the next start.
void TfrmVapcalCalc::OfferInterruptedRun() {
    if (runOffered_)
        return;
    runOffered_ = true;
    const QString folder = InterruptedRun(run::DefaultRunsFolder());
    if (folder.isEmpty())
        return;
    if (!platform::AskYesNo(kRunResumeCaption,
                            platform::FillText(kRunResumeQuestion, {folder.toStdString()})))
        return;
    OpenRunWindow();
    RunWindow->ResumeRun(folder);
}

void TfrmVapcalCalc::btnAboutClick() {
    platform::ShowMessage(platform::TMsgDlgType::mtInformation, kAboutCaption, kAboutText);
}

void TfrmVapcalCalc::btnCloseClick() {
    close();
}

void TfrmVapcalCalc::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (shown_)
        return;
    shown_ = true;
    FormShow();
}

// Only the first activation opens the port dialog: coming back from the
// window's own dialogs and message boxes is no new start. The dialog opens
// from the event loop, once the activation itself has been handled.
void TfrmVapcalCalc::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() != QEvent::ActivationChange || !isActiveWindow() || activated_)
        return;
    activated_ = true;
    QMetaObject::invokeMethod(this, &TfrmVapcalCalc::FormActivate, Qt::QueuedConnection);
}

// Closing the console interrupts a run that drives the kit: the operator
// says so first. An interrupted run is offered again at the next start.
void TfrmVapcalCalc::closeEvent(QCloseEvent* event) {
    if (RunDrivesKit() && !platform::AskYesNo(kRunWindowCaption, kRunCloseQuestion)) {
        event->ignore();
        return;
    }
    QWidget::closeEvent(event);
}

bool TfrmVapcalCalc::AllowInputChecked() const {
    return cbxAllowInput->isChecked();
}

// While a run drives the kit, nothing else writes its set points.
void TfrmVapcalCalc::EnableApply() {
    btnApply->setEnabled(!RunDrivesKit());
}

void TfrmVapcalCalc::FocusClose() {
    btnClose->setFocus(Qt::OtherFocusReason);
}

void TfrmVapcalCalc::ShowDeliveryHint(const std::string& hint) {
    lblDeliveryHint->setText(QString::fromStdString(hint));
    lblDeliveryHint->setVisible(!hint.empty());
}

}  // namespace app
