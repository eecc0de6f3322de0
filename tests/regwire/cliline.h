// The line a regwire test runs on: two pseudo-terminals joined by a relay,
// the client under test on end A and its far end (a regwire serving,
// libmodbus or the test itself) on end B.
#pragma once

#include <QJsonDocument>
#include <QJsonObject>
#include <memory>
#include <sstream>
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

// Lines of JSON objects in one form that compares: each object written
// compactly with its keys in order, its round-trip time (which differs from
// run to run) as 0. A line that is no JSON object stays visible as such.
inline std::string JsonLines(const std::string& text) {
    std::istringstream lines(text);
    std::string line;
    std::string same;
    while (std::getline(lines, line)) {
        const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(line));
        if (!document.isObject()) {
            same += "not a JSON object: " + line + "\n";
            continue;
        }
        QJsonObject object = document.object();
        if (object.contains("rttUs"))
            object["rttUs"] = 0;
        same += QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString() + "\n";
    }
    return same;
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
