// Counts the program's heap allocations, on every thread, by replacing the
// global operator new. Include it in exactly one source file of a benchmark
// program; read Allocations() before and after the stretch to measure.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace bench {

inline std::atomic<long> AllocationCount{0};

inline long Allocations() {
    return AllocationCount.load(std::memory_order_relaxed);
}

}  // namespace bench

void* operator new(std::size_t size) {
    bench::AllocationCount.fetch_add(1, std::memory_order_relaxed);
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
