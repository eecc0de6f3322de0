#include "history/controlchart.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "history/messages.h"

namespace history {

namespace {

void SetBaseline(TControlChart& chart, std::optional<double> sigmaSetting) {
    const int n = std::min(static_cast<int>(chart.Samples.size()), kBaselineRuns);
    chart.BaselineCount = n;
    double sum = 0;
    for (int i = 0; i < n; ++i)
        sum += chart.Samples[static_cast<std::size_t>(i)].Value;
    const double mean = n > 0 ? sum / n : 0;
    chart.Center = mean;
    if (sigmaSetting && *sigmaSetting > 0) {
        chart.Sigma = *sigmaSetting;
        chart.SigmaSource = ssSetting;
        return;
    }
    if (n < 2)
        return;
    double squares = 0;
    for (int i = 0; i < n; ++i) {
        const double d = chart.Samples[static_cast<std::size_t>(i)].Value - mean;
        squares += d * d;
    }
    chart.Sigma = std::sqrt(squares / (n - 1));
    // Identical results leave no spread to judge by: what is left of the
    // mean's rounding is not a spread, and limits drawn on it would make
    // every later result an action.
    chart.SigmaSource = chart.Sigma > 1e-9 * (std::fabs(mean) + 1) ? ssFirstResults : ssTooFew;
}

// The first sample of the trailing stretch for which `holds` is true.
template <typename Holds>
int TrailingSince(int count, Holds holds) {
    int since = count;
    while (since > 0 && holds(since - 1))
        --since;
    return since;
}

}  // namespace

const char* ChartStateName(TChartState state) {
    switch (state) {
        case csInControl:
            return kStateInControl;
        case csWarning:
            return kStateWarning;
        case csAction:
            return kStateAction;
        case csNoLimits:
            break;
    }
    return kStateNoLimits;
}

TControlChart MakeControlChart(std::vector<TChartSample> samples,
                               std::optional<double> sigmaSetting) {
    TControlChart chart;
    chart.Samples = std::move(samples);
    SetBaseline(chart, sigmaSetting);
    if (chart.SigmaSource == ssTooFew)
        return chart;
    const double s = chart.Sigma;
    const double h = kCusumH * s;
    double high = 0;
    double low = 0;
    for (std::size_t i = 0; i < chart.Samples.size(); ++i) {
        const double d = chart.Samples[i].Value - chart.Center;
        const double size = std::fabs(d);
        chart.Shewhart.push_back(size > kActionSigmas * s    ? csAction
                                 : size > kWarningSigmas * s ? csWarning
                                                             : csInControl);
        high = std::max(0.0, high + d - kCusumK * s);
        low = std::max(0.0, low - d - kCusumK * s);
        chart.CusumHigh.push_back(high);
        chart.CusumLow.push_back(low);
        if (!chart.FirstSignal) {
            if (chart.Shewhart.back() == csAction)
                chart.FirstSignal = TChartSignal{"Shewhart", static_cast<int>(i)};
            else if (high > h || low > h)
                chart.FirstSignal = TChartSignal{"CUSUM", static_cast<int>(i)};
        }
    }
    const int n = static_cast<int>(chart.Samples.size());
    chart.State = n == 0 ? csInControl : chart.Shewhart.back();
    const auto u = [](int i) { return static_cast<std::size_t>(i); };
    if (n > 0 && chart.Shewhart.back() == csAction)
        chart.Signal = TChartSignal{
            "Shewhart", TrailingSince(n, [&](int i) { return chart.Shewhart[u(i)] == csAction; })};
    for (const std::vector<double>* sums : {&chart.CusumHigh, &chart.CusumLow}) {
        if (n == 0 || sums->back() <= h)
            continue;
        const int since = TrailingSince(n, [&](int i) { return (*sums)[u(i)] > h; });
        if (!chart.Signal || since < chart.Signal->Since)
            chart.Signal = TChartSignal{"CUSUM", since};
    }
    if (chart.Signal)
        chart.State = csAction;
    return chart;
}

QString SigmaText(const TControlChart& chart) {
    const QString sigma = QString::number(chart.Sigma, 'g', 3);
    switch (chart.SigmaSource) {
        case ssSetting:
            return QString(kSigmaFromSetting).arg(sigma);
        case ssFirstResults:
            return QString(kSigmaFromResults).arg(sigma).arg(chart.BaselineCount);
        case ssTooFew:
            break;
    }
    return QString(kSigmaTooFew).arg(chart.BaselineCount);
}

TSevenDayTest SevenDayCalibrationError(const std::vector<TCalibrationErrorRun>& runs) {
    // The last run of each day decides it: a failed test repeated the same
    // day is judged by the repeat. Runs are taken by start time, whatever
    // order they come in.
    std::map<QDate, std::pair<QString, const TCalibrationErrorRun*>> lastOfDay;
    for (const TCalibrationErrorRun& run : runs) {
        const QDate day = QDate::fromString(run.Started.left(10), Qt::ISODate);
        if (!day.isValid())
            continue;
        auto& last = lastOfDay[day];
        if (last.second == nullptr || run.Started >= last.first)
            last = {run.Started, &run};
    }
    TSevenDayTest test;
    if (lastOfDay.empty())
        return test;
    const QDate end = lastOfDay.rbegin()->first;
    test.Pass = true;
    for (QDate day = end.addDays(-6); day <= end; day = day.addDays(1)) {
        TDayVerdict verdict{day, {}, false};
        if (const auto found = lastOfDay.find(day); found != lastOfDay.end()) {
            verdict.RunId = found->second.second->RunId;
            verdict.Pass = found->second.second->Pass.value_or(false);
        }
        test.Pass = test.Pass && verdict.Pass;
        test.Days.push_back(verdict);
    }
    return test;
}

}  // namespace history
