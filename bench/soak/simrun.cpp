#include "simrun.h"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace soak {

TSimRun::TSimRun(const std::string& program, const std::vector<std::string>& options,
                 int timeoutMs) {
    int out[2];
    if (pipe(out) != 0)
        return;
    FPid = fork();
    if (FPid == 0) {
        // The kit goes with the soak, however the soak ends.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        std::vector<std::string> args{program};
        args.insert(args.end(), options.begin(), options.end());
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    if (FPid < 0) {
        close(out[0]);
        return;
    }
    FOut = out[0];
    FDevice = ReadFirstLine(timeoutMs);
    FDrain = std::thread([this] { Drain(); });
}

TSimRun::~TSimRun() {
    Stop();
    if (FOut >= 0)
        close(FOut);
}

std::string TSimRun::ReadFirstLine(int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto newline = FPending.find('\n');
        if (newline != std::string::npos) {
            std::string line = FPending.substr(0, newline);
            FPending.erase(0, newline + 1);
            FLines += static_cast<long>(std::count(FPending.begin(), FPending.end(), '\n'));
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        pollfd p{FOut, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
            return {};
        char chunk[256];
        const ssize_t n = read(FOut, chunk, sizeof chunk);
        if (n <= 0)
            return {};
        FPending.append(chunk, static_cast<std::size_t>(n));
    }
}

// Runs until the kit closes its output, that is until it has ended.
void TSimRun::Drain() {
    char chunk[4096];
    for (;;) {
        const ssize_t n = read(FOut, chunk, sizeof chunk);
        if (n <= 0)
            return;
        FLines += static_cast<long>(std::count(chunk, chunk + n, '\n'));
    }
}

int TSimRun::Stop() {
    if (FPid <= 0 || FExitStatus >= 0)
        return FExitStatus;
    kill(FPid, SIGTERM);
    int status = 0;
    waitpid(FPid, &status, 0);
    FExitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (FDrain.joinable())
        FDrain.join();
    return FExitStatus;
}

}  // namespace soak
