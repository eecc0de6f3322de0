#include "app/statusline.h"

#include <vector>

#include "app/messages.h"
#include "kit/messages.h"
#include "platform/filltext.h"

namespace app {

namespace {

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
            return platform::FillText(kStatusOneNotAnswering, {silent[0]});
        case 2:
            return platform::FillText(kStatusTwoNotAnswering, {silent[0], silent[1]});
        default:
            return kStatusNoneAnswering;
    }
}

}  // namespace

std::string StatusLineText(const TLineStatus& line, const live::TKitReadings& readings,
                           qint64 nowMs) {
    std::string text =
        line.Port.empty() ? kStatusNoPort : platform::FillText(kStatusPort, {line.Port});
    if (line.PortGone)
        text = platform::FillText(kit::kPortGone, {line.Port});
    if (!line.Run.empty())
        text = line.Run + kStatusSeparator + text;
    text += kStatusSeparator;
    if (line.PortGone) {
        text += kit::kWaitingForPort;
    } else if (!line.Activity.empty()) {
        text += line.Activity;
    } else if (!line.Polling) {
        text += platform::FillText(kStatusStopped,
                                   {line.StopReason.empty() ? kStopUnknown : line.StopReason});
    } else {
        const std::string silent = NotAnsweringText(readings, nowMs);
        text += silent.empty() ? kStatusPolling : silent;
    }
    if (const auto age = readings.OldestAgeMs(nowMs)) {
        text += kStatusSeparator;
        text += *age < 1000 ? kStatusOldestFresh
                            : platform::FillText(kStatusOldest, {std::to_string(*age / 1000)});
    }
    if (!line.PlantCommand.empty()) {
        text += kStatusSeparator;
        text += platform::FillText(kStatusPlantCommand, {line.PlantCommand});
    }
    return text;
}

}  // namespace app
