#include "tools/hosts/control_on_port.h"

namespace orva::host {

PlacedControl createControlOnPort(std::shared_ptr<const qt::PortMap> map, std::int16_t portNumber,
                                  ControlServices services, const std::function<void(ActivexORVA&)>& restore) {
    auto port = std::make_unique<qt::QtSerialPort>(std::move(map));
    port->setCommPort(portNumber < 1 ? 1 : portNumber);  // closed, so it cannot refuse
    PlacedControl placed;
    placed.port = port.get();
    placed.control = std::make_unique<ActivexORVA>(
        ControlPlatform{std::move(port), services.timers, services.notice, services.locale, services.trace});
    if (restore) restore(*placed.control);
    takeRestoredSettings(*placed.control);
    return placed;
}

}  // namespace orva::host
