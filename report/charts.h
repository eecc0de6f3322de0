// The report's two pictures, drawn with Qt Charts onto the page as vectors.
#pragma once

#include "report/runfolder.h"

#include <QRectF>

class QPainter;

namespace report {

// The delivered concentration and the analyser's reading against the
// minutes since the run started, each dwell shaded and labelled with its
// point's number. No line crosses a gap: a pause, a resume, a lost or
// returned port, or a stretch of the record with no poll.
void PaintRunChart(QPainter& painter, const QRectF& target, const TRunFolder& folder);

// Whether a done point has both means, so that the picture below has
// something to show.
bool HasFitMeans(const TRunResults& results);

// The analyser's means against the delivered means of the done points, with
// the delivered ±U as error bars, the 1:1 line and the fitted line.
void PaintFitChart(QPainter& painter, const QRectF& target, const TRunResults& results);

}  // namespace report
