// Counts the program's heap allocations, on every thread but those that
// stand outside what is measured, by replacing the global operator new.
// Include it in exactly one source file of a test or benchmark program;
// read Allocations() before and after the stretch to measure.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace alloccount {

inline std::atomic<long> AllocationCount{0};
// Set on a thread whose allocations are not counted (one that stands for
// the far end of a line, say).
inline thread_local bool UncountedThread = false;

inline long Allocations() {
    return AllocationCount.load(std::memory_order_relaxed);
}

}  // namespace alloccount

void* operator new(std::size_t size) {
    if (!alloccount::UncountedThread)
        alloccount::AllocationCount.fetch_add(1, std::memory_order_relaxed);
    if (void* block = std::malloc(size == 0 ? 1 : size))
        return block;
    throw std::bad_alloc();
}

void* operator new[](std::size_t size) {
    return ::operator new(size);
}

void operator delete(void* block) noexcept {
    std::free(block);
}

void operator delete[](void* block) noexcept {
    std::free(block);
}

void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}

void operator delete[](void* block, std::size_t) noexcept {
    std::free(block);
}
