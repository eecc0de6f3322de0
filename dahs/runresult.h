// A run's finished point as the plant reads it: the same for the console's
// run window and for vapcal-run, both fed by run::TRunEngine's results.
#pragma once

#include <QJsonObject>

#include "dahs/dahsmap.h"

namespace dahs {

// Puts a finished point's result (as the run's journal keeps it) into the
// snapshot's last point fields; true when the point failed its check.
bool PutLastPoint(TDahsSnapshot& snapshot, const QJsonObject& result);

}  // namespace dahs
