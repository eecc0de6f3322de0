// TInputQueue: the characters a device has taken from its driver and not yet
// handed out. One fixed buffer, filled at its end and read from its start;
// what is left is moved to the front only when the end is reached, so a
// device asks its driver for as much as fits in one call.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace platform {

class TInputQueue {
  public:
    std::size_t Count() const { return End_ - Begin_; }

    // Where the next characters go; empty when the queue is full. Added
    // says how many were put there.
    std::span<std::uint8_t> Space() {
        if (Begin_ == End_)
            Begin_ = End_ = 0;
        if (End_ == Buffer_.size() && Begin_ > 0) {
            std::memmove(Buffer_.data(), Buffer_.data() + Begin_, Count());
            End_ -= Begin_;
            Begin_ = 0;
        }
        return {Buffer_.data() + End_, Buffer_.size() - End_};
    }
    void Added(std::size_t count) { End_ += count; }

    // Moves the first `count` characters (at most Count()) to `to`.
    void Take(std::uint8_t* to, std::size_t count) {
        std::memcpy(to, Buffer_.data() + Begin_, count);
        Begin_ += count;
    }

    void Clear() { Begin_ = End_ = 0; }

  private:
    std::size_t Begin_ = 0;
    std::size_t End_ = 0;
    std::array<std::uint8_t, 16384> Buffer_{};
};

}  // namespace platform
