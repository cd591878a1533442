#include "hosts/qt/port_state.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace orva::host {
namespace {

std::string userName(uid_t uid) {
    const passwd* p = ::getpwuid(uid);
    return p != nullptr ? p->pw_name : std::to_string(uid);
}

std::string groupName(gid_t gid) {
    const group* g = ::getgrgid(gid);
    return g != nullptr ? g->gr_name : std::to_string(gid);
}

}  // namespace

std::string permissionReason(const std::string& path) {
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) return "permission denied";
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    const std::string owner = userName(st.st_uid), group = groupName(st.st_gid);
    const std::string what = "permission denied: " + path + " is " + owner + ":" + group + " " + mode + "; ";
    // Joining the group helps only when the group may read and write it.
    if ((st.st_mode & 060) == 060 && st.st_gid != 0) return what + "add the user to the " + group + " group";
    if ((st.st_mode & 0600) == 0600 && st.st_uid != 0) return what + "only " + owner + " can open it";
    return what + "only root can open it (a udev rule can give it a group to join)";
}

namespace {

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
    // Closed without a failed open: after the device vanished, or by the
    // control for a reconfiguration; the next poll opens it again.
    if (port.lastOpenFailure()) state.reason = openFailureReason(*port.lastOpenFailure(), port.devicePath());
    else if (port.lost()) state.reason = "the device went away (unplugged, or its far end closed); the next poll opens it again";
    else state.reason = "waiting for the next poll to open it";
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
