#include "control/port_placement.h"

#include "control/value_conversion.h"
#include "platform/failure.h"

namespace orva {

std::int16_t configuredPortNumber(std::string_view comNumber) {
    try {
        const std::int16_t number = textToInt16(comNumber);
        return number >= 1 ? number : 1;
    } catch (const Failure&) {
        return 1;
    }
}

void takeRestoredSettings(ActivexORVA& control) {
    SerialPort& port = control.MSComm1();
    const std::string& wanted = control.ComSetting();
    if (port.Settings() == wanted) return;
    try {
        port.setSettings(wanted);
    } catch (const Failure&) {
        // The first poll reconfigures and tells the user why it failed.
    }
}

}  // namespace orva
