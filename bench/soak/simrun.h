// TSimRun: vapcal-sim as the soak's far end, a process of its own. Started
// with options, it gives its device path on its first line; its further
// output (a line for every write an instrument accepts) is read away on a
// thread of ours so the kit never blocks on a full pipe. Stopped with
// SIGTERM, which lets it close its fault log.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace soak {

class TSimRun {
  public:
    // Starts program with the options and waits up to timeoutMs for the
    // device line; Device() is empty when none came.
    TSimRun(const std::string& program, const std::vector<std::string>& options, int timeoutMs);
    ~TSimRun();
    TSimRun(const TSimRun&) = delete;
    TSimRun& operator=(const TSimRun&) = delete;

    const std::string& Device() const { return FDevice; }
    // Lines the kit printed after the device line.
    long OutputLines() const { return FLines; }
    // Sends SIGTERM and waits; the exit status, or 128 plus the signal that
    // ended it. Once only: later calls return the same status.
    int Stop();

  private:
    std::string ReadFirstLine(int timeoutMs);
    void Drain();

    pid_t FPid = -1;
    int FOut = -1;
    std::string FDevice;
    std::string FPending;
    std::thread FDrain;
    std::atomic<long> FLines{0};
    int FExitStatus = -1;
};

}  // namespace soak
