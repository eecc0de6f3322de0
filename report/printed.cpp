#include "report/printed.h"

#include "calc/model.h"
#include "calc/uncertainty.h"
#include "platform/numtext.h"
#include "report/messages.h"

#include <algorithm>
#include <cmath>

namespace report {

int ConcentrationDecimals(const TPointResult& point) {
    if (point.Delivered && point.Delivered->Expanded)
        return calc::UncertaintyDecimals(*point.Delivered->Expanded);
    return calc::kOutputDecimals;
}

QString Fixed(double value, int decimals) {
    return QString::fromStdString(calc::RoundedText(value, decimals));
}

QString Fixed(const std::optional<double>& value, int decimals) {
    return value ? Fixed(*value, decimals) : QString::fromUtf8(kNone);
}

QString Significant(double value, int digits) {
    return QString::fromStdString(platform::FloatToStrSignificant(value, digits));
}

QString General(double value) {
    return QString::fromStdString(platform::FloatToStrGeneral(value));
}

namespace {

calc::TRoundedUncertainty Rounded(const TDelivered& delivered) {
    return calc::RoundedUncertainty(delivered.Mean, *delivered.Expanded,
                                    delivered.CoverageFactor.value_or(2));
}

}  // namespace

QString DeliveredMeanText(const TPointResult& point) {
    if (!point.Delivered)
        return QString::fromUtf8(kNone);
    if (!point.Delivered->Expanded)
        return Fixed(point.Delivered->Mean, calc::kOutputDecimals);
    return QString::fromStdString(Rounded(*point.Delivered).Value);
}

QString ExpandedText(const TPointResult& point) {
    if (!point.Delivered || !point.Delivered->Expanded)
        return QString::fromUtf8(kNone);
    return QString::fromStdString(Rounded(*point.Delivered).Expanded);
}

std::optional<double> ErrorUncertainty(const TPointResult& point) {
    if (!point.Error || !point.Delivered || !point.Delivered->Expanded || !point.Analyzer ||
        point.Analyzer->Samples <= 0)
        return std::nullopt;
    const double k = point.Delivered->CoverageFactor.value_or(2);
    if (!(k > 0))
        return std::nullopt;
    const double delivered = *point.Delivered->Expanded / k;
    const double analyzer = point.Analyzer->Sd;
    return k * std::sqrt(delivered * delivered + analyzer * analyzer / point.Analyzer->Samples);
}

QString ErrorText(const TPointResult& point) {
    const std::optional<double> u = ErrorUncertainty(point);
    if (!u)
        return Fixed(point.Error, ConcentrationDecimals(point));
    const calc::TRoundedUncertainty rounded =
        calc::RoundedUncertainty(*point.Error, *u, point.Delivered->CoverageFactor.value_or(2));
    return QString::fromStdString(rounded.Value) + QString::fromUtf8(" \u00B1 ") +
           QString::fromStdString(rounded.Expanded);
}

QString R2Text(double r2) {
    int decimals = 6;
    const double rest = 1 - r2;
    if (rest > 0 && std::isfinite(rest))
        decimals = std::clamp(1 - static_cast<int>(std::floor(std::log10(rest))), 6, 15);
    return Fixed(r2, decimals);
}

QString StableAfterText(const TPointResult& point) {
    if (point.Status == kNotStable)
        return QString::fromUtf8(kNotStable);
    if (!point.StableAfterSeconds)
        return point.Status.isEmpty() || point.Status == "done" ? QString::fromUtf8(kNone)
                                                                : point.Status;
    if (!(*point.StableAfterSeconds >= 0 && *point.StableAfterSeconds < 1e9))
        return General(*point.StableAfterSeconds) + " s";
    const long long seconds = std::llround(*point.StableAfterSeconds);
    return QString("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QChar('0'));
}

QString VerdictText(const TPointResult& point) {
    if (!point.Pass)
        return QString::fromUtf8(kNone);
    return QString::fromUtf8(*point.Pass ? kPass : kFail);
}

QString LimitText(const TPointResult& point, const std::optional<TAcceptance>& acceptance) {
    if (!acceptance || !point.Delivered || point.DecidedBy.isEmpty())
        return QString::fromUtf8(kNone);
    const int decimals = ConcentrationDecimals(point);
    if (point.DecidedBy == "percent")
        return Fixed(acceptance->Percent / 100 * std::fabs(point.Delivered->Mean), decimals) +
               QString(kByPercent).arg(General(acceptance->Percent));
    return Fixed(acceptance->Absolute, decimals) + kByAbsolute;
}

QString TimeWithOffset(const QString& iso) {
    const QDateTime time = ReadIsoTime(iso);
    if (!time.isValid())
        return iso.isEmpty() ? QString::fromUtf8(kNone) : iso;
    const int offset = time.offsetFromUtc();
    const int minutes = std::abs(offset) / 60;
    return time.toString("yyyy-MM-dd HH:mm:ss") + QString(" UTC%1%2:%3")
                                                      .arg(offset < 0 ? '-' : '+')
                                                      .arg(minutes / 60, 2, 10, QChar('0'))
                                                      .arg(minutes % 60, 2, 10, QChar('0'));
}

TDotDecimals::TDotDecimals()
    : FDecimal(platform::FormatSettings().DecimalSeparator),
      FThousand(platform::FormatSettings().ThousandSeparator) {
    platform::FormatSettings().DecimalSeparator = '.';
    platform::FormatSettings().ThousandSeparator = ',';
}

TDotDecimals::~TDotDecimals() {
    platform::FormatSettings().DecimalSeparator = FDecimal;
    platform::FormatSettings().ThousandSeparator = FThousand;
}

}  // namespace report
