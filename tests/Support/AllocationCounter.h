#pragma once

#include <cstdint>

// Heap allocations (malloc, calloc, realloc, and so operator new) made so far by the calling thread. The
// test program replaces the allocator's entry points to count them; under a sanitizer, which brings its
// own allocator, nothing is counted and allocationCountingWorks() is false.
uint64_t allocationsOnThisThread();
bool allocationCountingWorks();
