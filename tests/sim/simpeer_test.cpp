// vapcal-sim against libmodbus's RTU client: the registers the console
// reads, the temperature controller's write handshake, the write log, the
// options and a clean stop; and vapcal-sim and regwire serve after noise on
// their line.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <modbus.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <thread>

#include "nullmodem.h"
#include "simprocess.h"

namespace {

class SimPeerTest : public ::testing::Test {
  protected:
    void Connect(TSimProcess& sim) {
        ASSERT_FALSE(sim.Device.empty()) << "vapcal-sim printed no device";
        Ctx = modbus_new_rtu(sim.Device.c_str(), 9600, 'E', 8, 1);
        ASSERT_NE(Ctx, nullptr);
        ASSERT_EQ(modbus_connect(Ctx), 0) << modbus_strerror(errno);
        modbus_set_response_timeout(Ctx, 1, 0);
    }
    void TearDown() override {
        if (Ctx != nullptr) {
            modbus_close(Ctx);
            modbus_free(Ctx);
        }
    }

    // One register of a server; -1 on failure (errno tells why).
    int Read(int server, int address) {
        modbus_set_slave(Ctx, server);
        uint16_t value = 0;
        return modbus_read_registers(Ctx, address, 1, &value) == 1 ? value : -1;
    }
    // The error of a write, 0 when accepted.
    int Write(int server, int address, int value) {
        modbus_set_slave(Ctx, server);
        return modbus_write_register(Ctx, address, value) == 1 ? 0 : errno;
    }

    modbus_t* Ctx = nullptr;
};

struct TFlowCase {
    int Server;
    int UnitIndex;
    int SetPoint;
};

class SimFlowControllerTest : public SimPeerTest,
                              public ::testing::WithParamInterface<TFlowCase> {};

TEST_P(SimFlowControllerTest, ShowsCapacityUnitSetPointAndAMeasuredFlowNearIt) {
    TSimProcess sim({"--seed", "5"});
    Connect(sim);
    const TFlowCase c = GetParam();
    modbus_set_slave(Ctx, c.Server);
    uint16_t capacity[2] = {};
    ASSERT_EQ(modbus_read_registers(Ctx, 33128, 2, capacity), 2) << modbus_strerror(errno);
    EXPECT_EQ(capacity[0], 0x41A0);
    EXPECT_EQ(capacity[1], 0x0000);
    EXPECT_EQ(Read(c.Server, 47), c.UnitIndex);
    EXPECT_EQ(Read(c.Server, 33), c.SetPoint);
    EXPECT_NEAR(Read(c.Server, 32), c.SetPoint, 50);
    EXPECT_EQ(Write(c.Server, 34, 400), 0);
    EXPECT_EQ(Read(c.Server, 34), 400);
}

INSTANTIATE_TEST_SUITE_P(Controllers, SimFlowControllerTest,
                         ::testing::Values(TFlowCase{10, 2, 9600}, TFlowCase{11, 0, 16000}));

TEST_F(SimPeerTest, TemperatureControllerShowsTemperatureSetPointAndLimits) {
    TSimProcess sim;
    Connect(sim);
    EXPECT_EQ(Read(20, 28), 400);
    EXPECT_EQ(Read(20, 127), 400);
    EXPECT_EQ(Read(20, 148), 600);
    EXPECT_EQ(Read(20, 150), 300);
}

TEST_F(SimPeerTest, CapacitiesComeFromTheOptions) {
    TSimProcess sim({"--rf-capacity", "10", "--df-capacity", "0.5"});
    Connect(sim);
    EXPECT_EQ(Read(10, 33128), 0x4120);
    EXPECT_EQ(Read(10, 33129), 0x0000);
    EXPECT_EQ(Read(11, 33128), 0x3F00);
}

TEST_F(SimPeerTest, SetPointTakesAWriteOnlyInsideTheHandshakeAndEveryAcceptedWriteIsLogged) {
    TSimProcess sim;
    Connect(sim);
    EXPECT_EQ(Write(20, 127, 455), EMBXILVAL);
    EXPECT_EQ(Write(20, 768, 5), 0);
    EXPECT_EQ(Write(20, 127, 455), EMBXILVAL) << "half the entering handshake is not enough";
    EXPECT_EQ(Write(20, 5376, 0), 0);
    EXPECT_EQ(Write(20, 127, 455), 0);
    EXPECT_EQ(Write(20, 127, 700), EMBXILVAL) << "above the upper limit";
    EXPECT_EQ(Write(20, 768, 6), 0);
    EXPECT_EQ(Write(20, 127, 460), EMBXILVAL);
    EXPECT_EQ(Write(20, 5632, 0), 0);
    EXPECT_EQ(Write(20, 127, 460), EMBXILVAL);
    EXPECT_EQ(Read(20, 127), 455);

    EXPECT_EQ(sim.ReadLine(2000), "server 20: register 768 := 5");
    EXPECT_EQ(sim.ReadLine(2000), "server 20: register 5376 := 0");
    EXPECT_EQ(sim.ReadLine(2000), "server 20: register 127 := 455");
    EXPECT_EQ(sim.ReadLine(2000), "server 20: register 768 := 6");
    EXPECT_EQ(sim.ReadLine(2000), "server 20: register 5632 := 0");
    EXPECT_EQ(sim.ReadLine(300), "") << "a refused write is not logged";
}

TEST_F(SimPeerTest, RequestsOutsideTheRegisterMapAreRefused) {
    TSimProcess sim;
    Connect(sim);
    EXPECT_EQ(Write(10, 47, 3), EMBXILADD) << "the unit index is read-only";
    EXPECT_EQ(Write(10, 33128, 0), EMBXILADD) << "the capacity is read-only";
    EXPECT_EQ(Write(10, 33, 32001), EMBXILVAL) << "beyond 100 %";
    EXPECT_EQ(Read(10, 100), -1);
    EXPECT_EQ(errno, EMBXILADD);
    EXPECT_EQ(Write(20, 768, 7), EMBXILVAL);
    uint8_t coils[8];
    modbus_set_slave(Ctx, 10);
    EXPECT_EQ(modbus_read_bits(Ctx, 0, 8, coils), -1);
    EXPECT_EQ(errno, EMBXILFUN);
}

TEST_F(SimPeerTest, ReadingsMoveTowardsTheirSetPoints) {
    TSimProcess sim;
    Connect(sim);
    ASSERT_EQ(Write(10, 33, 16000), 0);
    ASSERT_EQ(Write(20, 768, 5), 0);
    ASSERT_EQ(Write(20, 5376, 0), 0);
    ASSERT_EQ(Write(20, 127, 420), 0);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    // About 1.5 time constants and 3 s at 0.5 degrees a second: well on the
    // way, never past.
    const int flow = Read(10, 32);
    EXPECT_GT(flow, 12000);
    EXPECT_LE(flow, 16050);
    const int temperature = Read(20, 28);
    EXPECT_GT(temperature, 405);
    EXPECT_LE(temperature, 420);
}

// The analyser's float (input registers 0-1, high word first) is its gain
// times the kit's delivered concentration plus its offset: the kit at its
// start delivers 40.02 ng/l (40 °C, 6 ml/min, 10 l/min).
TEST_F(SimPeerTest, TheAnalyserReadsItsGainAndOffsetOnTheDeliveredConcentration) {
    TSimProcess sim(
        {"--analyzer", "30", "--analyzer-gain", "2", "--analyzer-offset", "1", "--seed", "6"});
    Connect(sim);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    modbus_set_slave(Ctx, 30);
    uint16_t words[2] = {};
    ASSERT_EQ(modbus_read_input_registers(Ctx, 0, 2, words), 2) << modbus_strerror(errno);
    EXPECT_NEAR(modbus_get_float_abcd(words), 2 * 40.02 + 1, 0.2);
    EXPECT_EQ(modbus_read_registers(Ctx, 0, 2, words), -1);  // function 4 only
    EXPECT_EQ(errno, EMBXILFUN);
}

TEST_F(SimPeerTest, EndsCleanlyOnSigintAndSigterm) {
    TSimProcess interrupted;
    EXPECT_FALSE(interrupted.Device.empty());
    EXPECT_EQ(interrupted.Stop(SIGINT), 0);
    TSimProcess terminated;
    Connect(terminated);
    EXPECT_EQ(Read(10, 47), 2);
    EXPECT_EQ(terminated.Stop(SIGTERM), 0);
}

TEST(SimOptionsTest, HelpDocumentsTheOptionsAndBadValuesAreRefused) {
    const std::string sim = VAPCAL_SIM;
    const std::string quiet = " >/dev/null 2>&1";
    EXPECT_EQ(std::system((sim + " --help" + quiet).c_str()), 0);
    std::string help;
    if (FILE* out = popen((sim + " --help").c_str(), "r")) {
        char chunk[512];
        while (size_t n = fread(chunk, 1, sizeof chunk, out))
            help.append(chunk, n);
        pclose(out);
    }
    for (const char* option :
         {"--rf-capacity", "--df-capacity", "--no-reply", "--bad-crc", "--wrong-address",
          "--exception", "--bit-rate", "--seed", "--analyzer", "--analyzer-gain",
          "--analyzer-offset", "--analyzer-noise", "--analyzer-lag"})
        EXPECT_NE(help.find(option), std::string::npos) << option;

    for (const char* bad :
         {" --no-reply 150", " --no-reply 60 --bad-crc 60", " --rf-capacity 0", " --bit-rate fast",
          " --exception -1", " extra", " --analyzer 10", " --analyzer 248", " --analyzer-gain 2"}) {
        const int status = std::system((sim + bad + quiet).c_str());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << bad;
    }
}

// CPU time a process has used so far, in seconds.
double CpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // The fields after the command's closing parenthesis; utime and stime
    // are the 12th and 13th of them.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 1; i <= 13 && fields >> field; ++i)
        if (i >= 12)
            ticks += std::stod(field);
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// regwire serving its tables as address 1 on one end of a null modem.
class TRegwireServe {
  public:
    explicit TRegwireServe(const std::string& device) {
        FPid = fork();
        if (FPid == 0) {
            const int null = open("/dev/null", O_RDWR);
            dup2(null, STDIN_FILENO);
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
            execl(REGWIRE_CLI, REGWIRE_CLI, "-p", device.c_str(), "-a", "1", "serve",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~TRegwireServe() {
        kill(FPid, SIGTERM);
        waitpid(FPid, nullptr, 0);
    }
    pid_t Pid() const { return FPid; }

  private:
    pid_t FPid = -1;
};

// A server on our library meets 300 characters of line noise, more than
// any frame holds, then a valid request after a silent gap: it answers, and
// the noise costs it no CPU to speak of.
struct TNoiseCase {
    const char* Name;
};

void PrintTo(const TNoiseCase& c, std::ostream* out) {
    *out << c.Name;
}

class ServerAfterNoiseTest : public SimPeerTest, public ::testing::WithParamInterface<TNoiseCase> {
  protected:
    void Start() {
        if (std::string(GetParam().Name) == "vapcal-sim") {
            Sim = std::make_unique<TSimProcess>();
            Connect(*Sim);
            Pid = Sim->Pid();
            Server = 10;
            Register = 47;
        } else {
            Line = std::make_unique<regwire::peer::TNullModem>();
            Serve = std::make_unique<TRegwireServe>(Line->PathA());
            Ctx = modbus_new_rtu(Line->PathB().c_str(), 19200, 'E', 8, 1);
            ASSERT_NE(Ctx, nullptr);
            ASSERT_EQ(modbus_connect(Ctx), 0) << modbus_strerror(errno);
            modbus_set_response_timeout(Ctx, 1, 0);
            Pid = Serve->Pid();
            Server = 1;
            Register = 0;
        }
    }
    // Asks until the server answers: it is listening once it has.
    bool Answers(int attempts) {
        for (int i = 0; i < attempts; ++i)
            if (Read(Server, Register) >= 0)
                return true;
        return false;
    }

    std::unique_ptr<TSimProcess> Sim;
    std::unique_ptr<regwire::peer::TNullModem> Line;
    std::unique_ptr<TRegwireServe> Serve;
    pid_t Pid = -1;
    int Server = 0;
    int Register = 0;
};

TEST_P(ServerAfterNoiseTest, AnswersTheNextRequestAndWaitsWithoutSpinning) {
    Start();
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(Answers(10)) << "the server never answered";

    std::vector<std::uint8_t> noise(300);
    std::mt19937 random(13);
    for (std::uint8_t& c : noise)
        c = static_cast<std::uint8_t>(random());
    const auto start = std::chrono::steady_clock::now();
    const double cpuBefore = CpuSeconds(Pid);
    ASSERT_EQ(write(modbus_get_socket(Ctx), noise.data(), noise.size()),
              static_cast<ssize_t>(noise.size()));
    // A silent gap on the line ends the noise; it is also the time over
    // which a server that spins would burn its CPU.
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_GE(Read(Server, Register), 0) << modbus_strerror(errno);
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(CpuSeconds(Pid) - cpuBefore, elapsed / 4) << "over " << elapsed << " s";
}

INSTANTIATE_TEST_SUITE_P(Servers, ServerAfterNoiseTest,
                         ::testing::Values(TNoiseCase{"vapcal-sim"}, TNoiseCase{"regwire-serve"}),
                         [](const auto& info) {
                             std::string name = info.param.Name;
                             std::erase(name, '-');
                             return name;
                         });

}  // namespace
