// regwire through a network gateway on loopback: our client against a
// regwire serving tcp:// (RTU frames over TCP) and mbtcp:// (Modbus TCP),
// and a poll that rides out the server going away and coming back.
#include "cliline.h"
// cliline.h first: its system headers come before gtest's.
#include <gtest/gtest.h>

#include <modbus.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

namespace {

constexpr const char* kListening = "regwire: listening on ";

// regwire serving on a loopback port (0: any free one), once it listens.
std::unique_ptr<TRegwireProcess> Serve(const std::string& port) {
    auto server = std::make_unique<TRegwireProcess>(
        std::vector<std::string>{"-p", port, "-a", "20", "serve", "--size", "100"});
    server->WaitUntil([&] { return server->Err().find('\n') != std::string::npos; });
    return server;
}

// The port a server announced it listens on.
std::string ListeningOn(const TRegwireProcess& server) {
    const std::string& err = server.Err();
    if (err.rfind(kListening, 0) != 0)
        return "(not listening: " + err + ")";
    return err.substr(std::string(kListening).size(),
                      err.find('\n') - std::string(kListening).size());
}

TRun RunClient(const std::string& port, const std::vector<std::string>& words) {
    TRegwireProcess client(Joined({"-p", port, "-a", "20", "-t", "1000"}, words));
    const int status = client.Wait();
    return {status, client.Out(), client.Err()};
}

std::size_t Count(const std::string& text, const std::string& line) {
    std::size_t count = 0;
    for (std::size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1))
        ++count;
    return count;
}

// Processor time a process has used so far, in milliseconds.
double CpuMs(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long long user = 0, system = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14)
            user = std::stoull(field);
        if (i == 15)
            system = std::stoull(field);
    }
    return static_cast<double>(user + system) * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace

TEST(RegwireThroughAGateway, ReadsAndWritesAServeInBothFramings) {
    for (const std::string scheme : {"tcp://", "mbtcp://"}) {
        SCOPED_TRACE(scheme);
        auto server = Serve(scheme + "127.0.0.1:0");
        const std::string port = ListeningOn(*server);
        ASSERT_EQ(port.rfind(scheme + "127.0.0.1:", 0), 0u) << port;

        const TRun write = RunClient(port, {"write-registers", "80", "1", "2"});
        EXPECT_EQ(write.Status, 0) << write.Err;
        EXPECT_EQ(write.Out, "written 2 registers at 80\n");
        const TRun read = RunClient(port, {"read-holding-registers", "79", "3"});
        EXPECT_EQ(read.Status, 0) << read.Err;
        EXPECT_EQ(read.Out, "79: 0\n80: 1\n81: 2\n");
        const TRun inputs = RunClient(port, {"read-discrete-inputs", "4", "3"});
        EXPECT_EQ(inputs.Out, "4: 0\n5: 1\n6: 0\n");
        const TRun refused = RunClient(port, {"read-coils", "99", "2"});
        EXPECT_EQ(refused.Status, 1) << refused.Err;
        // The frames as they are on the wire: Modbus TCP numbers its
        // requests in a header and carries no CRC.
        const TRun frames = RunClient(port, {"--frames", "read-holding-registers", "80", "1"});
        EXPECT_EQ(frames.Err, scheme == "tcp://"
                                  ? "> 14 03 00 50 00 01 86 DE\n< 14 03 02 00 01 74 47\n"
                                  : "> 00 01 00 00 00 06 14 03 00 50 00 01\n"
                                    "< 00 01 00 00 00 05 14 03 02 00 01\n");

        server->Signal(SIGTERM);
        EXPECT_EQ(server->Wait(), 0) << server->Err();
    }
}

// Eight masters at once, as a plant's several readers: each is answered all
// along from the one set of tables, and what one writes the others read.
TEST(RegwireThroughAGateway, ServesEightModbusTcpMastersAtOnceFromOneSetOfTables) {
    auto server = Serve("mbtcp://127.0.0.1:0");
    const std::string port = ListeningOn(*server);
    const int tcpPort = std::stoi(port.substr(port.rfind(':') + 1));
    constexpr int kMasters = 8;
    constexpr int kReads = 200;
    std::vector<modbus_t*> masters;
    for (int i = 0; i < kMasters; ++i) {
        modbus_t* ctx = modbus_new_tcp("127.0.0.1", tcpPort);
        modbus_set_slave(ctx, 20);
        ASSERT_EQ(modbus_connect(ctx), 0) << i;
        masters.push_back(ctx);
    }
    std::vector<int> answered(kMasters, 0);
    std::vector<std::thread> threads;
    for (int i = 0; i < kMasters; ++i)
        threads.emplace_back([&, i] {
            ASSERT_EQ(modbus_write_register(masters[i], i, static_cast<std::uint16_t>(100 + i)), 1);
            std::uint16_t values[kMasters] = {};
            for (int n = 0; n < kReads; ++n)
                answered[i] += modbus_read_registers(masters[i], 0, kMasters, values) == kMasters;
        });
    for (std::thread& t : threads)
        t.join();
    std::uint16_t values[kMasters] = {};
    ASSERT_EQ(modbus_read_registers(masters[0], 0, kMasters, values), kMasters);
    for (int i = 0; i < kMasters; ++i) {
        EXPECT_EQ(answered[i], kReads) << i;
        EXPECT_EQ(values[i], 100 + i) << i;
    }
    // Another unit's request is not this server's to answer.
    modbus_set_slave(masters[1], 21);
    modbus_set_response_timeout(masters[1], 0, 300000);
    EXPECT_EQ(modbus_read_registers(masters[1], 0, 1, values), -1);
    for (modbus_t* ctx : masters) {
        modbus_close(ctx);
        modbus_free(ctx);
    }
    server->Signal(SIGTERM);
    EXPECT_EQ(server->Wait(), 0) << server->Err();
}

TEST(RegwireThroughAGateway, APollRidesOutTheServerGoingAwayAndComingBack) {
    auto server = Serve("tcp://127.0.0.1:0");
    const std::string port = ListeningOn(*server);
    TRegwireProcess client({"-p", port, "-a", "20", "-t", "200", "-c", "0", "-i", "50",
                            "read-input-registers", "5", "1"});
    ASSERT_TRUE(client.WaitUntil([&] { return Count(client.Out(), "5: 5\n") >= 3; }))
        << client.Err();

    server->Signal(SIGTERM);
    EXPECT_EQ(server->Wait(), 0) << server->Err();
    const std::size_t missedBefore = Count(client.Err(), "no reply from server 20");
    const double cpuBefore = CpuMs(client.Pid());
    const auto downSince = std::chrono::steady_clock::now();
    ASSERT_TRUE(client.WaitUntil([&] {
        return Count(client.Err(), "no reply from server 20") >= missedBefore + 5;
    })) << client.Err();
    const double downMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - downSince)
            .count();
    // While the server is away the client sleeps out each attempt's time-out.
    EXPECT_LT(CpuMs(client.Pid()) - cpuBefore, 0.1 * downMs);

    const std::size_t readBefore = Count(client.Out(), "5: 5\n");
    server = Serve(port);
    EXPECT_EQ(ListeningOn(*server), port);
    EXPECT_TRUE(client.WaitUntil([&] { return Count(client.Out(), "5: 5\n") >= readBefore + 3; }))
        << client.Err();

    client.Signal(SIGINT);
    client.Wait();
    server->Signal(SIGTERM);
    EXPECT_EQ(server->Wait(), 0) << server->Err();
}
