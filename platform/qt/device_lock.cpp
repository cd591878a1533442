#include "platform/qt/device_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace orva::qt {

DeviceLock lockDevice(int fd) {
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return {DeviceLock::Taken, {}};
        if (errno == EINTR) continue;
        if (errno == EWOULDBLOCK) return {DeviceLock::Held, {}};
        return {DeviceLock::Failed, std::strerror(errno)};
    }
}

DeviceLock HeldDeviceLock::take(const std::string& path) {
    release();
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return {DeviceLock::Taken, {}};
    DeviceLock lock = lockDevice(fd);
    if (lock.result == DeviceLock::Taken) fd_ = fd;
    else ::close(fd);
    return lock;
}

void HeldDeviceLock::release() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

}  // namespace orva::qt
