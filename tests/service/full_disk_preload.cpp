/* A full disk for the service's tests where no small file system can be
   mounted: preloaded into orva-service, it fails write() and fsync() with
   ENOSPC on files under ORVA_FULL_DISK_UNDER while the file named by
   ORVA_FULL_DISK_WHILE exists, as a full disk would. Everything else goes
   to the C library. */
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool fullFor(int fd) {
    const char* under = getenv("ORVA_FULL_DISK_UNDER");
    const char* flag = getenv("ORVA_FULL_DISK_WHILE");
    struct stat st;
    if (under == nullptr || flag == nullptr || ::stat(flag, &st) != 0) return false;
    char link[64], path[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = ::readlink(link, path, sizeof path - 1);
    if (n <= 0) return false;
    path[n] = '\0';
    return std::strncmp(path, under, std::strlen(under)) == 0;
}

template <class F>
F next(const char* name) {
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" ssize_t write(int fd, const void* buffer, size_t count) {
    static const auto real = next<ssize_t (*)(int, const void*, size_t)>("write");
    if (count > 0 && fullFor(fd)) {
        errno = ENOSPC;
        return -1;
    }
    return real(fd, buffer, count);
}

extern "C" int fsync(int fd) {
    static const auto real = next<int (*)(int)>("fsync");
    if (fullFor(fd)) {
        errno = ENOSPC;
        return -1;
    }
    return real(fd);
}
