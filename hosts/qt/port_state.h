#pragma once
// Whether a control's port is open, and if not, why, in the words a user
// acts on. The control itself retries a closed port at every poll without a
// word; the hosts show this state and report each change of it.

#include <optional>
#include <string>

#include "platform/failure.h"
#include "platform/qt/qt_serial_port.h"

namespace orva::host {

struct PortState {
    bool open = false;
    std::string reason;  // why it is closed; empty while open

    friend bool operator==(const PortState&, const PortState&) = default;
};

PortState portState(const qt::QtSerialPort& port);

// "no such device", "not a serial device", "in use by another program",
// "permission denied: /dev/ttyS0 is root:dialout 0660; add the user
// to the dialout group", or the failure's
// own description.
std::string openFailureReason(const Failure& failure, const std::string& path);

// Why this user may not open the device, naming its owner, group and mode,
// with the advice that would help: the group to join when the group may use
// it, or that only its owner (root) can open it.
std::string permissionReason(const std::string& path);

// For a listing: why this user could not open the device at path, judged
// from the file system alone (nothing is opened); empty when it could.
std::optional<std::string> accessProblem(const std::string& path);

// "open" or "closed: <reason>".
std::string describe(const PortState& state);

}  // namespace orva::host
