#include "ledger.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <sstream>

namespace soak {

using namespace regwire;

namespace {

// Faults that spoil an attempt: the thread sends again while retries last.
const std::set<std::string> kFailedAttempt = {"no-reply", "bad-crc", "wrong-address"};
// The exception the kit answers a busy request with (server device busy).
constexpr std::uint8_t kServerBusy = 6;

std::string StatusName(TTransactionStatus status) {
    static const char* const names[] = {"tsNoReply",  "tsBadFrame",  "tsWrongServer",
                                        "tsBadReply", "tsException", "tsSuccess"};
    return status <= tsSuccess ? names[status] : "status " + std::to_string(int(status));
}

std::string Transaction(std::int32_t id) {
    return "transaction " + std::to_string(id);
}

// "transaction 7 (tsNoReply after 3 attempts)".
std::string Outcome(std::int32_t id, const TTransactionInfo& info) {
    return Transaction(id) + " (" + StatusName(info.Status) + " after " +
           std::to_string(info.Attempts) + " attempts)";
}

// The final statuses a last attempt's fault allows.
std::set<TTransactionStatus> StatusesFor(const std::string& fault) {
    if (fault == "none")
        return {tsSuccess};
    if (fault == "exception")
        return {tsException};
    if (fault == "no-reply")
        return {tsNoReply};
    if (fault == "bad-crc")
        return {tsBadFrame};
    // A foreign reply does not end the wait: the attempt ends when the time
    // is up, with nothing more heard, or on the foreign reply itself when it
    // filled the whole wait.
    if (fault == "wrong-address")
        return {tsNoReply, tsWrongServer};
    return {};
}

}  // namespace

std::string Fingerprint(const TRequestPlan& plan) {
    char text[13];
    std::snprintf(text, sizeof text, "%02x%02x%04x%04x", plan.Server, plan.Function, plan.First,
                  plan.Second);
    return text;
}

TSoakLedger::TSoakLedger(int count, std::uint32_t maxRetries, std::int32_t maxConsecutiveTimeouts)
    : FMaxRetries(maxRetries),
      FMaxConsecutiveTimeouts(maxConsecutiveTimeouts),
      FEntries(static_cast<std::size_t>(count)) {}

TSoakLedger::TEntry* TSoakLedger::Find(std::int32_t id) {
    if (id < 0 || static_cast<std::size_t>(id) >= FEntries.size())
        return nullptr;
    return &FEntries[static_cast<std::size_t>(id)];
}

void TSoakLedger::Problem(const std::string& text) {
    FProblems.push_back(text);
}

// --- During the run ---

void TSoakLedger::Queued(std::int32_t id, const TRequestPlan& plan) {
    TEntry* entry = Find(id);
    if (entry == nullptr || entry->Queued) {
        Problem(Transaction(id) + ": identifier given out twice or beyond the run");
        return;
    }
    entry->Queued = true;
    entry->Plan = plan;
    ++FQueued;
}

void TSoakLedger::Completed(const TTransactionInfo& info, std::uint8_t command) {
    TEntry* entry = Find(info.TransactionID);
    if (entry == nullptr || !entry->Queued) {
        ++FUnknown;
        Problem(Transaction(info.TransactionID) + ": completed but never queued");
        return;
    }
    if (++entry->Completions > 1)
        return;  // counted as doubled at the end
    ++FCompletions;
    if (info.TransactionID < FLastCompleted)
        Problem(Transaction(info.TransactionID) + ": completed after " +
                Transaction(FLastCompleted) + ", out of queue order");
    FLastCompleted = info.TransactionID;
    entry->Info = info;
    entry->Command = command;
}

void TSoakLedger::FunctionCompleted(const TTransactionInfo& info, bool valuesFit) {
    TEntry* entry = Find(info.TransactionID);
    if (entry == nullptr)
        return;  // reported by Completed
    ++entry->FunctionCompletions;
    if (info.Status == tsSuccess && !valuesFit)
        Problem(Transaction(info.TransactionID) + ": a successful read with the wrong count");
}

void TSoakLedger::LimitExceeded(std::uint8_t server) {
    ++FLimitEvents[server];
}

// --- After the run ---

TSoakCounts TSoakLedger::Check(std::istream& faultLog) {
    TSoakCounts counts;
    counts.Queued = FQueued;
    counts.Unknown = FUnknown;
    counts.LimitEvents = FLimitEvents;
    CheckEndings(counts);
    CheckAgainstFaults(faultLog, counts);
    CountLimitEvents(counts);
    for (const auto& [server, expected] : counts.ExpectedLimitEvents) {
        const auto raised = counts.LimitEvents.find(server);
        const int n = raised == counts.LimitEvents.end() ? 0 : raised->second;
        if (n != expected)
            Problem("server " + std::to_string(server) + ": " + std::to_string(n) +
                    " consecutive time-out events where the counts call for " +
                    std::to_string(expected));
    }
    return counts;
}

// Each queued transaction ends exactly once, with one general and one
// function-specific event, and the command it was queued with.
void TSoakLedger::CheckEndings(TSoakCounts& counts) {
    for (std::size_t i = 0; i < FEntries.size(); ++i) {
        const TEntry& entry = FEntries[i];
        const auto id = static_cast<std::int32_t>(i);
        if (!entry.Queued)
            continue;
        if (entry.Completions == 0) {
            ++counts.Lost;
            Problem(Transaction(id) + ": queued, never ended");
            continue;
        }
        if (entry.Completions > 1) {
            ++counts.Doubled;
            Problem(Transaction(id) + ": ended " + std::to_string(entry.Completions) + " times");
            continue;
        }
        ++counts.Completed;
        ++counts.Statuses[entry.Info.Status];
        counts.Attempts += entry.Info.Attempts;
        if (entry.FunctionCompletions != 1)
            Problem(Transaction(id) + ": " + std::to_string(entry.FunctionCompletions) +
                    " function events");
        if (entry.Command != entry.Plan.Function)
            Problem(Transaction(id) + ": completed as function " + std::to_string(entry.Command));
    }
}

// The kit's requests are the client's attempts in sending order, which is
// the order of the identifiers: the transaction thread takes the queue first
// in, first out. Neighbouring transactions go to different servers, so each
// one's requests are told apart by their fingerprint; a transaction whose
// attempts the kit did not all see is reported, and the rest still lines up.
void TSoakLedger::CheckAgainstFaults(std::istream& faultLog, TSoakCounts& counts) {
    std::vector<TKitRequest> requests;
    for (std::string line; std::getline(faultLog, line);) {
        if (line.empty())
            continue;
        TKitRequest request;
        std::istringstream fields(line);
        fields >> request.Sequence >> request.Server >> request.Function >> request.Fault >>
            request.Frame;
        requests.push_back(request);
    }
    counts.KitRequests = static_cast<long>(requests.size());
    std::size_t next = 0;
    for (std::size_t i = 0; i < FEntries.size(); ++i) {
        const TEntry& entry = FEntries[i];
        if (entry.Queued && entry.Completions == 1)
            CheckTransaction(static_cast<std::int32_t>(i), entry, requests, next, counts);
    }
    counts.UnaccountedRequests += static_cast<long>(requests.size() - next);
    if (counts.UnaccountedRequests > 0)
        Problem("fault log: " + std::to_string(counts.UnaccountedRequests) +
                " requests reached the kit that no attempt accounts for");
}

std::uint32_t TSoakLedger::SendsOf(const TEntry& entry) const {
    return entry.Plan.Sends != 0 ? entry.Plan.Sends : FMaxRetries;
}

void TSoakLedger::CheckTransaction(std::int32_t id, const TEntry& entry,
                                   const std::vector<TKitRequest>& requests, std::size_t& next,
                                   TSoakCounts& counts) {
    const std::string expected = Fingerprint(entry.Plan);
    const auto matches = [&](std::size_t k) {
        return k < requests.size() && requests[k].Frame.compare(0, expected.size(), expected) == 0;
    };
    // Requests of nobody's before this transaction's first: skipped over,
    // but never further than one transaction's sends.
    const std::uint32_t sends = SendsOf(entry);
    std::size_t first = next;
    while (!matches(first) && first < requests.size() && first - next < sends)
        ++first;
    if (matches(first)) {
        counts.UnaccountedRequests += static_cast<long>(first - next);
        next = first;
    }
    std::size_t seen = 0;
    while (matches(next + seen))
        ++seen;
    const auto attempts = static_cast<std::size_t>(std::max(entry.Info.Attempts, 0));
    if (attempts < 1 || attempts > sends)
        Problem(Transaction(id) + ": " + std::to_string(attempts) + " attempts with " +
                std::to_string(sends) + " sends at most");
    if (seen != attempts) {
        Problem(Outcome(id, entry.Info) + ": the kit saw " + std::to_string(seen) +
                " requests for it" +
                (seen > 0 ? ", the last '" + requests[next + seen - 1].Fault + "' (kit request " +
                                std::to_string(requests[next + seen - 1].Sequence) + ")"
                          : std::string()));
        if (seen < attempts)
            counts.UnseenAttempts += static_cast<long>(attempts - seen);
        next += seen;
        return;
    }
    for (std::size_t attempt = 1; attempt <= attempts; ++attempt) {
        const TKitRequest& request = requests[next + attempt - 1];
        ++counts.Faults[request.Fault];
        if (attempt < attempts && kFailedAttempt.count(request.Fault) == 0)
            Problem(Transaction(id) + ": sent again after attempt " + std::to_string(attempt) +
                    " met '" + request.Fault + "'");
    }
    CheckFinalStatus(id, entry, requests[next + attempts - 1]);
    next += attempts;
}

void TSoakLedger::CheckFinalStatus(std::int32_t id, const TEntry& entry, const TKitRequest& last) {
    const TTransactionInfo& info = entry.Info;
    const std::set<TTransactionStatus> allowed = StatusesFor(last.Fault);
    if (allowed.count(info.Status) == 0) {
        Problem(Transaction(id) + ": ended " + StatusName(info.Status) + " after '" + last.Fault +
                "' (kit request " + std::to_string(last.Sequence) + ")");
        return;
    }
    if (kFailedAttempt.count(last.Fault) != 0 &&
        static_cast<std::uint32_t>(info.Attempts) != SendsOf(entry))
        Problem(Transaction(id) + ": gave up after " + std::to_string(info.Attempts) +
                " failed attempts with " + std::to_string(SendsOf(entry)) + " sends at most");
    if (info.Status == tsException && info.ExceptionCode != kServerBusy)
        Problem(Transaction(id) + ": exception code " + std::to_string(info.ExceptionCode) +
                " where the kit answered 6");
}

// Replays the client's failure count: every attempt of a failed transaction
// adds to its server's count, any other ending resets it, and passing the
// limit raises one event and starts the count afresh.
void TSoakLedger::CountLimitEvents(TSoakCounts& counts) const {
    if (FMaxConsecutiveTimeouts < 0)
        return;
    std::map<std::uint8_t, std::uint32_t> consecutive;
    for (const TEntry& entry : FEntries) {
        if (!entry.Queued || entry.Completions != 1)
            continue;
        const std::uint8_t server = entry.Plan.Server;
        counts.ExpectedLimitEvents.try_emplace(server, 0);
        std::uint32_t& count = consecutive[server];
        if (entry.Info.Status >= tsBadReply) {
            count = 0;
            continue;
        }
        count += static_cast<std::uint32_t>(entry.Info.Attempts);
        if (count > static_cast<std::uint32_t>(FMaxConsecutiveTimeouts)) {
            count = 0;
            ++counts.ExpectedLimitEvents[server];
        }
    }
}

}  // namespace soak
