// The simulated Vapcal kit: the three instruments of the kit answering as
// Modbus RTU servers on a pseudo-terminal, so the console and commissioning
// tools run with no hardware.
//
// The kit opens a pseudo-terminal pair and serves the master side with a
// connection of the project's Modbus library in server mode (9600 bit/s,
// 8 data bits, even parity, one stop bit, RTU); the console opens the slave
// side, whose path Start returns. The reservoir-flow controller answers at
// address 10, the dilution-flow controller at 11, the temperature controller
// at 20, and an analyser, when asked for, at its own address. Their readings move on the main
// thread's clock; the line may be made to lose or spoil a share of the replies.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "modbus/connection.h"
#include "sim/faults.h"
#include "sim/instruments.h"

namespace sim {

struct TKitOptions {
    float ReservoirCapacity = 20.0f;
    float DilutionCapacity = 20.0f;
    TFaultRates Faults;
    // The line speed the replies are paced at; 0 answers at once.
    std::uint32_t BitRate = 9600;
    std::uint32_t Seed = 1;
    // A network port to answer on instead of a pseudo-terminal:
    // tcp://HOST:PORT (RTU frames over TCP) or mbtcp://HOST:PORT (Modbus
    // TCP); port 0 takes any free one. Empty: a pseudo-terminal.
    std::string Listen;
    // The address of a mercury analyser on the same line (input registers
    // 0-1); 0: none.
    std::uint8_t AnalyzerAddress = 0;
    TAnalyzerResponse Analyzer;
};

class TSimKit : public QObject {
  public:
    static constexpr std::uint8_t kReservoirFlowAddress = 10;
    static constexpr std::uint8_t kDilutionFlowAddress = 11;
    static constexpr std::uint8_t kTemperatureAddress = 20;

    explicit TSimKit(const TKitOptions& options, QObject* owner = nullptr);
    ~TSimKit() override;

    // Accepted and refused writes of every instrument, one line each.
    TWriteLog OnWrite;
    TWriteLog OnRefusal;
    // What the line did to every request an instrument was addressed with.
    TFaultLog OnFault;

    // Opens the pseudo-terminal pair (or listens on the network port) and
    // starts answering; returns the path of the device the console opens
    // (the network port with the TCP port it took). Raises std::runtime_error
    // when the system has no pseudo-terminal to give, or the line cannot be
    // opened.
    std::string Start();

    TFlowController& ReservoirFlow() { return *FReservoirFlow; }
    TFlowController& DilutionFlow() { return *FDilutionFlow; }
    TTemperatureController& Temperature() { return *FTemperature; }
    // Null without an analyser.
    TAnalyzer* Analyzer() { return FAnalyzer.get(); }

  private:
    void OpenPseudoTerminal();
    void OpenConnection();
    void Step();
    double Delivered() const;
    std::vector<TSimInstrument*> Instruments();

    TKitOptions FOptions;
    TLineFaults FFaults;
    int FMaster = -1;
    int FSlave = -1;
    std::string FPath;
    std::unique_ptr<regwire::TModbusConnection> FConnection;
    std::unique_ptr<TFlowController> FReservoirFlow;
    std::unique_ptr<TFlowController> FDilutionFlow;
    std::unique_ptr<TTemperatureController> FTemperature;
    std::unique_ptr<TAnalyzer> FAnalyzer;
    QTimer FClock;
    QElapsedTimer FElapsed;
};

}  // namespace sim
