// Shared pieces of the fuzz targets: a check that stops the run with a
// message the finding can be read from, and a reader that takes the
// target's choices from the front of the fuzzer's bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

#include <stdlib.h>

namespace fuzz {

// A broken promise of the code under test: printed, then the run aborts, so
// libFuzzer saves the input as a crash.
#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (false)

// Takes small values from the front of the input; past its end every value
// is 0 and every run empty, so any input is a complete case.
class TInput {
  public:
    TInput(const std::uint8_t* data, std::size_t size) : FData(data, size) {}

    std::uint8_t Byte() {
        if (FData.empty())
            return 0;
        const std::uint8_t b = FData.front();
        FData = FData.subspan(1);
        return b;
    }
    std::uint16_t Word() {
        const std::uint16_t high = Byte();
        return static_cast<std::uint16_t>(high << 8 | Byte());
    }
    bool Flag() { return (Byte() & 1U) != 0; }
    // At most n bytes.
    std::span<const std::uint8_t> Bytes(std::size_t n) {
        const std::size_t k = n < FData.size() ? n : FData.size();
        const auto run = FData.first(k);
        FData = FData.subspan(k);
        return run;
    }
    std::span<const std::uint8_t> Rest() { return Bytes(FData.size()); }
    std::size_t Left() const { return FData.size(); }

  private:
    std::span<const std::uint8_t> FData;
};

// A folder of the fuzzer's own for files, made once under TMPDIR (or /tmp).
// libFuzzer ends without running exit handlers, so the folder stays: scripts/
// fuzz points TMPDIR at a folder of its own and removes that at the end.
inline const std::string& ScratchFolder() {
    static const std::string folder = [] {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern =
            std::string(tmp != nullptr && *tmp != 0 ? tmp : "/tmp") + "/vapcal-fuzz-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        return pattern + "/";
    }();
    return folder;
}

}  // namespace fuzz
