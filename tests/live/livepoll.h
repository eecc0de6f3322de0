// A kit polled in simulated time: the three completions of one poll handed
// to a monitor, as the console hands them over.
#pragma once

#include <QDateTime>
#include <QTimeZone>

#include "live/monitor.h"

// The calculator's first example: 40 °C, 6 ml/min, 10 l/min at 29.96 in. Hg,
// dp 0, 20 °C give 40.02 ng/l.
inline live::TKitTargets ExampleTargets() {
    live::TKitTargets t;
    t.TempSP = 40;
    t.FlowSP = 6;
    t.DilutionFlowSP = 10;
    t.Pbar = 29.96;
    t.Dp = 0;
    t.RefTemp = 20;
    t.Calculated = 40.02;
    return t;
}

inline QDateTime PollTime(qint64 ms) {
    return QDateTime(QDate(2026, 12, 7), QTime(14, 0), QTimeZone(3600)).addMSecs(ms);
}

inline void Poll(live::TKitMonitor& monitor, qint64 ms, double temp, double flow,
                 double dilutionFlow, bool flowOk = true) {
    monitor.Completed(live::inReservoirFlow, flowOk, flow, ms, PollTime(ms));
    monitor.Completed(live::inDilutionFlow, true, dilutionFlow, ms, PollTime(ms));
    monitor.Completed(live::inTemperature, true, temp, ms, PollTime(ms));
}
