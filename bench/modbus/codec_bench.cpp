// Cost of the per-frame work of the transaction thread: the CRC of the
// largest RTU frame, and a full encode and decode of the largest frame of
// each transmission mode (what one attempt of a transaction costs the CPU,
// apart from the serial I/O).
#include <benchmark/benchmark.h>

#include <vector>

#include "modbus/checksum.h"
#include "modbus/codec.h"

using namespace regwire;

namespace {

void FillLargestFrame(const TFrameCodec& codec, TModbusBuffer& frame) {
    while (frame.Position() < codec.MaxADUSize() - codec.ChecksumSize())
        frame.WriteByte(static_cast<std::uint8_t>(frame.Position() * 37 + 11));
    codec.AddChecksum(frame);
}

void BM_CRC16_256Bytes(benchmark::State& state) {
    std::vector<std::uint8_t> bytes(256);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 37);
    for (auto _ : state) {
        benchmark::DoNotOptimize(bytes.data());
        benchmark::DoNotOptimize(CRC16(bytes));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.size()));
}
BENCHMARK(BM_CRC16_256Bytes);

// Encode, decode and validate, as the transaction thread does for a request
// it sends and a reply it receives.
void BM_EncodeDecodeLargest(benchmark::State& state, TTransmissionMode mode) {
    const TFrameCodec codec(mode, cmClient);
    TModbusBuffer request(codec.MaxADUSize());
    TModbusBuffer reply(codec.MaxADUSize());
    FillLargestFrame(codec, request);
    std::vector<std::uint8_t> line(static_cast<std::size_t>(codec.FrameBufferSize()));
    for (auto _ : state) {
        const int n = codec.EncodeFrame(request, line);
        codec.DecodeFrame(std::span(line).first(static_cast<std::size_t>(n)), reply);
        benchmark::DoNotOptimize(codec.IsValidFrame(reply));
    }
    state.SetBytesProcessed(state.iterations() * request.Size());
}
BENCHMARK_CAPTURE(BM_EncodeDecodeLargest, RTU_256, tmRTU);
BENCHMARK_CAPTURE(BM_EncodeDecodeLargest, ASCII_255, tmASCII);

}  // namespace
