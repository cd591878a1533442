#include "tools/hosts/control_on_port.h"

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

PlacedControl createControlOnPort(std::shared_ptr<const qt::PortMap> map, std::int16_t portNumber,
                                  ControlServices services, const std::function<void(ActivexORVA&)>& restore) {
    auto port = std::make_unique<qt::QtSerialPort>(std::move(map));
    port->setCommPort(portNumber < 1 ? 1 : portNumber);  // closed, so it cannot refuse
    PlacedControl placed;
    placed.port = port.get();
    placed.control = std::make_unique<ActivexORVA>(
        ControlPlatform{std::move(port), services.timers, services.notice, services.locale, services.trace});
    if (restore) restore(*placed.control);

    SerialPort& serial = placed.control->MSComm1();
    const std::string& wanted = placed.control->ComSetting();
    if (serial.Settings() != wanted) {
        try {
            serial.setSettings(wanted);
        } catch (const Failure&) {
            // The first poll reconfigures and tells the user why it failed.
        }
    }
    return placed;
}

}  // namespace orva::host
