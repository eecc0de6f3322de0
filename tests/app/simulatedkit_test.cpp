// vapcal --simulate's kit: found beside the console or in the build tree,
// started until it names its port, its write log passed on, stopped at the
// end.
#include "app/simulatedkit.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <string>
#include <vector>

#include "app/comselect.h"
#include "modbus/client.h"
#include "modbus/connection.h"
#include "testapp.h"

namespace {

const QString kSimulator = VAPCAL_SIM;

TEST(SimulatedKit, IsFoundBesideTheConsoleOrInTheBuildTreesSimFolder) {
    const QFileInfo program(kSimulator);
    const std::string simDir = program.absolutePath().toStdString();
    const std::string appDir = (program.absolutePath() + "/../app").toStdString();
    EXPECT_EQ(app::LocateSimulatedKit(simDir), program.canonicalFilePath().toStdString());
    EXPECT_EQ(app::LocateSimulatedKit(appDir), program.canonicalFilePath().toStdString());

    QTemporaryDir empty;
    try {
        app::LocateSimulatedKit(empty.path().toStdString());
        ADD_FAILURE() << "found in an empty folder";
    } catch (const app::ESimulatedKitError& error) {
        EXPECT_EQ(
            std::string(error.what()),
            "The simulated kit (vapcal-sim) was not found beside " + empty.path().toStdString());
    }
}

TEST(SimulatedKit, NamesItsPortLogsWritesAndStopsWithTheConsole) {
    App();
    std::vector<std::string> lines;
    int terminal = -1;
    {
        app::TSimulatedKit kit(kSimulator.toStdString());
        const std::string port = kit.Port();
        kit.OnLine = [&lines](const std::string& line) { lines.push_back(line); };
        EXPECT_TRUE(app::ProbeComPort(port));
        // Held open to see the kit's end: the path itself may name another
        // program's new terminal by then.
        terminal = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(terminal, 0);

        regwire::TModbusConnection line;
        line.SetCustomBaudRate(9600);
        line.SetPort(port);
        line.Open();
        regwire::TModbusClient client;
        client.SetServerAddress(10);
        client.SetConnection(&line);
        client.WriteSingleRegister(34, 400);
        ASSERT_TRUE(QTest::qWaitFor([&lines] { return !lines.empty(); }, 5000));
        EXPECT_EQ(lines[0], "server 10: register 34 := 400");
    }
    pollfd hangUp{terminal, POLLIN, 0};
    EXPECT_EQ(poll(&hangUp, 1, 0), 1);
    EXPECT_TRUE(hangUp.revents & POLLHUP) << "the kit's terminal outlived it";
    close(terminal);
}

TEST(SimulatedKit, AProgramThatNamesNoPortIsRefused) {
    App();
    EXPECT_THROW(app::TSimulatedKit("/bin/true"), app::ESimulatedKitError);
    EXPECT_THROW(app::TSimulatedKit("/nonexistent/vapcal-sim"), app::ESimulatedKitError);
    EXPECT_THROW(app::TSimulatedKit(kSimulator.toStdString(), {"--bit-rate=x"}),
                 app::ESimulatedKitError);
}

}  // namespace
