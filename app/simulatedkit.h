// `vapcal --simulate`: the console with the simulated kit instead of the
// instruments. The program vapcal-sim is started beside the console, names
// its pseudo-terminal on its first line, and is stopped when the console
// ends; the port dialog offers that terminal first.
#pragma once

#include <QProcess>
#include <functional>
#include <stdexcept>
#include <string>

namespace app {

// The simulated kit could not be found or started.
class ESimulatedKitError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The path of vapcal-sim for a console in programDir: beside it (an
// installed console), or in ../sim/ (the build tree). Raises
// ESimulatedKitError when neither is an executable file.
std::string LocateSimulatedKit(const std::string& programDir);

class TSimulatedKit {
  public:
    // Starts the program with the options and waits for its port line (at
    // most timeoutMs). Raises ESimulatedKitError when it does not start, ends
    // early or names no port in time.
    explicit TSimulatedKit(const std::string& program, const QStringList& options = {},
                           int timeoutMs = 5000);
    // Stops the kit: SIGTERM and a wait for its end (killed if it hangs).
    ~TSimulatedKit();
    TSimulatedKit(const TSimulatedKit&) = delete;
    TSimulatedKit& operator=(const TSimulatedKit&) = delete;

    // The pseudo-terminal the kit answers on.
    const std::string& Port() const { return FPort; }

    // Each later line of the kit: one for every write an instrument
    // accepted ("server 20: register 127 := 455"). Runs on the main thread
    // as lines arrive; unassigned, the lines go to standard output.
    std::function<void(const std::string& line)> OnLine;

  private:
    void ReadLines();

    QProcess FProcess;
    std::string FPort;
};

}  // namespace app
