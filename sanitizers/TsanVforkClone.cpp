// Preloaded (LD_PRELOAD) into the ThreadSanitizer test runs by `make test-tsan`; never part of the program.
//
// QProcess starts a program with clone(CLONE_VM | CLONE_VFORK). GCC 12's ThreadSanitizer runtime handles
// every clone like a fork and runs its after-fork bookkeeping inside the child, which shares the parent's
// memory: the parent's main thread is left ignoring its own synchronisation (every later access looks like a
// race) and the next thread it starts aborts the run. A clone that shares memory and suspends the parent
// until the child calls exec therefore goes straight to the C library; every other clone still reaches the
// runtime.

#include <cstdarg>
#include <dlfcn.h>
#include <sched.h>
#include <sys/types.h>

namespace {

using CloneFunction = int (*)(int (*)(void*), void*, int, void*, ...);

CloneFunction symbolIn(void* library) {
    return library == nullptr ? nullptr : reinterpret_cast<CloneFunction>(dlsym(library, "clone"));
}

// RTLD_NEXT is a C cast in the C library's header.
CloneFunction nextClone() {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
    return symbolIn(RTLD_NEXT);
#pragma GCC diagnostic pop
}

} // namespace

extern "C" int clone(int (*function)(void*), void* stack, int flags, void* argument, ...) {
    // Always passed on; the callee reads only those its flags call for.
    va_list optional;
    va_start(optional, argument);
    auto* parentTid = va_arg(optional, pid_t*);
    void* tls = va_arg(optional, void*);
    auto* childTid = va_arg(optional, pid_t*);
    va_end(optional);

    static const CloneFunction cLibrary = symbolIn(dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD));
    static const CloneFunction next = nextClone();
    constexpr int vforkLike = CLONE_VM | CLONE_VFORK;
    const CloneFunction target = (flags & vforkLike) == vforkLike && cLibrary != nullptr ? cLibrary : next;
    return target(function, stack, flags, argument, parentTid, tls, childTid);
}
