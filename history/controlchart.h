// Control charts of an analyser's errors over its runs: Shewhart limits
// (warning at 2 sigma, action at 3 sigma from the centre) and a two-sided
// CUSUM (reference value k = 0.5 sigma, decision interval h = 4 sigma), and
// the seven-day calibration error test. Pure arithmetic over the values the
// history holds, so the console, vapcal-history and the report all ask it.
#pragma once

#include <QDate>
#include <QString>
#include <optional>
#include <vector>

namespace history {

inline constexpr int kBaselineRuns = 20;
inline constexpr double kWarningSigmas = 2;
inline constexpr double kActionSigmas = 3;
inline constexpr double kCusumK = 0.5;  // in sigmas
inline constexpr double kCusumH = 4;    // in sigmas

// One run's error on the chart (ng/l), in the order the runs started.
struct TChartSample {
    QString RunId;
    QString Started;
    double Value = 0;
};

enum TChartState { csNoLimits, csInControl, csWarning, csAction };
const char* ChartStateName(TChartState state);

// Where sigma comes from: the analyser's setting (for instance its QAL1
// standard deviation), or the sample standard deviation of its first
// kBaselineRuns results (fewer while it has fewer), or nowhere: fewer than
// two results and no setting give no limits.
enum TSigmaSource { ssSetting, ssFirstResults, ssTooFew };

// An action signal: which chart ("Shewhart" or "CUSUM") and the sample it
// began at.
struct TChartSignal {
    QString Chart;
    int Since = 0;
};

struct TControlChart {
    std::vector<TChartSample> Samples;
    // The centre is the mean of the first results (the baseline), whichever
    // way sigma is set.
    double Center = 0;
    double Sigma = 0;
    TSigmaSource SigmaSource = ssTooFew;
    int BaselineCount = 0;
    // Per sample: its Shewhart state and the CUSUM's two sums after it
    // (ng/l; a signal when one exceeds kCusumH sigma).
    std::vector<TChartState> Shewhart;
    std::vector<double> CusumHigh;
    std::vector<double> CusumLow;
    // The first action signal anywhere in the series.
    std::optional<TChartSignal> FirstSignal;
    // The state after the last sample, and the action signal that holds
    // now with the sample it has held since.
    TChartState State = csNoLimits;
    std::optional<TChartSignal> Signal;
};

TControlChart MakeControlChart(std::vector<TChartSample> samples,
                               std::optional<double> sigmaSetting);
// "sigma 0.12 ng/l from the first 20 results", or why there are no limits.
QString SigmaText(const TControlChart& chart);

// The seven-day calibration error test: the seven calendar days that end on
// the day of the analyser's latest calibration error run, each day judged by
// its last run that day (a day without a run fails), and whether the seven
// pass together.
struct TCalibrationErrorRun {
    QString RunId;
    QString Started;  // local ISO 8601: the day is the date the operator saw
    std::optional<bool> Pass;
};
struct TDayVerdict {
    QDate Day;
    QString RunId;  // empty: no run that day
    bool Pass = false;
};
struct TSevenDayTest {
    std::vector<TDayVerdict> Days;  // oldest first; empty without any run
    bool Pass = false;
};
TSevenDayTest SevenDayCalibrationError(const std::vector<TCalibrationErrorRun>& runs);

}  // namespace history
