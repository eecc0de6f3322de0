// The plain notification event of the panels: raised with the component that
// fired it and nothing else (a click, a change of text, a set-flow request).
#pragma once

#include <functional>

class QObject;

namespace panels {

using TNotifyEvent = std::function<void(QObject* Sender)>;

}  // namespace panels
