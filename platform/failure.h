#pragma once
// A failure of a platform or property operation, carried the way automation
// errors are: a number and a description. The control shows both in its
// reconfiguration message, and the Windows face turns them into a COM status
// with error information, so the numbers are fixed once and never reused.

#include <cstdint>
#include <exception>
#include <string>

namespace orva {

enum class FailureNumber : std::int32_t {
    // Value conversions of the property record (the usual automation numbers).
    Overflow = 6,
    TypeMismatch = 13,

    // Serial port object.
    PortNotOpen = 7001,           // Output, Input or a write that needs an open port
    PortAlreadyOpen = 7002,       // PortOpen := true on an open port
    PortNumberWhileOpen = 7003,   // CommPort written while the port is open
    InvalidPortNumber = 7004,     // CommPort outside 1..32767
    InvalidSettings = 7005,       // Settings text not of the form "baud,parity,data,stop"
    NoSuchDevice = 7006,          // the port number maps to no device
    DeviceBusy = 7007,            // another process holds the device
    PermissionDenied = 7008,      // the device may not be opened by this user
    SettingsNotSupported = 7009,  // a valid text the device cannot take
    DeviceFailure = 7010,         // the device failed or disappeared while open

    // Anything else that went wrong inside the control (out of memory, ...).
    InternalFailure = 7099,
};

class Failure : public std::exception {
public:
    Failure(FailureNumber number, std::string description)
        : number_(static_cast<std::int32_t>(number)), description_(std::move(description)) {}
    Failure(std::int32_t number, std::string description)
        : number_(number), description_(std::move(description)) {}

    std::int32_t number() const noexcept { return number_; }
    const std::string& description() const noexcept { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

private:
    std::int32_t number_;
    std::string description_;  // UTF-8
};

}  // namespace orva
