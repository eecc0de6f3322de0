// vapcal: the Vapcal console.
#include <QStyleFactory>

#include "app/application.h"
#include "app/mainwindow.h"
#include "panels/messagebox.h"
#include "platform/numtext.h"

int main(int argc, char** argv) {
    app::TApplication application(argc, argv);
    QApplication::setStyle(QStyleFactory::create("Fusion"));
    platform::LoadFormatSettingsFromLocale();
    panels::InstallMessageBoxSink();
    app::TfrmVapcalCalc window;
    window.show();
    return QApplication::exec();
}
