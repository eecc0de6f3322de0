// A running regwire for a test: started with its words, its standard output
// and standard error collected, ended by itself or by a signal. A process
// still running when the object goes is killed, so a failing test never
// leaves one behind. A test run as root may start it as the account nobody,
// through tests/runasnobody: a copy that nobody can reach wherever the
// checkout lies.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

class TRegwireProcess {
  public:
    explicit TRegwireProcess(std::vector<std::string> words, bool asNobody = false) {
        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
            return;
        FPid = fork();
        if (FPid == 0) {
            dup2(out[1], STDOUT_FILENO);
            dup2(err[1], STDERR_FILENO);
            const int null = open("/dev/null", O_RDONLY);
            dup2(null, STDIN_FILENO);
            std::vector<char*> argv;
            std::string runner = RUN_AS_NOBODY;
            std::string program = REGWIRE_CLI;
            if (asNobody)
                argv.push_back(runner.data());
            argv.push_back(program.data());
            for (std::string& word : words)
                argv.push_back(word.data());
            argv.push_back(nullptr);
            execv(argv.front(), argv.data());
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        FOutFd = out[0];
        FErrFd = err[0];
    }

    ~TRegwireProcess() {
        if (FPid > 0 && FStatus < 0) {
            kill(FPid, SIGKILL);
            waitpid(FPid, nullptr, 0);
        }
        for (const int fd : {FOutFd, FErrFd})
            if (fd >= 0)
                close(fd);
    }
    TRegwireProcess(const TRegwireProcess&) = delete;
    TRegwireProcess& operator=(const TRegwireProcess&) = delete;

    pid_t Pid() const { return FPid; }
    const std::string& Out() const { return FOut; }
    const std::string& Err() const { return FErr; }

    // Collects output until done() holds; false after timeoutMs.
    bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 10000) {
        const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!done()) {
            if (Clock::now() >= end)
                return false;
            Pump(10);
        }
        return true;
    }

    // Waits for the end and collects what is left; the exit status, or 128
    // plus the signal that ended it. A process that has not ended after
    // timeoutMs is killed.
    int Wait(int timeoutMs = 20000) {
        if (FStatus >= 0)
            return FStatus;
        int status = 0;
        if (!WaitUntil([&] { return waitpid(FPid, &status, WNOHANG) == FPid; }, timeoutMs)) {
            kill(FPid, SIGKILL);
            waitpid(FPid, &status, 0);
        }
        while (FOutFd >= 0 || FErrFd >= 0)
            Pump(1000);
        FStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return FStatus;
    }

    void Signal(int signal) { kill(FPid, signal); }

    // True once the process holds the device open and has its handler for
    // the signal in place: from then on it is listening, and a signal ends it
    // the way it means to end.
    bool IsReady(const std::string& device, int signal) const {
        return HasOpened(device) && Catches(signal);
    }

  private:
    using Clock = std::chrono::steady_clock;

    bool HasOpened(const std::string& device) const {
        std::error_code error;
        const std::filesystem::path fds = "/proc/" + std::to_string(FPid) + "/fd";
        for (const auto& entry : std::filesystem::directory_iterator(fds, error)) {
            std::error_code ignored;
            if (std::filesystem::read_symlink(entry.path(), ignored) == device)
                return true;
        }
        return false;
    }

    bool Catches(int signal) const {
        std::ifstream status("/proc/" + std::to_string(FPid) + "/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("SigCgt:", 0) == 0)
                return (std::stoull(line.substr(7), nullptr, 16) >> (signal - 1) & 1) != 0;
        return false;
    }

    void Pump(int timeoutMs) {
        pollfd fds[2] = {{FOutFd, POLLIN, 0}, {FErrFd, POLLIN, 0}};
        if (poll(fds, 2, timeoutMs) <= 0)
            return;
        Drain(fds[0], FOutFd, FOut);
        Drain(fds[1], FErrFd, FErr);
    }

    static void Drain(const pollfd& p, int& fd, std::string& text) {
        if (fd < 0 || p.revents == 0)
            return;
        char chunk[4096];
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n > 0) {
            text.append(chunk, static_cast<std::size_t>(n));
            return;
        }
        close(fd);
        fd = -1;
    }

    pid_t FPid = -1;
    int FOutFd = -1;
    int FErrFd = -1;
    int FStatus = -1;
    std::string FOut;
    std::string FErr;
};
