// dahs_load [seconds]: the console on the offscreen platform polls the
// simulated kit and serves the plant's register map, first with no peer,
// then while four plants (libmodbus) each read the whole map 1000 times a
// second (default 60 s each). Prints:
//   - the poll period's median and worst, without and with the plants;
//   - the requests answered and their mean round trip;
//   - the CPU the server's threads took, in % of one core.
// Goals: median within 2 % of the run without plants, worst under 1.5
// periods. The plants stand for other machines on the plant's network:
// their threads run at the lowest priority, so that what they cost here
// (libmodbus's side of each request) weighs on the console as little as
// their own CPU would; the server's threads run as the console runs them.
#include <modbus.h>
// libmodbus first: its system headers come before Qt's macros.
#include <sys/resource.h>
#include <unistd.h>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "app/application.h"
#include "app/comselect.h"
#include "app/dahsfeed.h"
#include "app/livedisplay.h"
#include "app/mainwindow.h"
#include "app/simulatedkit.h"
#include "kit/kit.h"
#include "modbus/connection.h"
#include "modbus/tcpserver.h"
#include "platform/msgsink.h"
#include "platform/numtext.h"
#include "usage.h"

namespace {

constexpr int kPlants = 4;
constexpr int kRequestsPerSecond = 1000;

// CPU seconds of this process's threads with the given name.
double ThreadCpuSeconds(const std::string& name) {
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    double seconds = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::string comm;
        std::getline(std::ifstream(task.path() / "comm"), comm);
        if (comm != name)
            continue;
        std::ifstream stat(task.path() / "stat");
        std::string text((std::istreambuf_iterator<char>(stat)), {});
        // After the name in parentheses: fields 3.. ; utime and stime are 14 and 15.
        std::istringstream fields(text.substr(text.rfind(')') + 2));
        std::string field;
        double utime = 0;
        double stime = 0;
        for (int i = 3; i <= 15 && fields >> field; ++i) {
            if (i == 14)
                utime = std::atof(field.c_str());
            if (i == 15)
                stime = std::atof(field.c_str());
        }
        seconds += (utime + stime) / tick;
    }
    return seconds;
}

struct TPeriods {
    double Median = 0;
    double Worst = 0;
    std::size_t Count = 0;
};

TPeriods Periods(std::vector<qint64> ends) {
    std::vector<double> periods;
    for (std::size_t i = 1; i < ends.size(); ++i)
        periods.push_back(static_cast<double>(ends[i] - ends[i - 1]) / 1e6);
    TPeriods p;
    p.Count = periods.size();
    if (periods.empty())
        return p;
    std::sort(periods.begin(), periods.end());
    p.Median = periods[periods.size() / 2];
    p.Worst = periods.back();
    return p;
}

// One plant: reads the whole map at its pace until told to stop.
struct TPlant {
    std::atomic<long> Answered{0};
    std::atomic<long> Failed{0};
    std::atomic<long long> RoundTripNs{0};

    void Run(std::uint16_t port, const std::atomic<bool>& stop) {
        setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 19);
        modbus_t* context = modbus_new_tcp("127.0.0.1", port);
        modbus_set_response_timeout(context, 2, 0);
        if (modbus_connect(context) != 0) {
            ++Failed;
            modbus_free(context);
            return;
        }
        std::uint16_t registers[33];
        auto next = std::chrono::steady_clock::now();
        const auto step = std::chrono::nanoseconds(1000000000 / kRequestsPerSecond);
        while (!stop) {
            next += step;
            const auto sent = std::chrono::steady_clock::now();
            if (modbus_read_input_registers(context, 0, 33, registers) == 33) {
                ++Answered;
                RoundTripNs += std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   std::chrono::steady_clock::now() - sent)
                                   .count();
            } else {
                // A reply that comes after libmodbus gave up would pass for
                // the next one's: drop it, as a plant's driver does.
                ++Failed;
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                modbus_flush(context);
            }
            // A plant that falls behind does not catch up in a burst.
            const auto now = std::chrono::steady_clock::now();
            if (next < now)
                next = now;
            std::this_thread::sleep_until(next);
        }
        modbus_close(context);
        modbus_free(context);
    }
};

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    app::TApplication application(argc, argv);
    platform::FormatSettings() = {'.', ','};
    int errors = 0;
    platform::SetMessageSink([&errors](const platform::TMessage& m) {
        ++errors;
        std::fprintf(stderr, "message: %s\n", m.Text.c_str());
    });

    app::TSimulatedKit kit(VAPCAL_SIM);
    app::SetSimulatedPort(kit.Port());
    QTemporaryDir dir;
    const std::string ini = dir.filePath("Vapcal.ini").toStdString();
    app::TfrmVapcalCalc window(ini);
    window.ExecPortDialog = [](app::TfrmComSelect&) { return app::mrOk; };
    app::TDahsFeed feed(window, ini, "mbtcp://127.0.0.1:0");
    std::vector<qint64> ends;
    QElapsedTimer clock;
    clock.start();
    const auto shown = window.LiveView->Monitor.OnPoll;
    window.LiveView->Monitor.OnPoll = [&] {
        shown();
        ends.push_back(clock.nsecsElapsed());
    };
    window.show();
    window.activateWindow();
    if (!QTest::qWaitForWindowActive(&window))
        std::fprintf(stderr, "dahs_load: the window did not become active\n");
    QTest::qWait(2000);  // the initial reads
    if (!window.ModbusConnection1->Active()) {
        std::fprintf(stderr, "dahs_load: the kit's port did not open\n");
        return 1;
    }

    ends.clear();
    QTest::qWait(seconds * 1000);
    const TPeriods quiet = Periods(ends);

    std::atomic<bool> stop{false};
    std::vector<TPlant> plants(kPlants);
    std::vector<std::thread> threads;
    const double serverBefore = ThreadCpuSeconds(regwire::TModbusTcpServer::kPeerThreadName) +
                                ThreadCpuSeconds(regwire::TModbusTcpServer::kAcceptThreadName);
    QElapsedTimer wall;
    wall.start();
    for (TPlant& plant : plants)
        threads.emplace_back(
            [&plant, &stop, port = feed.Server()->LocalPort()] { plant.Run(port, stop); });
    QTest::qWait(200);
    ends.clear();
    QTest::qWait(seconds * 1000);
    const TPeriods busy = Periods(ends);
    const double serverCpu = ThreadCpuSeconds(regwire::TModbusTcpServer::kPeerThreadName) +
                             ThreadCpuSeconds(regwire::TModbusTcpServer::kAcceptThreadName) -
                             serverBefore;
    const double busyWall = static_cast<double>(wall.nsecsElapsed()) / 1e9;
    stop = true;
    for (std::thread& t : threads)
        t.join();

    long answered = 0;
    long failed = 0;
    long long roundTrip = 0;
    for (const TPlant& plant : plants) {
        answered += plant.Answered;
        failed += plant.Failed;
        roundTrip += plant.RoundTripNs;
    }
    const double period = static_cast<double>(kit::kPollIntervalMs);
    std::printf("console polling the simulated kit, serving the plant's map (offscreen)\n");
    std::printf("  without plants: %zu polls, period median %.1f ms, worst %.1f ms\n", quiet.Count,
                quiet.Median, quiet.Worst);
    std::printf(
        "  with %d plants:  %zu polls, period median %.1f ms (%+.2f %%, goal within 2 %%), "
        "worst %.1f ms (%.2f periods, goal under 1.5)\n",
        kPlants, busy.Count, busy.Median,
        quiet.Median > 0 ? 100.0 * (busy.Median - quiet.Median) / quiet.Median : 0.0, busy.Worst,
        busy.Worst / period);
    std::printf(
        "  plants: %ld whole-map reads answered (%.0f/s of %d/s asked), %ld failed, "
        "mean round trip %.0f us\n",
        answered, answered / busyWall, kPlants * kRequestsPerSecond, failed,
        answered > 0 ? static_cast<double>(roundTrip) / static_cast<double>(answered) / 1e3 : 0.0);
    std::printf("  server threads: %.2f s CPU in %.1f s = %.1f %% of one core\n", serverCpu,
                busyWall, 100.0 * serverCpu / busyWall);
    std::printf("  errors shown: %d\n", errors);
    return errors == 0 && failed == 0 ? 0 : 1;
}
