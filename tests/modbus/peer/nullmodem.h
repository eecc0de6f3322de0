// TNullModem: two pseudo-terminals joined master to master, so that two
// programs (or libmodbus and our library in one test) each open a real
// serial device path and hear each other, as over a null-modem cable.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>

namespace regwire::peer {

class TNullModem {
  public:
    TNullModem() {
        OpenPair(FMasterA, FSlaveA, FPathA);
        OpenPair(FMasterB, FSlaveB, FPathB);
        if (pipe(FStop) != 0)
            throw std::runtime_error("pipe failed");
        FThread = std::thread([this] { Forward(); });
    }
    ~TNullModem() {
        const char byte = 1;
        [[maybe_unused]] const auto n = write(FStop[1], &byte, 1);
        FThread.join();
        for (const int fd : {FMasterA, FSlaveA, FMasterB, FSlaveB, FStop[0], FStop[1]})
            close(fd);
    }
    TNullModem(const TNullModem&) = delete;
    TNullModem& operator=(const TNullModem&) = delete;

    const std::string& PathA() const { return FPathA; }
    const std::string& PathB() const { return FPathB; }

  private:
    // The slave end stays open here, so the master never sees a hang-up
    // between the opens of the two sides.
    static void OpenPair(int& master, int& slave, std::string& path) {
        char name[128];
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty failed");
        termios raw{};
        tcgetattr(slave, &raw);
        cfmakeraw(&raw);
        tcsetattr(slave, TCSANOW, &raw);
        path = name;
    }

    void Forward() {
        pollfd fds[3] = {{FMasterA, POLLIN, 0}, {FMasterB, POLLIN, 0}, {FStop[0], POLLIN, 0}};
        unsigned char block[512];
        for (;;) {
            if (poll(fds, 3, -1) < 0)
                continue;
            if (fds[2].revents != 0)
                return;
            for (int i = 0; i < 2; ++i) {
                if ((fds[i].revents & POLLIN) == 0)
                    continue;
                const ssize_t n = read(fds[i].fd, block, sizeof block);
                if (n > 0)
                    WriteAll(fds[1 - i].fd, block, static_cast<std::size_t>(n));
            }
        }
    }

    static void WriteAll(int fd, const unsigned char* data, std::size_t count) {
        while (count > 0) {
            const ssize_t n = write(fd, data, count);
            if (n <= 0)
                return;
            data += n;
            count -= static_cast<std::size_t>(n);
        }
    }

    int FMasterA = -1, FSlaveA = -1, FMasterB = -1, FSlaveB = -1;
    int FStop[2] = {-1, -1};
    std::string FPathA, FPathB;
    std::thread FThread;
};

}  // namespace regwire::peer
