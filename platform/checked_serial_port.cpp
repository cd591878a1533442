#include "platform/checked_serial_port.h"

namespace orva {

CheckedSerialPort::CheckedSerialPort() : settings_(*parseSerialSettings(kDefaultSettings)) {}

Failure CheckedSerialPort::deviceFailure(FailureNumber number, std::string_view detail) const {
    std::string text;
    switch (number) {
        case FailureNumber::NoSuchDevice: text = "No such device: "; break;
        case FailureNumber::DeviceBusy: text = "Device busy: "; break;
        case FailureNumber::PermissionDenied: text = "Permission denied: "; break;
        case FailureNumber::SettingsNotSupported:
            text = "The device cannot take the settings " + settingsText_ + ": ";
            break;
        case FailureNumber::DeviceFailure: text = "The device failed or disappeared: "; break;
        default: text = "Serial port failure: "; break;
    }
    text += deviceName();
    if (!detail.empty()) {
        text += ": ";
        text += detail;
    }
    return Failure(number, std::move(text));
}

void CheckedSerialPort::setCommPort(std::int16_t number) {
    if (PortOpen())
        throw Failure(FailureNumber::PortNumberWhileOpen,
                      "The port number can only be changed while the port is closed");
    if (number < 1) throw Failure(FailureNumber::InvalidPortNumber, "Invalid port number " + std::to_string(number));
    number_ = number;
}

void CheckedSerialPort::setPortOpen(bool open) {
    if (!open) {
        closeDevice();
        return;
    }
    if (PortOpen()) throw Failure(FailureNumber::PortAlreadyOpen, "The port is already open: " + deviceName());
    closeDevice();  // a handle on a vanished device goes before the device is opened again
    openDevice(number_, settings_);
}

void CheckedSerialPort::setSettings(std::string_view text) {
    const auto parsed = parseSerialSettings(text);
    if (!parsed) throw Failure(FailureNumber::InvalidSettings, "Invalid settings: \"" + std::string(text) + "\"");
    if (const std::string why = refusalOf(*parsed); !why.empty()) {
        std::string description = "The device cannot take the settings " + std::string(text) + ": " + deviceName();
        description += ": " + why;
        throw Failure(FailureNumber::SettingsNotSupported, std::move(description));
    }
    settings_ = *parsed;
    settingsText_.assign(text);
}

void CheckedSerialPort::requireOpen() {
    switch (deviceState()) {
        case DeviceState::Open: return;
        case DeviceState::Vanished:
            // The handle is useless now; the next poll opens the device again.
            closeDevice();
            throw deviceFailure(FailureNumber::DeviceFailure);
        case DeviceState::Closed: break;
    }
    throw Failure(FailureNumber::PortNotOpen, "The port is not open");
}

void CheckedSerialPort::Output(std::string_view bytes) {
    requireOpen();
    writeDevice(bytes);
}

std::string CheckedSerialPort::Input() {
    requireOpen();
    std::string taken;
    readDevice(taken, kInputBufferSize);
    return taken;
}

}  // namespace orva
