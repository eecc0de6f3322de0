#include "report/charts.h"

#include "report/messages.h"

#include <QAreaSeries>
#include <QChart>
#include <QGraphicsScene>
#include <QLegendMarker>
#include <QLineSeries>
#include <QPainter>
#include <QScatterSeries>
#include <QValueAxis>
#include <algorithm>
#include <cmath>
#include <limits>

namespace report {

namespace {

// The chart is laid out in a scene of its own, in units of 1/kSceneScale
// point, and drawn scaled onto the page; every font has a pixel size in
// those units, so nothing depends on the resolution of a screen, and the
// spacing Qt Charts keeps in pixels stays a readable gap on paper.
constexpr qreal kSceneScale = 2.5;
constexpr qreal kLabelPoints = 7;
constexpr qreal kTitlePoints = 8;

qreal Scene(qreal points) {
    return points * kSceneScale;
}

// A record of a long run has many polls more than a page shows; the line
// keeps each stretch's lowest and highest value in time order, so no
// excursion is lost.
constexpr size_t kMostPointsDrawn = 2000;

QFont PixelFont(qreal points, bool bold = false) {
    QFont font("DejaVu Sans");
    font.setPixelSize(qRound(Scene(points)));
    font.setBold(bold);
    return font;
}

struct TRange {
    double Low = std::numeric_limits<double>::infinity();
    double High = -std::numeric_limits<double>::infinity();

    void Take(double value) {
        Low = std::min(Low, value);
        High = std::max(High, value);
    }
    bool Empty() const { return Low > High; }
    // The range with a margin, and a width even when every value is one.
    // Values that are none of them negative keep the axis at or above 0.
    TRange Padded() const {
        if (Empty())
            return {0, 1};
        const double span = High - Low;
        const double margin = span > 0 ? span * 0.06 : std::max(std::fabs(High) * 0.05, 0.5);
        // Below the data only as far as shows the lowest of them clear of
        // the axis: never down to a round -20 for a run that starts at 0.
        const double below = std::min(margin, std::max(-Low, span * 0.02));
        return {Low >= 0 ? std::max(Low - margin, 0.0) : Low - below, High + margin};
    }
};

QChart* NewChart(const QString& title) {
    auto* chart = new QChart;
    chart->setAnimationOptions(QChart::NoAnimation);
    chart->setBackgroundRoundness(0);
    chart->setTitle(title);
    chart->setTitleFont(PixelFont(kTitlePoints, true));
    chart->legend()->setFont(PixelFont(kLabelPoints));
    chart->legend()->setAlignment(Qt::AlignBottom);
    chart->setMargins(QMargins(4, 4, 4, 4));
    return chart;
}

double RoundStep(double step);

// An axis over the range itself, from the data's start, ticked at round
// numbers anchored at 0.
QValueAxis* NewAxis(QChart* chart, const QString& title, Qt::Alignment side, const TRange& range) {
    auto* axis = new QValueAxis(chart);
    axis->setTitleText(title);
    axis->setTitleFont(PixelFont(kLabelPoints));
    axis->setLabelsFont(PixelFont(kLabelPoints));
    axis->setRange(range.Low, range.High);
    axis->setTickType(QValueAxis::TicksDynamic);
    axis->setTickAnchor(0);
    axis->setTickInterval(RoundStep((range.High - range.Low) / 6));
    axis->setLabelFormat("%g");
    chart->addAxis(axis, side);
    return axis;
}

void Attach(QChart* chart, QAbstractSeries* series, QValueAxis* x, QValueAxis* y,
            bool inLegend = true) {
    chart->addSeries(series);
    series->attachAxis(x);
    series->attachAxis(y);
    if (!inLegend) {
        for (QLegendMarker* marker : chart->legend()->markers(series))
            marker->setVisible(false);
    }
}

double MinutesSince(qint64 start, qint64 when) {
    return (when - start) / 60000.0;
}

double MinutesSince(qint64 start, const QDateTime& when) {
    return MinutesSince(start, when.toMSecsSinceEpoch());
}

// A quantity's line in pieces: a gap ends one piece and starts the next.
struct TTrace {
    std::vector<QList<QPointF>> Pieces;
    TRange Values;
    double LastMinute = 0;
};

// The shortest break in the polls that counts as a gap: many poll periods,
// and never less than a few seconds.
constexpr qint64 kLeastGapMs = 5000;
constexpr int kGapPolls = 5;

// The times the line is cut at: where the record has a break much longer
// than its usual poll period, and every interruption.
struct TGaps {
    qint64 LongestStepMs = 0;
    std::vector<qint64> Cuts;  // sorted

    bool Between(qint64 from, qint64 to) const {
        if (to - from > LongestStepMs)
            return true;
        const auto cut = std::upper_bound(Cuts.begin(), Cuts.end(), from);
        return cut != Cuts.end() && *cut <= to;
    }
};

TGaps FindGaps(const TRunFolder& folder) {
    std::vector<qint64> steps;
    for (size_t i = 1; i < folder.Record.size(); ++i)
        steps.push_back(folder.Record[i].Time - folder.Record[i - 1].Time);
    TGaps gaps;
    qint64 usual = 0;
    if (!steps.empty()) {
        std::nth_element(steps.begin(), steps.begin() + steps.size() / 2, steps.end());
        usual = steps[steps.size() / 2];
    }
    gaps.LongestStepMs = std::max(kLeastGapMs, usual * kGapPolls);
    for (const TInterruption& interruption : folder.Results.Interruptions) {
        const QDateTime when = ReadIsoTime(interruption.Time);
        if (when.isValid())
            gaps.Cuts.push_back(when.toMSecsSinceEpoch());
    }
    std::sort(gaps.Cuts.begin(), gaps.Cuts.end());
    return gaps;
}

// A piece with at most `most` points: each stretch keeps its lowest and
// highest value in time order, so no excursion is lost.
QList<QPointF> Thinned(const QList<QPointF>& piece, size_t most) {
    if (static_cast<size_t>(piece.size()) <= most)
        return piece;
    QList<QPointF> kept;
    const qsizetype stretch =
        static_cast<qsizetype>(piece.size() * 2 / std::max<size_t>(most, 2)) + 1;
    for (qsizetype first = 0; first < piece.size(); first += stretch) {
        const auto begin = piece.begin() + first;
        const auto end = piece.begin() + std::min(first + stretch, piece.size());
        const auto [low, high] = std::minmax_element(
            begin, end, [](const QPointF& a, const QPointF& b) { return a.y() < b.y(); });
        kept.append(*std::min(low, high));
        if (low != high)
            kept.append(*std::max(low, high));
    }
    return kept;
}

// One quantity of the record against the minutes since `start`, cut at
// the gaps, at most about kMostPointsDrawn points in all.
TTrace Trace(const std::vector<TRecordSample>& record, qint64 start, const TGaps& gaps,
             std::optional<double> TRecordSample::*quantity) {
    TTrace all;
    qint64 last = 0;
    size_t count = 0;
    for (const TRecordSample& sample : record) {
        if (!(sample.*quantity))
            continue;
        if (all.Pieces.empty() || gaps.Between(last, sample.Time))
            all.Pieces.emplace_back();
        all.Pieces.back().append({MinutesSince(start, sample.Time), *(sample.*quantity)});
        all.Values.Take(*(sample.*quantity));
        all.LastMinute = std::max(all.LastMinute, MinutesSince(start, sample.Time));
        last = sample.Time;
        ++count;
    }
    if (count <= kMostPointsDrawn)
        return all;
    for (QList<QPointF>& piece : all.Pieces)
        piece = Thinned(piece, kMostPointsDrawn * static_cast<size_t>(piece.size()) / count + 1);
    return all;
}

// 1, 2 or 5 times a power of ten, the least at or above `step`.
double RoundStep(double step) {
    if (!(step > 0))
        return 1;
    const double power = std::pow(10.0, std::floor(std::log10(step)));
    for (const double m : {1.0, 2.0, 5.0}) {
        if (m * power >= step)
            return m * power;
    }
    return 10 * power;
}

QLineSeries* Line(QChart* chart, const QList<QPointF>& points, const QString& name,
                  const QPen& pen) {
    auto* series = new QLineSeries(chart);
    series->setName(name);
    series->append(points);
    series->setPen(pen);
    return series;
}

// A dwell's shade from the bottom of the plot to its top, and its point's
// number (unless 0) above it in the middle.
void AddDwell(QChart* chart, QValueAxis* x, QValueAxis* y, double from, double to, int index) {
    auto* upper = Line(chart, {{from, y->max()}, {to, y->max()}}, {}, Qt::NoPen);
    auto* lower = Line(chart, {{from, y->min()}, {to, y->min()}}, {}, Qt::NoPen);
    auto* shade = new QAreaSeries(upper, lower);
    shade->setPen(Qt::NoPen);
    shade->setBrush(QColor(255, 200, 80, 90));
    Attach(chart, shade, x, y, false);
    if (index == 0)
        return;

    auto* label =
        Line(chart, {{(from + to) / 2, y->max() - (y->max() - y->min()) * 0.08}}, {}, Qt::NoPen);
    label->setPointLabelsFormat(QString::number(index));
    label->setPointLabelsFont(PixelFont(kLabelPoints, true));
    label->setPointLabelsVisible(true);
    label->setPointLabelsClipping(false);
    Attach(chart, label, x, y, false);
}

// A trace as one series per piece; the first alone names it in the legend.
void AttachPieces(QChart* chart, const TTrace& trace, const char* name, const QPen& pen,
                  QValueAxis* x, QValueAxis* y) {
    bool first = true;
    for (const QList<QPointF>& piece : trace.Pieces) {
        Attach(chart, Line(chart, piece, first ? QString::fromUtf8(name) : QString(), pen), x, y,
               first);
        first = false;
    }
}

void Render(QPainter& painter, const QRectF& target, QChart* chart) {
    QGraphicsScene scene;
    scene.addItem(chart);  // the scene owns and frees the chart
    const QRectF area(0, 0, target.width() * kSceneScale / painter.device()->logicalDpiX() * 72,
                      target.height() * kSceneScale / painter.device()->logicalDpiY() * 72);
    chart->setGeometry(area);
    scene.setSceneRect(area);
    scene.render(&painter, target, area);
}

}  // namespace

void PaintRunChart(QPainter& painter, const QRectF& target, const TRunFolder& folder) {
    const TRunResults& results = folder.Results;
    const QDateTime started = ReadIsoTime(results.Started);
    qint64 start = started.isValid() ? started.toMSecsSinceEpoch() : 0;
    if (!started.isValid() && !folder.Record.empty())
        start = folder.Record.front().Time;

    const TGaps gaps = FindGaps(folder);
    const TTrace delivered = Trace(folder.Record, start, gaps, &TRecordSample::Delivered);
    const TTrace analyzer = results.HasAnalyzer()
                                ? Trace(folder.Record, start, gaps, &TRecordSample::Analyzer)
                                : TTrace{};
    TRange minutes{0, 1};
    for (const TTrace* trace : {&delivered, &analyzer})
        minutes.High = std::max(minutes.High, trace->LastMinute);
    TRange values;
    for (const TTrace* trace : {&delivered, &analyzer}) {
        if (!trace->Values.Empty()) {
            values.Take(trace->Values.Low);
            values.Take(trace->Values.High);
        }
    }

    QChart* chart = NewChart(QString::fromUtf8(kRunChartTitle));
    QValueAxis* x = NewAxis(chart, QString::fromUtf8(kAxisMinutes), Qt::AlignBottom, minutes);
    // The whole run, from its start to its last poll, ticked at a round
    // number of minutes.
    x->setRange(0, minutes.High);
    x->setTickType(QValueAxis::TicksDynamic);
    x->setTickAnchor(0);
    x->setTickInterval(RoundStep(minutes.High / 8));
    x->setLabelFormat("%g");
    QValueAxis* y =
        NewAxis(chart, QString::fromUtf8(kAxisConcentration), Qt::AlignLeft, values.Padded());
    // A dwell's number is left out where it would run into the last one
    // shown; its shade stays.
    const double labelRoom = minutes.High / 45;
    double lastLabel = -labelRoom;
    for (const TPointResult& point : results.Points) {
        if (!point.DwellStarted.isValid() || !point.DwellEnded.isValid())
            continue;
        const double from = MinutesSince(start, point.DwellStarted);
        const double to = MinutesSince(start, point.DwellEnded);
        const bool labelled =
            (from + to) / 2 - lastLabel >= labelRoom * (point.Index >= 10 ? 2 : 1);
        AddDwell(chart, x, y, from, to, labelled ? point.Index : 0);
        if (labelled)
            lastLabel = (from + to) / 2;
    }
    // Dark and solid against light and dashed: the two lines stay apart on
    // a grey printout too.
    AttachPieces(chart, delivered, kSeriesDelivered,
                 QPen(QColor(20, 40, 140), Scene(0.9), Qt::SolidLine), x, y);
    if (results.HasAnalyzer()) {
        QPen dashed(QColor(230, 120, 0), Scene(1.1), Qt::CustomDashLine);
        dashed.setDashPattern({4, 2.5});
        AttachPieces(chart, analyzer, kSeriesAnalyzer, dashed, x, y);
    }
    Render(painter, target, chart);
}

bool HasFitMeans(const TRunResults& results) {
    return std::any_of(results.Points.begin(), results.Points.end(), [](const TPointResult& p) {
        return p.Status == "done" && p.Delivered && p.Analyzer;
    });
}

void PaintFitChart(QPainter& painter, const QRectF& target, const TRunResults& results) {
    struct TMean {
        double Delivered, Analyzer, U;
    };
    std::vector<TMean> means;
    TRange range;
    for (const TPointResult& point : results.Points) {
        if (point.Status != "done" || !point.Delivered || !point.Analyzer)
            continue;
        const double u = point.Delivered->Expanded.value_or(0);
        means.push_back({point.Delivered->Mean, point.Analyzer->Mean, u});
        range.Take(point.Delivered->Mean - u);
        range.Take(point.Delivered->Mean + u);
        range.Take(point.Analyzer->Mean);
    }
    const TRange axes = range.Padded();

    QChart* chart = NewChart(QString::fromUtf8(kFitChartTitle));
    QValueAxis* x = NewAxis(chart, QString::fromUtf8(kAxisDelivered), Qt::AlignBottom, axes);
    QValueAxis* y = NewAxis(chart, QString::fromUtf8(kAxisAnalyzer), Qt::AlignLeft, axes);
    const double low = x->min(), high = x->max();

    Attach(chart,
           Line(chart, {{low, low}, {high, high}}, kSeriesIdentity,
                QPen(Qt::gray, Scene(0.6), Qt::DashLine)),
           x, y);
    if (results.Linearity) {
        const TLinearity& fit = *results.Linearity;
        Attach(
            chart,
            Line(chart,
                 {{low, fit.Intercept + fit.Slope * low}, {high, fit.Intercept + fit.Slope * high}},
                 kSeriesFit, QPen(QColor(200, 40, 40), Scene(0.6))),
            x, y);
    }
    // Each bar is one line: a cap, across the ±U, and the other cap.
    const double cap = (y->max() - y->min()) * 0.015;
    for (const TMean& m : means) {
        const double l = m.Delivered - m.U, r = m.Delivered + m.U, a = m.Analyzer;
        Attach(chart,
               Line(chart, {{l, a - cap}, {l, a + cap}, {l, a}, {r, a}, {r, a + cap}, {r, a - cap}},
                    {}, QPen(Qt::black, Scene(0.5))),
               x, y, false);
    }
    auto* dots = new QScatterSeries(chart);
    dots->setName(QString::fromUtf8(kSeriesMeans));
    dots->setMarkerSize(Scene(4.5));
    dots->setColor(QColor(20, 60, 200));
    dots->setBorderColor(QColor(20, 60, 200));
    for (const TMean& m : means)
        dots->append(m.Delivered, m.Analyzer);
    Attach(chart, dots, x, y);
    Render(painter, target, chart);
}

}  // namespace report
