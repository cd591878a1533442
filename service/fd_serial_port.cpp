#include "service/fd_serial_port.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>
#include <algorithm>

#include "platform/failure.h"
#include "hosts/qt/port_state.h"
#include "platform/qt/device_lock.h"

namespace orva::service {
namespace {

speed_t speedOf(std::uint32_t baud) {
    switch (baud) {
        case 50: return B50;
        case 75: return B75;
        case 110: return B110;
        case 134: return B134;
        case 150: return B150;
        case 200: return B200;
        case 300: return B300;
        case 600: return B600;
        case 1200: return B1200;
        case 1800: return B1800;
        case 2400: return B2400;
        case 4800: return B4800;
        case 9600: return B9600;
        case 19200: return B19200;
        case 38400: return B38400;
        case 57600: return B57600;
        case 115200: return B115200;
        case 230400: return B230400;
        case 460800: return B460800;
        case 500000: return B500000;
        case 576000: return B576000;
        case 921600: return B921600;
        case 1000000: return B1000000;
        case 1152000: return B1152000;
        case 1500000: return B1500000;
        case 2000000: return B2000000;
        default: return B0;
    }
}

const char* kindOf(mode_t mode) {
    if (S_ISREG(mode)) return "a regular file";
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISBLK(mode)) return "a block device";
    return "a character device that is no terminal";
}

}  // namespace

const char* conditionName(PortCondition condition) {
    switch (condition) {
        case PortCondition::Waiting: return "waiting";
        case PortCondition::Open: return "open";
        case PortCondition::NoDevice: return "no_device";
        case PortCondition::NotSerial: return "not_serial";
        case PortCondition::PermissionDenied: return "permission_denied";
        case PortCondition::InUse: return "in_use";
        case PortCondition::Unreachable: return "unreachable";
        case PortCondition::Lost: return "lost";
        case PortCondition::Failed: return "failed";
    }
    return "failed";
}

std::optional<TcpEndpoint> parseTcpEndpoint(std::string_view path) {
    constexpr std::string_view scheme = "tcp://";
    if (path.substr(0, scheme.size()) != scheme) return std::nullopt;
    const std::string_view rest = path.substr(scheme.size());
    const auto colon = rest.rfind(':');
    if (colon == std::string_view::npos || colon == 0) return std::nullopt;
    std::string_view host = rest.substr(0, colon);
    if (host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    const std::string_view portText = rest.substr(colon + 1);
    unsigned port = 0;
    const auto [end, ec] = std::from_chars(portText.data(), portText.data() + portText.size(), port);
    if (ec != std::errc() || end != portText.data() + portText.size() || port == 0 || port > 65535 || host.empty())
        return std::nullopt;
    return TcpEndpoint{std::string(host), static_cast<std::uint16_t>(port)};
}

FdSerialPort::FdSerialPort(std::map<std::int16_t, std::string> devices, std::int16_t number, Observer observer)
    : devices_(std::move(devices)), observer_(std::move(observer)) {
    setCommPort(number);
}

FdSerialPort::~FdSerialPort() { closeDevice(); }

std::string FdSerialPort::devicePath() const {
    const auto found = devices_.find(CommPort());
    return found == devices_.end() ? std::string() : found->second;
}

std::string FdSerialPort::deviceName() const {
    const std::string path = devicePath();
    return path.empty() ? "port " + std::to_string(CommPort()) : path;
}

void FdSerialPort::tell(PortCondition condition, const std::string& reason) {
    if (observer_.condition) observer_.condition(condition, devicePath(), reason);
}

void FdSerialPort::openFailed(FailureNumber number, PortCondition condition, const std::string& why) {
    if (observer_.portFailed) observer_.portFailed();
    tell(condition, why);
    throw deviceFailure(number, why);
}

void FdSerialPort::openDevice(std::int16_t number, const SerialSettings& settings) {
    const std::string path = devicePath();
    if (path.empty())
        openFailed(FailureNumber::NoSuchDevice, PortCondition::NoDevice,
                   "no such device: no device is configured for port " + std::to_string(number));
    if (const auto endpoint = parseTcpEndpoint(path)) openTcp(*endpoint);
    else openTerminal(path, settings);
}

void FdSerialPort::openTerminal(const std::string& path, const SerialSettings& settings) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int e = errno;
        if (e == ENOENT)
            openFailed(FailureNumber::NoSuchDevice, PortCondition::NoDevice, "no such device: " + path + " does not exist");
        if (e == ENXIO || e == ENODEV)
            openFailed(FailureNumber::NoSuchDevice, PortCondition::NoDevice,
                       "no such device: " + path + " is there but nothing answers behind it (" + std::strerror(e) + ")");
        if (e == EBUSY)
            openFailed(FailureNumber::DeviceBusy, PortCondition::InUse, "in use by another program (it holds the device exclusively)");
        if (e == EACCES || e == EPERM) openFailed(FailureNumber::PermissionDenied, PortCondition::PermissionDenied, host::permissionReason(path));
        openFailed(FailureNumber::DeviceFailure, PortCondition::Failed, std::strerror(e));
    }
    if (::isatty(fd) == 0) {
        struct stat st{};
        const std::string kind = ::fstat(fd, &st) == 0 ? kindOf(st.st_mode) : "no terminal";
        ::close(fd);
        openFailed(FailureNumber::NoSuchDevice, PortCondition::NotSerial, "not a serial device: " + path + " is " + kind);
    }
    // One poller per terminal: root passes TIOCEXCL, not the lock.
    if (const qt::DeviceLock lock = qt::lockDevice(fd); lock.result != qt::DeviceLock::Taken) {
        ::close(fd);
        if (lock.result == qt::DeviceLock::Held)
            openFailed(FailureNumber::DeviceBusy, PortCondition::InUse, "in use by another program (it holds a lock on the device)");
        openFailed(FailureNumber::DeviceFailure, PortCondition::Failed, "cannot lock: " + lock.why);
    }
    // Held for this process alone, as a serial port is on other systems.
    ::ioctl(fd, TIOCEXCL);
    struct stat opened{};
    if (::fstat(fd, &opened) != 0) {
        const int e = errno;
        ::close(fd);
        openFailed(FailureNumber::DeviceFailure, PortCondition::Failed, std::string("fstat: ") + std::strerror(e));
    }
    fd_ = fd;
    tcp_ = false;
    openPath_ = path;
    openDevice_ = opened.st_rdev;
    // What waited in the device before it was opened answers no request of ours.
    ::tcflush(fd, TCIFLUSH);
    if (const std::string why = applyTerminalSettings(settings); !why.empty()) {
        closeDevice();
        openFailed(FailureNumber::SettingsNotSupported, PortCondition::Failed, why);
    }
    tell(PortCondition::Open, {});
}

void FdSerialPort::openTcp(const TcpEndpoint& endpoint) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(endpoint.port);
    if (const int error = ::getaddrinfo(endpoint.host.c_str(), service.c_str(), &hints, &found); error != 0 || found == nullptr)
        openFailed(FailureNumber::NoSuchDevice, PortCondition::Unreachable,
                   "cannot resolve " + endpoint.host + ": " + (error != 0 ? ::gai_strerror(error) : "no address"));
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> list(found, &::freeaddrinfo);
    const int fd = ::socket(found->ai_family, found->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, found->ai_protocol);
    if (fd < 0) openFailed(FailureNumber::DeviceFailure, PortCondition::Failed, std::string("socket: ") + std::strerror(errno));
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    if (::connect(fd, found->ai_addr, found->ai_addrlen) != 0 && errno != EINPROGRESS) {
        const int e = errno;
        ::close(fd);
        openFailed(FailureNumber::NoSuchDevice, PortCondition::Unreachable, std::string("cannot connect: ") + std::strerror(e));
    }
    // The connection completes in the background; the poll never waits for it.
    fd_ = fd;
    tcp_ = true;
    connecting_ = true;
}

void FdSerialPort::closeDevice() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    connecting_ = false;
}

bool FdSerialPort::connectionReady() {
    if (!connecting_) return true;
    pollfd p{fd_, POLLOUT, 0};
    if (::poll(&p, 1, 0) <= 0) return false;  // still connecting
    int error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length);
    if (error != 0) {
        closeDevice();
        if (observer_.portFailed) observer_.portFailed();
        tell(PortCondition::Unreachable, std::string("cannot connect: ") + std::strerror(error));
        throw deviceFailure(FailureNumber::DeviceFailure, std::string("connection failed: ") + std::strerror(error));
    }
    connecting_ = false;
    tell(PortCondition::Open, {});
    return true;
}

std::string terminalSettingsRefusal(const SerialSettings& s) {
    if (speedOf(s.baudRate) == B0) return "no terminal driver here takes " + std::to_string(s.baudRate) + " baud";
    if (s.dataBits < 5) return "no terminal driver here takes fewer than 5 data bits";
    if (s.stopBits == StopBits::OneAndHalf) return "no terminal driver here takes 1.5 stop bits";
    return {};
}

std::string deviceRefusal(const std::string& path) {
    if (parseTcpEndpoint(path)) return {};
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return "no such device: " + path + " does not exist";
        return "cannot look at " + path + ": " + std::strerror(errno);
    }
    if (!S_ISCHR(st.st_mode)) return "not a serial device: " + path + " is " + kindOf(st.st_mode);
    if (::access(path.c_str(), R_OK | W_OK) != 0 && (errno == EACCES || errno == EPERM)) return host::permissionReason(path);
    return {};
}

std::string FdSerialPort::applyTerminalSettings(const SerialSettings& s) const {
    if (std::string why = terminalSettingsRefusal(s); !why.empty()) return why;
    if (fd_ < 0 || tcp_) return {};
    const speed_t speed = speedOf(s.baudRate);
    termios t{};
    if (::tcgetattr(fd_, &t) != 0) return std::string("tcgetattr: ") + std::strerror(errno);
    ::cfmakeraw(&t);
    ::cfsetispeed(&t, speed);
    ::cfsetospeed(&t, speed);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag |= s.dataBits == 5 ? CS5 : s.dataBits == 6 ? CS6 : s.dataBits == 7 ? CS7 : CS8;
    switch (s.parity) {
        case Parity::None: break;
        case Parity::Even: t.c_cflag |= PARENB; break;
        case Parity::Odd: t.c_cflag |= PARENB | PARODD; break;
        case Parity::Mark: t.c_cflag |= PARENB | PARODD | CMSPAR; break;
        case Parity::Space: t.c_cflag |= PARENB | CMSPAR; break;
    }
    if (s.stopBits == StopBits::Two) t.c_cflag |= CSTOPB;
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (::tcsetattr(fd_, TCSANOW, &t) != 0) return std::string("tcsetattr: ") + std::strerror(errno);
    return {};
}

std::string FdSerialPort::refusalOf(const SerialSettings& settings) {
    if (parseTcpEndpoint(devicePath())) {
        // Kept as text: the remote line is set on the serial server itself.
        if (!remoteSettingsLogged_ && !(settings == this->settings()) && observer_.log) {
            observer_.log("the settings are kept as text: a network serial server's line is set on the server");
            remoteSettingsLogged_ = true;
        }
        return {};
    }
    return applyTerminalSettings(settings);
}

void FdSerialPort::checkHangUp() {
    // A hung-up terminal (an adapter pulled, the far end of a pseudo-terminal
    // closed) reads as "nothing received"; poll() tells the difference. (A
    // write to it fails by itself.)
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) vanished("the device hung up (unplugged, or its far end closed)");
}

void FdSerialPort::checkName() {
    struct stat now{};
    if (::stat(openPath_.c_str(), &now) != 0) vanished(openPath_ + " is gone (unplugged, or its link removed)");
    if (now.st_rdev != openDevice_) vanished(openPath_ + " now leads to another device (plugged in again, or its link moved)");
}

void FdSerialPort::writeDevice(std::string_view bytes) {
    if (!connectionReady()) return;  // a request while connecting is lost, like one on a busy line
    const ssize_t n = tcp_ ? ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) : ::write(fd_, bytes.data(), bytes.size());
    if (n >= 0 || errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
    if (tcp_ && (errno == EPIPE || errno == ECONNRESET)) vanished("the network serial server closed the connection");
    vanished(std::string("write: ") + std::strerror(errno));
}

void FdSerialPort::readDevice(std::string& into, std::size_t room) {
    if (!connectionReady()) return;
    const std::size_t start = into.size();
    char buffer[1024];
    for (;;) {
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n > 0) {
            // Beyond the receive buffer bytes are lost, as on an overrun.
            const std::size_t left = room - std::min(into.size() - start, room);
            into.append(buffer, std::min(left, static_cast<std::size_t>(n)));
            if (!tcp_ && static_cast<std::size_t>(n) > left) {
                // An overrun: the rest, down to what the driver still holds, is lost.
                ::tcflush(fd_, TCIFLUSH);
                break;
            }
            if (static_cast<std::size_t>(n) < sizeof buffer) break;  // a short read took all there was
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 && tcp_) vanished("the network serial server closed the connection");
        // A terminal reads 0 both when it is silent and when it hung up.
        if (n == 0 && into.size() == start) checkHangUp();
        if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK) break;
        if (tcp_ && errno == ECONNRESET) vanished("the network serial server closed the connection");
        vanished(std::string("read: ") + std::strerror(errno));
    }
    // A line that hung up has said so above; one still open may have been
    // left behind by its name.
    if (!tcp_) checkName();
}

void FdSerialPort::vanished(const std::string& why) {
    closeDevice();
    if (observer_.portFailed) observer_.portFailed();
    tell(PortCondition::Lost, (tcp_ ? "connection lost: " : "lost: ") + why);
    throw deviceFailure(FailureNumber::DeviceFailure, why);
}

}  // namespace orva::service
