// A running vapcal-sim for a test: started with options, its standard output
// (the port, then the accepted-write log) read line by line, paused and
// resumed with signals (an instrument line that goes silent), stopped with
// SIGTERM.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

class TSimProcess {
  public:
    explicit TSimProcess(std::vector<std::string> options = {}) {
        int out[2];
        if (pipe(out) != 0)
            return;
        FPid = fork();
        if (FPid == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            std::vector<char*> argv;
            std::string program = VAPCAL_SIM;
            argv.push_back(program.data());
            for (std::string& option : options)
                argv.push_back(option.data());
            argv.push_back(nullptr);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        close(out[1]);
        FOut = out[0];
        Device = ReadLine(5000);
    }

    ~TSimProcess() {
        if (FPid > 0 && ExitStatus < 0) {
            Resume();
            Stop();
        }
        if (FOut >= 0)
            close(FOut);
    }

    // The next line of standard output, empty after timeoutMs.
    std::string ReadLine(int timeoutMs) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const auto newline = FPending.find('\n');
            if (newline != std::string::npos) {
                std::string line = FPending.substr(0, newline);
                FPending.erase(0, newline + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            pollfd p{FOut, POLLIN, 0};
            if (poll(&p, 1, std::max(0, static_cast<int>(left.count()))) <= 0)
                return {};
            char chunk[256];
            const ssize_t n = read(FOut, chunk, sizeof chunk);
            if (n <= 0)
                return {};
            FPending.append(chunk, static_cast<size_t>(n));
        }
    }

    // Every line written so far and not yet read.
    std::vector<std::string> TakeLines() {
        std::vector<std::string> lines;
        for (std::string line = ReadLine(0); !line.empty(); line = ReadLine(0))
            lines.push_back(line);
        return lines;
    }

    // A silent line: the kit stops reading and answering until Resume.
    void Pause() { kill(FPid, SIGSTOP); }
    void Resume() { kill(FPid, SIGCONT); }

    // Sends the signal and waits for the end; the exit status, or 128 plus
    // the signal that killed it.
    int Stop(int signal = SIGTERM) {
        kill(FPid, signal);
        int status = 0;
        waitpid(FPid, &status, 0);
        ExitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return ExitStatus;
    }

    pid_t Pid() const { return FPid; }

    std::string Device;  // the first line: the pseudo-terminal to open
    int ExitStatus = -1;

  private:
    pid_t FPid = -1;
    int FOut = -1;
    std::string FPending;
};
