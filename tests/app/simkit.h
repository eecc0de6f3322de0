// A running vapcal-sim for the console's end-to-end tests: started with
// options, its accepted-write log read line by line, paused and resumed with
// signals (an instrument line that goes silent), stopped with SIGTERM.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

class TSimKitProcess {
  public:
    explicit TSimKitProcess(std::vector<std::string> options = {}) {
        int out[2];
        if (pipe(out) != 0)
            return;
        FPid = fork();
        if (FPid == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            std::string program = VAPCAL_SIM;
            std::vector<char*> argv{program.data()};
            for (std::string& option : options)
                argv.push_back(option.data());
            argv.push_back(nullptr);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        close(out[1]);
        FOut = out[0];
        Device = NextLine(5000);
        fcntl(FOut, F_SETFL, fcntl(FOut, F_GETFL) | O_NONBLOCK);
    }

    ~TSimKitProcess() {
        if (FPid > 0) {
            kill(FPid, SIGCONT);
            kill(FPid, SIGTERM);
            int status = 0;
            waitpid(FPid, &status, 0);
        }
        if (FOut >= 0)
            close(FOut);
    }

    // A silent line: the kit stops reading and answering until Resume.
    void Pause() { kill(FPid, SIGSTOP); }
    void Resume() { kill(FPid, SIGCONT); }

    // Every write line logged so far and not yet taken.
    std::vector<std::string> TakeLines() {
        Drain(0);
        std::vector<std::string> lines;
        for (auto newline = FPending.find('\n'); newline != std::string::npos;
             newline = FPending.find('\n')) {
            lines.push_back(FPending.substr(0, newline));
            FPending.erase(0, newline + 1);
        }
        return lines;
    }

    std::string Device;  // the pseudo-terminal to open

  private:
    std::string NextLine(int timeoutMs) {
        while (FPending.find('\n') == std::string::npos)
            if (!Drain(timeoutMs))
                return {};
        const auto newline = FPending.find('\n');
        std::string line = FPending.substr(0, newline);
        FPending.erase(0, newline + 1);
        return line;
    }

    bool Drain(int timeoutMs) {
        pollfd p{FOut, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0)
            return false;
        char chunk[512];
        ssize_t n;
        bool any = false;
        while ((n = read(FOut, chunk, sizeof chunk)) > 0) {
            FPending.append(chunk, static_cast<size_t>(n));
            any = true;
            if (timeoutMs > 0)
                break;  // blocking read before the descriptor is made non-blocking
        }
        return any;
    }

    pid_t FPid = -1;
    int FOut = -1;
    std::string FPending;
};
