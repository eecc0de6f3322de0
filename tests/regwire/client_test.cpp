// regwire as client against what is not another regwire: nothing at all, a
// port it cannot open, libmodbus serving, and the test itself answering
// with crafted frames. Also its wrong usage.
#include "cliline.h"
// cliline.h first: its system headers come before those of libmodbus.
#include <modbus.h>

#include <gtest/gtest.h>
#include <atomic>
#include <cstdint>
#include <sstream>
#include <thread>

namespace {

std::uint16_t Crc16(const std::vector<std::uint8_t>& frame) {
    std::uint16_t crc = 0xFFFF;
    for (const std::uint8_t byte : frame) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) != 0 ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001)
                                 : static_cast<std::uint16_t>(crc >> 1);
    }
    return crc;
}

std::vector<std::uint8_t> WithCrc(std::vector<std::uint8_t> frame) {
    const std::uint16_t crc = Crc16(frame);
    frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<std::uint8_t>(crc >> 8));
    return frame;
}

// --- Usage and ports ---

// Every mistake is named in one line before any port is opened: the port
// given here does not exist, and opening it would end with 74.
TEST(RegwireUsage, WrongUsageExitsSixtyFourWithOneLineNamingTheMistake) {
    const std::string port = "/nonexistent/ttyS9";
    struct Case {
        std::vector<std::string> words;
        std::string mistake;
    };
    const std::string tooMuchData(2 * 253, '0');
    const std::vector<Case> cases = {
        {{}, "no command given"},
        {{"read-coils", "0", "1"}, "the serial device (-p) is required"},
        {{"-p", port, "frobnicate"}, "unknown command 'frobnicate'"},
        {{"-p", port, "--bogus", "read-coils", "0", "1"}, "unknown option --bogus"},
        {{"-p", port, "-t"}, "option -t needs a value"},
        {{"-p", port, "--json=1", "read-coils", "0", "1"}, "option --json takes no value"},
        {{"-p", port, "read-coils", "0"}, "read-coils takes START COUNT"},
        {{"-p", port, "read-coils", "0x", "1"}, "START '0x' is not a hex number after its 0x"},
        {{"-p", port, "read-coils", "-1", "2"}, "START '-1' is negative: it must be 0..65535"},
        {{"-p", port, "write-register", "1", "-3"}, "VALUE '-3' is negative: it must be 0..65535"},
        {{"-p", port, "-b", "fast", "read-coils", "0", "1"}, "RATE 'fast' is not a number"},
        {{"-p", port, "-P", "mark", "read-coils", "0", "1"},
         "invalid parity 'mark' (one of: none, even, odd)"},
        {{"-p", port, "--timing", "fast", "read-coils", "0", "1"},
         "invalid timing 'fast' (one of: standard, gap)"},
        {{"-p", port, "-a", "256", "read-coils", "0", "1"}, "address 256 is out of range 0..255"},
        {{"-p", port, "-a", "0", "read-coils", "0", "1"},
         "read-coils needs a server address 1..255: a broadcast gets no reply"},
        {{"-p", port, "--size", "5", "read-coils", "0", "1"}, "--size belongs to serve"},
        {{"-p", port, "write-coil", "1", "2"}, "coil value 2 is out of range 0..1"},
        {{"-p", port, "read-coils", "0", "0"}, "COUNT 0 is out of range 1..2000"},
        {{"-p", port, "read-holding-registers", "0", "126"}, "COUNT 126 is out of range 1..125"},
        {{"-p", port, "read-holding-registers", "65535", "2"},
         "START 65535 with COUNT 2 runs past the last address 65535"},
        {{"-p", port, "--base", "1", "read-coils", "0", "1"}, "START 0 is out of range 1..65536"},
        {{"-p", port, "custom", "3", "123"}, "HEXBYTES '123' has an odd number of hex digits"},
        {{"-p", port, "custom", "3", "0x12"}, "HEXBYTES '0x12': 'x' is not a hex digit"},
        {{"-p", port, "custom", "3", tooMuchData},
         "HEXBYTES holds 253 bytes; a request in RTU carries at most 252"},
        {{"-p", port, "diagnostics", "3", "0"},
         "SUBFUNCTION 3 is not one regwire can ask for (0, 1, 2, 4, 10..18, 20)"},
        {{"-p", port, "read-file-record", "4", "10000", "1"},
         "RECORD 10000 is out of range 0..9999"},
        {{"-p", port, "read-file-record", "4", "9999", "2"},
         "RECORD 9999 with LENGTH 2 runs past record 9999, the last of a file"},
        {{"-p", port, "read-file-record", "4", "0", "100", "5", "0", "100"},
         "the reply to these records would carry 404 bytes; a reply carries at most 245"},
        {{"-p", port, "--format", "float", "read-holding-registers", "0", "3"},
         "--format float takes registers in pairs: COUNT 3 is odd"},
        {{"-p", port, "--format", "hex", "read-coils", "0", "1"},
         "--format shows registers read or takes write-registers' values; read-coils does "
         "neither"},
        {{"-p", port, "--format", "float", "write-registers", "0", "1e39"},
         "VALUE 1e39 is out of range -3.40282e+38..3.40282e+38"},
        {{"-p", port, "--format", "float", "write-registers", "0", "nan"},
         "VALUE 'nan' is not a number"},
        {{"-p", port, "--format", "int32", "write-registers", "0", "1.5"},
         "VALUE '1.5' is not a number"},
        {{"-p", port, "--format", "int32", "write-registers", "0", "-2147483649"},
         "VALUE -2147483649 is out of range -2147483648..4294967295"},
        {{"-p", port, "-r", "-1", "read-coils", "0", "1"},
         "retries '-1' is negative: it must be 0..4294967294"},
        {{"-p", "mbtcp://127.0.0.1:99999", "read-coils", "0", "1"},
         "'mbtcp://127.0.0.1:99999' is no network port: it takes a host and a port 1..65535 "
         "(0 too for serve)"},
        {{"-p", "tcp://127.0.0.1:0", "read-coils", "0", "1"},
         "'tcp://127.0.0.1:0' is no network port: it takes a host and a port 1..65535 "
         "(0 too for serve)"},
        {{"-p", port, "-a", "0", "serve"}, "serve needs a server address 1..255 of its own"},
        {{"-p", port, "--json", "serve"}, "serve does not use --json"},
    };
    for (const Case& c : cases) {
        TRegwireProcess regwire(c.words);
        EXPECT_EQ(regwire.Wait(), 64) << c.mistake;
        EXPECT_EQ(regwire.Out(), "") << c.mistake;
        EXPECT_EQ(regwire.Err(), "regwire: " + c.mistake + "; see regwire --help\n");
    }
}

TEST(RegwireUsage, HelpFitsEightyColumnsAndTellsAddressesAndExitStatuses) {
    TRegwireProcess help({"--help"});
    EXPECT_EQ(help.Wait(), 0);
    EXPECT_EQ(help.Out().find(UsageLine), 0u);
    EXPECT_EQ(help.Err(), "");
    std::istringstream lines(help.Out());
    for (std::string line; std::getline(lines, line);)
        EXPECT_LE(line.size(), 80u) << line;
    for (const char* says :
         {"0-based", "--base 1", "--timing standard|gap", "Exit status", "74 the port"})
        EXPECT_NE(help.Out().find(says), std::string::npos) << says;
}

TEST(RegwirePort, APortThatCannotBeOpenedExitsSeventyFour) {
    for (const std::string port : {"/nonexistent/ttyS9", "/dev/null", "/tmp"}) {
        for (const std::vector<std::string>& command :
             {std::vector<std::string>{"read-coils", "0", "1"}, {"serve"}}) {
            TRegwireProcess regwire(Joined({"-p", port}, command));
            EXPECT_EQ(regwire.Wait(), 74) << port << " " << command.front();
            EXPECT_EQ(regwire.Out(), "");
            EXPECT_EQ(regwire.Err().find("regwire: " + port + ": "), 0u) << regwire.Err();
        }
    }
}

// A pseudo-terminal belongs to root and its tty group: the user nobody may
// not open it, as an operator outside the dialout group may not open a port.
TEST(RegwirePort, APortWithoutPermissionSaysWhatToDo) {
    if (getuid() != 0)
        GTEST_SKIP() << "only root can run regwire as another user";
    TCliLine line;
    for (const std::vector<std::string>& command :
         {std::vector<std::string>{"read-coils", "0", "1"}, {"serve"}}) {
        TRegwireProcess regwire(Joined({"-p", line.ClientPath()}, command), true);
        const int status = regwire.Wait();
        if (status == 77)
            GTEST_SKIP() << regwire.Out();
        EXPECT_EQ(status, 74) << command.front() << ": " << regwire.Out() << regwire.Err();
        EXPECT_EQ(regwire.Err(), "regwire: " + line.ClientPath() +
                                     ": permission denied; add your user to the dialout group "
                                     "(sudo adduser $USER dialout), then log in again\n");
    }
}

// A port pulled from under a repeating run or a server ends it at once, not
// in one "no reply" after another, nor in silence, until interrupted.
TEST(RegwirePort, APortThatGoesMidRunEndsTheRunWithSeventyFour) {
    struct TCase {
        std::vector<std::string> Command;
        std::vector<std::uint8_t> Request;  // sent from the far end, if any
        std::string Started;                // on standard error once it uses the port
        std::string Summary;                // on standard error at the end
    };
    const TCase cases[] = {
        {{"-t", "100", "-c", "0", "-i", "10", "--frames", "read-coils", "0", "1"},
         {},
         "> ",
         "transactions: "},
        {{"--frames", "serve"}, WithCrc({0x01, 0x01, 0x00, 0x00, 0x00, 0x01}), "< ", ""},
    };
    for (const TCase& c : cases) {
        int master = -1, slave = -1;
        char name[128];
        ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
        close(slave);
        // regwire must not hold the far end open itself.
        fcntl(master, F_SETFD, FD_CLOEXEC);
        TRegwireProcess regwire(Joined({"-p", name}, c.Command));
        // A server has opened the port once it has heard a request.
        ASSERT_TRUE(regwire.WaitUntil([&] {
            if (!c.Request.empty()) [[maybe_unused]]
                const auto n = write(master, c.Request.data(), c.Request.size());
            return regwire.Err().find(c.Started) != std::string::npos;
        }));
        close(master);
        EXPECT_EQ(regwire.Wait(), 74) << c.Command.back() << ": " << regwire.Err();
        EXPECT_NE(regwire.Err().find("regwire: " + std::string(name) + ": the port is gone\n"),
                  std::string::npos)
            << regwire.Err();
        EXPECT_NE(regwire.Err().find(c.Summary), std::string::npos) << regwire.Err();
    }
}

// --- Nothing on the far end ---

TEST(RegwireWithoutServer, NoReplyExitsTwo) {
    TCliLine line;
    const TRun run = line.Run({"-t", "50", "read-holding-registers", "0", "1"});
    EXPECT_EQ(run.Status, 2);
    EXPECT_EQ(run.Out, "");
    EXPECT_NE(run.Err.find("no reply from server 1"), std::string::npos) << run.Err;
}

// Interrupted before any reply came, regwire has done nothing: that is no
// success, whether it was to repeat or to ask once. It ends at once, not at
// the end of the reply time-out (an hour here), also when it waits for the
// reply within its request (without --frames).
TEST(RegwireWithoutServer, InterruptBeforeAnyReplyExitsTwo) {
    TCliLine line;
    for (const std::string count : {"0", "1", "1 quiet"}) {
        const bool frames = count.size() == 1;
        std::vector<std::string> args{
            "-t", "3600000", "-c", count.substr(0, 1), "read-holding-registers", "0", "1"};
        if (frames)
            args.insert(args.begin(), "--frames");
        const auto client = line.Start(args);
        ASSERT_TRUE(client->WaitUntil([&] {
            return client->IsReady(line.ClientPath(), SIGINT) &&
                   (!frames || client->Err().find("> ") != std::string::npos);
        }));
        if (!frames)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        client->Signal(SIGINT);
        EXPECT_EQ(client->Wait(), 2) << "count " << count;
        EXPECT_EQ(client->Out(), "");
        EXPECT_NE(client->Err().find("interrupted before any transaction completed"),
                  std::string::npos)
            << client->Err();
        const bool summary = client->Err().find("transactions: 0\n") != std::string::npos;
        EXPECT_EQ(summary, count == "0") << client->Err();
        EXPECT_EQ(client->Err().find("no reply"), std::string::npos) << client->Err();
    }
}

// --- The test as the far end, answering with crafted frames ---

// Reads one request from the far end (until the line is silent for 30 ms)
// and writes the reply; the request as it came.
std::vector<std::uint8_t> Answer(int fd, const std::vector<std::uint8_t>& reply) {
    std::vector<std::uint8_t> request;
    pollfd p{fd, POLLIN, 0};
    for (int wait = 5000; poll(&p, 1, wait) > 0; wait = 30) {
        std::uint8_t chunk[256];
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0)
            break;
        request.insert(request.end(), chunk, chunk + n);
    }
    if (request.empty() || reply.empty())
        return request;
    EXPECT_EQ(write(fd, reply.data(), reply.size()), static_cast<ssize_t>(reply.size()));
    return request;
}

TEST(RegwireAgainstCraftedReplies, EachReplyIsPrintedOrFailsWithItsStatus) {
    struct Case {
        std::vector<std::string> words;
        std::vector<std::uint8_t> request;  // without the CRC
        std::vector<std::uint8_t> reply;    // with the CRC
        int status;
        std::string out;
        std::string err;
    };
    const std::vector<Case> cases = {
        {{"read-exception-status"},
         {0x01, 0x07},
         WithCrc({0x01, 0x07, 0x6D}),
         0,
         "0: 1\n1: 0\n2: 1\n3: 1\n4: 0\n5: 1\n6: 1\n7: 0\n",
         ""},
        {{"diagnostics", "2", "0"},
         {0x01, 0x08, 0x00, 0x02, 0x00, 0x00},
         WithCrc({0x01, 0x08, 0x00, 0x02, 0x12, 0x34}),
         0,
         "daReturnDiagnosticRegister: 4660\n",
         ""},
        {{"read-file-record", "4", "1", "2"},
         {0x01, 0x14, 0x07, 0x06, 0x00, 0x04, 0x00, 0x01, 0x00, 0x02},
         WithCrc({0x01, 0x14, 0x06, 0x05, 0x06, 0x00, 0x0A, 0x00, 0x0B}),
         0,
         "4/1: 10\n4/2: 11\n",
         ""},
        {{"write-file-record", "4", "1", "10", "11"},
         {0x01, 0x15, 0x0B, 0x06, 0x00, 0x04, 0x00, 0x01, 0x00, 0x02, 0x00, 0x0A, 0x00, 0x0B},
         WithCrc(
             {0x01, 0x15, 0x0B, 0x06, 0x00, 0x04, 0x00, 0x01, 0x00, 0x02, 0x00, 0x0A, 0x00, 0x0B}),
         0,
         "written 2 registers to file 4 at record 1\n",
         ""},
        {{"report-server-id"},
         {0x01, 0x11},
         WithCrc({0x01, 0x11, 0x03, 0x2A, 0xFF, 0x56}),
         0,
         "2A FF 56\n",
         ""},
        // A line that echoes: the request comes back before the reply.
        {{"--echo", "read-holding-registers", "0", "1"},
         {0x01, 0x03, 0x00, 0x00, 0x00, 0x01},
         Joined(WithCrc({0x01, 0x03, 0x00, 0x00, 0x00, 0x01}),
                WithCrc({0x01, 0x03, 0x02, 0x00, 0x07})),
         0,
         "0: 7\n",
         ""},
        // One register where two were asked for.
        {{"read-holding-registers", "0", "2"},
         {0x01, 0x03, 0x00, 0x00, 0x00, 0x02},
         WithCrc({0x01, 0x03, 0x02, 0x00, 0x07}),
         3,
         "",
         "regwire: bad reply: it does not match the request\n"},
        {{"read-holding-registers", "0", "1"},
         {0x01, 0x03, 0x00, 0x00, 0x00, 0x01},
         // Another server's reply is passed over while ours is awaited.
         WithCrc({0x02, 0x03, 0x02, 0x00, 0x07}),
         2,
         "",
         "regwire: no reply from server 1\n"},
        {{"read-holding-registers", "0", "1"},
         {0x01, 0x03, 0x00, 0x00, 0x00, 0x01},
         {0x01, 0x03, 0x02, 0x00, 0x07, 0x00, 0x00},
         2,
         "",
         "regwire: bad frame (too short or wrong checksum)\n"},
        // Noise right behind a reply: standard timing ends the reply at its
        // length and drops the rest; gap timing takes all of it for one frame.
        {{"read-holding-registers", "0", "1"},
         {0x01, 0x03, 0x00, 0x00, 0x00, 0x01},
         Joined(WithCrc({0x01, 0x03, 0x02, 0x00, 0x07}), {0x55, 0x55}),
         0,
         "0: 7\n",
         ""},
        {{"--timing", "gap", "read-holding-registers", "0", "1"},
         {0x01, 0x03, 0x00, 0x00, 0x00, 0x01},
         Joined(WithCrc({0x01, 0x03, 0x02, 0x00, 0x07}), {0x55, 0x55}),
         2,
         "",
         "regwire: bad frame (too short or wrong checksum)\n"},
    };
    TCliLine line;
    const int far = open(line.FarPath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(far, 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.words.front() + " " + c.words.back());
        const auto client = line.Start(Joined({"-t", "500"}, c.words));
        EXPECT_EQ(Answer(far, c.reply), WithCrc(c.request));
        EXPECT_EQ(client->Wait(), c.status);
        EXPECT_EQ(client->Out(), c.out);
        EXPECT_EQ(client->Err(), c.err);
    }
    const auto client = line.Start({"--json", "read-file-record", "4", "1", "2"});
    Answer(far, WithCrc({0x01, 0x14, 0x06, 0x05, 0x06, 0x00, 0x0A, 0x00, 0x0B}));
    EXPECT_EQ(client->Wait(), 0);
    EXPECT_EQ(JsonLines(client->Out()),
              JsonLines(R"({"function":20,"status":"success","attempts":1,"rttUs":0,)"
                        R"("records":[{"file":4,"record":1,"values":[10,11]}]})"
                        "\n"));
    close(far);
}

// --- libmodbus serving ---

// A libmodbus RTU server at address 1 on the far end, on a thread of its
// own; holding register i holds 1000 + i.
class TLibmodbusServer {
  public:
    explicit TLibmodbusServer(const std::string& path)
        : FContext(modbus_new_rtu(path.c_str(), 19200, 'E', 8, 1)),
          FMapping(modbus_mapping_new(100, 100, 100, 100)) {
        modbus_set_slave(FContext, 1);
        modbus_set_indication_timeout(FContext, 0, 50000);
        if (modbus_connect(FContext) != 0)
            throw std::runtime_error(std::string("libmodbus connect: ") + modbus_strerror(errno));
        for (int i = 0; i < 100; ++i)
            FMapping->tab_registers[i] = static_cast<std::uint16_t>(1000 + i);
        FThread = std::thread([this] { Serve(); });
    }
    ~TLibmodbusServer() {
        FStop = true;
        FThread.join();
        modbus_close(FContext);
        modbus_free(FContext);
        modbus_mapping_free(FMapping);
    }
    TLibmodbusServer(const TLibmodbusServer&) = delete;
    TLibmodbusServer& operator=(const TLibmodbusServer&) = delete;

  private:
    void Serve() {
        std::uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
        while (!FStop) {
            const int n = modbus_receive(FContext, query);
            if (n > 0)
                modbus_reply(FContext, query, n, FMapping);
        }
    }

    modbus_t* FContext;
    modbus_mapping_t* FMapping;
    std::atomic<bool> FStop = false;
    std::thread FThread;
};

TEST(RegwireAgainstLibmodbus, CommandsLibmodbusServesPrintTheirResults) {
    TCliLine line;
    TLibmodbusServer server(line.FarPath());
    struct Case {
        std::vector<std::string> words;
        std::string text;
    };
    const Case cases[] = {
        {{"read-holding-registers", "10", "2"}, "10: 1010\n11: 1011\n"},
        {{"mask-write-register", "3", "0x00F2", "0x0025"},
         "written register 3 through AND 0x00F2, OR 0x0025\n"},
        {{"read-holding-registers", "3", "1"},
         "3: " + std::to_string((1003 & 0x00F2) | (0x0025 & ~0x00F2)) + "\n"},
        {{"read-write-registers", "50", "2", "50", "7", "8"},
         "50: 7\n51: 8\nwritten 2 registers at 50\n"},
        {{"write-coils", "20", "1", "1", "0", "1", "0", "0", "0", "0", "1"},
         "written 9 coils at 20\n"},
        {{"read-coils", "19", "11"},
         "19: 0\n20: 1\n21: 1\n22: 0\n23: 1\n24: 0\n25: 0\n26: 0\n27: 0\n28: 1\n29: 0\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.words.front());
        const TRun run = line.Run(c.words);
        EXPECT_EQ(run.Status, 0) << run.Err;
        EXPECT_EQ(run.Out, c.text);
    }
    const TRun json = line.Run({"--json", "read-write-registers", "0", "1", "60", "9"});
    EXPECT_EQ(JsonLines(json.Out),
              JsonLines(R"({"function":23,"status":"success","attempts":1,"rttUs":0,)"
                        R"("read":{"start":0,"values":[1000]},"written":{"start":60,"values":[9]}})"
                        "\n"));
    const TRun id = line.Run({"--json", "report-server-id"});
    EXPECT_EQ(id.Status, 0) << id.Err;
    EXPECT_NE(id.Out.find(R"("status":"success")"), std::string::npos) << id.Out;
    EXPECT_NE(id.Out.find(R"("data":")"), std::string::npos) << id.Out;
    const TRun exception = line.Run({"read-holding-registers", "99", "2"});
    EXPECT_EQ(exception.Status, 1);
    EXPECT_NE(exception.Err.find("Illegal data address"), std::string::npos) << exception.Err;
}

}  // namespace
