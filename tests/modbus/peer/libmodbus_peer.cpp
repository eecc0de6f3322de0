// Our client against a libmodbus server, our server against a libmodbus
// client, both in RTU over a pair of joined pseudo-terminals and in Modbus
// TCP on loopback; ASCII, which libmodbus does not speak, ours against ours.
#include "nullmodem.h"
// nullmodem.h first: its system headers come before Qt's macros.
#include <modbus.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <gtest/gtest.h>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <functional>

#include "modbus/client.h"
#include "modbus/memoryserver.h"
#include "modbus/serialports.h"

using namespace regwire;
using namespace regwire::peer;

namespace {

constexpr int Address = 17;

QCoreApplication& App() {
    static int argc = 1;
    static char name[] = "modbus_peer_tests";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

bool SpinUntil(const std::function<bool()>& done, int ms = 10000) {
    App();
    const QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    }
    return true;
}

// Which line a peer test runs on: RTU across joined pseudo-terminals, with
// our side in the silent-gap timing or in the standard's frame lengths and
// 3.5 characters of quiet, or Modbus TCP on loopback.
enum TPeerLine { plRtuGap, plRtuStandard, plModbusTcp };

std::string LineName(const ::testing::TestParamInfo<TPeerLine>& info) {
    constexpr const char* names[] = {"RtuGap", "RtuStandard", "ModbusTcp"};
    return names[info.param];
}

TFrameTiming TimingOf(TPeerLine line) {
    return line == plRtuStandard ? ftStandard : ftGap;
}

// A libmodbus server answering from its own mapping on a thread of its own:
// on one end of the null modem, or listening on a loopback port of the
// system's choice for one client.
class TLibmodbusServer {
  public:
    TLibmodbusServer(TPeerLine line, const std::string& path)
        : FContext(line != plModbusTcp ? modbus_new_rtu(path.c_str(), 19200, 'E', 8, 1)
                                       : modbus_new_tcp("127.0.0.1", 0)),
          FMapping(modbus_mapping_new(100, 100, 100, 100)) {
        modbus_set_slave(FContext, Address);
        modbus_set_indication_timeout(FContext, 0, 50000);
        // libmodbus sleeps its response time-out before it sends some
        // exception replies; keep that short so a loaded machine still
        // answers well inside our receive time-out.
        modbus_set_response_timeout(FContext, 0, 50000);
        if (line != plModbusTcp && modbus_connect(FContext) != 0)
            throw std::runtime_error(std::string("libmodbus connect: ") + modbus_strerror(errno));
        if (line == plModbusTcp)
            Listen();
        for (int i = 0; i < 100; ++i) {
            FMapping->tab_registers[i] = static_cast<std::uint16_t>(1000 + i);
            FMapping->tab_input_registers[i] = static_cast<std::uint16_t>(2000 + i);
            FMapping->tab_input_bits[i] = static_cast<std::uint8_t>(i % 3 == 0);
        }
        FThread = std::thread([this] { Serve(); });
    }
    ~TLibmodbusServer() {
        FStop = true;
        FThread.join();
        modbus_close(FContext);
        modbus_free(FContext);
        modbus_mapping_free(FMapping);
        if (FListener >= 0)
            close(FListener);
    }
    modbus_mapping_t& Mapping() { return *FMapping; }
    // Where our client reaches it: the pseudo-terminal's other end, or the
    // loopback port.
    std::string Port(const std::string& otherEnd) const {
        return FListener < 0 ? otherEnd : "mbtcp://127.0.0.1:" + std::to_string(FTcpPort);
    }

  private:
    void Listen() {
        FListener = modbus_tcp_listen(FContext, 1);
        if (FListener < 0)
            throw std::runtime_error(std::string("libmodbus listen: ") + modbus_strerror(errno));
        sockaddr_in address{};
        socklen_t size = sizeof address;
        getsockname(FListener, reinterpret_cast<sockaddr*>(&address), &size);
        FTcpPort = ntohs(address.sin_port);
    }
    void Serve() {
        std::uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
        // A TCP server takes its client first, looking at the stop flag
        // between short waits.
        while (FListener >= 0 && !FStop) {
            pollfd p{FListener, POLLIN, 0};
            if (poll(&p, 1, 50) == 1 && modbus_tcp_accept(FContext, &FListener) >= 0)
                break;
        }
        while (!FStop) {
            const int n = modbus_receive(FContext, query);
            if (n > 0)
                modbus_reply(FContext, query, n, FMapping);
        }
    }

    modbus_t* FContext;
    modbus_mapping_t* FMapping;
    int FListener = -1;
    int FTcpPort = 0;
    std::atomic<bool> FStop = false;
    std::thread FThread;
};

// Our client on the other end, recording what each event delivered.
struct TOurClient {
    TOurClient(const std::string& path, TFrameTiming timing, TTransmissionMode mode = tmRTU) {
        App();
        Connection.SetPort(path);
        Connection.SetTransmissionMode(mode);
        Connection.SetFrameTiming(timing);
        Connection.SetReceiveTimeout(3000);
        Connection.Open();
        Client.SetConnection(&Connection);
        Client.SetServerAddress(Address);
        Client.OnTransactionProcessed = [this](TModbusClient*, const TTransactionInfo& info,
                                               std::uint8_t, bool) { Done.push_back(info); };
    }
    TTransactionInfo Run(const std::function<void()>& request) {
        const std::size_t before = Done.size();
        request();
        EXPECT_TRUE(SpinUntil([&] { return Done.size() > before; }));
        return Done.empty() ? TTransactionInfo{} : Done.back();
    }

    TModbusConnection Connection;
    TModbusClient Client;
    std::vector<TTransactionInfo> Done;
};

}  // namespace

class LibmodbusServer : public ::testing::TestWithParam<TPeerLine> {};

TEST_P(LibmodbusServer, AnswersOurClientForEveryFunctionItServes) {
    TNullModem line;
    TLibmodbusServer server(GetParam(), line.PathA());
    TOurClient ours(server.Port(line.PathB()), TimingOf(GetParam()));
    TModbusClient& c = ours.Client;

    TRegValues registers;
    c.OnHoldingRegistersRead = [&](TModbusClient*, const TTransactionInfo&, std::uint16_t,
                                   std::uint16_t, const TRegValues& v) { registers = v; };
    EXPECT_EQ(ours.Run([&] { c.ReadHoldingRegisters(10, 3); }).Status, tsSuccess);
    EXPECT_EQ(registers, (TRegValues{1010, 1011, 1012}));

    c.OnInputRegistersRead = [&](TModbusClient*, const TTransactionInfo&, std::uint16_t,
                                 std::uint16_t, const TRegValues& v) { registers = v; };
    EXPECT_EQ(ours.Run([&] { c.ReadInputRegisters(98, 2); }).Status, tsSuccess);
    EXPECT_EQ(registers, (TRegValues{2098, 2099}));

    TBitValues bits;
    c.OnDiscreteInputsRead = [&](TModbusClient*, const TTransactionInfo&, std::uint16_t,
                                 std::uint16_t, const TBitValues& v) { bits = v; };
    EXPECT_EQ(ours.Run([&] { c.ReadDiscreteInputs(0, 10); }).Status, tsSuccess);
    EXPECT_EQ(bits, (TBitValues{1, 0, 0, 1, 0, 0, 1, 0, 0, 1}));

    EXPECT_EQ(ours.Run([&] { c.WriteSingleCoil(5, true); }).Status, tsSuccess);
    EXPECT_EQ(ours.Run([&] {
                      c.WriteMultipleCoils(20, {1, 1, 0, 1, 0, 0, 0, 0, 1});
                  })
                  .Status,
              tsSuccess);
    c.OnCoilsRead = [&](TModbusClient*, const TTransactionInfo&, std::uint16_t, std::uint16_t,
                        const TBitValues& v) { bits = v; };
    EXPECT_EQ(ours.Run([&] { c.ReadCoils(20, 9); }).Status, tsSuccess);
    EXPECT_EQ(bits, (TBitValues{1, 1, 0, 1, 0, 0, 0, 0, 1}));
    EXPECT_EQ(server.Mapping().tab_bits[5], 1);

    EXPECT_EQ(ours.Run([&] { c.WriteSingleRegister(0, 9600); }).Status, tsSuccess);
    EXPECT_EQ(ours.Run([&] { c.WriteMultipleRegisters(1, {7, 8}); }).Status, tsSuccess);
    EXPECT_EQ(ours.Run([&] { c.WriteSingleRegisterMask(3, 0x00F2, 0x0025); }).Status, tsSuccess);
    EXPECT_EQ(server.Mapping().tab_registers[0], 9600);
    EXPECT_EQ(server.Mapping().tab_registers[2], 8);
    EXPECT_EQ(server.Mapping().tab_registers[3], ((1003 & 0x00F2) | (0x0025 & ~0x00F2)));

    TRegValues read;
    c.OnMultipleRegistersReadWrite = [&](TModbusClient*, const TTransactionInfo&, std::uint16_t,
                                         std::uint16_t, const TRegValues& r, std::uint16_t,
                                         std::uint16_t, const TRegValues&) { read = r; };
    EXPECT_EQ(ours.Run([&] { c.ReadWriteMultipleRegisters(0, 2, 50, {0xABCD}); }).Status,
              tsSuccess);
    EXPECT_EQ(read, (TRegValues{9600, 7}));
    EXPECT_EQ(server.Mapping().tab_registers[50], 0xABCD);

    int idCount = -1;
    c.OnServerIdentificationReport = [&](TModbusClient*, const TTransactionInfo&, int count,
                                         const TServerIdentificationData&) { idCount = count; };
    EXPECT_EQ(ours.Run([&] { c.ReportServerIdentification(); }).Status, tsSuccess);
    EXPECT_GT(idCount, 2);
}

TEST_P(LibmodbusServer, ExceptionRepliesReachOurClient) {
    TNullModem line;
    TLibmodbusServer server(GetParam(), line.PathA());
    TOurClient ours(server.Port(line.PathB()), TimingOf(GetParam()));
    TModbusClient& c = ours.Client;
    struct Case {
        std::function<void()> request;
        std::uint8_t code;
    };
    const Case cases[] = {
        {[&] { c.ReadHoldingRegisters(99, 2); }, 2},
        {[&] { c.ReadCoils(100, 1); }, 2},
        {[&] { c.WriteSingleRegister(100, 1); }, 2},
        {[&] {
             c.CustomTransaction(3, {0x00, 0x00, 0x00, 0x00});
         },
         3},  // a count of 0
        {[&] { c.CustomTransaction(0x41, {}); }, 1},
    };
    for (const Case& k : cases) {
        const TTransactionInfo info = ours.Run(k.request);
        EXPECT_EQ(info.Status, tsException);
        EXPECT_EQ(info.ExceptionCode, k.code);
        EXPECT_EQ(info.Attempts, 1);
    }
}

INSTANTIATE_TEST_SUITE_P(Lines, LibmodbusServer,
                         ::testing::Values(plRtuGap, plRtuStandard, plModbusTcp), LineName);

namespace {

// Our in-memory server on one end of the null modem; libmodbus calls run on
// a thread of their own while the main thread answers.
struct TOurServer {
    // A network path listens on it; Port then names the port it took.
    TOurServer(const std::string& path, TFrameTiming timing, TTransmissionMode mode = tmRTU)
        : Server(100) {
        App();
        Connection.SetPort(path);
        Port = path;
        Connection.DeviceFactory = [this](const TSerialPort& port) {
            auto device = OpenPort(port, cmServer);
            Port = ListeningPortName(port, *device);
            return device;
        };
        Connection.SetConnectionMode(cmServer);
        Connection.SetTransmissionMode(mode);
        Connection.SetFrameTiming(timing);
        Server.SetServerAddress(Address);
        for (int i = 0; i < 100; ++i) {
            Server.PutInputRegister(i, static_cast<std::uint16_t>(3000 + i));
            Server.PutDiscreteInput(i, i % 2 == 1);
        }
        Server.SetConnection(&Connection);
        // A request sent the moment the port is open is answered.
        Connection.Open();
    }
    TModbusConnection Connection;
    TMemoryModbusServer Server;
    std::string Port;
};

void RunBesideTheEventLoop(const std::function<void()>& body) {
    std::atomic<bool> done = false;
    std::thread worker([&] {
        body();
        done = true;
    });
    SpinUntil([&] { return done.load(); }, 60000);
    worker.join();
}

}  // namespace

class OurServer : public ::testing::TestWithParam<TPeerLine> {};

TEST_P(OurServer, AnswersALibmodbusClient) {
    TNullModem line;
    const bool tcp = GetParam() == plModbusTcp;
    TOurServer ours(tcp ? "mbtcp://127.0.0.1:0" : line.PathA(), TimingOf(GetParam()));
    const int tcpPort = tcp ? std::stoi(ours.Port.substr(ours.Port.rfind(':') + 1)) : 0;
    modbus_t* ctx = tcp ? modbus_new_tcp("127.0.0.1", tcpPort)
                        : modbus_new_rtu(line.PathB().c_str(), 19200, 'E', 8, 1);
    modbus_set_slave(ctx, Address);
    modbus_set_response_timeout(ctx, 3, 0);
    ASSERT_EQ(modbus_connect(ctx), 0) << modbus_strerror(errno);

    std::uint16_t registers[4] = {};
    std::uint8_t bits[10] = {};
    int results[12] = {};
    int errnos[2] = {};
    std::uint8_t refusals[2][2] = {};
    // Bytes before the function code: the address in RTU, the MBAP header
    // in Modbus TCP.
    const int header = modbus_get_header_length(ctx);
    RunBesideTheEventLoop([&] {
        const std::uint8_t coils[3] = {1, 0, 1};
        const std::uint16_t values[2] = {0x1234, 0xFFFF};
        results[0] = modbus_write_register(ctx, 7, 4242);
        results[1] = modbus_write_registers(ctx, 8, 2, values);
        results[2] = modbus_read_registers(ctx, 7, 3, registers);
        results[3] = modbus_read_input_registers(ctx, 98, 1, registers + 3);
        results[4] = modbus_write_bit(ctx, 3, 1);
        results[5] = modbus_write_bits(ctx, 10, 3, coils);
        results[6] = modbus_read_bits(ctx, 10, 3, bits);
        results[7] = modbus_read_input_bits(ctx, 0, 4, bits + 3);
        results[8] = modbus_read_registers(ctx, 99, 2, registers);
        errnos[0] = errno;
        results[9] = modbus_write_bit(ctx, 100, 1);
        errnos[1] = errno;
        // A count of 0 and one of 126, which libmodbus would not send itself.
        const std::uint8_t zero[] = {Address, 0x03, 0x00, 0x00, 0x00, 0x00};
        const std::uint8_t tooMany[] = {Address, 0x04, 0x00, 0x00, 0x00, 126};
        std::uint8_t reply[MODBUS_TCP_MAX_ADU_LENGTH];
        modbus_send_raw_request(ctx, zero, sizeof zero);
        results[10] = modbus_receive_confirmation(ctx, reply);
        std::copy(reply + header, reply + header + 2, refusals[0]);
        modbus_send_raw_request(ctx, tooMany, sizeof tooMany);
        results[11] = modbus_receive_confirmation(ctx, reply);
        std::copy(reply + header, reply + header + 2, refusals[1]);
    });
    modbus_close(ctx);
    modbus_free(ctx);

    EXPECT_EQ(results[0], 1);
    EXPECT_EQ(results[1], 2);
    EXPECT_EQ(results[2], 3);
    EXPECT_EQ(registers[0], 4242);
    EXPECT_EQ(registers[1], 0x1234);
    EXPECT_EQ(registers[2], 0xFFFF);
    EXPECT_EQ(registers[3], 3098);
    EXPECT_EQ(results[4], 1);
    EXPECT_TRUE(ours.Server.Coil(3));
    EXPECT_EQ(results[5], 3);
    EXPECT_EQ(results[6], 3);
    EXPECT_EQ(bits[0], 1);
    EXPECT_EQ(bits[1], 0);
    EXPECT_EQ(bits[2], 1);
    EXPECT_EQ(results[7], 4);
    EXPECT_EQ(bits[3], 0);
    EXPECT_EQ(bits[4], 1);
    EXPECT_EQ(results[8], -1);
    EXPECT_EQ(errnos[0], EMBXILADD);
    EXPECT_EQ(results[9], -1);
    EXPECT_EQ(errnos[1], EMBXILADD);
    // An exception reply is function | 0x80 and the code after the header,
    // then the CRC in RTU.
    const int exceptionLength = tcp ? header + 2 : header + 4;
    EXPECT_EQ(results[10], exceptionLength);
    EXPECT_EQ(refusals[0][0], 0x83);
    EXPECT_EQ(refusals[0][1], 3);
    EXPECT_EQ(results[11], exceptionLength);
    EXPECT_EQ(refusals[1][0], 0x84);
    EXPECT_EQ(refusals[1][1], 3);
}

INSTANTIATE_TEST_SUITE_P(Lines, OurServer, ::testing::Values(plRtuGap, plRtuStandard, plModbusTcp),
                         LineName);

TEST(OurServerAlone, AnswersOurClientInAscii) {
    TNullModem line;
    TOurServer server(line.PathA(), ftGap, tmASCII);
    TOurClient ours(line.PathB(), ftGap, tmASCII);
    TModbusClient& c = ours.Client;
    TRegValues registers;
    c.OnInputRegistersRead = [&](TModbusClient*, const TTransactionInfo&, std::uint16_t,
                                 std::uint16_t, const TRegValues& v) { registers = v; };
    EXPECT_EQ(ours.Run([&] { c.WriteMultipleRegisters(5, {11, 12}); }).Status, tsSuccess);
    EXPECT_EQ(server.Server.HoldingRegister(6), 12);
    EXPECT_EQ(ours.Run([&] { c.ReadInputRegisters(10, 2); }).Status, tsSuccess);
    EXPECT_EQ(registers, (TRegValues{3010, 3011}));
    const TTransactionInfo refused = ours.Run([&] { c.ReadCoils(99, 2); });
    EXPECT_EQ(refused.Status, tsException);
    EXPECT_EQ(refused.ExceptionCode, 2);
}
