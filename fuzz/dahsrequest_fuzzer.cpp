// The plant's register map behind its server: any request a Modbus TCP peer
// may send reaches a peer's server object, with control allowed or not, and
// an owner that takes or refuses each command. Every request is answered
// with a well-formed reply, normal or exception code 1 to 4; without control
// every write is refused with exception 1; a command reaches the owner only
// complete and sane; a refused write leaves the holding registers as they
// were; nothing raises.
//
// The input says whether control is allowed, whether the owner takes
// commands, then the requests' bytes after the unit identifier, each run
// preceded by its length.
#include <cmath>
#include <memory>
#include <vector>

#include "dahs/dahsserver.h"
#include "fuzzcheck.h"
#include "modbus/codec.h"

using namespace regwire;
using namespace dahs;

namespace {

constexpr std::uint8_t Unit = 1;

struct TOwner {
    std::unique_ptr<TDahsServer> Server;
    bool Takes = true;
    int Offered = 0;
};

TOwner& Owner(bool control) {
    static TOwner owners[2];
    TOwner& owner = owners[control ? 1 : 0];
    if (!owner.Server) {
        TDahsSettings settings;
        settings.Listen = {"127.0.0.1", 0};
        settings.Control = control;
        settings.PlansFolder = "/nonexistent";
        owner.Server = std::make_unique<TDahsServer>(settings);
        owner.Server->OnCommand = [&owner](const TDahsCommand& command, std::string&) {
            FUZZ_CHECK(command.Kind >= ckApplyWanted && command.Kind <= ckStop);
            if (command.Kind == ckApplyWanted)
                FUZZ_CHECK(std::isfinite(command.Wanted) && command.Wanted > 0);
            // No plan file exists: a start never reaches the owner.
            FUZZ_CHECK(command.Kind != ckStartPlan);
            ++owner.Offered;
            return owner.Takes;
        };
        owner.Server->Publish(TDahsSnapshot{});
    }
    return owner;
}

void Ask(TModbusServer& server, const TFrameCodec& codec, const std::vector<std::uint8_t>& pdu,
         TModbusTransaction& t) {
    t.Request.Clear();
    t.Reply.Clear();
    t.Request.WriteByte(Unit);
    t.Request.WriteBytes(pdu.data(), static_cast<int>(pdu.size()));
    codec.AddChecksum(t.Request);
    t.Info.ServerAddress = Unit;
    server.Answer(t, codec);
}

std::vector<std::uint16_t> HoldingRegisters(TModbusServer& server, const TFrameCodec& codec) {
    TModbusTransaction t(codec.MaxADUSize());
    Ask(server, codec, {3, 0, 0, 0, 4}, t);
    std::vector<std::uint16_t> values;
    for (int i = 0; i < 4; ++i)
        values.push_back(static_cast<std::uint16_t>(t.Reply.Memory()[3 + 2 * i] << 8 |
                                                    t.Reply.Memory()[4 + 2 * i]));
    return values;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::TInput in(data, size);
    const std::uint8_t choice = in.Byte();
    const bool control = (choice & 1U) != 0;
    TOwner& owner = Owner(control);
    owner.Takes = (choice & 2U) != 0;
    const TFrameCodec codec(tmRTU, cmServer);
    const TFrameCodec client(tmRTU, cmClient);
    const std::unique_ptr<TModbusServer> server = owner.Server->NewPeerServer("fuzz");
    server->SetServerAddress(Unit);
    TModbusTransaction t(codec.MaxADUSize());

    for (int request = 0; request < 8; ++request) {
        const std::size_t length = in.Byte() % 254U;
        const auto body = in.Bytes(length);
        if (body.empty())
            break;
        const std::vector<std::uint8_t> pdu(body.begin(), body.end());
        const std::uint8_t function = pdu[0];
        const auto before = HoldingRegisters(*server, codec);
        const int offered = owner.Offered;
        Ask(*server, codec, pdu, t);

        FUZZ_CHECK(client.IsValidFrame(t.Reply));
        FUZZ_CHECK(client.GetFrameAddress(t.Reply) == Unit);
        const std::uint8_t answered = client.GetFunctionCode(t.Reply);
        FUZZ_CHECK(answered == function || answered == (function | 0x80U));
        const bool write = function == 5 || function == 6 || function == 15 || function == 16;
        if (answered != function) {
            TTransactionInfo info;
            client.StoreExceptionCode(t.Reply, info);
            FUZZ_CHECK(info.RawExceptionCode >= 1 && info.RawExceptionCode <= 4);
            if (write && !control)
                FUZZ_CHECK(info.RawExceptionCode == 1);
            if (write)
                FUZZ_CHECK(HoldingRegisters(*server, codec) == before);
            // The owner refused what it was offered, or was never asked.
            if (owner.Takes)
                FUZZ_CHECK(owner.Offered == offered);
        } else {
            // A normal answer to a write is only possible with control.
            FUZZ_CHECK(!write || control);
        }
        if (!control)
            FUZZ_CHECK(owner.Offered == offered);
    }
    return 0;
}
