#include "app/application.h"

#include <exception>
#include <string>

#include "platform/msgsink.h"

namespace app {

namespace {
constexpr char kUnknownError[] = "An unknown error occurred";
}

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TApplication::notify(QObject* receiver, QEvent* event) {
    std::string message;
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& error) {
        message = error.what();
    } catch (...) {
        message = kUnknownError;
    }
    // Shown outside the handler: the box runs its own event loop.
    platform::ShowError(message);
    return false;
}

}  // namespace app
