// TSoakLedger: the soak's book of transactions. Every request queued is
// entered with what it asks for; every completion the client raises is
// entered against it. At the end the ledger holds the outcomes against the
// kit's fault log: each attempt the client made must be one request the kit
// saw, in order, and each transaction must have ended with the status its
// faults call for.
//
// The book is sized for the whole run when it is made, so the soak's own
// bookkeeping does not grow while the memory of the run is watched.
#pragma once

#include <cstdint>
#include <istream>
#include <map>
#include <string>
#include <vector>

#include "modbus/transaction.h"

namespace soak {

// One request of the soak: its server, function code and the two 16-bit
// fields after the function code (register and count, or register and
// value), which make it recognisable in the fault log.
struct TRequestPlan {
    std::uint8_t Server = 0;
    std::uint8_t Function = 0;
    std::uint16_t First = 0;
    std::uint16_t Second = 0;
    // Sends at most (the client's MaxSends); 0: the connection's MaxRetries.
    std::uint32_t Sends = 0;
};

// What the correlation found, for the summary.
struct TSoakCounts {
    int Queued = 0;
    int Completed = 0;  // transactions that ended exactly once
    int Lost = 0;       // queued, never ended
    int Doubled = 0;    // ended more than once
    int Unknown = 0;    // completions for no queued transaction
    long Attempts = 0;  // sends the client reported
    long KitRequests = 0;
    long UnseenAttempts = 0;             // sends the kit has no request for
    long UnaccountedRequests = 0;        // requests the kit saw that no send explains
    std::map<std::string, long> Faults;  // by fault name, every attempt
    std::map<regwire::TTransactionStatus, int> Statuses;  // final statuses
    std::map<std::uint8_t, int> LimitEvents;              // per server, as raised
    std::map<std::uint8_t, int> ExpectedLimitEvents;      // per server, as the counts call for
};

class TSoakLedger {
  public:
    // Room for transactions 0 to count - 1, the identifiers a fresh
    // connection gives out.
    TSoakLedger(int count, std::uint32_t maxRetries, std::int32_t maxConsecutiveTimeouts);

    // --- During the run, on the main thread ---
    void Queued(std::int32_t id, const TRequestPlan& plan);
    // The general completion (OnTransactionProcessed).
    void Completed(const regwire::TTransactionInfo& info, std::uint8_t command);
    // The function-specific completion; valuesFit tells whether a successful
    // read brought as many values as it asked for.
    void FunctionCompleted(const regwire::TTransactionInfo& info, bool valuesFit);
    void LimitExceeded(std::uint8_t server);

    int QueuedCount() const { return FQueued; }
    int CompletedCount() const { return FCompletions; }

    // --- After the run: holds the outcomes against the kit's fault log and
    // returns the counts; Problems() then lists every mismatch. ---
    TSoakCounts Check(std::istream& faultLog);
    const std::vector<std::string>& Problems() const { return FProblems; }

  private:
    struct TEntry {
        bool Queued = false;
        TRequestPlan Plan;
        int Completions = 0;
        int FunctionCompletions = 0;
        regwire::TTransactionInfo Info;
        std::uint8_t Command = 0;
    };
    // One line of the fault log.
    struct TKitRequest {
        long Sequence = 0;
        int Server = 0;
        int Function = 0;
        std::string Fault;
        std::string Frame;
    };

    void Problem(const std::string& text);
    void CheckEndings(TSoakCounts& counts);
    void CheckAgainstFaults(std::istream& faultLog, TSoakCounts& counts);
    void CheckTransaction(std::int32_t id, const TEntry& entry,
                          const std::vector<TKitRequest>& requests, std::size_t& next,
                          TSoakCounts& counts);
    void CheckFinalStatus(std::int32_t id, const TEntry& entry, const TKitRequest& last);
    void CountLimitEvents(TSoakCounts& counts) const;
    std::uint32_t SendsOf(const TEntry& entry) const;

    std::uint32_t FMaxRetries;
    std::int32_t FMaxConsecutiveTimeouts;
    TEntry* Find(std::int32_t id);

    std::vector<TEntry> FEntries;  // by TransactionID
    int FQueued = 0;
    int FCompletions = 0;
    std::int32_t FLastCompleted = -1;
    int FUnknown = 0;
    std::map<std::uint8_t, int> FLimitEvents;
    std::vector<std::string> FProblems;
};

// The fingerprint of a request in the fault log: the frame's first six bytes
// (server, function, the two fields) in lower-case hexadecimal.
std::string Fingerprint(const TRequestPlan& plan);

}  // namespace soak
