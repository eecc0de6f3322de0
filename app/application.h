// The console's application object: one place where an error that ends a
// workflow is caught and shown.
#pragma once

#include <QApplication>

namespace app {

// Errors inside the window's workflows are not caught by the window: they
// arrive here, are shown in the standard error box, and the event loop goes
// on with the next event. The workflow stops at the failing step.
class TApplication : public QApplication {
    Q_OBJECT

  public:
    TApplication(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;
};

}  // namespace app
