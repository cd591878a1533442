#pragma once
// The rules every serial port object keeps, whatever the system under it:
// which operation needs an open or a closed port, the range of the port
// number, the syntax of the settings text, the input buffer, and the failure
// numbers with their descriptions. An implementation only talks to its
// device through the hooks below; it never decides a rule of its own.
//
//  - CommPort: written only while closed (7003, checked first), 1..32767 (7004).
//  - PortOpen := true on an open port is 7002; := false on a closed one is no failure.
//  - Settings: a text of the wrong form is 7005 and a valid one the device
//    cannot take 7009, both when written, open or closed (a closed port asks
//    its device when the device can be had); either way the previous text
//    stays in force. A read gives back the text last accepted, letter case
//    included.
//  - Output and Input on a closed port are 7001.
//  - Input gives what arrived since the last read, at most kInputBufferSize
//    bytes; what arrives beyond that before the read is lost, as on an overrun.
//  - A device that disappears while open: the port reads as closed from when
//    it is noticed, at the latest at the next Output or Input, which fails
//    with 7010; after that the port is closed (7001) until opened again.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/failure.h"
#include "platform/serial_port.h"
#include "platform/serial_settings.h"

namespace orva {

class CheckedSerialPort : public SerialPort {
public:
    static constexpr std::size_t kInputBufferSize = 1024;
    static constexpr const char* kDefaultSettings = "9600,n,8,1";

    std::int16_t CommPort() const final { return number_; }
    void setCommPort(std::int16_t number) final;
    bool PortOpen() const final { return deviceState() == DeviceState::Open; }
    void setPortOpen(bool open) final;
    std::string Settings() const final { return settingsText_; }
    void setSettings(std::string_view text) final;
    void Output(std::string_view bytes) final;
    std::string Input() final;

protected:
    CheckedSerialPort();

    enum class DeviceState { Closed, Open, Vanished };

    // --- what an implementation provides ---
    virtual DeviceState deviceState() const = 0;
    // Opens the device for `number` with `settings` applied; throws the open
    // failures (7006..7010) built with deviceFailure().
    virtual void openDevice(std::int16_t number, const SerialSettings& settings) = 0;
    virtual void closeDevice() = 0;  // also forgets a vanished device
    // The device takes the settings: applied when open; when closed, asked
    // if it can be opened now, else nothing. Returns why not, or empty.
    virtual std::string refusalOf(const SerialSettings& settings) = 0;
    // Writes the bytes; a device that fails is closed and reported with 7010.
    virtual void writeDevice(std::string_view bytes) = 0;
    // Appends what arrived to `into`, at most `room` bytes, and drops what
    // arrived beyond it.
    virtual void readDevice(std::string& into, std::size_t room) = 0;
    // How descriptions name the device: "COM3", "/dev/ttyUSB0".
    virtual std::string deviceName() const = 0;

    const SerialSettings& settings() const { return settings_; }

    // Failures worded the same on every system; `detail` is the system's own text.
    Failure deviceFailure(FailureNumber number, std::string_view detail = {}) const;

private:
    void requireOpen();

    std::int16_t number_ = 1;
    std::string settingsText_ = kDefaultSettings;
    SerialSettings settings_;
};

}  // namespace orva
