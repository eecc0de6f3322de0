// console_load [seconds]: the console on the offscreen platform against the
// simulated kit. Measures, for the whole process (every thread):
//   - CPU time per wall time while the 500 ms poll runs (default 30 s);
//   - CPU time per wall time during Apply, whose waits (the queue drain, two
//     1 s pauses, the temperature handshake) run nested event loops;
//   - the peak resident memory.
// Goals: under 1 % of one core while polling, under 5 % during Apply.

#include <QElapsedTimer>
#include <QEventLoop>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/application.h"
#include "app/comselect.h"
#include "app/mainwindow.h"
#include "app/simulatedkit.h"
#include "modbus/client.h"
#include "modbus/connection.h"
#include "panels/elflowmfc.h"
#include "platform/msgsink.h"
#include "platform/numtext.h"
#include "usage.h"

namespace {

struct TSpan {
    double cpu = 0;
    double wall = 0;
    double Percent() const { return wall > 0 ? 100.0 * cpu / wall : 0; }
};

template <typename TWork>
TSpan Measure(TWork work) {
    QElapsedTimer wall;
    const double cpu = CpuSeconds();
    wall.start();
    work();
    return {CpuSeconds() - cpu, static_cast<double>(wall.nsecsElapsed()) / 1e9};
}

// The event loop as the console's own runs it, for `ms`: it sleeps until
// something is due. (QTest::qWait wakes every 10 ms to look, which would be
// counted as the console's.)
void RunFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

}  // namespace

int main(int argc, char** argv) {
    const int pollSeconds = argc > 1 ? std::atoi(argv[1]) : 30;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    app::TApplication application(argc, argv);
    platform::FormatSettings() = {'.', ','};
    int errors = 0;
    platform::SetMessageSink([&errors](const platform::TMessage& m) {
        ++errors;
        std::fprintf(stderr, "message: %s\n", m.Text.c_str());
    });

    long kitCpuMs = 0;
    {
        app::TSimulatedKit kit(VAPCAL_SIM);
        int writes = 0;
        kit.OnLine = [&writes](const std::string&) { ++writes; };
        app::SetSimulatedPort(kit.Port());
        QTemporaryDir dir;
        app::TfrmVapcalCalc window(dir.filePath("Vapcal.ini").toStdString());
        window.ExecPortDialog = [](app::TfrmComSelect&) { return app::mrOk; };
        int readings = 0;
        auto handler = window.mcVapcalRF->OnHoldingRegistersRead;
        for (regwire::TModbusClient* client :
             {window.mcVapcalRF, window.mcVapcalDF, window.mcVapcalTC}) {
            client->OnHoldingRegistersRead =
                [&readings, handler](regwire::TModbusClient* sender,
                                     const regwire::TTransactionInfo& info, std::uint16_t start,
                                     std::uint16_t count, const regwire::TRegValues& values) {
                    readings += info.Status == regwire::tsSuccess;
                    handler(sender, info, start, count, values);
                };
        }
        window.show();
        window.activateWindow();
        if (!QTest::qWaitForWindowActive(&window))
            std::fprintf(stderr, "console_load: the window did not become active\n");
        QTest::qWait(2000);  // the initial reads
        if (!window.ModbusConnection1->Active()) {
            std::fprintf(stderr, "console_load: the kit's port did not open\n");
            return 1;
        }

        readings = 0;
        const TSpan polling = Measure([pollSeconds] { RunFor(pollSeconds * 1000); });
        const int pollReadings = readings;

        int applies = 0;
        const TSpan applying = Measure([&window, &applies] {
            for (const char* temp : {"45.5", "40", "45.5", "40"}) {
                window.edtTemp->SetText(temp);
                window.btnApply->setEnabled(true);
                window.btnApply->click();
                ++applies;
            }
        });

        std::printf("console against the simulated kit (offscreen)\n");
        std::printf(
            "  polling: %5.1f s wall, %6.3f s CPU = %5.2f %% of one core (goal < 1 %%), "
            "%d readings (%.1f/s), %.2f ms CPU per poll of the kit's three instruments\n",
            polling.wall, polling.cpu, polling.Percent(), pollReadings, pollReadings / polling.wall,
            pollReadings > 0 ? 3000.0 * polling.cpu / pollReadings : 0);
        std::printf(
            "  Apply:   %5.1f s wall, %6.3f s CPU = %5.2f %% of one core (goal < 5 %%), "
            "%d Applies with the temperature handshake\n",
            applying.wall, applying.cpu, applying.Percent(), applies);
        QTest::qWait(300);
        std::printf("  kit log: %d accepted writes; errors shown: %d\n", writes, errors);
        std::printf("  peak resident memory: %.1f MiB\n", PeakKiB() / 1024.0);
    }
    kitCpuMs = static_cast<long>(CpuSeconds(RUSAGE_CHILDREN) * 1000);
    std::printf("  vapcal-sim CPU over its whole run: %ld ms\n", kitCpuMs);
    return errors == 0 ? 0 : 1;
}
