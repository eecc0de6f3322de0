// Server loop: whatever the line carried before (noise in any chunks, gaps
// and line errors, runs longer than any frame, frames joined halfway), the
// transaction thread in server mode answers the next valid request that
// comes after a silent gap, and it gets there by waiting, never by spinning.
//
// The line is the scripted serial device with its free-running clock, behind
// a thin device that counts the calls the thread makes and records its
// writes with their ticks. The input says the transmission mode and then a
// list of chunks, each with its gap after the previous one, a possible
// parity error, and its characters. One server connection per mode is
// opened once; the request each input ends with is a write of one register
// to address 17, which the server answers by echoing it.
#include <QCoreApplication>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "fuzzcheck.h"
#include "modbus/codec.h"
#include "modbus/connection.h"
#include "platform/scripteddevice.h"

using namespace regwire;

namespace {

using TBytes = std::vector<std::uint8_t>;

constexpr std::uint8_t Address = 17;

// Counts every call of the thread and records what it wrote, and when.
class TWatchedLine final : public platform::TSerialDevice {
  public:
    platform::TScriptedSerialDevice Line;

    std::uint64_t Calls() const { return FCalls; }
    // Whether `frame` was written at or after `tick`.
    bool Wrote(const TBytes& frame, std::uint32_t tick) const {
        std::lock_guard lock(FLock);
        return std::any_of(FWrites.begin(), FWrites.end(), [&](const auto& write) {
            return write.second >= tick && write.first == frame;
        });
    }
    void ForgetWrites() {
        std::lock_guard lock(FLock);
        FWrites.clear();
    }

    void ApplySettings(const platform::TSerialLineSettings& s) override {
        ++FCalls;
        Line.ApplySettings(s);
    }
    bool WaitForInput(std::uint32_t ms) override {
        ++FCalls;
        return Line.WaitForInput(ms);
    }
    void CutShortWait() override { Line.CutShortWait(); }
    bool GetInputCount(std::size_t& count) override {
        ++FCalls;
        return Line.GetInputCount(count);
    }
    bool Read(std::uint8_t* buffer, std::size_t count) override {
        ++FCalls;
        return Line.Read(buffer, count);
    }
    bool Write(const std::uint8_t* data, std::size_t count, std::uint32_t ms) override {
        ++FCalls;
        const std::uint32_t tick = Line.Tick();
        const bool ok = Line.Write(data, count, ms);
        std::lock_guard lock(FLock);
        FWrites.emplace_back(TBytes(data, data + count), tick);
        return ok;
    }
    void Purge(bool receive, bool transmit) override {
        ++FCalls;
        Line.Purge(receive, transmit);
    }
    bool SetRts(bool on) override { return Line.SetRts(on); }
    bool Drain() override {
        ++FCalls;
        return Line.Drain();
    }
    std::uint32_t Tick() const override { return Line.Tick(); }

  private:
    std::atomic<std::uint64_t> FCalls{0};
    mutable std::mutex FLock;
    std::vector<std::pair<TBytes, std::uint32_t>> FWrites;
};

// Answers every request to its address with the request itself.
class TEchoServer final : public TModbusServerLink {
  public:
    bool AnswersAddress(std::uint8_t address) const override { return address == Address; }
    void HandleRequest(TModbusTransaction& t) override {
        t.Reply.WriteBytes(t.Request.Bytes().data(), t.Request.Size());
    }
};

struct TServerLine {
    explicit TServerLine(TTransmissionMode mode) {
        Connection.SetTransmissionMode(mode);
        Connection.SetConnectionMode(cmServer);
        Connection.RegisterServer(&Server);
        Connection.DeviceFactory = [this](const TSerialPort&) {
            auto device = std::make_unique<TWatchedLine>();
            Device = device.get();
            return device;
        };
        Connection.Open();
        // The line's characters of the closing request.
        TModbusBuffer request(Connection.MaxADUSize());
        request.WriteByte(Address);
        request.WriteByte(6);
        request.WriteWord(33);
        request.WriteWord(1600);
        Connection.AddChecksum(request);
        Request.resize(static_cast<std::size_t>(Connection.Codec().FrameBufferSize()));
        Request.resize(static_cast<std::size_t>(Connection.Codec().EncodeFrame(request, Request)));
    }
    TWatchedLine* Device = nullptr;
    TEchoServer Server;
    TModbusConnection Connection;
    TBytes Request;
};

TServerLine* Lines[2];

// The thread sleeps in its endless wait for a request, with nothing queued
// and the clock at or past `tick`.
bool WaitsForMore(TServerLine& line, std::uint32_t tick) {
    return line.Device->Line.Tick() >= tick && line.Device->Line.Queued() == 0 &&
           line.Device->Line.WaitUntilBlocked(std::chrono::milliseconds(0));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static int argc = 1;
    static char name[] = "server_loop";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    Lines[0] = new TServerLine(tmRTU);
    Lines[1] = new TServerLine(tmASCII);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::TInput in(data, size);
    TServerLine& line = *Lines[in.Flag() ? 1 : 0];
    TWatchedLine& device = *line.Device;
    device.ForgetWrites();

    std::uint32_t at = 0;
    int chunks = 0;
    while (in.Left() > 0) {
        const std::uint8_t head = in.Byte();
        platform::TScriptedChunk chunk;
        at += head & 0x3FU;  // gaps on both sides of the 20 ms end of frame
        chunk.AfterMs = at;
        chunk.LineError = (head & 0xC0U) == 0xC0U;
        // Up to twice the largest frame, so that runs outgrow the buffer.
        const auto bytes = in.Bytes(1U + in.Byte() * 4U);
        // A line error comes with the character it spoiled.
        if (bytes.empty())
            break;
        chunk.Data.assign(bytes.begin(), bytes.end());
        device.Line.QueueInput(std::move(chunk));
        ++chunks;
    }
    // The request comes after a silent gap, so it cannot be part of what
    // came before.
    const std::uint32_t start = device.Line.Tick();
    const std::uint32_t arrival = start + at + line.Connection.SilentMs() + 1;
    device.Line.QueueInput({line.Request, arrival - start, false});

    // Each chunk costs the thread a few calls; a loop that keeps calling
    // without the clock moving on makes no progress.
    const std::uint64_t calls = device.Calls();
    const std::uint64_t limit = 64U * (static_cast<std::uint64_t>(chunks) + 4U);
    while (!device.Wrote(line.Request, arrival)) {
        FUZZ_CHECK(device.Calls() - calls <= limit);
        // Asleep for good after the request arrived, without an answer.
        FUZZ_CHECK(!WaitsForMore(line, arrival) || device.Wrote(line.Request, arrival));
        // Serves the hand-over of each request to the server on this thread.
        QCoreApplication::processEvents();
        std::this_thread::yield();
    }
    // The thread is back in its wait before the next input.
    while (!WaitsForMore(line, arrival)) {
        FUZZ_CHECK(device.Calls() - calls <= limit);
        QCoreApplication::processEvents();
        std::this_thread::yield();
    }
    return 0;
}
