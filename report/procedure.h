// The report's section for a QA procedure: the procedure's name and the
// rule it follows, its span or range and the analyser's basis, the per-level
// table on a page of its own (each injection's time, reference and response, then the level's
// means, error, limit, the criterion that decided and the verdict), the
// test's verdict saying what failed, and for the EN test its line and the
// residual chart. Nothing for a plan of plain points.
#pragma once

#include "report/runfolder.h"

#include <QtGlobal>
#include <functional>
#include <vector>

class QPaintDevice;
class QPainter;

namespace run {
struct TProcedureRule;
}

namespace report {

// The procedure the results were judged by; nullptr for plain points.
const run::TProcedureRule* ProcedureOf(const TRunResults& results);

// One piece of the section's flow, placed by the report's pagination.
struct TProcedurePiece {
    qreal Height = 0;
    std::function<void(QPainter&, qreal top)> Paint;
    bool KeepWithNext = false;  // a title stays with what it titles
    bool NewPage = false;       // the section opens a page of its own
};

// The section `width` wide from `left` on `device`, whose point is `pt`
// device units.
std::vector<TProcedurePiece> ProcedureSection(const TRunFolder& folder, QPaintDevice& device,
                                              qreal left, qreal width, qreal pt);

}  // namespace report
