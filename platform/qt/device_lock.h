#pragma once
// The one lock every program of the project takes on a serial device it
// opens (the monitor, the panel, the service, the Designer widget): an
// exclusive flock on an open descriptor of the device. Unlike a lock file or
// exclusive use (TIOCEXCL), root honours it too, and it goes with the
// descriptor, so a program that dies leaves no stale lock behind. A link and
// its target are one device to it.

#include <string>

namespace orva::qt {

struct DeviceLock {
    enum Result { Taken, Held, Failed };
    Result result = Failed;
    std::string why;  // the system's reason, for Failed
};

// Takes the lock on the open descriptor `fd` without waiting: Held when
// another open descriptor of the device holds it.
DeviceLock lockDevice(int fd);

// The lock taken through a descriptor of its own, ahead of a library that
// opens the device itself (and would set its line on opening): held while
// the object lives, or until release().
class HeldDeviceLock {
public:
    HeldDeviceLock() = default;
    ~HeldDeviceLock() { release(); }
    HeldDeviceLock(const HeldDeviceLock&) = delete;
    HeldDeviceLock& operator=(const HeldDeviceLock&) = delete;

    // Opens `path` (never as a controlling terminal, never waiting) and
    // locks it. A device that cannot be opened at all gives Taken with
    // nothing held: the library's own open then reports why.
    DeviceLock take(const std::string& path);
    void release();
    // The descriptor the lock is held through, -1 when none.
    int descriptor() const { return fd_; }

private:
    int fd_ = -1;
};

}  // namespace orva::qt
