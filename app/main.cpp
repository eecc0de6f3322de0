// vapcal: the Vapcal console. `vapcal --simulate` runs it against the
// simulated kit (vapcal-sim), started beside it and offered first in the
// port dialog; `vapcal --port PORT` takes a port without the dialog.

#include <QCommandLineParser>
#include <QStyleFactory>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "app/application.h"
#include "app/comselect.h"
#include "app/dahsfeed.h"
#include "app/livedisplay.h"
#include "app/mainwindow.h"
#include "app/messages.h"
#include "app/simulatedkit.h"
#include "panels/messagebox.h"
#include "platform/msgsink.h"
#include "platform/numtext.h"
#include "platform/stopsignals.h"

namespace {

// The simulated kit's own port, as --port takes it with --simulate.
constexpr char kSimulatedPortName[] = "sim";
constexpr int kUsageStatus = 64;
constexpr int kNoDisplayStatus = 69;

struct TConsoleOptions {
    bool Simulate = false;
    QString Record;  // the file to record to from the start, or empty
    QString Port;    // the port to take without the dialog, or empty
    QString Dahs;    // where to serve the plant's register map, or empty
};

void DeclareOptions(QCommandLineParser& parser) {
    parser.setApplicationDescription("The Vapcal console.");
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption(
        {"simulate", "Start the simulated kit (vapcal-sim) and offer its port first."});
    parser.addOption({"port",
                      "Open <port> (a serial device, tcp://HOST:PORT or mbtcp://HOST:PORT) "
                      "without the port dialog; with --simulate, \"sim\" is the simulated "
                      "kit's own port.",
                      "port"});
    parser.addOption({"record",
                      "Append one CSV line per complete poll to <file> (the readings, set "
                      "points, delivered and calculated concentration, stability).",
                      "file"});
    parser.addOption({"dahs",
                      "Serve the plant's register map on <address> (mbtcp://HOST:PORT) while "
                      "the console runs, instead of DahsListen in Vapcal.ini.",
                      "address"});
}

// Help and version need no display: they are answered before the
// application object, which cannot be made without one, exists. Qt's own
// options (-platform, -style) are left for it.
void AnswerWithoutDisplay(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    QCommandLineParser parser;
    DeclareOptions(parser);
    parser.parse(arguments);
    if (parser.isSet("help")) {
        // Without an application object Qt cannot name the program itself.
        std::fputs(qPrintable(parser.helpText().replace("<executable_name>", "vapcal")), stdout);
        std::exit(EXIT_SUCCESS);
    }
    if (parser.isSet("version")) {
        std::printf("vapcal %s\n", VAPCAL_VERSION);
        std::exit(EXIT_SUCCESS);
    }
}

// Without a display Qt would end with its plug-in's complaint and an abort;
// the user is told instead what runs the console headless.
bool HaveDisplay(int argc, char** argv) {
    for (const char* variable : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && *value != '\0')
            return true;
    }
    for (int i = 1; i < argc; ++i) {
        const QByteArray word(argv[i]);
        if (word == "-platform" || word.startsWith("-platform="))
            return true;
    }
    return false;
}

TConsoleOptions ReadOptions(const QCoreApplication& application) {
    QCommandLineParser parser;
    DeclareOptions(parser);
    parser.process(application);
    TConsoleOptions options{parser.isSet("simulate"), parser.value("record"), parser.value("port"),
                            parser.value("dahs")};
    if (parser.isSet("port") && options.Port.isEmpty()) {
        std::fputs(app::kPortEmpty, stderr);
        std::exit(kUsageStatus);
    }
    if (options.Port == kSimulatedPortName && !options.Simulate) {
        std::fputs(app::kSimPortNeedsSimulate, stderr);
        std::exit(kUsageStatus);
    }
    if (!options.Dahs.isEmpty()) {
        try {
            dahs::ParseDahsListen(options.Dahs.toStdString());
        } catch (const std::exception& error) {
            std::fprintf(stderr, "vapcal: %s\n", error.what());
            std::exit(kUsageStatus);
        }
    }
    return options;
}

// Set once SIGTERM or SIGINT (a service stopped, Ctrl-C in a terminal) has
// closed the console as its Close button does, message boxes and all: the
// record is put on the disk and the simulated kit stopped.
bool StopRequested = false;

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

// A port that cannot be opened is reported as one chosen in the dialog
// would be; the status line keeps the reason.
void TakePort(app::TfrmVapcalCalc& window, const QString& port, const app::TSimulatedKit* kit) {
    const bool simulated = port == kSimulatedPortName;
    if (simulated && kit == nullptr)
        return;
    try {
        window.TakePort(simulated ? kit->Port() : port.toStdString());
    } catch (const std::exception& error) {
        // Started unattended, nobody may see the box: the reason goes to
        // standard error too.
        std::fprintf(stderr, app::kPortNotTaken, error.what());
        platform::ShowError(error.what());
    }
}

}  // namespace

int main(int argc, char** argv) {
    AnswerWithoutDisplay(argc, argv);
    if (!HaveDisplay(argc, argv)) {
        std::fputs(app::kNoDisplay, stderr);
        return kNoDisplayStatus;
    }
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
    // A map that cannot be served is reported; the console works on without.
    std::unique_ptr<app::TDahsFeed> dahsFeed;
    try {
        dahsFeed = std::make_unique<app::TDahsFeed>(window, calc::SettingsFilePath(),
                                                    options.Dahs.toStdString());
    } catch (const std::exception& error) {
        platform::ShowError(error.what());
    }
    platform::CatchStopSignals([] {
        StopRequested = true;
        QApplication::closeAllWindows();
    });
    window.show();
    if (!options.Port.isEmpty())
        TakePort(window, options.Port, kit.get());
    // Stopped while the port was being taken, before the event loop ran.
    if (StopRequested)
        return EXIT_SUCCESS;
    return QApplication::exec();
}
