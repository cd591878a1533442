#pragma once
// A pseudo-terminal pair for the simulator: it keeps the master side and one
// handle on the slave side. Holding the slave open means the master never
// sees a hang-up while the control has its port closed, and the line is set
// raw before the control first opens it. An optional symbolic link gives
// the slave a path that survives an unplug and replug.
//
// The kernel numbers pseudo-terminals lowest free first and frees a number
// only when the last handle on either side closes. A terminal that is
// unplugged keeps its handle on the slave side (see retire()): its name is
// gone at once, so a program still polling that name finds nothing, but the
// number cannot be handed to another terminal while the holder lives.

#include <memory>
#include <string>

namespace orva::sim {

class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = other.release();
        }
        return *this;
    }
    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset();

private:
    int fd_ = -1;
};

class PseudoTerminal {
public:
    // Throws std::runtime_error when no pseudo-terminal can be had.
    PseudoTerminal();
    int master() const { return master_.get(); }
    const std::string& slavePath() const { return slavePath_; }

    // Unplugs the line: closes the master side, which hangs up every handle
    // on the slave side, and gives back this object's own slave handle,
    // which keeps the number taken while it is held.
    static FileDescriptor retire(std::unique_ptr<PseudoTerminal> pty);

private:
    FileDescriptor master_;
    FileDescriptor slave_;
    std::string slavePath_;
};

// A symbolic link to a device, replaced atomically and removed when the
// object goes.
class DeviceLink {
public:
    explicit DeviceLink(std::string path) : path_(std::move(path)) {}
    ~DeviceLink() { remove(); }
    DeviceLink(const DeviceLink&) = delete;
    DeviceLink& operator=(const DeviceLink&) = delete;

    void pointTo(const std::string& target);  // throws std::runtime_error
    void remove();
    const std::string& path() const { return path_; }

private:
    std::string path_;
    bool made_ = false;
};

}  // namespace orva::sim
