#pragma once
// Placing a control on the port its host configured.
//
// The control's serial port object belongs to its host, like a port placed
// on a form at design time. The control opens that port while it is being
// created, before the host has given it its saved properties; a port object
// left on number 1 would therefore open (and at the first poll write to)
// the device of port 1, whatever the host had configured, and then
// reconfigure with a beep. A Linux host avoids that by creating the control
// through createControlOnPort:
//
//     const std::int16_t number = host::configuredPortNumber(comNumberTheHostWillSet);
//     host::PlacedControl placed = host::createControlOnPort(
//         portMap, number, {timers, notice, locale}, [&](ActivexORVA& control) {
//             control.setEventSink(...);
//             control.ReadProperties(savedDocument);   // and the host's own writes
//         });
//
// 1. The port object is created on `number`, closed.
// 2. The control is created: its creation opens that port, and no other.
// 3. `restore` gives the control its sinks, saved properties and writes.
// 4. When the restored ComSetting differs from the settings the creation
//    gave the open port, the port takes the restored text now, before any
//    byte goes out, so the first poll finds nothing to reconfigure. A text
//    the port refuses is left to the first poll, which reconfigures and
//    shows the control's own messages about it.
//
// Nothing here changes the control: its creation order and its poll
// cycle are the same as on any other host.

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "control/activex_orva.h"
#include "control/port_placement.h"
#include "platform/qt/port_map.h"
#include "platform/qt/qt_serial_port.h"

namespace orva::host {

// The services a control takes besides its port; they outlive the control.
struct ControlServices {
    TimerFactory& timers;
    UserNotice& notice;
    const Locale& locale;
    Trace* trace = nullptr;  // the wire trace, when the host keeps one
};

struct PlacedControl {
    std::unique_ptr<ActivexORVA> control;
    qt::QtSerialPort* port = nullptr;  // the control's MSComm1, owned by it
};

// The port number a ComNumber text names (see control/port_placement.h).
using orva::configuredPortNumber;

PlacedControl createControlOnPort(std::shared_ptr<const qt::PortMap> map, std::int16_t portNumber,
                                  ControlServices services, const std::function<void(ActivexORVA&)>& restore);

}  // namespace orva::host
