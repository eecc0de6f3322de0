// Server request handling: any request that reaches a server object (a frame
// with a good checksum, as the transaction thread hands it over) is answered
// with a well-formed reply from the server's own address, normal or
// exception, that fits one frame on the line; a broadcast is never answered;
// a refused write changes nothing; nothing raises.
//
// The input says the transmission mode, the server's table size, and then
// the request's bytes after the address (the checksum is appended).
#include <algorithm>
#include <vector>

#include "fuzzcheck.h"
#include "modbus/codec.h"
#include "modbus/memoryserver.h"

using namespace regwire;

namespace {

constexpr std::uint8_t Address = 17;

// The holding registers and coils a write may have touched, as a fingerprint.
std::vector<std::uint16_t> Tables(const TMemoryModbusServer& server) {
    std::vector<std::uint16_t> t;
    for (int a = 0; a < server.Size(); ++a) {
        t.push_back(server.HoldingRegister(a));
        t.push_back(server.Coil(a) ? 1 : 0);
    }
    return t;
}

void CheckReply(const TFrameCodec& server, TModbusTransaction& t, std::uint8_t function) {
    const TFrameCodec client(server.TransmissionMode(), cmClient);
    TModbusBuffer& reply = t.Reply;
    FUZZ_CHECK(client.IsValidFrame(reply));
    FUZZ_CHECK(client.GetFrameAddress(reply) == Address);
    const std::uint8_t answered = client.GetFunctionCode(reply);
    FUZZ_CHECK(answered == function || answered == (function | 0x80U));
    // Function 0 answered with an exception gives the function byte 0x80,
    // which no client takes for an exception reply.
    if (answered == (function | 0x80U) && function > 0 && function < 0x80U) {
        FUZZ_CHECK(client.IsExceptionReply(reply));
        TTransactionInfo info;
        client.StoreExceptionCode(reply, info);
        FUZZ_CHECK(info.ExceptionCode >= 1 && info.ExceptionCode <= 4);
    }
    // It goes on the line in one frame.
    std::vector<std::uint8_t> line(static_cast<std::size_t>(server.FrameBufferSize()));
    FUZZ_CHECK(server.EncodeFrame(reply, line) > 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::TInput in(data, size);
    const std::uint8_t choice = in.Byte();
    const TFrameCodec codec(choice & 1U ? tmASCII : tmRTU, cmServer);
    const bool broadcast = (choice & 2U) != 0;
    // Small tables keep most addresses refused; large ones let reads through.
    const int tableSize = (choice & 4U) != 0 ? 65536 : choice >> 3;
    static TMemoryModbusServer* servers[33] = {};
    TMemoryModbusServer*& server = servers[tableSize == 65536 ? 32 : tableSize];
    if (server == nullptr) {
        server = new TMemoryModbusServer(tableSize);
        server->SetServerAddress(Address);
    }

    TModbusTransaction t(codec.MaxADUSize());
    t.Request.WriteByte(broadcast ? 0 : Address);
    const int room = t.Request.Capacity() - 1 - codec.ChecksumSize();
    const auto body = in.Bytes(static_cast<std::size_t>(room));
    t.Request.WriteBytes(body.data(), static_cast<int>(body.size()));
    codec.AddChecksum(t.Request);
    if (!codec.IsValidFrame(t.Request))
        return 0;  // the thread drops what is too short to be a request
    t.Info.ServerAddress = codec.GetFrameAddress(t.Request);
    const std::uint8_t function = codec.GetFunctionCode(t.Request);

    const bool small = tableSize < 65536;
    const auto before = small ? Tables(*server) : std::vector<std::uint16_t>{};
    server->Answer(t, codec);
    FUZZ_CHECK(server->CurrentTransaction() == nullptr);

    if (broadcast) {
        FUZZ_CHECK(t.Reply.Size() == 0);
        return 0;
    }
    FUZZ_CHECK(t.Reply.Size() > 0);
    CheckReply(codec, t, function);
    // A write that was refused wrote nothing.
    const TFrameCodec client(codec.TransmissionMode(), cmClient);
    if (client.IsExceptionReply(t.Reply) &&
        (function == 5 || function == 6 || function == 15 || function == 16)) {
        TTransactionInfo info;
        client.StoreExceptionCode(t.Reply, info);
        if (small && info.ExceptionCode != 4)
            FUZZ_CHECK(Tables(*server) == before);
    }
    return 0;
}
