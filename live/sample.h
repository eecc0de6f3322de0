// live/: what the console makes of the kit's live readings, beside the
// calculator. From the poll's completions it knows which readings are
// current, works out the concentration the kit delivers now, judges whether
// the kit has settled, keeps a bounded history for the trend and records
// every complete poll to a CSV file. Plain logic on QtCore and calc/, no
// widgets, so the window and a headless console share it.
//
// TLiveSample is one complete poll: the three readings, the set points and
// conditions they are judged against, and the two concentrations.
#pragma once

#include <QDateTime>
#include <QtGlobal>
#include <limits>

namespace live {

// The kit's three measured quantities.
enum TInstrument { inReservoirFlow, inDilutionFlow, inTemperature };
inline constexpr int kInstrumentCount = 3;

inline constexpr double kUnknown = std::numeric_limits<double>::quiet_NaN();

// What the readings are judged against, as the window holds it at the poll:
// the set points last known to be in the instruments (NaN when unknown), the
// saturator conditions and the concentration the calculator gives.
struct TKitTargets {
    double TempSP = kUnknown;          // °C
    double FlowSP = kUnknown;          // ml/min
    double DilutionFlowSP = kUnknown;  // l/min
    double Pbar = kUnknown;            // in. Hg
    double Dp = kUnknown;              // in. H2O
    double RefTemp = kUnknown;         // °C
    double Calculated = kUnknown;      // ng/l
    // The flow controllers' capacities the flows' accuracies stand on.
    double FlowCapacity = kUnknown;          // ml/min
    double DilutionFlowCapacity = kUnknown;  // l/min
};

struct TLiveSample {
    qint64 Ms = 0;            // monotonic milliseconds: durations and the trend
    QDateTime When;           // the local date and time: the record
    double Temp = 0;          // measured, °C
    double Flow = 0;          // measured, ml/min
    double DilutionFlow = 0;  // measured, l/min
    TKitTargets Targets;
    double Delivered = kUnknown;  // ng/l; NaN when the readings give none
    // The combined standard uncertainty of Delivered (ng/l); NaN when
    // Delivered is, or when the budget has no value.
    double DeliveredStandardU = kUnknown;
};

}  // namespace live
