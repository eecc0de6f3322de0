#include "modbus/server.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "helpers.h"
#include "modbus/errors.h"
#include "modbus/memoryserver.h"

using namespace regwire;
using namespace regwire::test;

namespace {

const TFrameCodec RTU(tmRTU, cmServer);
const TFrameCodec ASCII(tmASCII, cmServer);
using TBytes = std::vector<std::uint8_t>;

// Tables of 65536 entries that record which operations the handling called
// and can be told to refuse or fail.
class TProbeServer : public TMemoryModbusServer {
  public:
    TProbeServer() : TMemoryModbusServer(0x10000) { SetServerAddress(7); }

    int InvalidAddress = -1;
    int RefusedAddress = -1;
    TWriteCheck Refusal = wcIllegalValue;
    int FailingAddress = -1;
    bool AcceptAll = true;
    int Reads = 0;
    int Checks = 0;

  protected:
    bool AcceptsFunction(std::uint8_t function) override {
        return AcceptAll && TMemoryModbusServer::AcceptsFunction(function);
    }
    bool IsCoilValid(std::uint16_t address) override { return address != InvalidAddress; }
    bool GetCoil(std::uint16_t address) override {
        ++Reads;
        return TMemoryModbusServer::GetCoil(address);
    }
    std::uint16_t GetHoldingRegister(std::uint16_t address) override {
        ++Reads;
        if (address == FailingAddress)
            throw std::runtime_error("sensor gone");
        return TMemoryModbusServer::GetHoldingRegister(address);
    }
    TWriteCheck CheckCoilWrite(std::uint16_t address, bool value) override {
        ++Checks;
        return TMemoryModbusServer::CheckCoilWrite(address, value);
    }
    TWriteCheck CheckHoldingRegisterWrite(std::uint16_t address, std::uint16_t value) override {
        ++Checks;
        return address == RefusedAddress
                   ? Refusal
                   : TMemoryModbusServer::CheckHoldingRegisterWrite(address, value);
    }
    void SetHoldingRegister(std::uint16_t address, std::uint16_t value) override {
        if (address == FailingAddress)
            throw std::runtime_error("store failed");
        TMemoryModbusServer::SetHoldingRegister(address, value);
    }
};

// One request answered by the server; the binary reply without its checksum.
struct TServed {
    TServed(TModbusServer& server, const TBytes& request, const TFrameCodec& codec = RTU)
        : T(codec.MaxADUSize()) {
        T.Request.WriteBytes(request.data(), static_cast<int>(request.size()));
        codec.AddChecksum(T.Request);
        T.Info.ServerAddress = request.at(0);
        server.Answer(T, codec);
        if (T.Reply.Size() == 0)
            return;
        T.Reply.SetPosition(T.Reply.Size());
        valid = codec.IsValidFrame(T.Reply);
        const auto bytes = T.Reply.Bytes();
        Reply.assign(bytes.begin(), bytes.end() - codec.ChecksumSize());
    }
    std::uint8_t Exception() const { return Reply.size() == 3 ? Reply[2] : 0; }

    TModbusTransaction T;
    TBytes Reply;
    bool valid = false;
};

TBytes Hi(std::uint16_t w) {
    return {static_cast<std::uint8_t>(w >> 8), static_cast<std::uint8_t>(w)};
}

TBytes ReadRequest(std::uint8_t function, std::uint16_t start, std::uint16_t count) {
    TBytes r{7, function};
    for (const TBytes& w : {Hi(start), Hi(count)})
        r.insert(r.end(), w.begin(), w.end());
    return r;
}

}  // namespace

TEST(ModbusServer, ReadCountsAndAddressBounds) {
    struct Case {
        std::uint8_t function;
        std::uint16_t start, count;
        std::uint8_t exception;
        int byteCount;
    };
    const Case cases[] = {
        {1, 0, 2008, 0, 251}, {1, 0, 2009, 3, 0},  {2, 0, 2008, 0, 251},   {3, 0, 125, 0, 250},
        {3, 0, 126, 3, 0},    {3, 0, 0, 3, 0},     {4, 0, 125, 0, 250},    {4, 0, 126, 3, 0},
        {3, 65535, 2, 2, 0},  {3, 65535, 1, 0, 2}, {1, 65000, 1000, 2, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.function) << " " << c.start << "+" << c.count);
        TProbeServer server;
        const TServed s(server, ReadRequest(c.function, c.start, c.count));
        ASSERT_TRUE(s.valid);
        EXPECT_EQ(s.Reply[0], 7);
        if (c.exception != 0) {
            EXPECT_EQ(s.Reply,
                      (TBytes{7, static_cast<std::uint8_t>(c.function | 0x80), c.exception}));
        } else {
            EXPECT_EQ(s.Reply[1], c.function);
            EXPECT_EQ(s.Reply[2], c.byteCount);
            EXPECT_EQ(s.Reply.size(), 3U + c.byteCount);
        }
    }
}

TEST(ModbusServer, ReadRepliesCarryTheTableValues) {
    TProbeServer server;
    server.PutCoil(1, true);
    server.PutCoil(9, true);
    server.PutInputRegister(300, 0xBEEF);
    EXPECT_EQ(TServed(server, ReadRequest(1, 0, 10)).Reply, (TBytes{7, 1, 2, 0x02, 0x02}));
    EXPECT_EQ(TServed(server, ReadRequest(4, 300, 1)).Reply, (TBytes{7, 4, 2, 0xBE, 0xEF}));
}

TEST(ModbusServer, InvalidAddressRefusesTheReadBeforeAnyValueIsRead) {
    TProbeServer server;
    server.InvalidAddress = 3;
    EXPECT_EQ(TServed(server, ReadRequest(1, 0, 10)).Exception(), 2);
    EXPECT_EQ(server.Reads, 0);
}

TEST(ModbusServer, FailingValueOperationIsAServerDeviceFailure) {
    TProbeServer server;
    server.FailingAddress = 12;
    EXPECT_EQ(TServed(server, ReadRequest(3, 10, 5)).Exception(), 4);
}

TEST(ModbusServer, SingleCoilValueOtherThanOnOrOffIsRefusedUnchecked) {
    TProbeServer server;
    EXPECT_EQ(TServed(server, {7, 5, 0x00, 0x03, 0x12, 0x34}).Exception(), 3);
    EXPECT_EQ(server.Checks, 0);
    EXPECT_EQ(TServed(server, {7, 5, 0x00, 0x03, 0xFF, 0x00}).Reply,
              (TBytes{7, 5, 0x00, 0x03, 0xFF, 0x00}));
    EXPECT_TRUE(server.Coil(3));
}

TEST(ModbusServer, RefusedThirdRegisterWritesNothing) {
    TProbeServer server;
    server.RefusedAddress = 12;
    const TBytes request{7, 16, 0, 10, 0, 5, 10, 0, 1, 0, 2, 0, 3, 0, 4, 0, 5};
    EXPECT_EQ(TServed(server, request).Exception(), 3);
    for (int a = 10; a < 15; ++a)
        EXPECT_EQ(server.HoldingRegister(a), 0);

    server.Refusal = wcIllegalAddress;
    EXPECT_EQ(TServed(server, request).Exception(), 2);

    server.RefusedAddress = -1;
    server.FailingAddress = 13;  // the store fails on the fourth value
    EXPECT_EQ(TServed(server, request).Exception(), 4);
    EXPECT_EQ(server.HoldingRegister(12), 3);  // what was written before stays
    EXPECT_EQ(server.HoldingRegister(14), 0);
}

TEST(ModbusServer, MultipleWritesStoreAndEchoStartAndCount) {
    TProbeServer server;
    EXPECT_EQ(TServed(server, {7, 15, 0, 20, 0, 10, 2, 0xCD, 0x01}).Reply,
              (TBytes{7, 15, 0, 20, 0, 10}));
    EXPECT_TRUE(server.Coil(20));
    EXPECT_FALSE(server.Coil(21));
    EXPECT_TRUE(server.Coil(28));
    EXPECT_FALSE(server.Coil(29));
    EXPECT_EQ(TServed(server, ReadRequest(15, 0, 1977)).Exception(), 3);
    EXPECT_EQ(TServed(server, ReadRequest(16, 0, 124)).Exception(), 3);
}

TEST(ModbusServer, UnservedOrRefusedFunctionIsIllegal) {
    TProbeServer server;
    EXPECT_EQ(TServed(server, {7, 7}).Reply, (TBytes{7, 0x87, 1}));
    server.AcceptAll = false;
    EXPECT_EQ(TServed(server, ReadRequest(3, 0, 1)).Reply, (TBytes{7, 0x83, 1}));
}

TEST(ModbusServer, BroadcastStoresWithoutReply) {
    TProbeServer server;
    const TServed s(server, {0, 6, 0x00, 0x21, 0x12, 0x34});
    EXPECT_EQ(s.T.Reply.Size(), 0);
    EXPECT_EQ(server.HoldingRegister(0x21), 0x1234);
    EXPECT_EQ(TServed(server, {0, 6, 0x00, 0x21}).T.Reply.Size(), 0);  // even refused
}

// Requests cut short, promising more values than they carry, or whose byte
// count disagrees with their quantity, are answered with an illegal data
// value and write nothing, never read from stale buffer bytes.
TEST(ModbusServer, TruncatedRequestsAreIllegalDataValues) {
    TProbeServer server;
    const TBytes cases[] = {
        {7, 3},
        {7, 3, 0x00, 0x01, 0x00},
        {7, 5, 0x00, 0x01},
        {7, 6, 0x00},
        {7, 16, 0, 0, 0, 3, 6, 0, 1, 0, 2},
        {7, 15, 0, 0, 0, 17, 3, 0xFF, 0xFF},
        {7, 16, 0, 0, 0, 2, 6, 0, 1, 0, 2, 0, 3},
        {7, 16, 0, 0, 0, 3, 4, 0, 1, 0, 2, 0, 3},
        {7, 15, 0, 0, 0, 9, 1, 0xFF, 0xFF},
        {7, 15, 0, 0, 0, 8, 2, 0xFF, 0xFF},
        {7, 16, 0, 0, 0, 1},
    };
    const TBytes stale{7, 16, 0, 0, 0, 3, 6, 0, 9, 0, 9, 0, 9, 0, 9, 0, 9, 0, 9};
    for (const TBytes& request : cases) {
        SCOPED_TRACE(request.size());
        TModbusTransaction t(RTU.MaxADUSize());
        t.Request.WriteBytes(stale.data(), static_cast<int>(stale.size()));
        t.Request.SetSize(0);
        t.Request.WriteBytes(request.data(), static_cast<int>(request.size()));
        RTU.AddChecksum(t.Request);
        t.Info.ServerAddress = 7;
        server.Answer(t, RTU);
        ASSERT_EQ(t.Reply.Size(), 5);
        EXPECT_EQ(t.Reply.Memory()[2], 3);
    }
    for (int a = 0; a < 3; ++a)
        EXPECT_EQ(server.HoldingRegister(a), 0);
    for (int a = 0; a < 16; ++a)
        EXPECT_FALSE(server.Coil(a));
}

TEST(ModbusServer, AsciiRepliesEndInTheLRC) {
    TProbeServer server;
    server.PutHoldingRegister(2, 0x0102);
    const TServed s(server, ReadRequest(3, 2, 1), ASCII);
    EXPECT_TRUE(s.valid);
    EXPECT_EQ(s.Reply, (TBytes{7, 3, 2, 0x01, 0x02}));
}

TEST(ModbusServer, HandlingNeedsAnActiveConnection) {
    TProbeServer server;
    TModbusTransaction t(256);
    EXPECT_EQ(MessageOf<ERegwireError>([&] { server.HandleRequest(t); }),
              "There is no active connection");
    EXPECT_EQ(server.CurrentTransaction(), nullptr);
}

TEST(ModbusServer, ServerWithoutTablesRefusesEveryAddress) {
    TModbusServer server;
    server.SetServerAddress(7);
    EXPECT_EQ(TServed(server, ReadRequest(3, 0, 1)).Exception(), 2);
    EXPECT_EQ(TServed(server, {7, 6, 0, 1, 0, 1}).Exception(), 2);
}

TEST(ModbusServer, JoinsAndLeavesTheConnectionsServers) {
    TModbusConnection connection;
    {
        TMemoryModbusServer server(10);
        server.SetConnection(&connection);
        ASSERT_EQ(connection.Servers().size(), 1U);
    }
    EXPECT_TRUE(connection.Servers().empty());
    auto* orphan = new TMemoryModbusServer(10);
    {
        TModbusConnection shortLived;
        orphan->SetConnection(&shortLived);
    }
    EXPECT_EQ(orphan->Connection(), nullptr);
    delete orphan;
}
