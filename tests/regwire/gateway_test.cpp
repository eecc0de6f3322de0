// regwire through a network gateway on loopback: our client against a
// regwire serving tcp:// (RTU frames over TCP) and mbtcp:// (Modbus TCP),
// and a poll that rides out the server going away and coming back.
#include "cliline.h"
// cliline.h first: its system headers come before gtest's.
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <sstream>

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
