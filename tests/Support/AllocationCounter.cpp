#include "AllocationCounter.h"

#include <cstddef>
#include <cstdlib>

// The sanitizers bring their own allocators, which these replacements would bypass: count nothing there.
// (GCC says so with __SANITIZE_*__, clang with __has_feature.)
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QUILLORA_SANITIZED_ALLOCATOR
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || defined(QUILLORA_SANITIZED_ALLOCATOR)
uint64_t allocationsOnThisThread() {
    return 0;
}
bool allocationCountingWorks() {
    return false;
}
#else

// glibc's own implementations, which these replacements forward to.
extern "C" void* __libc_malloc(std::size_t size);
extern "C" void* __libc_calloc(std::size_t count, std::size_t size);
extern "C" void* __libc_realloc(void* pointer, std::size_t size);

namespace {

// Constant-initialised and in the program's own static TLS block: reading it never allocates.
thread_local uint64_t allocations = 0;

} // namespace

uint64_t allocationsOnThisThread() {
    return allocations;
}

bool allocationCountingWorks() {
    return true;
}

extern "C" void* malloc(std::size_t size) noexcept {
    ++allocations;
    return __libc_malloc(size);
}

extern "C" void* calloc(std::size_t count, std::size_t size) noexcept {
    ++allocations;
    return __libc_calloc(count, size);
}

extern "C" void* realloc(void* pointer, std::size_t size) noexcept {
    ++allocations;
    return __libc_realloc(pointer, size);
}

#endif
