#include "app/comselect.h"

#include <linux/serial.h>
#include <sys/ioctl.h>

#include <QComboBox>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <cstdlib>

#include "app/messages.h"
#include "modbus/serialports.h"
#include "platform/msgsink.h"
#include "platform/posixserialdevice.h"

namespace app {

namespace {

// The families of serial devices, in the order they are listed: USB
// adapters (the usual RS-485 converters) first, the motherboard's UARTs last.
constexpr const char* kPortFamilies[] = {"/dev/ttyUSB", "/dev/ttyACM", "/dev/ttyS"};
constexpr int kPortsPerFamily = 50;

std::string& SimulatedPortOverride() {
    static std::string port;
    return port;
}

bool IsMotherboardUart(const std::string& device) {
    return device.rfind("/dev/ttyS", 0) == 0;
}

// The kernel makes /dev/ttyS0..3 (and more) whether or not a UART is fitted;
// opening such a node succeeds, and only the port type tells it is empty.
bool HasNoUart(int fd) {
    serial_struct info{};
    return ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type == PORT_UNKNOWN;
}

}  // namespace

bool ProbeComPort(const std::string& device) {
    if (device.empty())
        return false;
    try {
        auto port = platform::TPosixSerialDevice::Open(device);
        const bool present = !(IsMotherboardUart(device) && HasNoUart(port->Handle()));
        // The exclusive mark stays on a terminal after our close while
        // somebody else keeps it open (a pseudo-terminal's far end); the
        // console's own open must find it clear.
        ioctl(port->Handle(), TIOCNXCL);
        return present;
    } catch (const platform::ESerialError& e) {
        return e.Kind() == platform::sePortBusy || e.Kind() == platform::seAccessDenied;
    }
}

std::vector<std::string> ComPortCandidates() {
    std::vector<std::string> devices;
    for (const char* family : kPortFamilies)
        for (int n = 0; n < kPortsPerFamily; ++n)
            devices.push_back(family + std::to_string(n));
    return devices;
}

std::string SimulatedPort() {
    if (!SimulatedPortOverride().empty())
        return SimulatedPortOverride();
    const char* value = std::getenv(kSimPortVariable);
    return value != nullptr ? value : "";
}

void SetSimulatedPort(const std::string& device) {
    SimulatedPortOverride() = device;
}

std::vector<std::string> ScanComPorts(const std::vector<std::string>& candidates,
                                      const std::string& simulatedPort) {
    std::vector<std::string> ports;
    if (ProbeComPort(simulatedPort))
        ports.push_back(simulatedPort);
    for (const std::string& device : candidates)
        if (device != simulatedPort && ProbeComPort(device))
            ports.push_back(device);
    return ports;
}

// --- TfrmComSelect ---

TfrmComSelect::TfrmComSelect(QWidget* owner)
    : TfrmComSelect(owner, ScanComPorts(ComPortCandidates(), SimulatedPort())) {}

TfrmComSelect::TfrmComSelect(QWidget* owner, const std::vector<std::string>& ports)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                         Qt::WindowCloseButtonHint) {
    CreateControls();
    FillPorts(ports);
}

void TfrmComSelect::CreateControls() {
    setWindowTitle(kSelectPortCaption);
    setFixedSize(220, 176);
    QFont face("MS Sans Serif");
    face.setPixelSize(11);
    setFont(face);
    QPalette colours = palette();
    colours.setColor(QPalette::Window, colours.color(QPalette::Button));
    colours.setColor(QPalette::WindowText, Qt::black);
    setPalette(colours);

    Bevel1 = new QFrame(this);
    Bevel1->setObjectName("Bevel1");
    Bevel1->setFrameStyle(QFrame::Box | QFrame::Sunken);
    Bevel1->setGeometry(8, 8, 201, 47);

    Label2 = new QLabel(kSelectPortPrompt, this);
    Label2->setObjectName("Label2");
    Label2->setGeometry(21, 23, 172, 13);

    PortsComboBox = new QComboBox(this);
    PortsComboBox->setObjectName("PortsComboBox");
    PortsComboBox->setEditable(false);
    PortsComboBox->setGeometry(8, 64, 201, 21);

    OkBtn = new QPushButton(kOkCaption, this);
    OkBtn->setObjectName("OkBtn");
    OkBtn->setGeometry(8, 95, 85, 27);
    OkBtn->setDefault(true);
    connect(OkBtn, &QPushButton::clicked, this, [this] { OkBtnClick(); });

    AbortBtn = new QPushButton(kCancelCaption, this);
    AbortBtn->setObjectName("AbortBtn");
    AbortBtn->setGeometry(124, 95, 85, 27);
    AbortBtn->setAutoDefault(false);
    connect(AbortBtn, &QPushButton::clicked, this, [this] { done(mrAbort); });

    lblNetworkPort = new QLabel(kNetworkPortPrompt, this);
    lblNetworkPort->setObjectName("lblNetworkPort");
    lblNetworkPort->setGeometry(8, 131, 201, 13);

    edtNetworkPort = new QLineEdit(this);
    edtNetworkPort->setObjectName("edtNetworkPort");
    edtNetworkPort->setPlaceholderText(kNetworkPortHint);
    edtNetworkPort->setGeometry(8, 147, 201, 21);

    setTabOrder(OkBtn, AbortBtn);
    setTabOrder(AbortBtn, PortsComboBox);
    setTabOrder(PortsComboBox, edtNetworkPort);
    OkBtn->setFocus();
}

void TfrmComSelect::FillPorts(const std::vector<std::string>& ports) {
    for (const std::string& port : ports)
        PortsComboBox->addItem(QString::fromStdString(port));
    PortsComboBox->setCurrentIndex(ports.empty() ? -1 : 0);
}

std::string TfrmComSelect::SelectedPort() const {
    const std::string network = NetworkPort();
    return network.empty() ? PortsComboBox->currentText().toStdString() : network;
}

std::string TfrmComSelect::NetworkPort() const {
    return edtNetworkPort->text().trimmed().toStdString();
}

void TfrmComSelect::SetNetworkPort(const std::string& port) {
    edtNetworkPort->setText(QString::fromStdString(port));
}

void TfrmComSelect::OkBtnClick() {
    const std::string network = NetworkPort();
    if (!network.empty() && !regwire::IsNetworkPortName(network)) {
        std::string text = kNetworkPortInvalid;
        text.replace(text.find("%s"), 2, network);
        platform::ShowError(text);
        edtNetworkPort->setFocus();
        return;
    }
    done(mrOk);
}

void TfrmComSelect::reject() {
    done(mrCancel);
}

void TfrmComSelect::keyPressEvent(QKeyEvent* event) {
    // No button is the cancel button: Escape leaves the dialog open.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

}  // namespace app
