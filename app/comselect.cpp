#include "app/comselect.h"

#include <QComboBox>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <cstdlib>

#include "app/messages.h"
#include "modbus/serialports.h"
#include "platform/filltext.h"
#include "platform/msgsink.h"
#include "platform/portdetails.h"
#include "platform/serialdevice.h"

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

// The designed dialog, grown so that the whole prompt shows and the
// selected port's details have room below the list.
constexpr int kDialogWidth = 360;
constexpr int kDialogHeight = 211;

// "FTDI FT232R USB UART": what the adapter calls itself, maker first.
std::string AdapterName(const platform::TPortDetails& details) {
    if (details.Manufacturer.empty() || details.Product.empty())
        return details.Manufacturer + details.Product;
    return details.Manufacturer + " " + details.Product;
}

}  // namespace

bool ProbeComPort(const std::string& device) {
    return platform::ProbePort(device) != platform::paAbsent;
}

TPortEntry DescribePort(const std::string& device, platform::TPortAvailability availability,
                        const platform::TPortDetails& details, const std::string& simulatedPort,
                        const std::string& ownPort) {
    std::vector<std::string> what;
    std::vector<std::string> lines;
    if (device == simulatedPort) {
        what.push_back(kPortSimulated);
        lines.push_back(kPortSimulatedDetails);
    }
    if (const std::string adapter = AdapterName(details); !adapter.empty()) {
        what.push_back(adapter);
        lines.push_back(platform::FillText(
            kPortUsbDetails,
            {adapter, details.SerialNumber.empty() ? kPortNoSerialNumber : details.SerialNumber}));
    }
    if (!details.ById.empty())
        lines.push_back(details.ById);
    if (availability == platform::paInUse) {
        what.push_back(device == ownPort ? kPortInUseHere : kPortInUse);
    } else if (availability == platform::paAccessDenied) {
        what.push_back(kPortNoPermission);
        lines.push_back(
            platform::FillText(kPortNoPermissionDetails, {platform::SAccessDeniedAdvice}));
    }
    std::string summary = device;
    for (size_t i = 0; i < what.size(); ++i)
        summary =
            i == 0 ? platform::FillText(kPortSummary, {device, what[0]}) : summary + ", " + what[i];
    std::string joined;
    for (const std::string& line : lines)
        joined += (joined.empty() ? "" : "\n") + line;
    return {device, summary, joined};
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

TfrmComSelect::TfrmComSelect(QWidget* owner, const std::vector<std::string>& ports,
                             const std::string& ownPort)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                         Qt::WindowCloseButtonHint),
      ownPort_(ownPort) {
    CreateControls();
    FillPorts(ports);
}

void TfrmComSelect::CreateControls() {
    setWindowTitle(kSelectPortCaption);
    setFixedSize(kDialogWidth, kDialogHeight);
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
    Bevel1->setGeometry(8, 8, 344, 33);

    Label2 = new QLabel(kSelectPortPrompt, this);
    Label2->setObjectName("Label2");
    Label2->setGeometry(16, 16, 328, 17);

    PortsComboBox = new QComboBox(this);
    PortsComboBox->setObjectName("PortsComboBox");
    PortsComboBox->setEditable(false);
    PortsComboBox->setGeometry(8, 50, 256, 23);
    connect(PortsComboBox, &QComboBox::currentIndexChanged, this,
            [this](int index) { ShowDetails(index); });

    btnRescan = new QPushButton(QString::fromUtf8(kRescanCaption), this);
    btnRescan->setObjectName("btnRescan");
    btnRescan->setToolTip(kRescanHint);
    btnRescan->setGeometry(270, 49, 82, 25);
    btnRescan->setAutoDefault(false);
    connect(btnRescan, &QPushButton::clicked, this, [this] { btnRescanClick(); });

    lblDetails = new QLabel(this);
    lblDetails->setObjectName("lblDetails");
    lblDetails->setGeometry(8, 80, 344, 46);
    lblDetails->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    lblDetails->setWordWrap(true);
    lblDetails->setTextInteractionFlags(Qt::TextSelectableByMouse);

    OkBtn = new QPushButton(kOkCaption, this);
    OkBtn->setObjectName("OkBtn");
    OkBtn->setGeometry(8, 176, 85, 27);
    OkBtn->setDefault(true);
    connect(OkBtn, &QPushButton::clicked, this, [this] { OkBtnClick(); });

    AbortBtn = new QPushButton(kCancelCaption, this);
    AbortBtn->setObjectName("AbortBtn");
    AbortBtn->setGeometry(267, 176, 85, 27);
    AbortBtn->setAutoDefault(false);
    connect(AbortBtn, &QPushButton::clicked, this, [this] { done(mrAbort); });

    lblNetworkPort = new QLabel(kNetworkPortPrompt, this);
    lblNetworkPort->setObjectName("lblNetworkPort");
    lblNetworkPort->setGeometry(8, 130, 344, 13);

    edtNetworkPort = new QLineEdit(this);
    edtNetworkPort->setObjectName("edtNetworkPort");
    edtNetworkPort->setPlaceholderText(kNetworkPortHint);
    edtNetworkPort->setGeometry(8, 146, 344, 21);

    setTabOrder(OkBtn, AbortBtn);
    setTabOrder(AbortBtn, PortsComboBox);
    setTabOrder(PortsComboBox, btnRescan);
    setTabOrder(btnRescan, edtNetworkPort);
    OkBtn->setFocus();
}

void TfrmComSelect::FillPorts(const std::vector<std::string>& ports) {
    PortsComboBox->clear();
    const std::string simulated = SimulatedPort();
    for (const std::string& port : ports) {
        const TPortEntry entry = DescribePort(port, platform::ProbePort(port),
                                              platform::ReadPortDetails(port), simulated, ownPort_);
        PortsComboBox->addItem(QString::fromStdString(entry.Summary),
                               QString::fromStdString(entry.Device));
        PortsComboBox->setItemData(PortsComboBox->count() - 1,
                                   QString::fromStdString(entry.Details), Qt::ToolTipRole);
    }
    PortsComboBox->setCurrentIndex(ports.empty() ? -1 : 0);
    ShowDetails(PortsComboBox->currentIndex());
}

void TfrmComSelect::ShowDetails(int index) {
    if (index < 0) {
        lblDetails->setText(PortsComboBox->count() == 0 ? kPortNoPorts : "");
        return;
    }
    lblDetails->setText(PortsComboBox->itemData(index, Qt::ToolTipRole).toString());
}

std::string TfrmComSelect::SelectedPort() const {
    const std::string network = NetworkPort();
    return network.empty() ? ListedPort() : network;
}

std::string TfrmComSelect::ListedPort() const {
    const QVariant device = PortsComboBox->currentData();
    return (device.isValid() ? device.toString() : PortsComboBox->currentText()).toStdString();
}

void TfrmComSelect::btnRescanClick() {
    const std::string selected = ListedPort();
    FillPorts(ScanComPorts(ComPortCandidates(), SimulatedPort()));
    const int again = PortsComboBox->findData(QString::fromStdString(selected));
    if (again >= 0)
        PortsComboBox->setCurrentIndex(again);
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
