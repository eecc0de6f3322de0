// An analyser's control charts drawn: the zero and the upscale error of
// each run with the centre line, the warning (2 sigma) and action (3 sigma)
// limits and, beneath each, its CUSUM sums against the decision interval;
// where sigma comes from, and the action signal named at the run it began.
// To a PDF (A4 landscape, vector) or a PNG, or onto any painter (the
// console's History page).
#pragma once

#include <QPainter>
#include <QRectF>
#include <QString>

#include "history/database.h"

namespace history {

// The chart file cannot be written.
class EChartFileError : public EHistoryError {
  public:
    using EHistoryError::EHistoryError;
};

// Draws both charts into `area` of `painter`.
void PaintCharts(QPainter& painter, const QRectF& area, const TAnalyzerCharts& charts);
// FILE.pdf or FILE.png by its ending; raises EChartFileError when the file
// cannot be written or its ending is neither.
void WriteChartFile(const QString& path, const TAnalyzerCharts& charts);

}  // namespace history
