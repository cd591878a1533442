#pragma once
// What every host does to place a control on the port it was given.
//
// The control's serial port object belongs to its host, like a port placed
// on a form at design time, and the control opens it while it is being
// created, before the host has given it its saved properties. A host that
// wants the control on its configured port, with no other device opened and
// no reconfiguration beep at the first poll:
//   1. creates the port object closed, on configuredPortNumber(ComNumber);
//   2. creates the control on it (its creation opens that port and gives it
//      the default settings);
//   3. gives the control its saved properties and its own writes;
//   4. calls takeRestoredSettings, so the port has the restored ComSetting
//      before any byte goes out.
// Nothing here changes the control's creation order or its poll cycle.

#include <cstdint>
#include <string_view>

#include "control/activex_orva.h"

namespace orva {

// The port number a ComNumber text names, read the way the control's poll
// check and its reconfiguration read it (a number as a whole, blanks around
// it allowed, a fraction rounded half to even). A text that names no port
// (not a number, out of range, below 1) gives 1, the port object's design
// time number: the control's check counts such a text as holding, so it
// stays on the port it was created with.
std::int16_t configuredPortNumber(std::string_view comNumber);

// The port takes the control's ComSetting now when it differs. A text the
// port refuses is left to the first poll, which reconfigures and shows the
// control's own messages about it.
void takeRestoredSettings(ActivexORVA& control);

}  // namespace orva
