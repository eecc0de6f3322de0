// The kit on its line without a window, for vapcal-run: the three
// instruments' clients (and the analyser's, on the same line or its own
// port), the 500 ms poll feeding the live monitor, the limits read from the
// controllers, and Apply's confirmed set-point writes with the temperature
// controller's handshake.
#pragma once

#include <QElapsedTimer>
#include <QEventLoop>
#include <QObject>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "live/monitor.h"
#include "modbus/client.h"
#include "modbus/connection.h"
#include "run/engine.h"
#include "run/plan.h"

namespace run {

// The port cannot be opened, or the controllers' limits cannot be read.
class ELineError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The engine's clock on the system's monotonic clock and local time.
class TSystemClock : public TRunClock {
  public:
    TSystemClock() { FElapsed.start(); }
    qint64 Ms() const override { return FElapsed.elapsed(); }
    QDateTime Local() const override { return QDateTime::currentDateTime(); }

  private:
    QElapsedTimer FElapsed;
};

class TKitLine : public QObject, public TRunKit {
  public:
    static constexpr int kPollMs = 500;

    TKitLine(const std::string& port, const TAnalyzerPlan& analyzer, const TRunClock& clock);
    ~TKitLine() override;

    // Opens the kit's port (and the analyser's own); raises ELineError.
    void Open();
    // The controllers' capacities and set-point limits, and the set points
    // they hold now; raises ELineError naming what did not answer.
    TKitLimits ReadLimits(const TKitLimits& conditions);

    // The poll: every complete one goes to OnSample with the analyser's
    // reading of the same cycle; an incomplete one to OnLapse.
    void StartPolling();
    void StopPolling();
    std::function<void(const live::TLiveSample& sample, std::optional<double> analyzer)> OnSample;
    std::function<void()> OnLapse;
    // The targets each sample is judged against.
    std::function<live::TKitTargets()> Targets;

    void Apply(const TSetPoints& setPoints, std::function<void(const TApplyResult&)> done) override;

    live::TKitMonitor& Monitor() { return FMonitor; }

  private:
    struct TDone {
        regwire::TTransactionStatus Status = regwire::tsNoReply;
        regwire::TRegValues Values;
    };
    enum TWriteOutcome { woConfirmed, woRefused, woNotAnswered };

    regwire::TModbusClient* Client(std::uint8_t address, regwire::TModbusConnection& line);
    void Completed(regwire::TModbusClient* client, const regwire::TTransactionInfo& info,
                   std::uint16_t start, const regwire::TRegValues& values);
    std::optional<TDone> Wait(std::int32_t id);
    TDone ReadNow(regwire::TModbusClient* client, std::uint16_t reg, std::uint16_t count);
    TWriteOutcome WriteNow(regwire::TModbusClient* client, std::uint16_t reg, std::uint16_t value,
                           int pacingMs = 0);
    std::string WriteTemperature(double temperature);
    std::string WriteFlow(regwire::TModbusClient* client, const char* name, double flow,
                          float capacity, double& known);
    void Poll();
    int AnswerLimitMs() const;
    void Halt();

    std::string FPort;
    TAnalyzerPlan FAnalyzerPlan;
    const TRunClock& FClock;
    regwire::TModbusConnection FLine;
    std::unique_ptr<regwire::TModbusConnection> FAnalyzerLine;
    regwire::TModbusClient* FReservoir;
    regwire::TModbusClient* FDilution;
    regwire::TModbusClient* FTemperature;
    regwire::TModbusClient* FAnalyzer = nullptr;
    live::TKitMonitor FMonitor;
    QTimer FPoll;
    std::map<std::int32_t, TDone> FDone;
    std::int32_t FWaitingFor = -1;
    QEventLoop* FWaitLoop = nullptr;
    bool FSampled = false;
    float FReservoirCapacity = 0;
    float FDilutionCapacity = 0;
    double FKnownTemp = std::numeric_limits<double>::quiet_NaN();
    double FKnownFlow = std::numeric_limits<double>::quiet_NaN();
    double FKnownDilution = std::numeric_limits<double>::quiet_NaN();
    std::optional<double> FAnalyzerReading;
};

}  // namespace run
