#pragma once
// The control's serial port object for the service: a terminal device
// (termios) or a raw TCP line to a network serial server ("tcp://host:port"),
// on a non-blocking file descriptor that the event loop never watches. The
// control reads only at its polls, so nothing needs to wake the process when
// a reply arrives: a hundred scales then cost a hundred reads per cycle and
// no wake-up at all. Output goes straight to the descriptor (one line feed
// per poll fits any buffer); when it cannot take it, the request is lost the
// way a busy line loses it.
//
// The rules every port keeps (open and closed states, number range, settings
// syntax, input buffer, failure numbers) are CheckedSerialPort's. Port
// numbers name devices through the scale's own map; a number without a
// device is refused (no such device) rather than guessed. A device that
// fails while open (unplugged adapter, closed far end, dropped connection)
// makes the operation fail once and reads as closed from then on, so the
// next poll opens it again.
//
// While a terminal device is open, the name it was opened by is checked at
// every read: a name that now leads nowhere or to another device (a link
// re-pointed, an adapter back as another node) counts as the device lost,
// and the next poll opens what the name leads to now.
//
// A terminal device is also locked while open (platform/qt/device_lock.h,
// the lock every program of the project takes), so no two of them, root's
// included, ever poll one terminal.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "platform/checked_serial_port.h"

namespace orva::service {

// Where a scale's port stands, as the operator is told of it.
enum class PortCondition {
    Waiting,           // not opened yet
    Open,              // open (for tcp://, connected)
    NoDevice,          // the path names nothing, or no device is configured for the number
    NotSerial,         // it exists but is no terminal (a regular file, /dev/null)
    PermissionDenied,  // this user may not open it
    InUse,             // another program holds it
    Unreachable,       // tcp://: no connection could be made
    Lost,              // it failed while open: unplugged, hung up, connection dropped
    Failed,            // any other failure (settings the device refuses ...)
};
// "open", "no_device", "not_serial", "permission_denied", "in_use",
// "unreachable", "lost", "failed", "waiting".
const char* conditionName(PortCondition condition);
inline constexpr PortCondition kAllConditions[] = {
    PortCondition::Waiting, PortCondition::Open, PortCondition::NoDevice, PortCondition::NotSerial,
    PortCondition::PermissionDenied, PortCondition::InUse, PortCondition::Unreachable, PortCondition::Lost,
    PortCondition::Failed};

// "tcp://host:port": host and port, or nothing for a device path.
struct TcpEndpoint {
    std::string host;
    std::uint16_t port = 0;
};
std::optional<TcpEndpoint> parseTcpEndpoint(std::string_view path);

// Why no terminal device here can take these settings (a baud rate the
// terminal driver lacks, 1.5 stop bits ...), empty when one can. A network
// serial server's line is not set by us, so it refuses nothing.
std::string terminalSettingsRefusal(const SerialSettings& settings);

// Why the device at `path` could not be a scale's terminal, judged from the
// file system without opening it: it does not exist, is no character device,
// or this user may not open it. Empty when it could be; always empty for
// tcp://, which only a connection can tell.
std::string deviceRefusal(const std::string& path);

class FdSerialPort final : public CheckedSerialPort {
public:
    // Told of what the service wants to know: counted failures and one-off
    // remarks (settings that cannot reach a remote line).
    struct Observer {
        std::function<void(const std::string&)> log;
        std::function<void()> portFailed;
        // After every open, failed open and loss, with the device it concerns
        // (the one the port's number names now) and the reason in the
        // operator's words (empty while open); repeats are the observer's to drop.
        std::function<void(PortCondition, const std::string& device, const std::string& reason)> condition;
    };

    // The port starts closed with number `number`, so the control's first
    // open reaches this scale's own device.
    FdSerialPort(std::map<std::int16_t, std::string> devices, std::int16_t number, Observer observer);
    ~FdSerialPort() override;
    FdSerialPort(const FdSerialPort&) = delete;
    FdSerialPort& operator=(const FdSerialPort&) = delete;

    // The device the port's number names, empty when none.
    std::string devicePath() const;

protected:
    DeviceState deviceState() const override { return fd_ < 0 ? DeviceState::Closed : DeviceState::Open; }
    void openDevice(std::int16_t number, const SerialSettings& settings) override;
    void closeDevice() override;
    std::string refusalOf(const SerialSettings& settings) override;
    void writeDevice(std::string_view bytes) override;
    void readDevice(std::string& into, std::size_t room) override;
    std::string deviceName() const override;

private:
    void openTerminal(const std::string& path, const SerialSettings& settings);
    void openTcp(const TcpEndpoint& endpoint);
    std::string applyTerminalSettings(const SerialSettings& settings) const;
    bool connectionReady();
    void checkHangUp();
    void checkName();
    [[noreturn]] void vanished(const std::string& why);
    [[noreturn]] void openFailed(FailureNumber number, PortCondition condition, const std::string& why);
    void tell(PortCondition condition, const std::string& reason);

    std::map<std::int16_t, std::string> devices_;
    Observer observer_;
    int fd_ = -1;
    std::string openPath_;          // the name a terminal was opened by
    std::uint64_t openDevice_ = 0;  // and the device it led to then
    bool tcp_ = false;
    bool connecting_ = false;
    bool remoteSettingsLogged_ = false;
};

}  // namespace orva::service
