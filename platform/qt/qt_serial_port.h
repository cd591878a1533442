#pragma once
// The control's serial port object on a real device, through QSerialPort.
// Every operation returns at once: output is queued to the device and
// written from the event loop, input is whatever has already arrived.
//
// The port number is turned into a device path by the PortMap each time the
// port opens. The settings text is checked with the control's own parser and
// then against what this platform's serial driver can do; a text that is
// refused leaves the previous settings in force. When the device goes away
// while open (an adapter pulled, the far end of a pseudo-terminal closed),
// the next operation fails and the port reads as closed from then on, so
// the poll that follows opens it again once the device is back.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/failure.h"
#include "platform/qt/port_map.h"
#include "platform/serial_port.h"
#include "platform/serial_settings.h"

class QSerialPort;

namespace orva::qt {

struct LineSettings;  // the settings in the serial driver's terms

class QtSerialPort final : public SerialPort {
public:
    // The control's receive buffer: what arrives beyond it before the next
    // read is lost, as on an overrun, so a flooding terminal never makes the
    // control decode a backlog of old replies.
    static constexpr std::size_t kInputBufferSize = 1024;

    // The map is shared with the host, which may still add to it: a path is
    // looked up each time the port opens.
    explicit QtSerialPort(std::shared_ptr<const PortMap> map);
    ~QtSerialPort() override;
    QtSerialPort(const QtSerialPort&) = delete;
    QtSerialPort& operator=(const QtSerialPort&) = delete;

    std::int16_t CommPort() const override { return number_; }
    void setCommPort(std::int16_t number) override;

    bool PortOpen() const override;
    void setPortOpen(bool open) override;

    std::string Settings() const override { return settingsText_; }
    void setSettings(std::string_view text) override;

    void Output(std::string_view bytes) override;
    std::string Input() override;

    // The device path the port opens (or has open) for its number.
    std::string devicePath() const { return map_->pathOf(number_); }
    // Why the last attempt to open failed (7006 no such device, 7007 busy,
    // 7008 permission denied, ...); empty once an open has succeeded. The
    // control retries silently at every poll; a host shows this instead.
    const std::optional<Failure>& lastOpenFailure() const { return lastOpenFailure_; }
    // Bytes lost to overruns since the port was created.
    std::uint64_t overrunBytes() const { return overrun_; }

private:
    void requireOpen();
    std::optional<std::string> probe(const LineSettings& line) const;
    bool deviceVanished() const;
    void drain();
    void closeDevice();

    std::shared_ptr<const PortMap> map_;
    std::unique_ptr<QSerialPort> device_;
    std::int16_t number_ = 1;
    std::string settingsText_ = "9600,n,8,1";
    SerialSettings settings_;
    std::string openPath_;
    std::string received_;
    std::uint64_t overrun_ = 0;
    bool vanished_ = false;
    std::optional<Failure> lastOpenFailure_;
};

}  // namespace orva::qt
