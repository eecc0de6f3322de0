#include "app/historypage.h"

#include <QDialog>
#include <QHeaderView>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "app/messages.h"
#include "history/chartpainter.h"
#include "history/pending.h"

namespace app {

namespace {

constexpr int kPageWidth = 322;
constexpr int kPageHeight = 353;
// The charts' own drawing size, scaled to whatever shows them.
constexpr double kChartsWidth = 1600;
constexpr double kChartsHeight = 1100;

QColor StateBackground(history::TChartState state) {
    switch (state) {
        case history::csAction:
            return QColor(255, 190, 190);
        case history::csWarning:
            return QColor(255, 225, 170);
        default:
            return QColor(Qt::white);
    }
}

QString VerdictText(std::optional<bool> pass) {
    return pass ? (*pass ? "PASS" : "FAIL") : QString::fromUtf8("\u2013");
}

}  // namespace

void TChartsView::SetCharts(std::optional<history::TAnalyzerCharts> charts) {
    FCharts = std::move(charts);
    update();
}

void TChartsView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::white);
    if (!FCharts)
        return;
    // The charts' logical page, kept in proportion inside the widget.
    const double scale = std::min(width() / kChartsWidth, height() / kChartsHeight);
    painter.scale(scale, scale);
    history::PaintCharts(painter, QRectF(10, 10, kChartsWidth - 20, kChartsHeight - 20), *FCharts);
}

THistoryPage::THistoryPage(std::string settingsFile, QWidget* parent)
    : QWidget(parent), FSettingsFile(std::move(settingsFile)) {
    setObjectName("pnlHistory");
    resize(kPageWidth, kPageHeight);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->setSpacing(3);
    lblHistory = new QLabel(this);
    lblHistory->setWordWrap(true);
    layout->addWidget(lblHistory);
    tblAnalyzers = new QTableWidget(0, 4, this);
    tblAnalyzers->setHorizontalHeaderLabels({kHistoryColumnAnalyzer, kHistoryColumnLastRun,
                                             kHistoryColumnVerdict, kHistoryColumnState});
    tblAnalyzers->verticalHeader()->hide();
    tblAnalyzers->horizontalHeader()->setStretchLastSection(true);
    tblAnalyzers->setSelectionBehavior(QAbstractItemView::SelectRows);
    tblAnalyzers->setSelectionMode(QAbstractItemView::SingleSelection);
    tblAnalyzers->setEditTriggers(QAbstractItemView::NoEditTriggers);
    // Small enough for a dozen analysers on the page; the state's colour
    // stays visible on the row chosen.
    QFont small = tblAnalyzers->font();
    small.setPixelSize(11);
    tblAnalyzers->setFont(small);
    tblAnalyzers->horizontalHeader()->setFont(small);
    tblAnalyzers->verticalHeader()->setDefaultSectionSize(18);
    tblAnalyzers->setStyleSheet(
        "QTableWidget::item:selected { color: black; border: 2px solid rgb(30, 70, 160); }");
    tblAnalyzers->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    tblAnalyzers->setColumnWidth(0, 86);
    tblAnalyzers->setColumnWidth(1, 80);
    tblAnalyzers->setColumnWidth(2, 52);
    tblAnalyzers->setFixedHeight(104);
    layout->addWidget(tblAnalyzers);
    lblSignal = new QLabel(this);
    lblSignal->setWordWrap(true);
    lblSignal->setStyleSheet("color: rgb(200, 30, 30)");
    lblSignal->setFont(small);
    lblSignal->setMinimumHeight(3 * lblSignal->fontMetrics().lineSpacing() + 4);
    lblSignal->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    lblHistory->setFont(small);
    layout->addWidget(lblSignal);
    pbxCharts = new TChartsView(this);
    pbxCharts->setMinimumHeight(130);
    layout->addWidget(pbxCharts, 1);
    auto* buttons = new QHBoxLayout;
    btnRefresh = new QPushButton(kHistoryRefresh, this);
    btnCharts = new QPushButton(kHistoryCharts, this);
    buttons->addWidget(btnRefresh);
    buttons->addWidget(btnCharts);
    layout->addLayout(buttons);
    connect(btnRefresh, &QPushButton::clicked, this, &THistoryPage::Refresh);
    connect(btnCharts, &QPushButton::clicked, this, &THistoryPage::OpenCharts);
    connect(tblAnalyzers, &QTableWidget::currentCellChanged, this,
            [this](int row) { ChooseAnalyzer(row); });
}

THistoryPage::~THistoryPage() = default;

void THistoryPage::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    Refresh();
}

void THistoryPage::Refresh() {
    const QString chosen = FCharts ? FCharts->Analyzer : QString();
    std::vector<history::TAnalyzerGlance> glance;
    try {
        if (!FDatabase)
            FDatabase = std::make_unique<history::THistoryDatabase>(
                history::ParseHistoryLocation(history::HistoryDatabaseSetting(FSettingsFile)));
        glance = FDatabase->Glance();
        lblHistory->setText(
            QString(kHistoryShown).arg(FDatabase->Location().Text).arg(glance.size()));
    } catch (const std::exception& e) {
        // Opened again at the next refresh: the server may be back by then.
        FDatabase.reset();
        lblHistory->setText(QString::fromStdString(e.what()));
    }
    const QSignalBlocker quiet(tblAnalyzers);
    tblAnalyzers->setRowCount(static_cast<int>(glance.size()));
    int chosenRow = glance.empty() ? -1 : 0;
    for (int row = 0; row < static_cast<int>(glance.size()); ++row) {
        const history::TAnalyzerGlance& g = glance[static_cast<std::size_t>(row)];
        const QStringList cells{g.Analyzer, g.LastStarted.left(10), VerdictText(g.LastPass),
                                history::ChartStateName(g.State)};
        for (int column = 0; column < cells.size(); ++column) {
            auto* item = new QTableWidgetItem(cells[column]);
            item->setBackground(StateBackground(g.State));
            if (!g.Signal.isEmpty())
                item->setToolTip(g.Signal);
            tblAnalyzers->setItem(row, column, item);
        }
        if (g.Analyzer == chosen)
            chosenRow = row;
    }
    tblAnalyzers->setCurrentCell(chosenRow, 0);
    ChooseAnalyzer(chosenRow);
}

void THistoryPage::ChooseAnalyzer(int row) {
    FCharts.reset();
    lblSignal->clear();
    if (FDatabase && row >= 0 && row < tblAnalyzers->rowCount()) {
        try {
            FCharts = FDatabase->Charts(tblAnalyzers->item(row, 0)->text());
            QString signal = history::ActionSignalText(FCharts->Analyzer, "zero", FCharts->Zero);
            if (signal.isEmpty())
                signal = history::ActionSignalText(FCharts->Analyzer, "upscale", FCharts->Upscale);
            lblSignal->setText(signal);
        } catch (const std::exception& e) {
            lblSignal->setText(QString::fromStdString(e.what()));
        }
    }
    pbxCharts->SetCharts(FCharts);
    btnCharts->setEnabled(FCharts.has_value());
}

void THistoryPage::OpenCharts() {
    if (!FCharts)
        return;
    auto* window = new QDialog(this);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setWindowTitle(QString(kHistoryChartsCaption).arg(FCharts->Analyzer));
    auto* layout = new QVBoxLayout(window);
    auto* view = new TChartsView(window);
    view->SetCharts(FCharts);
    layout->addWidget(view);
    window->resize(1000, 700);
    window->show();
}

}  // namespace app
