#include "simulator/pseudo_terminal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace orva::sim {

void FileDescriptor::reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

PseudoTerminal::PseudoTerminal() : master_(::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
    if (master_.get() < 0) throw std::runtime_error(std::string("posix_openpt: ") + std::strerror(errno));
    if (::grantpt(master_.get()) != 0 || ::unlockpt(master_.get()) != 0)
        throw std::runtime_error(std::string("unlockpt: ") + std::strerror(errno));
    char name[128];
    if (::ptsname_r(master_.get(), name, sizeof name) != 0)
        throw std::runtime_error(std::string("ptsname: ") + std::strerror(errno));
    slavePath_ = name;
    slave_ = FileDescriptor(::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (slave_.get() < 0) throw std::runtime_error("open " + slavePath_ + ": " + std::strerror(errno));
    // A serial line carries bytes, not lines of text: no echo, no line editing.
    termios mode{};
    if (::tcgetattr(slave_.get(), &mode) == 0) {
        ::cfmakeraw(&mode);
        ::tcsetattr(slave_.get(), TCSANOW, &mode);
    }
}

FileDescriptor PseudoTerminal::retire(std::unique_ptr<PseudoTerminal> pty) {
    if (!pty) return {};
    FileDescriptor slave = std::move(pty->slave_);
    pty.reset();
    return slave;
}

void DeviceLink::pointTo(const std::string& target) {
    // Never replace a file that is not a link: the path may be mistyped.
    struct stat existing {};
    if (::lstat(path_.c_str(), &existing) == 0 && !S_ISLNK(existing.st_mode))
        throw std::runtime_error("will not replace " + path_ + ": it exists and is not a symbolic link");
    const std::string temporary = path_ + ".new";
    ::unlink(temporary.c_str());
    if (::symlink(target.c_str(), temporary.c_str()) != 0 || ::rename(temporary.c_str(), path_.c_str()) != 0) {
        const std::string why = std::strerror(errno);
        ::unlink(temporary.c_str());
        throw std::runtime_error("cannot link " + path_ + " to " + target + ": " + why);
    }
    made_ = true;
}

void DeviceLink::remove() {
    if (made_) ::unlink(path_.c_str());
    made_ = false;
}

}  // namespace orva::sim
