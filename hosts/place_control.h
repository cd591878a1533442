#pragma once
// The one place where a host puts a control on the port it was given.
//
// The control's serial port object belongs to its host, like a port placed
// on a form at design time, and the control opens it while it is being
// created, before the host has given it its saved properties. A port object
// left on number 1 would therefore open (and at the first poll write to) the
// device of port 1, whatever the host had configured, and then reconfigure
// with a beep. placeControl avoids that:
//   1. the host's port object is created closed and put on the number its
//      configured ComNumber names (configuredPortNumber);
//   2. the control is created on it (its creation opens that port, and no
//      other, with the default settings);
//   3. `restore` gives the control its sinks, saved properties and the
//      host's own writes;
//   4. when the restored ComSetting differs from the settings the creation
//      gave the open port, the port takes it now, before any byte goes out,
//      so the first poll finds nothing to reconfigure. A text the port
//      refuses is left to the first poll, which reconfigures and shows the
//      control's own messages about it.
// Nothing here changes the control: its creation order and its poll cycle
// are the same as on any other host.

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "control/activex_orva.h"

namespace orva::host {

// The port number a ComNumber text names, read the way the control's poll
// check and its reconfiguration read it (a number as a whole, blanks around
// it allowed, a fraction rounded half to even). A text that names no port
// (not a number, out of range, below 1) gives 1, the port object's design
// time number: the control's check counts such a text as holding, so it
// stays on the port it was created with.
std::int16_t configuredPortNumber(std::string_view comNumber);

// The port takes the control's ComSetting now when it differs (step 4).
void takeRestoredSettings(ActivexORVA& control);

// The services a control takes besides its port; they outlive the control.
struct ControlServices {
    TimerFactory& timers;
    UserNotice& notice;
    const Locale& locale;
    Trace* trace = nullptr;  // the wire trace, when the host keeps one
};

// Makes the host's port object, closed; placeControl puts it on its number.
using PortMaker = std::function<std::unique_ptr<SerialPort>(std::int16_t number)>;
// Gives the new control its sinks, saved properties and the host's writes.
using Restore = std::function<void(ActivexORVA&)>;

// Steps 1 to 4 above, for the port number `comNumber` names.
std::unique_ptr<ActivexORVA> placeControl(std::string_view comNumber, const PortMaker& makePort,
                                          ControlServices services, const Restore& restore);

}  // namespace orva::host
