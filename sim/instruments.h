// The kit's three instruments as Modbus server objects: two EL-FLOW mass-flow
// controllers and the CAL 3300 temperature controller, with the registers
// the console reads and writes, and the way their readings move.
//
// Each instrument answers read holding registers (3), write single register
// (6) and write multiple registers (16). A register outside its map is an
// illegal address (exception 2) for reading and writing; a register of the
// map that is not writable refuses writes the same way; a value it cannot
// take is an illegal value (exception 3). Every accepted write is reported
// through OnWrite.
#pragma once

#include <cstdint>
#include <functional>
#include <random>
#include <set>
#include <string>

#include "modbus/memoryserver.h"
#include "sim/faults.h"

namespace sim {

// A write an instrument accepted, or one it refused.
using TWriteLog = std::function<void(const std::string& line)>;
// What the line did to one request: "<sequence> <server> <function> <fault>
// <request>", the sequence counting the kit's requests from 1, the fault by
// FaultName and the request frame as received in hexadecimal (checksum
// included), e.g. "7 10 3 no-reply 0a030020000184bb".
using TFaultLog = std::function<void(const std::string& line)>;

class TSimInstrument : public regwire::TMemoryModbusServer {
  public:
    TSimInstrument(std::uint8_t address, TLineFaults& faults, QObject* owner = nullptr);

    // One line per accepted write: "server 10: register 33 := 9600".
    TWriteLog OnWrite;
    // One line per refused write, with the reason.
    TWriteLog OnRefusal;
    // One line per request this instrument was addressed with, before it is
    // served.
    TFaultLog OnFault;

    // Advances the instrument's physics by seconds of time.
    virtual void Step(double seconds) = 0;

    // The request passes the line first: it may be lost, refused as busy, or
    // answered with a spoilt checksum or from another address.
    void HandleRequest(regwire::TModbusTransaction& transaction) override;

  protected:
    // Registers that exist and those a client may write.
    void Define(std::initializer_list<std::uint16_t> readable,
                std::initializer_list<std::uint16_t> writable);
    // A written value the instrument cannot take: the reason, or empty.
    virtual std::string Refusal(std::uint16_t address, std::uint16_t value) = 0;
    // After an accepted write has been stored.
    virtual void Written(std::uint16_t address, std::uint16_t value) = 0;

    bool AcceptsFunction(std::uint8_t function) override;
    bool IsHoldingRegisterValid(std::uint16_t address) override;
    regwire::TWriteCheck CheckHoldingRegisterWrite(std::uint16_t address,
                                                   std::uint16_t value) override;
    void SetHoldingRegister(std::uint16_t address, std::uint16_t value) override;

  private:
    void Report(const TWriteLog& log, const std::string& line) const;
    void ReportFault(const regwire::TModbusTransaction& transaction, TLineFault fault) const;
    void SpoilChecksum(regwire::TModbusBuffer& reply) const;
    void ReplyFromAnotherAddress(regwire::TModbusBuffer& reply) const;

    TLineFaults& FFaults;
    std::set<std::uint16_t> FReadable;
    std::set<std::uint16_t> FWritable;
};

// An EL-FLOW mass-flow controller: 32000 counts are the capacity.
class TFlowController : public TSimInstrument {
  public:
    static constexpr std::uint16_t kMeasured = 32;
    static constexpr std::uint16_t kSetPoint = 33;
    static constexpr std::uint16_t kControlMode = 34;
    static constexpr std::uint16_t kUnitIndex = 47;
    static constexpr std::uint16_t kCapacityHigh = 33128;
    static constexpr std::uint16_t kCapacityLow = 33129;
    static constexpr std::uint16_t kFullScale = 32000;
    // The measured flow follows the set point with this time constant.
    static constexpr double kTimeConstant = 2.0;

    TFlowController(std::uint8_t address, float capacity, std::uint16_t unitIndex,
                    std::uint16_t setPoint, TLineFaults& faults, std::uint32_t seed,
                    QObject* owner = nullptr);

    void Step(double seconds) override;

  protected:
    std::string Refusal(std::uint16_t address, std::uint16_t value) override;
    void Written(std::uint16_t, std::uint16_t) override {}

  private:
    double FMeasured;
    std::mt19937 FNoise;
};

// A CAL 3300 temperature controller, in tenths of a degree Celsius. The set
// point takes a write only in write mode: 768 := 5 then 5376 := 0 enter it,
// 768 := 6 leaves it (5632 := 0 completes the leaving).
class TTemperatureController : public TSimInstrument {
  public:
    static constexpr std::uint16_t kMeasured = 28;
    static constexpr std::uint16_t kSetPoint = 127;
    static constexpr std::uint16_t kUpperLimit = 148;
    static constexpr std::uint16_t kLowerLimit = 150;
    static constexpr std::uint16_t kWriteMode = 768;
    static constexpr std::uint16_t kEnterConfirm = 5376;
    static constexpr std::uint16_t kLeaveConfirm = 5632;
    static constexpr std::uint16_t kEnterRequest = 5;
    static constexpr std::uint16_t kLeaveRequest = 6;
    // How fast the reservoir heats or cools, in tenths of a degree a second.
    static constexpr double kRate = 5.0;

    enum THandshake { hsLocked, hsEntering, hsWriteMode, hsLeaving };

    TTemperatureController(std::uint8_t address, std::uint16_t temperature, TLineFaults& faults,
                           QObject* owner = nullptr);

    void Step(double seconds) override;
    THandshake Handshake() const { return FHandshake; }

  protected:
    std::string Refusal(std::uint16_t address, std::uint16_t value) override;
    void Written(std::uint16_t address, std::uint16_t value) override;

  private:
    double FMeasured;
    THandshake FHandshake = hsLocked;
};

// A mercury analyser sharing the kit's line: its reading (ng/l) is an IEEE
// single in input registers 0 and 1, high word first, read with function 4.
// It follows the concentration the kit delivers through a first-order lag,
// then its own gain, curvature, offset and measurement noise, as a real
// analyser being calibrated would: Gain x + Curve x^2 + Offset.
struct TAnalyzerResponse {
    double Gain = 1;
    double Curve = 0;       // per ng/l: bends the response away from a line
    double Offset = 0;      // ng/l
    double NoiseSD = 0;     // ng/l, one standard deviation
    double LagSeconds = 0;  // the first-order time constant; 0 follows at once
};

class TAnalyzer : public TSimInstrument {
  public:
    static constexpr std::uint16_t kReading = 0;  // and 1: high word, low word

    TAnalyzer(std::uint8_t address, const TAnalyzerResponse& response, TLineFaults& faults,
              std::uint32_t seed, QObject* owner = nullptr);

    // The concentration the kit delivers now (ng/l); NaN when its readings
    // give none, which the analyser does not follow.
    void Deliver(double concentration) { FDelivered = concentration; }
    void Step(double seconds) override;
    // The reading the registers hold now.
    float Reading() const { return FReading; }

  protected:
    bool AcceptsFunction(std::uint8_t function) override;
    bool IsInputRegisterValid(std::uint16_t address) override;
    std::string Refusal(std::uint16_t, std::uint16_t) override { return {}; }
    void Written(std::uint16_t, std::uint16_t) override {}

  private:
    void Show(float reading);

    TAnalyzerResponse FResponse;
    double FDelivered;
    double FFollowed;
    bool FStarted = false;
    float FReading = 0;
    std::mt19937 FNoise;
};

}  // namespace sim
