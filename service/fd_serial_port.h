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
// Port numbers name devices through the scale's own map; a number without a
// device is refused (no such device) rather than guessed. A device that
// fails while open (unplugged adapter, closed far end, dropped connection)
// makes the operation fail and reads as closed from then on, so the next
// poll opens it again.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/serial_port.h"
#include "platform/serial_settings.h"

namespace orva::service {

// "tcp://host:port": host and port, or nothing for a device path.
struct TcpEndpoint {
    std::string host;
    std::uint16_t port = 0;
};
std::optional<TcpEndpoint> parseTcpEndpoint(std::string_view path);

class FdSerialPort final : public SerialPort {
public:
    // Told of what the service wants to know: counted failures and one-off
    // remarks (a settings text that cannot reach a remote line).
    struct Observer {
        std::function<void(const std::string&)> log;
        std::function<void()> portFailed;
    };

    static constexpr std::size_t kInputBufferSize = 1024;

    // The port starts closed with number `number`, so the control's first
    // open reaches this scale's own device.
    FdSerialPort(std::map<std::int16_t, std::string> devices, std::int16_t number, Observer observer);
    ~FdSerialPort() override;
    FdSerialPort(const FdSerialPort&) = delete;
    FdSerialPort& operator=(const FdSerialPort&) = delete;

    std::int16_t CommPort() const override { return number_; }
    void setCommPort(std::int16_t number) override;
    bool PortOpen() const override { return fd_ >= 0; }
    void setPortOpen(bool open) override;
    std::string Settings() const override { return settingsText_; }
    void setSettings(std::string_view text) override;
    void Output(std::string_view bytes) override;
    std::string Input() override;

    std::string devicePath() const;

private:
    void openDevice(const std::string& path);
    void openTcp(const TcpEndpoint& endpoint);
    void applySettings(const SerialSettings& settings) const;
    bool connectionReady();
    void checkHangUp();
    [[noreturn]] void vanished(const std::string& why);
    void closeFd();

    std::map<std::int16_t, std::string> devices_;
    Observer observer_;
    int fd_ = -1;
    bool tcp_ = false;
    bool connecting_ = false;
    bool remoteSettingsLogged_ = false;
    std::int16_t number_ = 1;
    std::string settingsText_ = "9600,n,8,1";
    SerialSettings settings_;
};

}  // namespace orva::service
