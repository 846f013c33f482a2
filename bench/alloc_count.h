#pragma once
// Counts the heap allocations (malloc, calloc, realloc) the calling thread
// makes between start() and stop(). Linking alloc_count.cpp into a benchmark
// replaces the allocator's entry points with counting ones.

#include <cstddef>
#include <cstdint>

namespace alloc_count {

struct Counted {
    std::uint64_t allocations = 0;
    std::size_t last_size = 0;  // bytes asked for by the last one
};

void start();
Counted stop();

}  // namespace alloc_count
