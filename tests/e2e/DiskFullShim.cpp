// Loaded with LD_PRELOAD where the disk-full tests cannot mount a small file system of their own: makes one
// folder behave like a full disk on demand. While the file $QUILLORA_FULL_DISK_DIR/.full exists, every
// write to a file in that folder fails with ENOSPC; everything else is passed through untouched.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

template <typename Function>
Function next(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// Whether fd is a file in the full folder while the folder is full. Only system calls: this also runs on
// real-time threads (event file descriptors), where nothing may allocate.
bool failsForLackOfSpace(int fd) {
    const char* folder = std::getenv("QUILLORA_FULL_DISK_DIR");
    if (folder == nullptr) {
        return false;
    }
    char marker[PATH_MAX];
    if (std::snprintf(marker, sizeof marker, "%s/.full", folder) >= static_cast<int>(sizeof marker)) {
        return false;
    }
    struct stat ignored {};
    if (stat(marker, &ignored) != 0) {
        return false;
    }
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char target[PATH_MAX];
    const ssize_t length = readlink(link, target, sizeof target - 1);
    if (length <= 0) {
        return false;
    }
    target[length] = '\0';
    const std::size_t prefix = std::strlen(folder);
    return std::strncmp(target, folder, prefix) == 0 && target[prefix] == '/';
}

} // namespace

extern "C" ssize_t write(int fd, const void* data, size_t size) {
    static const auto real = next<ssize_t (*)(int, const void*, size_t)>("write");
    if (size > 0 && failsForLackOfSpace(fd)) {
        errno = ENOSPC;
        return -1;
    }
    return real(fd, data, size);
}

extern "C" ssize_t writev(int fd, const struct iovec* parts, int count) {
    static const auto real = next<ssize_t (*)(int, const struct iovec*, int)>("writev");
    if (count > 0 && failsForLackOfSpace(fd)) {
        errno = ENOSPC;
        return -1;
    }
    return real(fd, parts, count);
}

extern "C" ssize_t pwrite64(int fd, const void* data, size_t size, off64_t offset) {
    static const auto real = next<ssize_t (*)(int, const void*, size_t, off64_t)>("pwrite64");
    if (size > 0 && failsForLackOfSpace(fd)) {
        errno = ENOSPC;
        return -1;
    }
    return real(fd, data, size, offset);
}
