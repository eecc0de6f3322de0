// The report's two pictures, drawn with Qt Charts onto the page as vectors.
#pragma once

#include "report/runfolder.h"

#include <QRectF>

class QPainter;

namespace report {

// The delivered concentration and the analyser's reading against the
// minutes since the run started, each dwell shaded and labelled with its
// point's number.
void PaintRunChart(QPainter& painter, const QRectF& target, const TRunFolder& folder);

// The analyser's means against the delivered means of the done points, with
// the delivered ±U as error bars, the 1:1 line and the fitted line.
void PaintFitChart(QPainter& painter, const QRectF& target, const TRunResults& results);

}  // namespace report
