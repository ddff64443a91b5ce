// Loaded into the real program with LD_PRELOAD by the end-to-end test: the run's writer faults
// where it creates its first fill file, as a fault in the engine would, so that the report's box
// can be seen as a user sees it.
#include <cstdarg>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

extern "C" int openat(int folder, const char* path, int flags, ...) {
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list rest;
        va_start(rest, flags);
        mode = va_arg(rest, mode_t);
        va_end(rest);
    }
    // Only off the window's thread: the run's writer creates the fill files.
    if (gettid() != getpid() && std::strncmp(path, "MirlFile", 8) == 0) {
        volatile int* nowhere = nullptr;
        *nowhere = 1;
    }
    using Openat = int (*)(int, const char*, int, ...);
    static const auto real = reinterpret_cast<Openat>(dlsym(RTLD_NEXT, "openat"));
    return real(folder, path, flags, mode);
}
