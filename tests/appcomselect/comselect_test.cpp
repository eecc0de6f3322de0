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
#include "platform/portdetails.h"
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

// The designed dialog, grown so that the whole prompt shows and the
// selected port's details fit below the list.
TEST_F(ComSelectTest, DialogShowsTheWholePromptAndEveryControlInside) {
    TfrmComSelect dialog(nullptr, {"/dev/ttyUSB0"});
    EXPECT_EQ(dialog.windowTitle(), "Select Port");
    EXPECT_EQ(dialog.Label2->text(), "Please choose an RS-485 serial port");
    EXPECT_LE(dialog.Label2->fontMetrics().horizontalAdvance(dialog.Label2->text()),
              dialog.Label2->width());
    EXPECT_GE(dialog.Label2->height(), dialog.Label2->fontMetrics().height());
    EXPECT_TRUE(dialog.Bevel1->geometry().contains(dialog.Label2->geometry()));
    EXPECT_EQ(dialog.OkBtn->text(), "OK");
    EXPECT_EQ(dialog.AbortBtn->text(), "Cancel");
    EXPECT_EQ(dialog.lblNetworkPort->text(), "or a network gateway:");
    EXPECT_EQ(dialog.edtNetworkPort->text(), "");
    const QWidget* controls[] = {dialog.Bevel1,     dialog.PortsComboBox,  dialog.btnRescan,
                                 dialog.lblDetails, dialog.lblNetworkPort, dialog.edtNetworkPort,
                                 dialog.OkBtn,      dialog.AbortBtn};
    for (const QWidget* control : controls) {
        EXPECT_TRUE(dialog.rect().contains(control->geometry()))
            << control->objectName().toStdString();
        for (const QWidget* other : controls)
            EXPECT_TRUE(control == other || !control->geometry().intersects(other->geometry()))
                << control->objectName().toStdString() << " overlaps "
                << other->objectName().toStdString();
    }
    EXPECT_TRUE(dialog.OkBtn->isDefault());
    EXPECT_FALSE(dialog.btnRescan->isDefault());
    EXPECT_FALSE(dialog.PortsComboBox->isEditable());
    EXPECT_FALSE(dialog.windowFlags() & Qt::WindowMinMaxButtonsHint);
    EXPECT_TRUE(dialog.windowFlags() & Qt::WindowCloseButtonHint);
}

// What the list says beside each device and below it for the selected one.
TEST_F(ComSelectTest, EachPortSaysWhatItIsAndWhatStandsInTheWay) {
    const platform::TPortDetails adapter{
        "FTDI", "FT232R USB UART", "A10K3XYZ",
        "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3XYZ-if00-port0"};
    struct Case {
        const char* device;
        platform::TPortAvailability availability;
        platform::TPortDetails details;
        const char* summary;
        const char* details_;
    };
    const Case cases[] = {
        {"/dev/ttyUSB0", platform::paFree, adapter, "/dev/ttyUSB0 \u2013 FTDI FT232R USB UART",
         "FTDI FT232R USB UART, serial number A10K3XYZ\n"
         "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3XYZ-if00-port0"},
        {"/dev/ttyUSB0", platform::paInUse, adapter,
         "/dev/ttyUSB0 \u2013 FTDI FT232R USB UART, in use by another program",
         "FTDI FT232R USB UART, serial number A10K3XYZ\n"
         "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3XYZ-if00-port0"},
        {"/dev/ttyUSB1",
         platform::paInUse,
         {},
         "/dev/ttyUSB1 \u2013 in use by this console's line",
         ""},
        {"/dev/ttyACM0",
         platform::paAccessDenied,
         {"", "CDC RS-485", "", ""},
         "/dev/ttyACM0 \u2013 CDC RS-485, no permission",
         "CDC RS-485, serial number none\nNo permission to open it: add your user to the dialout "
         "group (sudo adduser $USER dialout), then log in again."},
        {"/dev/pts/4",
         platform::paFree,
         {},
         "/dev/pts/4 \u2013 the simulated kit",
         "The simulated kit (vapcal-sim) answers on this pseudo-terminal."},
        {"/dev/ttyS0", platform::paFree, {}, "/dev/ttyS0", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.summary);
        const app::TPortEntry entry =
            app::DescribePort(c.device, c.availability, c.details, "/dev/pts/4", "/dev/ttyUSB1");
        EXPECT_EQ(entry.Device, c.device);
        EXPECT_EQ(entry.Summary, c.summary);
        EXPECT_EQ(entry.Details, c.details_);
    }
}

// A fake sysfs tree as Linux lays out a USB serial adapter: the tty's
// device is the USB interface, whose parent carries the adapter's strings.
TEST_F(ComSelectTest, DetailsOfAUsbAdapterComeFromSysfsAndTheByIdFolder) {
    namespace fs = std::filesystem;
    const fs::path root = fs::temp_directory_path() / ("vapcal-ports-" + std::to_string(getpid()));
    fs::remove_all(root);
    const fs::path usb = root / "sys/devices/pci0000:00/usb1/1-1";
    fs::create_directories(usb / "1-1:1.0/ttyUSB7");
    fs::create_directories(root / "sys/class/tty/ttyUSB7");
    fs::create_symlink(usb / "1-1:1.0", root / "sys/class/tty/ttyUSB7/device");
    for (const auto& [name, text] : {std::pair{"idVendor", "0403"},
                                     {"manufacturer", "FTDI"},
                                     {"product", "FT232R USB UART"},
                                     {"serial", "A10K3XYZ"}})
        std::ofstream(usb / name) << text << "\n";
    fs::create_directories(root / "dev/serial/by-id");
    std::ofstream(root / "dev/ttyUSB7").put('\0');
    fs::create_symlink("../../ttyUSB7",
                       root / "dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3XYZ-if00-port0");
    std::ofstream(root / "dev/ttyUSB8").put('\0');

    const platform::TPortDetailRoots roots{(root / "sys").string(),
                                           (root / "dev/serial/by-id").string()};
    const platform::TPortDetails details =
        platform::ReadPortDetails((root / "dev/ttyUSB7").string(), roots);
    EXPECT_EQ(details.Manufacturer, "FTDI");
    EXPECT_EQ(details.Product, "FT232R USB UART");
    EXPECT_EQ(details.SerialNumber, "A10K3XYZ");
    EXPECT_EQ(details.ById,
              (root / "dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3XYZ-if00-port0").string());
    // A port Linux says nothing of has no details, and no error.
    const platform::TPortDetails none =
        platform::ReadPortDetails((root / "dev/ttyUSB8").string(), roots);
    EXPECT_EQ(none.Manufacturer + none.Product + none.SerialNumber + none.ById, "");
    fs::remove_all(root);
}

// An adapter plugged in while the dialog is open is listed by List again,
// and the port selected before stays selected.
TEST_F(ComSelectTest, ListAgainFindsAPortThatCameAfterTheDialogOpened) {
    TPty simulated;
    app::SetSimulatedPort(simulated.Path);
    TfrmComSelect dialog(nullptr, {"/dev/ttyUSB0"});
    dialog.PortsComboBox->setCurrentIndex(0);
    EXPECT_EQ(dialog.SelectedPort(), "/dev/ttyUSB0");
    QTest::mouseClick(dialog.btnRescan, Qt::LeftButton);
    EXPECT_EQ(dialog.PortsComboBox->itemData(0).toString().toStdString(), simulated.Path);
    EXPECT_EQ(dialog.PortsComboBox->itemText(0).toStdString(),
              simulated.Path + " \u2013 the simulated kit");
    // The selected port is gone (no adapter here): the first port is taken.
    EXPECT_EQ(dialog.SelectedPort(), simulated.Path);
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
    EXPECT_TRUE(dialog.lblDetails->text().startsWith("No serial port found"));
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
