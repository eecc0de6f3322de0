#include "app/trendpage.h"

#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QFileInfo>
#include <QGraphicsLayout>
#include <QLabel>
#include <QLineSeries>
#include <QPushButton>
#include <QValueAxis>
#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "app/mainwindow.h"
#include "live/stability.h"

namespace app {

namespace {

constexpr qint64 kMinuteMs = 60 * 1000;
constexpr qint64 kHourMs = 60 * kMinuteMs;

// Each span with time ticks at round steps: 2 min, 10 min, 1 h.
const struct {
    const char* Caption;
    qint64 Ms;
    int Ticks;
} kRanges[] = {{"10 min", 10 * kMinuteMs, 6}, {"1 h", kHourMs, 7}, {"8 h", 8 * kHourMs, 9}};

constexpr char kRecord[] = "Record\u2026";
constexpr char kStopRecording[] = "Stop recording";
constexpr char kNotRecording[] = "not recording";
constexpr char kCalibrationRun[] = "Calibration run\u2026";
constexpr char kMinutesFormat[] = "%.0f min";
constexpr char kHoursFormat[] = "%.0f h";

const char* const kChartTitles[] = {
    "Reservoir temperature (\u00B0C)", "Reservoir flow (ml min\u00AD\u00B9)",
    "Dilution flow (l min\u00AD\u00B9)", "Delivered / calculated (ng l\u00AD\u00B9)"};

// A chart's reading and target from one trend point.
std::pair<double, double> Values(int chart, const live::TTrendPoint& p) {
    switch (chart) {
        case 0:
            return {p.Temp, p.TempSP};
        case 1:
            return {p.Flow, p.FlowSP};
        case 2:
            return {p.DilutionFlow, p.DilutionFlowSP};
        default:
            return {p.Delivered, p.Calculated};
    }
}

// The stability band around a chart's target, floors included: in-tolerance
// wander stays small on the chart, anything beyond the band stands out, and
// a zero target (zero gas) does not blow the noise up to the chart's height.
double Band(const live::TTolerances& tolerances, int chart, double target) {
    switch (chart) {
        case 0:
            return tolerances.Temp;
        case 1:
            return tolerances.Flow(target);
        case 2:
            return tolerances.DilutionFlow(target);
        default:
            return tolerances.Concentration(target);
    }
}

// A page a little over 300 pixels wide shows no more than two points a
// pixel; more would cost drawing time and show nothing new.
constexpr std::size_t kMaxShownPoints = 600;

// The page's fixed pixel layout: the control row, then the charts.
constexpr int kPageWidth = 322;
constexpr int kChartsTop = 30;
constexpr int kChartHeight = 78;
constexpr int kTimeAxisHeight = 14;  // the bottom chart's time labels

QFont SmallFont(bool bold = false) {
    QFont font("DejaVu Sans");
    font.setPixelSize(8);
    font.setBold(bold);
    return font;
}

}  // namespace

TTrendPage::TTrendPage(const live::THistory& history, const live::TTolerances& tolerances,
                       std::function<qint64()> clock, QWidget* parent)
    : QWidget(parent), history_(history), tolerances_(tolerances), clock_(std::move(clock)) {
    cbxRange = new QComboBox(this);
    for (const auto& range : kRanges)
        cbxRange->addItem(range.Caption);
    cbxRange->setGeometry(4, 5, 62, 21);
    btnRecord = new QPushButton(kRecord, this);
    btnRecord->setGeometry(70, 4, 80, 23);
    btnRun = new QPushButton(kCalibrationRun, this);
    btnRun->setGeometry(154, 4, 96, 23);
    lblRecordFile = new QLabel(kNotRecording, this);
    lblRecordFile->setGeometry(254, 5, kPageWidth - 254, 21);
    connect(cbxRange, &QComboBox::currentIndexChanged, this, [this] { Redraw(); });

    for (int i = 0; i < kChartCount; ++i) {
        TTrendChart& c = Charts[i];
        auto* chart = new QChart;
        chart->setTitle(ShownCaption(kChartTitles[i]));
        chart->setTitleFont(SmallFont(true));
        chart->legend()->hide();
        chart->setMargins(QMargins(0, 0, 4, 0));
        chart->layout()->setContentsMargins(0, 0, 0, 0);
        chart->setBackgroundRoundness(0);
        c.Reading = new QLineSeries(chart);
        c.Target = new QLineSeries(chart);
        QPen dashed(Qt::darkGray);
        dashed.setStyle(Qt::DashLine);
        c.Target->setPen(dashed);
        c.Reading->setPen(QPen(i == kChartCount - 1 ? Qt::darkGreen : Qt::blue, 1.5));
        chart->addSeries(c.Target);
        chart->addSeries(c.Reading);
        c.Time = new QValueAxis(chart);
        c.Value = new QValueAxis(chart);
        for (QValueAxis* axis : {c.Time, c.Value}) {
            axis->setLabelsFont(SmallFont());
            axis->setTitleFont(SmallFont());
            axis->setTickCount(5);
            axis->setTruncateLabels(false);
        }
        c.Value->setLabelFormat("%.4g");
        c.Time->setLabelsVisible(i == kChartCount - 1);
        chart->addAxis(c.Time, Qt::AlignBottom);
        chart->addAxis(c.Value, Qt::AlignLeft);
        for (QLineSeries* series : {c.Target, c.Reading}) {
            series->attachAxis(c.Time);
            series->attachAxis(c.Value);
        }
        c.View = new QChartView(chart, this);
        c.View->setRenderHint(QPainter::Antialiasing);
        const int extra = i == kChartCount - 1 ? kTimeAxisHeight : 0;
        c.View->setGeometry(0, kChartsTop + i * kChartHeight, kPageWidth, kChartHeight + extra);
    }
}

qint64 TTrendPage::RangeMs() const {
    return kRanges[std::max(0, cbxRange->currentIndex())].Ms;
}

int TTrendPage::TimeTicks() const {
    return kRanges[std::max(0, cbxRange->currentIndex())].Ticks;
}

void TTrendPage::Redraw() {
    if (isVisible())
        Draw();
}

void TTrendPage::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    Draw();
}

// Times are shown as minutes (hours for the 8-hour span) before now; an
// unknown value (a set point not confirmed, a concentration the readings
// did not give) leaves a gap in its line's points.
void TTrendPage::Draw() {
    const qint64 now = clock_();
    const qint64 range = RangeMs();
    const double unit = range > kHourMs ? kHourMs : kMinuteMs;
    const std::vector<live::TTrendPoint> points = history_.Since(now - range);
    const std::size_t stride = std::max<std::size_t>(1, points.size() / kMaxShownPoints + 1);

    for (int i = 0; i < kChartCount; ++i) {
        TTrendChart& c = Charts[i];
        QList<QPointF> reading, target;
        double low = INFINITY, high = -INFINITY, lastTarget = NAN;
        for (std::size_t k = 0; k < points.size(); k += stride) {
            const double x = static_cast<double>(points[k].Ms - now) / unit;
            const auto [value, held] = Values(i, points[k]);
            for (const auto& [y, line] : {std::pair{value, &reading}, std::pair{held, &target}}) {
                if (!std::isfinite(y))
                    continue;
                line->append(QPointF(x, y));
                low = std::min(low, y);
                high = std::max(high, y);
            }
            if (std::isfinite(held))
                lastTarget = held;
        }
        if (std::isfinite(lastTarget)) {
            const double band = Band(tolerances_, i, lastTarget);
            low = std::min(low, lastTarget - band);
            high = std::max(high, lastTarget + band);
        }
        c.Reading->replace(reading);
        c.Target->replace(target);
        c.Time->setRange(-static_cast<double>(range) / unit, 0);
        c.Time->setTickCount(TimeTicks());
        c.Time->setLabelFormat(range > kHourMs ? kHoursFormat : kMinutesFormat);
        if (low > high) {
            low = 0;
            high = 1;
        }
        const double pad = std::max((high - low) * 0.1, 1e-3);
        c.Value->setRange(low - pad, high + pad);
    }
}

void TTrendPage::ShowRecording(bool recording, const QString& path) {
    btnRecord->setText(recording ? kStopRecording : kRecord);
    lblRecordFile->setText(recording ? QFileInfo(path).fileName() : QString(kNotRecording));
    lblRecordFile->setToolTip(recording ? path : QString());
}

}  // namespace app
