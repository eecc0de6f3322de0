#include "dahs/runresult.h"

#include <QJsonValue>

namespace dahs {

bool PutLastPoint(TDahsSnapshot& snapshot, const QJsonObject& result) {
    const auto number = [](const QJsonValue& value) {
        return value.isDouble() ? value.toDouble() : kDahsUnknown;
    };
    snapshot.LastPointDelivered = number(result["delivered"].toObject()["mean"]);
    snapshot.LastPointU = number(result["delivered"].toObject()["expanded"]);
    snapshot.LastPointAnalyser = number(result["analyzer"].toObject()["mean"]);
    return result["pass"].isBool() && !result["pass"].toBool();
}

}  // namespace dahs
