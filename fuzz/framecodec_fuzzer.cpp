// Frame codec: any characters from the line decode to a frame or to one of
// the codec's errors, never to a read or write outside the buffers; whatever
// decodes encodes back to the same frame; any frame encodes and decodes back
// unchanged, and a block too small takes nothing.
#include <algorithm>
#include <vector>

#include "fuzzcheck.h"
#include "modbus/codec.h"
#include "modbus/errors.h"

using namespace regwire;

namespace {

using TBytes = std::vector<std::uint8_t>;

TBytes Contents(const TModbusBuffer& frame) {
    const auto bytes = frame.Bytes();
    return {bytes.begin(), bytes.end()};
}

// The checks the transaction thread applies to a received frame.
void ExerciseTests(const TFrameCodec& codec, TModbusBuffer& frame) {
    const bool valid = codec.IsValidFrame(frame);
    if (frame.Size() < codec.MinFrameSize())
        FUZZ_CHECK(!valid);
    if (!valid)
        return;
    TTransactionInfo info;
    if (codec.IsExceptionReply(frame)) {
        FUZZ_CHECK(frame.Size() == MinFrameSize(codec.TransmissionMode(), cmClient));
        codec.StoreExceptionCode(frame, info);
        FUZZ_CHECK(info.ExceptionCode == 0 || info.ExceptionCode == info.RawExceptionCode);
        FUZZ_CHECK(info.ExceptionCode <= 8);
    }
    FUZZ_CHECK(codec.GetFunctionCode(frame) == frame.Bytes()[1]);
    FUZZ_CHECK(codec.GetFrameAddress(frame) == frame.Bytes()[0]);
    // A request never carries the exception flag, so only then is a frame
    // a reply to itself.
    if (frame.Bytes()[1] < 0x80)
        FUZZ_CHECK(codec.SameFunction(frame, frame));
    FUZZ_CHECK(codec.SameServer(frame, frame, false));
    FUZZ_CHECK(codec.IsEcho(frame, frame));

    // The checksum a writer appends is the one the frame carries.
    const TBytes received = Contents(frame);
    TModbusBuffer rebuilt(codec.MaxADUSize());
    rebuilt.WriteBytes(received.data(), static_cast<int>(received.size()) - codec.ChecksumSize());
    codec.AddChecksum(rebuilt);
    FUZZ_CHECK(Contents(rebuilt) == received);
}

// Line characters in: a frame, or an error that leaves the frame empty.
void DecodeCharacters(const TFrameCodec& codec, std::span<const std::uint8_t> block) {
    TModbusBuffer frame(codec.MaxADUSize());
    try {
        codec.DecodeFrame(block, frame);
    } catch (const ERegwireError&) {
        FUZZ_CHECK(frame.Size() == 0);
        const std::size_t bytes =
            codec.TransmissionMode() == tmRTU ? block.size() : (block.size() - 3) / 2;
        FUZZ_CHECK(bytes > static_cast<std::size_t>(frame.Capacity()));
        return;
    } catch (const EAssertionFailed&) {
        FUZZ_CHECK(codec.TransmissionMode() == tmASCII);
        FUZZ_CHECK(frame.Size() == 0);
        return;
    }
    if (block.empty()) {
        FUZZ_CHECK(frame.Size() == 0);
        return;
    }
    if (codec.TransmissionMode() == tmRTU) {
        FUZZ_CHECK(Contents(frame) == TBytes(block.begin(), block.end()));
    } else {
        FUZZ_CHECK(static_cast<std::size_t>(frame.Size()) == (block.size() - 3) / 2);
        FUZZ_CHECK(block.front() == ':' && block[block.size() - 2] == '\r' && block.back() == '\n');
    }

    // Whatever decoded goes out again and comes back the same.
    TBytes line(static_cast<std::size_t>(codec.FrameBufferSize()));
    const int n = codec.EncodeFrame(frame, line);
    FUZZ_CHECK(n > 0 && n <= codec.FrameBufferSize());
    line.resize(static_cast<std::size_t>(n));
    if (codec.TransmissionMode() == tmRTU)
        FUZZ_CHECK(line == TBytes(block.begin(), block.end()));
    TModbusBuffer again(codec.MaxADUSize());
    codec.DecodeFrame(line, again);
    FUZZ_CHECK(Contents(again) == Contents(frame));

    ExerciseTests(codec, frame);
}

// A binary frame out: encodes into a block with room and back; a block one
// character short takes nothing.
void EncodeBytes(const TFrameCodec& codec, std::span<const std::uint8_t> bytes) {
    TModbusBuffer frame(codec.MaxADUSize());
    const int size = std::min(static_cast<int>(bytes.size()), frame.Capacity());
    frame.WriteBytes(bytes.data(), size);
    const int needed = size == 0 ? 0 : codec.TransmissionMode() == tmRTU ? size : 2 * size + 3;

    TBytes line(static_cast<std::size_t>(codec.FrameBufferSize()));
    FUZZ_CHECK(codec.EncodeFrame(frame, line) == needed);
    line.resize(static_cast<std::size_t>(needed));
    TModbusBuffer back(codec.MaxADUSize());
    codec.DecodeFrame(line, back);
    FUZZ_CHECK(Contents(back) == Contents(frame));

    if (needed == 0)
        return;
    TBytes shortBlock(static_cast<std::size_t>(needed - 1), 0xA5);
    bool refused = false;
    try {
        codec.EncodeFrame(frame, shortBlock);
    } catch (const ERegwireError&) {
        refused = true;
    }
    FUZZ_CHECK(refused);
    FUZZ_CHECK(std::all_of(shortBlock.begin(), shortBlock.end(),
                           [](std::uint8_t c) { return c == 0xA5; }));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::TInput in(data, size);
    const std::uint8_t choice = in.Byte();
    const TFrameCodec codec(choice & 1U ? tmASCII : tmRTU, choice & 2U ? cmServer : cmClient);
    const auto rest = in.Rest();
    DecodeCharacters(codec, rest);
    EncodeBytes(codec, rest);
    return 0;
}
