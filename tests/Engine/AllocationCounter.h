#pragma once

#include <cstddef>

// Counts the heap allocations the current thread makes while a Scope is alive (the test program replaces
// the global operator new).
namespace AllocationCounter {

class Scope {
public:
    Scope();
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

    std::size_t allocations() const;
};

} // namespace AllocationCounter
