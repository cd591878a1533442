#pragma once
// The control's serial port object on a real device, through QSerialPort.
// Every operation returns at once: output is queued to the device and
// written from the event loop, input is whatever has already arrived.
//
// The port number is turned into a device path by the PortMap each time the
// port opens. While open, the port checks that the path still leads to the
// device it has open: a name that now leads nowhere or to another device (a
// link re-pointed, a node that went and came back as another line) counts as
// the device gone, and the next poll opens what the name leads to now. The rules all serial ports share are in CheckedSerialPort; this
// adds what the Linux serial driver can take (no 4 data bits, no 1.5 stop
// bits) and notices a hung-up device through poll() before a read fails.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/qt/device_lock.h"
#include "platform/qt/port_map.h"
#include "platform/checked_serial_port.h"

class QSerialPort;

namespace orva::qt {

class QtSerialPort final : public CheckedSerialPort {
public:
    // The map is shared with the host, which may still add to it: a path is
    // looked up each time the port opens.
    explicit QtSerialPort(std::shared_ptr<const PortMap> map);
    ~QtSerialPort() override;
    QtSerialPort(const QtSerialPort&) = delete;
    QtSerialPort& operator=(const QtSerialPort&) = delete;

    // The device path the port opens (or has open) for its number.
    std::string devicePath() const { return map_->pathOf(CommPort()); }
    // Why the last attempt to open failed (7006 no such device, 7007 busy,
    // 7008 permission denied, ...); empty once an open has succeeded. The
    // control retries silently at every poll; a host shows this instead.
    const std::optional<Failure>& lastOpenFailure() const { return lastOpenFailure_; }
    // Whether the device went away (unplugged, hung up, a failed write):
    // from when the port notices until it opens again.
    bool lost() const;
    // Bytes lost to overruns since the port was created.
    std::uint64_t overrunBytes() const { return overrun_; }

private:
    DeviceState deviceState() const override;
    void openDevice(std::int16_t number, const SerialSettings& settings) override;
    void closeDevice() override;
    std::string refusalOf(const SerialSettings& settings) override;
    void writeDevice(std::string_view bytes) override;
    void readDevice(std::string& into, std::size_t room) override;
    std::string deviceName() const override;

    void openOrThrow(std::int16_t number, const SerialSettings& settings);
    bool deviceHungUp() const;
    bool nameLeadsElsewhere() const;
    void drain();

    std::shared_ptr<const PortMap> map_;
    HeldDeviceLock lock_;  // held while the device is open; goes after it
    std::unique_ptr<QSerialPort> device_;
    std::string openPath_;
    std::uint64_t openDevice_ = 0;  // the device number of what is open
    std::string received_;
    std::uint64_t overrun_ = 0;
    bool vanished_ = false;
    bool lost_ = false;
    std::optional<Failure> lastOpenFailure_;
};

}  // namespace orva::qt
