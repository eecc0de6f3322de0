// vapcal: the Vapcal console. `vapcal --simulate` runs it against the
// simulated kit (vapcal-sim), started beside it and offered first in the
// port dialog.
#include <QCommandLineParser>
#include <QStyleFactory>
#include <memory>

#include "app/application.h"
#include "app/comselect.h"
#include "app/livedisplay.h"
#include "app/mainwindow.h"
#include "app/simulatedkit.h"
#include "panels/messagebox.h"
#include "platform/msgsink.h"
#include "platform/numtext.h"

namespace {

struct TConsoleOptions {
    bool Simulate = false;
    QString Record;  // the file to record to from the start, or empty
};

TConsoleOptions ReadOptions(const QCoreApplication& application) {
    QCommandLineParser parser;
    parser.setApplicationDescription("The Vapcal console.");
    parser.addHelpOption();
    parser.addOption(
        {"simulate", "Start the simulated kit (vapcal-sim) and offer its port first."});
    parser.addOption({"record",
                      "Append one CSV line per complete poll to <file> (the readings, set "
                      "points, delivered and calculated concentration, stability).",
                      "file"});
    parser.process(application);
    return {parser.isSet("simulate"), parser.value("record")};
}

// Without the kit the console still comes up: the operator is told why and
// can choose a real port.
std::unique_ptr<app::TSimulatedKit> StartSimulatedKit() {
    try {
        auto kit = std::make_unique<app::TSimulatedKit>(
            app::LocateSimulatedKit(QCoreApplication::applicationDirPath().toStdString()));
        app::SetSimulatedPort(kit->Port());
        return kit;
    } catch (const std::exception& error) {
        platform::ShowError(error.what());
        return nullptr;
    }
}

}  // namespace

int main(int argc, char** argv) {
    app::TApplication application(argc, argv);
    QApplication::setStyle(QStyleFactory::create("Fusion"));
    platform::LoadFormatSettingsFromLocale();
    panels::InstallMessageBoxSink();
    // Declared before the window, so the kit stops after the window has
    // closed its line.
    const TConsoleOptions options = ReadOptions(application);
    std::unique_ptr<app::TSimulatedKit> kit;
    if (options.Simulate)
        kit = StartSimulatedKit();
    app::TfrmVapcalCalc window;
    if (!options.Record.isEmpty())
        window.LiveView->StartRecording(options.Record);
    window.show();
    return QApplication::exec();
}
