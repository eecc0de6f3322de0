#include "history/chartpainter.h"

#include <QFileInfo>
#include <QImage>
#include <QPageLayout>
#include <QPageSize>
#include <QPainterPath>
#include <QPdfWriter>
#include <algorithm>
#include <cmath>

#include "history/messages.h"

namespace history {

namespace {

const QColor kWarningColour(230, 140, 0);
const QColor kActionColour(200, 30, 30);
const QColor kValueColour(30, 70, 160);
constexpr double kLogicalWidth = 1600;
constexpr double kLogicalHeight = 1100;

QColor StateColour(TChartState state) {
    return state == csAction ? kActionColour : state == csWarning ? kWarningColour : kValueColour;
}

// Maps run positions and values into a plot rectangle.
struct TScale {
    QRectF Plot;
    int Count;
    double Low, High;
    double X(int i) const {
        return Plot.left() + (Count <= 1 ? Plot.width() / 2 : Plot.width() * i / (Count - 1));
    }
    double Y(double v) const { return Plot.bottom() - (v - Low) / (High - Low) * Plot.height(); }
};

void HorizontalLine(QPainter& painter, const TScale& scale, double value, const QColor& colour,
                    Qt::PenStyle style, const QString& label) {
    painter.setPen(QPen(colour, 2, style));
    const double y = scale.Y(value);
    painter.drawLine(QPointF(scale.Plot.left(), y), QPointF(scale.Plot.right(), y));
    painter.drawText(QRectF(scale.Plot.right() + 6, y - 12, 150, 24),
                     Qt::AlignLeft | Qt::AlignVCenter, label);
}

void Frame(QPainter& painter, const TScale& scale) {
    painter.setPen(QPen(Qt::black, 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(scale.Plot);
    painter.drawText(QRectF(scale.Plot.left() - 90, scale.Plot.top() - 12, 84, 24),
                     Qt::AlignRight | Qt::AlignVCenter, QString::number(scale.High, 'g', 3));
    painter.drawText(QRectF(scale.Plot.left() - 90, scale.Plot.bottom() - 12, 84, 24),
                     Qt::AlignRight | Qt::AlignVCenter, QString::number(scale.Low, 'g', 3));
}

void Series(QPainter& painter, const TScale& scale, const std::vector<double>& values,
            const std::vector<TChartState>& states) {
    QPainterPath path;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const QPointF p(scale.X(static_cast<int>(i)), scale.Y(values[i]));
        i == 0 ? path.moveTo(p) : path.lineTo(p);
    }
    painter.setPen(QPen(kValueColour, 1.5));
    painter.drawPath(path);
    // Each run a dot while they can be told apart; its state's colour.
    const double dot = values.size() > 400 ? 1.5 : 4;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const QColor colour = i < states.size() ? StateColour(states[i]) : kValueColour;
        painter.setPen(Qt::NoPen);
        painter.setBrush(colour);
        painter.drawEllipse(QPointF(scale.X(static_cast<int>(i)), scale.Y(values[i])), dot, dot);
    }
    painter.setBrush(Qt::NoBrush);
}

// One error's chart: its values with limits, and its CUSUM beneath.
void PaintOne(QPainter& painter, const QRectF& area, const QString& which, const QString& analyzer,
              const TControlChart& chart) {
    QFont font = painter.font();
    font.setPixelSize(20);
    painter.setFont(font);
    painter.setPen(Qt::black);
    const QString title = QString("%1 error (ng/l), %2 runs: %3; %4")
                              .arg(which)
                              .arg(chart.Samples.size())
                              .arg(ChartStateName(chart.State), SigmaText(chart));
    painter.drawText(QRectF(area.left(), area.top(), area.width(), 28), Qt::AlignLeft, title);
    QString signal = ActionSignalText(analyzer, which, chart);
    if (signal.isEmpty() && chart.FirstSignal)
        signal = QString("first action signal: %1 chart at run %2")
                     .arg(chart.FirstSignal->Chart,
                          chart.Samples[static_cast<std::size_t>(chart.FirstSignal->Since)].RunId);
    painter.setPen(kActionColour);
    painter.drawText(QRectF(area.left(), area.top() + 28, area.width(), 28), Qt::AlignLeft, signal);

    const QRectF values(area.left() + 100, area.top() + 64, area.width() - 260,
                        area.height() * 0.55);
    const QRectF cusum(values.left(), values.bottom() + 34, values.width(),
                       area.bottom() - values.bottom() - 40);
    std::vector<double> v;
    for (const TChartSample& s : chart.Samples)
        v.push_back(s.Value);
    const int n = static_cast<int>(v.size());
    const bool limits = chart.SigmaSource != ssTooFew;
    double low = v.empty() ? -1 : *std::min_element(v.begin(), v.end());
    double high = v.empty() ? 1 : *std::max_element(v.begin(), v.end());
    if (limits) {
        low = std::min(low, chart.Center - 3.5 * chart.Sigma);
        high = std::max(high, chart.Center + 3.5 * chart.Sigma);
    }
    if (high - low < 1e-9) {
        low -= 1;
        high += 1;
    }
    const TScale scale{values, n, low, high};
    Frame(painter, scale);
    if (limits) {
        HorizontalLine(painter, scale, chart.Center, Qt::darkGray, Qt::SolidLine, "centre");
        for (int side : {-1, 1}) {
            HorizontalLine(painter, scale, chart.Center + side * kWarningSigmas * chart.Sigma,
                           kWarningColour, Qt::DashLine, side > 0 ? "+2 sigma" : "-2 sigma");
            HorizontalLine(painter, scale, chart.Center + side * kActionSigmas * chart.Sigma,
                           kActionColour, Qt::DashLine, side > 0 ? "+3 sigma" : "-3 sigma");
        }
    }
    Series(painter, scale, v, chart.Shewhart);
    if (n > 0) {
        // The first and the last run's start under the chart's two ends.
        painter.setPen(Qt::black);
        const QRectF under(values.left(), values.bottom() + 2, values.width(), 24);
        painter.drawText(under, Qt::AlignLeft, chart.Samples.front().Started.left(10));
        painter.drawText(under, Qt::AlignRight, chart.Samples.back().Started.left(10));
    }
    if (chart.Signal) {
        const double x = scale.X(chart.Signal->Since);
        painter.setPen(QPen(kActionColour, 2, Qt::DotLine));
        painter.drawLine(QPointF(x, values.top()), QPointF(x, cusum.bottom()));
    }
    if (!limits || cusum.height() < 40)
        return;
    const double h = kCusumH * chart.Sigma;
    double top = h * 1.2;
    for (std::size_t i = 0; i < chart.CusumHigh.size(); ++i)
        top = std::max({top, chart.CusumHigh[i], chart.CusumLow[i]});
    const TScale sums{cusum, n, 0, top};
    Frame(painter, sums);
    HorizontalLine(painter, sums, h, kActionColour, Qt::DashLine, "h = 4 sigma");
    Series(painter, sums, chart.CusumHigh, {});
    std::vector<double> lowSums(chart.CusumLow);
    painter.save();
    Series(painter, sums, lowSums, std::vector<TChartState>(lowSums.size(), csWarning));
    painter.restore();
    painter.setPen(Qt::black);
    painter.drawText(QRectF(cusum.left(), cusum.top() + 2, cusum.width() - 8, 24), Qt::AlignRight,
                     "CUSUM: upper sum blue, lower sum orange (k = 0.5 sigma)");
}

}  // namespace

void PaintCharts(QPainter& painter, const QRectF& area, const TAnalyzerCharts& charts) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    QFont font = painter.font();
    font.setPixelSize(26);
    font.setBold(true);
    painter.setFont(font);
    painter.setPen(Qt::black);
    painter.drawText(QRectF(area.left(), area.top(), area.width(), 36), Qt::AlignLeft,
                     QString("Control charts of analyser %1").arg(charts.Analyzer));
    font.setBold(false);
    painter.setFont(font);
    const double half = (area.height() - 44) / 2;
    PaintOne(painter, QRectF(area.left(), area.top() + 44, area.width(), half - 10), "zero",
             charts.Analyzer, charts.Zero);
    PaintOne(painter, QRectF(area.left(), area.top() + 44 + half, area.width(), half - 10),
             "upscale", charts.Analyzer, charts.Upscale);
    painter.restore();
}

void WriteChartFile(const QString& path, const TAnalyzerCharts& charts) {
    const QString ending = QFileInfo(path).suffix().toLower();
    const auto fail = [&path] {
        throw EChartFileError(QString(kChartNotWritten).arg(path).toStdString());
    };
    if (ending == "png") {
        QImage image(static_cast<int>(kLogicalWidth), static_cast<int>(kLogicalHeight),
                     QImage::Format_RGB32);
        image.fill(Qt::white);
        {
            QPainter painter(&image);
            PaintCharts(painter, QRectF(20, 20, kLogicalWidth - 40, kLogicalHeight - 40), charts);
        }
        if (!image.save(path, "PNG"))
            fail();
        return;
    }
    if (ending != "pdf")
        throw EChartFileError(QString(kChartEnding).arg(path).toStdString());
    QPdfWriter pdf(path);
    pdf.setPageLayout(
        QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Landscape, QMarginsF(10, 10, 10, 10)));
    pdf.setTitle(QString("Control charts of analyser %1").arg(charts.Analyzer));
    pdf.setCreator("vapcal-history");
    QPainter painter;
    if (!painter.begin(&pdf))
        fail();
    // One logical page of the PNG's size, scaled onto the paper.
    painter.setWindow(0, 0, static_cast<int>(kLogicalWidth), static_cast<int>(kLogicalHeight));
    const QRect page = pdf.pageLayout().paintRectPixels(pdf.resolution());
    const double ratio = kLogicalHeight / kLogicalWidth;
    const int width = std::min(page.width(), static_cast<int>(page.height() / ratio));
    painter.setViewport(0, 0, width, static_cast<int>(width * ratio));
    PaintCharts(painter, QRectF(0, 0, kLogicalWidth, kLogicalHeight), charts);
    if (!painter.end())
        fail();
    if (!QFileInfo(path).exists() || QFileInfo(path).size() == 0)
        fail();
}

}  // namespace history
