// TRing: a first-in, first-out queue in one block that is reused as items
// come and go, so a steady stream of items allocates nothing.
//
// The block grows (to twice its size) only when it is full, and keeps that
// size. A free slot holds a default-constructed item. Not thread-safe: the
// owner's lock guards it.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace platform {

template <class T>
class TRing {
  public:
    // Room for capacity items (at least one) before the block first grows.
    explicit TRing(std::size_t capacity) : FSlots(capacity > 0 ? capacity : 1) {}

    bool Empty() const { return FCount == 0; }
    std::size_t Size() const { return FCount; }

    // The item i places behind the first.
    T& operator[](std::size_t i) { return FSlots[(FHead + i) % FSlots.size()]; }
    const T& operator[](std::size_t i) const { return FSlots[(FHead + i) % FSlots.size()]; }

    void PushBack(T item) {
        if (FCount == FSlots.size())
            Grow();
        (*this)[FCount] = std::move(item);
        ++FCount;
    }

    // The queue must not be empty.
    T PopFront() {
        T item = std::exchange(FSlots[FHead], T());
        FHead = (FHead + 1) % FSlots.size();
        --FCount;
        return item;
    }

    // Moves the items that remove(item) picks into removed, in order; the
    // others close up and keep their order.
    template <class Remove>
    void RemoveIf(Remove remove, std::vector<T>& removed) {
        std::size_t kept = 0;
        for (std::size_t i = 0; i < FCount; ++i) {
            T& item = (*this)[i];
            if (remove(std::as_const(item)))
                removed.push_back(std::exchange(item, T()));
            else if (kept++ != i)
                (*this)[kept - 1] = std::exchange(item, T());
        }
        FCount = kept;
    }

  private:
    void Grow() {
        std::vector<T> grown(FSlots.size() * 2);
        for (std::size_t i = 0; i < FCount; ++i)
            grown[i] = std::move((*this)[i]);
        FSlots.swap(grown);
        FHead = 0;
    }

    std::vector<T> FSlots;
    std::size_t FHead = 0;
    std::size_t FCount = 0;
};

}  // namespace platform
