// TfrmComSelect: the dialog in which the operator picks the serial port of
// the kit's RS-485 line, shown at every start and from the port button.
//
// Creating the dialog scans the machine's serial ports afresh and lists those
// present, the simulated kit's pseudo-terminal first when one runs; item 0 is
// selected. Each port shows what Linux knows of it beside its device name
// (a USB adapter's maker and product, the simulated kit, a port in use or
// without permission), and the selected one's details (serial number, its
// /dev/serial/by-id name, what to do about a missing permission) below the
// list. "List again" scans afresh, for an adapter plugged in meanwhile.
// The results are OK (OkBtn), Abort (AbortBtn) and Cancel (the close box);
// Escape does not close the dialog. After OK the caller takes SelectedPort()
// as the connection's port: the network gateway typed below the buttons when
// there is one, else the selected port's device name (empty when no port was
// found). OK with a gateway that is no network port name says so and keeps
// the dialog open.
#pragma once

#include <QDialog>
#include <string>
#include <vector>

class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;

#include "platform/portdetails.h"

namespace app {

// The environment variable in which `vapcal --simulate` names the simulated
// kit's port.
inline constexpr const char* kSimPortVariable = "VAPCAL_SIM_PORT";

// The modal results of the console's dialogs (Accepted is mrOk).
enum TModalResult { mrNone = 0, mrOk = 1, mrCancel = 2, mrAbort = 3 };

// True when the serial device can be had: an exclusive open succeeds, or the
// port is held by another program (or by the console's own connection). A
// port the operator may not open is listed too, so that opening it tells why.
// A /dev/ttyS* node without a UART behind it is absent. Nothing is configured
// on the port, and a port somebody holds is not touched.
bool ProbeComPort(const std::string& device);

// The devices probed, in list order: /dev/ttyUSB0..49, /dev/ttyACM0..49,
// /dev/ttyS0..49.
std::vector<std::string> ComPortCandidates();

// The simulated kit's port: the one set by SetSimulatedPort, else the
// environment variable's value; empty when no simulated kit runs.
std::string SimulatedPort();
void SetSimulatedPort(const std::string& device);

// The candidates present, in order, after the simulated port when it is
// present.
std::vector<std::string> ScanComPorts(const std::vector<std::string>& candidates,
                                      const std::string& simulatedPort);

// One port as the dialog lists it.
struct TPortEntry {
    std::string Device;   // what the connection opens
    std::string Summary;  // the list's line: the device and what it is
    std::string Details;  // the lines below the list for the selected port
};

// What the dialog says of `device`, probed as `availability` with the
// `details` Linux gave; `ownPort` is the port of the console's open line (in
// use by the console itself).
TPortEntry DescribePort(const std::string& device, platform::TPortAvailability availability,
                        const platform::TPortDetails& details, const std::string& simulatedPort,
                        const std::string& ownPort);

class TfrmComSelect : public QDialog {
  public:
    // Scans ComPortCandidates() and the simulated port.
    explicit TfrmComSelect(QWidget* owner = nullptr);
    // Lists exactly the given ports (already scanned) until List again;
    // `ownPort` is the port of the console's open line, if any.
    TfrmComSelect(QWidget* owner, const std::vector<std::string>& ports,
                  const std::string& ownPort = {});

    QFrame* Bevel1;
    QLabel* Label2;
    QComboBox* PortsComboBox;
    QPushButton* btnRescan;
    QLabel* lblDetails;
    QPushButton* OkBtn;
    QPushButton* AbortBtn;
    QLabel* lblNetworkPort;
    QLineEdit* edtNetworkPort;

    // The chosen port: the network gateway when one is typed, else the
    // listed port.
    std::string SelectedPort() const;
    // The network gateway field's text, without surrounding blanks.
    std::string NetworkPort() const;
    void SetNetworkPort(const std::string& port);
    // Scans the ports again and lists them, keeping the selection when its
    // port is still there.
    void btnRescanClick();

    // The close box ends the dialog with mrCancel.
    void reject() override;

  protected:
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void CreateControls();
    void FillPorts(const std::vector<std::string>& ports);
    // The selected entry's device, or the combo box's text for an item
    // without one.
    std::string ListedPort() const;
    void ShowDetails(int index);
    void OkBtnClick();

    std::string ownPort_;
};

}  // namespace app
