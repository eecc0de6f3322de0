// Frame reader: whatever arrives on the line, in whatever chunks, gaps and
// line errors, a read returns a frame that was really sent in one piece and
// stays inside its buffer, or 0, and never runs past its time.
//
// The line is the scripted serial device with its own clock, so every input
// is one exact scenario: the input says the transmission mode, the time the
// read may take, the room in the buffer, and then a list of chunks, each with
// its gap after the previous one, a possible parity error, and its
// characters. One connection per mode is opened once; its transaction thread
// sleeps on its empty queue, so the fuzzer's calls are the port's only use,
// as the thread's own would be.
#include <QCoreApplication>
#include <algorithm>
#include <memory>
#include <vector>

#include "fuzzcheck.h"
#include "modbus/codec.h"
#include "modbus/connection.h"
#include "modbus/errors.h"
#include "platform/scripteddevice.h"

using namespace regwire;

namespace {

using TBytes = std::vector<std::uint8_t>;

struct TLine {
    explicit TLine(TTransmissionMode mode) {
        Connection.SetTransmissionMode(mode);
        Connection.DeviceFactory = [this](const TSerialPort&) {
            auto device = std::make_unique<platform::TScriptedSerialDevice>();
            Device = device.get();
            return device;
        };
        Connection.Open();
        // A line setting changed while active is applied by the thread
        // between exchanges: once it returns, the thread's start (its wait
        // for a quiet line) is over and it sleeps on its queue.
        Connection.SetParity(psNone);
    }
    platform::TScriptedSerialDevice* Device = nullptr;
    TModbusConnection Connection;
};

TLine* Lines[2];

struct TScenario {
    std::uint32_t Remaining = 0;
    int Room = 0;
    std::vector<platform::TScriptedChunk> Chunks;  // AfterMs counted from the read's start
    TBytes Stream;                                 // every character, in order
    bool LineError = false;
};

TScenario ReadScenario(fuzz::TInput& in, int frameBufferSize) {
    TScenario s;
    s.Remaining = 1U + in.Word();
    // Mostly the thread's own buffer, sometimes less room than a frame needs.
    const std::uint8_t room = in.Byte();
    s.Room = room < 0xE0 ? frameBufferSize : std::max(1, frameBufferSize - (room - 0xE0) * 16);
    std::uint32_t at = 0;
    while (in.Left() > 0) {
        const std::uint8_t head = in.Byte();
        at += head & 0x3FU;  // gaps on both sides of the 20 ms end of frame
        platform::TScriptedChunk chunk;
        chunk.AfterMs = at;
        chunk.LineError = (head & 0xC0U) == 0xC0U;
        const auto data = in.Bytes(1U + in.Byte() % 96U);
        chunk.Data.assign(data.begin(), data.end());
        s.Stream.insert(s.Stream.end(), chunk.Data.begin(), chunk.Data.end());
        s.LineError = s.LineError || chunk.LineError;
        s.Chunks.push_back(std::move(chunk));
    }
    return s;
}

bool Contains(const TBytes& stream, std::span<const std::uint8_t> run) {
    return std::search(stream.begin(), stream.end(), run.begin(), run.end()) != stream.end();
}

bool IsHexFrame(const TBytes& chunk) {
    if (chunk.size() < 3 || chunk.front() != ':' || chunk[chunk.size() - 2] != '\r' ||
        chunk.back() != '\n')
        return false;
    return std::all_of(chunk.begin() + 1, chunk.end() - 2, [](std::uint8_t c) {
        return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
    });
}

void CheckASCII(const TScenario& s, std::span<const std::uint8_t> frame) {
    if (frame.empty())
        return;
    const std::size_t n = frame.size();
    FUZZ_CHECK(n >= 3 && frame[0] == ':' && frame[n - 2] == '\r' && frame[n - 1] == '\n');
    // One frame from its colon to the first CR LF after it, as it arrived.
    FUZZ_CHECK(std::find(frame.begin() + 1, frame.end(), ':') == frame.end());
    FUZZ_CHECK(std::find(frame.begin(), frame.end() - 2, '\r') == frame.end() - 2);
    FUZZ_CHECK(Contains(s.Stream, frame));
}

void CheckRTU(const TScenario& s, std::span<const std::uint8_t> frame) {
    // An RTU frame is what arrived from the first character on, unbroken.
    FUZZ_CHECK(frame.size() <= s.Stream.size());
    FUZZ_CHECK(std::equal(frame.begin(), frame.end(), s.Stream.begin()));
}

// One clean frame in one chunk that arrives in time and fits is read whole.
void CheckDelivered(const TScenario& s, TTransmissionMode mode, std::size_t n) {
    if (s.Chunks.size() != 1 || s.LineError || s.Chunks[0].AfterMs >= s.Remaining ||
        s.Stream.size() > static_cast<std::size_t>(s.Room))
        return;
    if (mode == tmRTU || IsHexFrame(s.Stream))
        FUZZ_CHECK(n == s.Stream.size());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static int argc = 1;
    static char name[] = "frame_reader";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    Lines[0] = new TLine(tmRTU);
    Lines[1] = new TLine(tmASCII);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::TInput in(data, size);
    const TTransmissionMode mode = in.Flag() ? tmASCII : tmRTU;
    TLine& line = *Lines[mode];
    TModbusConnection& connection = line.Connection;
    const int frameBufferSize = connection.Codec().FrameBufferSize();
    const TScenario s = ReadScenario(in, frameBufferSize);

    // A quiet line: what an earlier scenario left has arrived and is gone.
    line.Device->Advance(1U << 20);
    connection.Purge(true, false);
    for (const platform::TScriptedChunk& chunk : s.Chunks)
        line.Device->QueueInput(chunk);

    TBytes buffer(static_cast<std::size_t>(frameBufferSize), 0xEE);
    std::uint32_t remaining = s.Remaining;
    const std::uint32_t start = line.Device->Tick();
    const TModbusConnection::TFrameRead read =
        connection.ReadFrame(buffer.data(), s.Room, remaining);
    const int n = read.Count;
    // A run dropped for its length brings no characters, and only a run
    // that filled the room without ending is dropped so.
    FUZZ_CHECK(!read.TooLong || (n == 0 && s.Stream.size() >= static_cast<std::size_t>(s.Room)));

    FUZZ_CHECK(n >= 0 && n <= s.Room);
    FUZZ_CHECK(remaining <= s.Remaining);
    // A client's read never takes longer than its time plus one gap.
    FUZZ_CHECK(line.Device->Tick() - start <= s.Remaining + connection.SilentMs());
    FUZZ_CHECK(std::all_of(buffer.begin() + s.Room, buffer.end(),
                           [](std::uint8_t c) { return c == 0xEE; }));
    const std::span<const std::uint8_t> frame(buffer.data(), static_cast<std::size_t>(n));
    if (mode == tmASCII)
        CheckASCII(s, frame);
    else
        CheckRTU(s, frame);
    CheckDelivered(s, mode, static_cast<std::size_t>(n));

    // What the thread does next with the characters: decode, or count a bad
    // frame.
    TModbusBuffer reply(connection.MaxADUSize());
    try {
        connection.Codec().DecodeFrame(frame, reply);
        connection.Codec().IsValidFrame(reply);
    } catch (const EAssertionFailed&) {
        FUZZ_CHECK(reply.Size() == 0);
    } catch (const ERegwireError&) {
        FUZZ_CHECK(reply.Size() == 0);
    }
    return 0;
}
