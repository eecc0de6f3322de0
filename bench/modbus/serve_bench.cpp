// `regwire serve` over Modbus TCP against a libmodbus server (a select loop
// over its peers, as libmodbus's own many-peer example serves), each in a
// process of its own, read by 1, 4 and 8 libmodbus clients at once on
// loopback: one-register reads back to back for a while. Prints, for each
// server, the requests answered per second, the fewest and the most any one
// peer had answered (a starved peer shows as a low fewest), the failures,
// and the server's processor time per request (every thread of it, from
// /proc), with the ratio of ours to libmodbus's. Three repetitions, the two
// servers in turns; the median and spread of the ratio.
#include <modbus.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int Address = 1;
constexpr int Repetitions = 3;
constexpr auto Duration = std::chrono::seconds(2);

struct TServer {
    pid_t Pid = -1;
    int Port = 0;
};

// Processor time of every thread of the process so far, in nanoseconds.
double CpuNs(pid_t pid) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    if (dir == nullptr)
        return 0;
    double total = 0;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        std::ifstream stat(tasks + "/" + entry->d_name + "/schedstat");
        double ns = 0;
        if (stat >> ns)
            total += ns;
    }
    closedir(dir);
    return total;
}

// A libmodbus server answering any number of peers from one select loop.
TServer StartLibmodbusServer() {
    modbus_t* ctx = modbus_new_tcp("127.0.0.1", 0);
    const int listener = modbus_tcp_listen(ctx, 16);
    if (listener < 0) {
        modbus_free(ctx);
        return {};
    }
    sockaddr_in address{};
    socklen_t size = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
    const pid_t pid = fork();
    if (pid == 0) {
        modbus_mapping_t* mapping = modbus_mapping_new(0, 0, 100, 0);
        modbus_set_slave(ctx, Address);
        fd_set peers;
        FD_ZERO(&peers);
        FD_SET(listener, &peers);
        int highest = listener;
        std::uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
        for (;;) {
            fd_set ready = peers;
            if (select(highest + 1, &ready, nullptr, nullptr, nullptr) < 0)
                _exit(1);
            for (int fd = 0; fd <= highest; ++fd) {
                if (!FD_ISSET(fd, &ready))
                    continue;
                if (fd == listener) {
                    const int peer = accept(listener, nullptr, nullptr);
                    if (peer >= 0) {
                        FD_SET(peer, &peers);
                        highest = std::max(highest, peer);
                    }
                    continue;
                }
                modbus_set_socket(ctx, fd);
                const int n = modbus_receive(ctx, query);
                if (n > 0) {
                    modbus_reply(ctx, query, n, mapping);
                } else if (n < 0) {
                    close(fd);
                    FD_CLR(fd, &peers);
                }
            }
        }
    }
    close(listener);
    modbus_free(ctx);
    return {pid, ntohs(address.sin_port)};
}

// regwire serving on a free port: the port from its first line.
TServer StartRegwireServer() {
    int out[2];
    if (pipe(out) != 0)
        return {};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDERR_FILENO);
        close(out[0]);
        close(out[1]);
        execl(REGWIRE_CLI, "regwire", "-p", "mbtcp://127.0.0.1:0", "-a", "1", "serve", "--size",
              "100", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string line;
    char c = 0;
    while (read(out[0], &c, 1) == 1 && c != '\n')
        line += c;
    // The rest of its standard error is not read: it has nothing to say
    // while peers behave.
    const std::size_t colon = line.rfind(':');
    if (colon == std::string::npos)
        return {pid, 0};
    return {pid, std::atoi(line.c_str() + colon + 1)};
}

void StopServer(const TServer& server) {
    if (server.Pid <= 0)
        return;
    kill(server.Pid, SIGTERM);
    waitpid(server.Pid, nullptr, 0);
}

struct TLoad {
    std::vector<long> Answered;  // per peer
    long Failures = 0;
    double Seconds = 0;
    double CpuNs = 0;

    long Total() const {
        long total = 0;
        for (const long n : Answered)
            total += n;
        return total;
    }
    double CpuUsPerRequest() const { return Total() > 0 ? CpuNs / 1000.0 / Total() : 0; }
};

// `peers` clients read one register after another for the duration.
TLoad Load(const TServer& server, int peers) {
    TLoad load;
    load.Answered.assign(static_cast<std::size_t>(peers), 0);
    std::vector<modbus_t*> contexts;
    for (int i = 0; i < peers; ++i) {
        modbus_t* ctx = modbus_new_tcp("127.0.0.1", server.Port);
        modbus_set_slave(ctx, Address);
        modbus_set_response_timeout(ctx, 1, 0);
        if (modbus_connect(ctx) != 0)
            ++load.Failures;
        contexts.push_back(ctx);
    }
    // Every peer connected and answered once before the count starts.
    for (modbus_t* ctx : contexts) {
        std::uint16_t value = 0;
        modbus_read_registers(ctx, 0, 1, &value);
    }
    std::atomic<bool> stop{false};
    std::atomic<long> failures{0};
    const double cpuBefore = CpuNs(server.Pid);
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int i = 0; i < peers; ++i)
        threads.emplace_back([&, i] {
            std::uint16_t value = 0;
            while (!stop) {
                if (modbus_read_registers(contexts[i], 0, 1, &value) == 1)
                    ++load.Answered[static_cast<std::size_t>(i)];
                else
                    ++failures;
            }
        });
    std::this_thread::sleep_for(Duration);
    stop = true;
    for (std::thread& t : threads)
        t.join();
    load.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    load.CpuNs = CpuNs(server.Pid) - cpuBefore;
    load.Failures += failures;
    for (modbus_t* ctx : contexts) {
        modbus_close(ctx);
        modbus_free(ctx);
    }
    return load;
}

void Print(const char* name, const TLoad& load) {
    const auto [fewest, most] = std::minmax_element(load.Answered.begin(), load.Answered.end());
    std::printf(
        "    %-17s %8.0f requests/s  per peer %ld to %ld  failed %ld  CPU %6.2f us "
        "per request\n",
        name, static_cast<double>(load.Total()) / load.Seconds, *fewest, *most, load.Failures,
        load.CpuUsPerRequest());
}

double MedianOf(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

}  // namespace

int main() {
    for (const int peers : {1, 4, 8}) {
        std::printf("one-register reads, %d peer%s at once, Modbus TCP on loopback, %lld s each\n",
                    peers, peers == 1 ? "" : "s", static_cast<long long>(Duration.count()));
        std::vector<double> ratios;
        std::vector<double> rates;
        for (int r = 0; r < Repetitions; ++r) {
            const TServer ours = StartRegwireServer();
            const TServer theirs = StartLibmodbusServer();
            if (ours.Port <= 0 || theirs.Port <= 0) {
                std::printf("a server did not start\n");
                StopServer(ours);
                StopServer(theirs);
                return 1;
            }
            const TLoad ourLoad = Load(ours, peers);
            const TLoad theirLoad = Load(theirs, peers);
            StopServer(ours);
            StopServer(theirs);
            std::printf("  repetition %d\n", r + 1);
            Print("regwire serve", ourLoad);
            Print("libmodbus server", theirLoad);
            ratios.push_back(ourLoad.CpuUsPerRequest() / theirLoad.CpuUsPerRequest());
            rates.push_back((ourLoad.Total() / ourLoad.Seconds) /
                            (theirLoad.Total() / theirLoad.Seconds));
        }
        const auto [low, high] = std::minmax_element(ratios.begin(), ratios.end());
        std::printf(
            "  ours/libmodbus: CPU per request %.2f (spread %.2f to %.2f), requests per "
            "second %.2f (medians)\n",
            MedianOf(ratios), *low, *high, MedianOf(rates));
    }
    return 0;
}
