// TLineFaults: the share of requests the simulated kit answers badly, drawn
// afresh for every request, as a noisy RS-485 line would.
#pragma once

#include <cstdint>
#include <random>

namespace sim {

enum TLineFault {
    lfNone,          // a proper reply
    lfNoReply,       // the request is lost: not served, not answered
    lfBadCrc,        // served, but the reply's checksum is spoilt
    lfWrongAddress,  // served, but the reply comes from another address
    lfException,     // not served; answered with exception 6 (server busy)
};

// The fault's name in the fault log: "none", "no-reply", "bad-crc",
// "wrong-address", "exception".
const char* FaultName(TLineFault fault);

// Percentages of each fault, 0 to 100 each and at most 100 together.
struct TFaultRates {
    double NoReply = 0;
    double BadCrc = 0;
    double WrongAddress = 0;
    double Exception = 0;

    double Total() const { return NoReply + BadCrc + WrongAddress + Exception; }
    bool Valid() const;
};

class TLineFaults {
  public:
    TLineFaults(const TFaultRates& rates, std::uint32_t seed) : FRates(rates), FRandom(seed) {}
    // The fault for the next request.
    TLineFault Draw();
    // Requests drawn for so far: the sequence number of the last one, from 1.
    std::uint64_t Drawn() const { return FDrawn; }

  private:
    TFaultRates FRates;
    std::mt19937 FRandom;
    std::uint64_t FDrawn = 0;
};

}  // namespace sim
