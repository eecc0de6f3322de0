// The line a regwire test runs on: two pseudo-terminals joined by a relay,
// the client under test on end A and its far end (a regwire serving,
// libmodbus or the test itself) on end B.
#pragma once

#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "nullmodem.h"
#include "regwireprocess.h"

struct TRun {
    int Status = -1;
    std::string Out;
    std::string Err;
};

// The first line of regwire's usage text, the sign that it was printed.
inline constexpr const char* UsageLine = "regwire [OPTIONS] COMMAND [ARGUMENTS]";

// A JSON line with its round-trip time, which differs from run to run,
// written as "rttUs":0.
inline std::string WithoutRtt(const std::string& json) {
    return std::regex_replace(json, std::regex(R"("rttUs":\d+)"), R"("rttUs":0)");
}

template <typename T>
std::vector<T> Joined(std::vector<T> first, const std::vector<T>& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

class TCliLine {
  public:
    const std::string& ClientPath() const { return FLine.PathA(); }
    const std::string& FarPath() const { return FLine.PathB(); }

    // regwire as client on end A, with a receive time-out that a loaded
    // machine still meets; tests that expect silence give a shorter one.
    std::unique_ptr<TRegwireProcess> Start(const std::vector<std::string>& words) const {
        return std::make_unique<TRegwireProcess>(Joined({"-p", ClientPath(), "-t", "1000"}, words));
    }

    TRun Run(const std::vector<std::string>& words) const {
        const auto client = Start(words);
        const int status = client->Wait();
        return {status, client->Out(), client->Err()};
    }

    // regwire serve on end B with tables of 100 entries, returned once it
    // answers. The server drops what arrives before the line's first
    // silence, so a probe with retries makes sure it listens.
    std::unique_ptr<TRegwireProcess> Serve(const std::vector<std::string>& options = {}) const {
        auto server = std::make_unique<TRegwireProcess>(
            Joined(Joined({"-p", FarPath()}, options), {"serve", "--size", "100"}));
        server->WaitUntil([&] { return server->IsReady(FarPath(), SIGTERM); });
        Run(Joined(options, {"-t", "100", "-r", "10", "read-coils", "0", "1"}));
        return server;
    }

  private:
    regwire::peer::TNullModem FLine;
};
