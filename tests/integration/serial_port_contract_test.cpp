// The serial port contract against the Qt port on a pseudo-terminal, with the
// terminal simulator at the other end.

#include "platform/qt/qt_serial_port.h"
#include "tests/support/event_loop.h"
#include "tests/support/serial_port_contract.h"
#include "tests/support/terminal_on_pty.h"

namespace orva::contract {
namespace {

struct PseudoTerminalRig : testing::TerminalOnPty {
    PseudoTerminalRig() : TerminalOnPty(testing::quickReplies()) {
        startTerminal("weight 2.5\n");
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
