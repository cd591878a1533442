#include "tools/hosts/port_state.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace orva::host {
namespace {

// The group that may use the device: the one to join.
std::string deviceGroup(const std::string& path) {
    struct stat st{};
    if (::stat(path.c_str(), &st) == 0) {
        if (const group* g = ::getgrgid(st.st_gid); g != nullptr && st.st_gid != 0) return g->gr_name;
    }
    return "dialout";
}

std::string permissionReason(const std::string& path) {
    return "permission denied: add the user to the " + deviceGroup(path) + " group";
}

// A character device that is no terminal (/dev/null) cannot carry a serial
// line either; only asked after an open has failed, on the port's own path.
bool isSerialDevice(const std::string& path) {
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return true;  // cannot tell: do not claim otherwise
    const bool tty = ::isatty(fd) == 1;
    ::close(fd);
    return tty;
}

}  // namespace

std::string openFailureReason(const Failure& failure, const std::string& path) {
    switch (static_cast<FailureNumber>(failure.number())) {
        case FailureNumber::NoSuchDevice: return "no such device";
        case FailureNumber::DeviceBusy: return "in use by another program";
        case FailureNumber::PermissionDenied: return permissionReason(path);
        default: break;
    }
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) return "no such device";
    if (!isSerialDevice(path)) return "not a serial device";
    return failure.description();
}

PortState portState(const qt::QtSerialPort& port) {
    PortState state;
    state.open = port.PortOpen();
    if (state.open) return state;
    // Closed without a failed open: by the control for a reconfiguration,
    // or after the device vanished; the next poll opens it again.
    state.reason = port.lastOpenFailure() ? openFailureReason(*port.lastOpenFailure(), port.devicePath())
                                          : "waiting for the next poll to open it";
    return state;
}

std::optional<std::string> accessProblem(const std::string& path) {
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) return std::string("no such device");
    if (!S_ISCHR(st.st_mode)) return std::string("not a serial device");
    if (::access(path.c_str(), R_OK | W_OK) != 0) {
        if (errno == EACCES || errno == EPERM) return permissionReason(path);
        return std::string("cannot be opened");
    }
    return std::nullopt;
}

std::string describe(const PortState& state) {
    return state.open ? "open" : "closed: " + state.reason;
}

}  // namespace orva::host
