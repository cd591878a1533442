// The serial port contract against the Qt port on a pseudo-terminal, with the
// terminal simulator at the other end.

#include <QTemporaryDir>

#include "platform/qt/port_map.h"
#include "platform/qt/qt_serial_port.h"
#include "tests/support/event_loop.h"
#include "tests/support/serial_port_contract.h"
#include "tools/sim/terminal_simulator.h"

namespace orva::contract {
namespace {

struct PseudoTerminalRig {
    QTemporaryDir dir;
    std::unique_ptr<sim::TerminalSimulator> simulator;
    std::shared_ptr<qt::PortMap> map = std::make_shared<qt::PortMap>();

    PseudoTerminalRig() {
        sim::SimulatorOptions options;
        options.linkPath = (dir.path() + "/tty").toStdString();
        options.replyDelayMs = 5;
        simulator = std::make_unique<sim::TerminalSimulator>(options);
        simulator->addScript(sim::parseScript("weight 2.5\n"));
        simulator->start();
        map->map(1, simulator->devicePath());
        map->map(2, (dir.path() + "/absent").toStdString());
    }
    std::string unavailable() { return {}; }
    std::unique_ptr<SerialPort> makePort() { return std::make_unique<qt::QtSerialPort>(map); }
    std::int16_t missingPort() { return 2; }
    // A valid text no Linux serial driver takes.
    std::string refusedSettings() { return "9600,n,8,1.5"; }
    std::string frame() { return "\x02WW    2.5kg\r\n"; }
    void floodNext(std::size_t bytes) { simulator->addScript(sim::parseScript("flood " + std::to_string(bytes) + "\n")); }
    void hangUp(SerialPort&) {
        simulator->addScript(sim::parseScript("unplug\n"));
        testing::runUntil([&] { return !simulator->plugged(); }, 1000);
        testing::runFor(20);
    }
    void wait(int ms) { testing::runFor(ms); }
};

INSTANTIATE_TYPED_TEST_SUITE_P(QtOnPseudoTerminal, SerialPortContract, ::testing::Types<PseudoTerminalRig>);

}  // namespace
}  // namespace orva::contract
