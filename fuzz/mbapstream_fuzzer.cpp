// Modbus TCP framing: whatever a network peer sends, in whatever chunks, the
// frames handed to the connection are whole Modbus TCP frames that were
// really in the stream (protocol 0, the length their header gave, for a
// client only the reply to its request in flight), each with a good CRC and
// never longer than a serial frame; nothing is read outside a buffer.
//
// The input says the side (client or server), then a list of chunks, each a
// length and its bytes. A client has sent one request first, so its
// transaction identifier is 1.
#include <algorithm>
#include <span>
#include <vector>

#include "fuzzcheck.h"
#include "modbus/checksum.h"
#include "modbus/mbapdevice.h"
#include "platform/scripteddevice.h"

using namespace regwire;

namespace {

using TBytes = std::vector<std::uint8_t>;

// Whether frame (unit and PDU, no CRC) follows a header that could have
// carried it: identifier `transaction` (any for a server), protocol 0, its
// length.
bool WasSent(const TBytes& stream, const TBytes& frame, TConnectionMode mode) {
    TBytes header = {0,
                     1,
                     0,
                     0,
                     static_cast<std::uint8_t>(frame.size() >> 8),
                     static_cast<std::uint8_t>(frame.size() & 0xFF)};
    header.insert(header.end(), frame.begin(), frame.end());
    const std::size_t skip = mode == cmServer ? 2 : 0;
    for (std::size_t at = 0; at + header.size() <= stream.size(); ++at)
        if (std::equal(header.begin() + static_cast<std::ptrdiff_t>(skip), header.end(),
                       stream.begin() + static_cast<std::ptrdiff_t>(at + skip)))
            return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::TInput in(data, size);
    const TConnectionMode mode = in.Flag() ? cmServer : cmClient;
    auto owned = std::make_unique<platform::TScriptedSerialDevice>();
    platform::TScriptedSerialDevice& line = *owned;
    TMbapDevice device(std::move(owned), mode);
    if (mode == cmClient) {
        const std::uint8_t request[] = {17, 3, 0, 0, 0, 1, 0x86, 0x9A};
        device.Write(request, sizeof request, 1000);
    }
    TBytes stream;
    while (in.Left() > 0) {
        const auto chunk = in.Bytes(in.Byte());
        stream.insert(stream.end(), chunk.begin(), chunk.end());
        line.QueueInput({TBytes(chunk.begin(), chunk.end()), 0, false});
    }
    // Every frame the stream holds is taken; each read takes exactly one.
    for (int frames = 0; frames <= static_cast<int>(stream.size()); ++frames) {
        std::size_t queued = 0;
        device.GetInputCount(queued);
        if (queued == 0)
            break;
        FUZZ_CHECK(queued >= 4 && queued <= 256);
        TBytes frame(queued);
        device.Read(frame.data(), queued);
        FUZZ_CHECK(CRC16(std::span<const std::uint8_t>(frame)) == 0);
        frame.resize(frame.size() - 2);
        FUZZ_CHECK(WasSent(stream, frame, mode));
    }
    return 0;
}
