#include "hosts/place_control.h"

#include "control/value_conversion.h"
#include "platform/failure.h"

namespace orva::host {

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

std::unique_ptr<ActivexORVA> placeControl(std::string_view comNumber, const PortMaker& makePort,
                                          ControlServices services, const Restore& restore) {
    const std::int16_t number = configuredPortNumber(comNumber);
    std::unique_ptr<SerialPort> port = makePort(number);
    port->setCommPort(number);  // closed, so it cannot refuse
    auto control = std::make_unique<ActivexORVA>(
        ControlPlatform{std::move(port), services.timers, services.notice, services.locale, services.trace});
    if (restore) restore(*control);
    takeRestoredSettings(*control);
    return control;
}

}  // namespace orva::host
