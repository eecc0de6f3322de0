// The port dialog and its probe, on real pseudo-terminals and the offscreen
// platform.
#include "app/comselect.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/serial.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "platform/msgsink.h"
#include "platform/posixserialdevice.h"

namespace {

using app::TfrmComSelect;

// One pseudo-terminal pair; the slave's path is what a program opens.
struct TPty {
    int Master = -1;
    std::string Path;
    TPty() {
        int slave = -1;
        char name[128];
        if (openpty(&Master, &slave, name, nullptr, nullptr) == 0) {
            Path = name;
            close(slave);
        }
    }
    ~TPty() { close(Master); }
};

constexpr const char* kMissing = "/dev/ttyVapcalMissing7";

class ComSelectTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "appcomselect_tests";
        static char* argv[] = {name, nullptr};
        if (QCoreApplication::instance() == nullptr)
            new QApplication(argc, argv);
    }
    void TearDown() override {
        app::SetSimulatedPort("");
        unsetenv(app::kSimPortVariable);
    }

    // Shows the dialog and waits until it is the active window.
    static void ShowActive(TfrmComSelect& dialog) {
        dialog.show();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
    }
};

TEST_F(ComSelectTest, ProbeFindsAFreePseudoTerminal) {
    TPty pty;
    ASSERT_FALSE(pty.Path.empty());
    EXPECT_TRUE(app::ProbeComPort(pty.Path));
}

TEST_F(ComSelectTest, ProbeCountsAPortHeldByAnotherProgramAsPresentAndLeavesItAlone) {
    TPty pty;
    auto holder = platform::TPosixSerialDevice::Open(pty.Path);
    holder->ApplySettings({});
    EXPECT_TRUE(app::ProbeComPort(pty.Path));
    // The holder's line still works.
    ASSERT_EQ(write(pty.Master, "ok", 2), 2);
    ASSERT_TRUE(holder->WaitForInput(1000));
    uint8_t got[2] = {};
    EXPECT_TRUE(holder->Read(got, 2));
    EXPECT_EQ(got[0], 'o');
}

TEST_F(ComSelectTest, ProbeLeavesThePortFreeForTheConsolesOwnOpen) {
    TPty pty;
    ASSERT_TRUE(app::ProbeComPort(pty.Path));
    EXPECT_NO_THROW(platform::TPosixSerialDevice::Open(pty.Path));
}

TEST_F(ComSelectTest, ProbeReportsAbsentForWhatIsNoSerialPort) {
    const std::string file = testing::TempDir() + "vapcal_not_a_port";
    { std::ofstream(file) << "x"; }
    for (const std::string& device :
         {std::string(kMissing), std::string("/dev/null"), file, std::string()})
        EXPECT_FALSE(app::ProbeComPort(device)) << device;
    std::filesystem::remove(file);
}

// Most machines have /dev/ttyS nodes without a UART; those are not ports.
TEST_F(ComSelectTest, ProbeSkipsMotherboardNodesWithoutAUart) {
    int checked = 0;
    for (int n = 0; n < 50; ++n) {
        const std::string device = "/dev/ttyS" + std::to_string(n);
        const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0)
            continue;
        serial_struct info{};
        const bool empty = ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type == PORT_UNKNOWN;
        close(fd);
        if (!empty)
            continue;
        EXPECT_FALSE(app::ProbeComPort(device)) << device;
        ++checked;
    }
    if (checked == 0)
        GTEST_SKIP() << "no /dev/ttyS node without a UART on this machine";
}

TEST_F(ComSelectTest, CandidatesAreTheThreeFamiliesInAscendingOrder) {
    const auto devices = app::ComPortCandidates();
    ASSERT_EQ(devices.size(), 150u);
    EXPECT_EQ(devices[0], "/dev/ttyUSB0");
    EXPECT_EQ(devices[2], "/dev/ttyUSB2");
    EXPECT_EQ(devices[12], "/dev/ttyUSB12");
    EXPECT_EQ(devices[49], "/dev/ttyUSB49");
    EXPECT_EQ(devices[50], "/dev/ttyACM0");
    EXPECT_EQ(devices[100], "/dev/ttyS0");
    EXPECT_EQ(devices[149], "/dev/ttyS49");
}

TEST_F(ComSelectTest, ScanListsPresentPortsInOrderWithTheSimulatedKitFirst) {
    TPty first, held, simulated;
    auto holder = platform::TPosixSerialDevice::Open(held.Path);
    const std::vector<std::string> candidates = {first.Path, kMissing, held.Path};
    EXPECT_EQ(app::ScanComPorts(candidates, simulated.Path),
              (std::vector<std::string>{simulated.Path, first.Path, held.Path}));
    EXPECT_EQ(app::ScanComPorts(candidates, ""), (std::vector<std::string>{first.Path, held.Path}));
    // A simulated kit that no longer runs is not offered; one that is also a
    // candidate is listed once.
    EXPECT_EQ(app::ScanComPorts(candidates, kMissing),
              (std::vector<std::string>{first.Path, held.Path}));
    EXPECT_EQ(app::ScanComPorts(candidates, held.Path),
              (std::vector<std::string>{held.Path, first.Path}));
}

TEST_F(ComSelectTest, SimulatedPortComesFromTheSetterBeforeTheEnvironment) {
    EXPECT_EQ(app::SimulatedPort(), "");
    setenv(app::kSimPortVariable, "/dev/pts/77", 1);
    EXPECT_EQ(app::SimulatedPort(), "/dev/pts/77");
    app::SetSimulatedPort("/dev/pts/78");
    EXPECT_EQ(app::SimulatedPort(), "/dev/pts/78");
}

TEST_F(ComSelectTest, DialogOffersTheSimulatedKitFirstAndSelectsIt) {
    TPty simulated;
    app::SetSimulatedPort(simulated.Path);
    TfrmComSelect dialog;
    ASSERT_GE(dialog.PortsComboBox->count(), 1);
    EXPECT_EQ(dialog.PortsComboBox->currentIndex(), 0);
    EXPECT_EQ(dialog.SelectedPort(), simulated.Path);
}

TEST_F(ComSelectTest, DialogHasTheDesignedLayout) {
    TfrmComSelect dialog(nullptr, {"/dev/ttyUSB0"});
    EXPECT_EQ(dialog.windowTitle(), "Select Port");
    EXPECT_EQ(dialog.size(), QSize(220, 176));
    EXPECT_EQ(dialog.Label2->text(), "Please choose an RS-485 serial port");
    EXPECT_EQ(dialog.OkBtn->text(), "OK");
    EXPECT_EQ(dialog.AbortBtn->text(), "Cancel");
    EXPECT_EQ(dialog.Bevel1->geometry(), QRect(8, 8, 201, 47));
    EXPECT_EQ(dialog.Label2->geometry(), QRect(21, 23, 172, 13));
    EXPECT_EQ(dialog.PortsComboBox->geometry(), QRect(8, 64, 201, 21));
    EXPECT_EQ(dialog.OkBtn->geometry(), QRect(8, 95, 85, 27));
    EXPECT_EQ(dialog.AbortBtn->geometry(), QRect(124, 95, 85, 27));
    EXPECT_EQ(dialog.lblNetworkPort->text(), "or a network gateway:");
    EXPECT_EQ(dialog.lblNetworkPort->geometry(), QRect(8, 131, 201, 13));
    EXPECT_EQ(dialog.edtNetworkPort->geometry(), QRect(8, 147, 201, 21));
    EXPECT_EQ(dialog.edtNetworkPort->text(), "");
    EXPECT_TRUE(dialog.OkBtn->isDefault());
    EXPECT_FALSE(dialog.PortsComboBox->isEditable());
    EXPECT_FALSE(dialog.windowFlags() & Qt::WindowMinMaxButtonsHint);
    EXPECT_TRUE(dialog.windowFlags() & Qt::WindowCloseButtonHint);
}

TEST_F(ComSelectTest, TabGoesFromOkToCancelToTheList) {
    TfrmComSelect dialog(nullptr, {"/dev/ttyUSB0"});
    ShowActive(dialog);
    dialog.OkBtn->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), dialog.AbortBtn);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), dialog.PortsComboBox);
}

TEST_F(ComSelectTest, AnEmptyListSelectsNothingAndOkYieldsAnEmptyPort) {
    TfrmComSelect dialog(nullptr, {});
    EXPECT_EQ(dialog.PortsComboBox->count(), 0);
    EXPECT_EQ(dialog.PortsComboBox->currentIndex(), -1);
    ShowActive(dialog);
    QTest::mouseClick(dialog.OkBtn, Qt::LeftButton);
    EXPECT_EQ(dialog.result(), app::mrOk);
    EXPECT_EQ(dialog.SelectedPort(), "");
}

TEST_F(ComSelectTest, ATypedGatewayIsThePortAndAWrongOneIsSaidAndKeepsTheDialogOpen) {
    struct Case {
        const char* typed;
        int result;
        std::string port;
    };
    const Case cases[] = {
        {"", app::mrOk, "/dev/ttyUSB0"},
        {"  tcp://192.0.2.7:4001 ", app::mrOk, "tcp://192.0.2.7:4001"},
        {"mbtcp://[::1]", app::mrOk, "mbtcp://[::1]"},
        {"tcp://gateway", app::mrOk, "tcp://gateway"},
        {"192.0.2.7:502", app::mrNone, ""},
        {"tcp://gateway:70000", app::mrNone, ""},
        {"mbtcp://", app::mrNone, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        std::vector<std::string> said;
        const platform::TMessageSink before = platform::SetMessageSink(
            [&](const platform::TMessage& message) { said.push_back(message.Text); });
        TfrmComSelect dialog(nullptr, {"/dev/ttyUSB0"});
        dialog.SetNetworkPort(c.typed);
        ShowActive(dialog);
        QTimer::singleShot(0, &dialog, [&] { QTest::mouseClick(dialog.OkBtn, Qt::LeftButton); });
        QTimer::singleShot(400, &dialog, [&] { dialog.done(app::mrNone); });
        EXPECT_EQ(dialog.exec(), c.result);
        platform::SetMessageSink(before);
        if (c.result == app::mrOk) {
            EXPECT_EQ(dialog.SelectedPort(), c.port);
            EXPECT_TRUE(said.empty());
        } else {
            ASSERT_EQ(said.size(), 1u);
            EXPECT_NE(said[0].find(std::string("'") + c.typed + "' is not a network gateway"),
                      std::string::npos)
                << said[0];
        }
    }
}

// How the dialog ends, and with which result.
struct TEnding {
    const char* Name;
    void (*End)(TfrmComSelect&);
    int Result;
};

class ComSelectEndingTest : public ComSelectTest, public ::testing::WithParamInterface<TEnding> {};

TEST_P(ComSelectEndingTest, EndsWithItsModalResult) {
    TfrmComSelect dialog(nullptr, {"/dev/ttyUSB0", "/dev/ttyUSB3", "/dev/ttyUSB12"});
    ShowActive(dialog);
    QTimer::singleShot(0, &dialog, [&] { GetParam().End(dialog); });
    QTimer::singleShot(400, &dialog, [&] { dialog.done(app::mrNone); });
    const int result = dialog.exec();
    EXPECT_EQ(result, GetParam().Result);
    EXPECT_EQ(dialog.SelectedPort(), "/dev/ttyUSB0");
}

INSTANTIATE_TEST_SUITE_P(
    Endings, ComSelectEndingTest,
    ::testing::Values(
        TEnding{"OkButton", [](TfrmComSelect& d) { QTest::mouseClick(d.OkBtn, Qt::LeftButton); },
                app::mrOk},
        TEnding{"EnterTakesTheDefaultButton",
                [](TfrmComSelect& d) { QTest::keyClick(&d, Qt::Key_Return); }, app::mrOk},
        TEnding{"CancelButtonAborts",
                [](TfrmComSelect& d) { QTest::mouseClick(d.AbortBtn, Qt::LeftButton); },
                app::mrAbort},
        TEnding{"CloseBoxCancels", [](TfrmComSelect& d) { d.close(); }, app::mrCancel},
        // Escape leaves the dialog open; the guard timer ends it with mrNone.
        TEnding{"EscapeDoesNotClose", [](TfrmComSelect& d) { QTest::keyClick(&d, Qt::Key_Escape); },
                app::mrNone}),
    [](const ::testing::TestParamInfo<TEnding>& info) { return info.param.Name; });

}  // namespace
