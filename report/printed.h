// The run's numbers as the report prints them: rounded consistently, each
// from the value results.json holds, by the rule the console prints a value
// with its U (calc/uncertainty.h). A point's concentrations keep the place
// of its U (two significant digits); without a U, the place the console's
// concentration fields keep.
#pragma once

#include "report/runfolder.h"

#include <QString>
#include <optional>

namespace report {

// The decimal place of a point's concentrations: that of its U.
int ConcentrationDecimals(const TPointResult& point);

QString Fixed(double value, int decimals);                        // negative decimals: to tens, ...
QString Fixed(const std::optional<double>& value, int decimals);  // "–" for none
QString Significant(double value, int digits);                    // without trailing zeros
QString General(double value);

// The delivered mean and U of a point ("16.04", "0.21"), "–" for what is
// missing.
QString DeliveredMeanText(const TPointResult& point);
QString ExpandedText(const TPointResult& point);
// The expanded uncertainty of a point's error, k·√(u(delivered)² +
// s(analyser)²/n) with u(delivered) = U/k; none without a U or an analyser
// mean.
std::optional<double> ErrorUncertainty(const TPointResult& point);
// "0.81 ± 0.16": the error and its U rounded as a concentration and its U
// are; the error alone, or "–", where it has no U.
QString ErrorText(const TPointResult& point);
// R² with the digits that tell it from 1: at least six decimals, and two
// significant digits of 1 − R².
QString R2Text(double r2);
// The time a point took to settle, "m:ss"; "not stable" when it did not.
QString StableAfterText(const TPointResult& point);
// "PASS", "FAIL" or "–".
QString VerdictText(const TPointResult& point);
// The limit that decided the point in ng/l and which of the two it was.
QString LimitText(const TPointResult& point, const std::optional<TAcceptance>& acceptance);
// A local ISO time as "2026-12-07 14:03:05 UTC+01:00", or the text itself
// when it is not one.
QString TimeWithOffset(const QString& iso);

// Numbers with a "." whatever the operator's locale, while it lives: the
// report is one document for every reader.
class TDotDecimals {
  public:
    TDotDecimals();
    ~TDotDecimals();
    TDotDecimals(const TDotDecimals&) = delete;
    TDotDecimals& operator=(const TDotDecimals&) = delete;

  private:
    char FDecimal;
    char FThousand;
};

}  // namespace report
