#include "app/statusline.h"

#include <cstdio>
#include <vector>

#include "app/messages.h"
#include "kit/messages.h"

namespace app {

namespace {

std::string Format(const char* pattern, const std::string& a, const std::string& b = {}) {
    char text[256];
    std::snprintf(text, sizeof text, pattern, a.c_str(), b.c_str());
    return text;
}

// "reservoir-flow controller not answering", two joined with "and", all
// three as "no instrument answering"; empty while all answer.
std::string NotAnsweringText(const live::TKitReadings& readings, qint64 nowMs) {
    std::vector<std::string> silent;
    for (int i = 0; i < live::kInstrumentCount; ++i)
        if (readings.NotAnswering(static_cast<live::TInstrument>(i), nowMs))
            silent.push_back(kInstrumentNames[i]);
    switch (silent.size()) {
        case 0:
            return {};
        case 1:
            return Format(kStatusOneNotAnswering, silent[0]);
        case 2:
            return Format(kStatusTwoNotAnswering, silent[0], silent[1]);
        default:
            return kStatusNoneAnswering;
    }
}

}  // namespace

std::string StatusLineText(const TLineStatus& line, const live::TKitReadings& readings,
                           qint64 nowMs) {
    std::string text = line.Port.empty() ? kStatusNoPort : Format(kStatusPort, line.Port);
    if (line.PortGone)
        text = Format(kit::kPortGone, line.Port);
    if (!line.Run.empty())
        text = line.Run + kStatusSeparator + text;
    text += kStatusSeparator;
    if (line.PortGone) {
        text += kit::kWaitingForPort;
    } else if (!line.Activity.empty()) {
        text += line.Activity;
    } else if (!line.Polling) {
        text += Format(kStatusStopped, line.StopReason.empty() ? kStopUnknown : line.StopReason);
    } else {
        const std::string silent = NotAnsweringText(readings, nowMs);
        text += silent.empty() ? kStatusPolling : silent;
    }
    if (const auto age = readings.OldestAgeMs(nowMs)) {
        text += kStatusSeparator;
        text +=
            *age < 1000 ? kStatusOldestFresh : Format(kStatusOldest, std::to_string(*age / 1000));
    }
    if (!line.PlantCommand.empty()) {
        text += kStatusSeparator;
        text += Format(kStatusPlantCommand, line.PlantCommand);
    }
    return text;
}

}  // namespace app
